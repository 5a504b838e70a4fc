#include <platform/OpenFile.h>

#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>

namespace {

using tessaline::Error;
using tessaline::platform::OpenFile;

void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

TEST(OpenFileTest, TakesTheSizeAtOpenAndReadsAtOffsets) {
  tessaline::testing::TemporaryDirectory directory;
  const auto path = directory.path() / "data.bin";
  writeFile(path, "0123456789");
  auto file = OpenFile::open(path.string());
  ASSERT_TRUE(file) << file.error().description();
  EXPECT_EQ(file->size(), 10u);
  EXPECT_EQ(file->path(), path.string());

  writeFile(path, "0123456789abcdef");  // grows after opening: the size stays
  EXPECT_EQ(file->size(), 10u);

  char buffer[4] = {};
  auto read = file->readAt(buffer, sizeof buffer, 6);
  ASSERT_TRUE(read);
  EXPECT_EQ(std::string(buffer, read.value()), "6789");
  read = file->readAt(buffer, sizeof buffer, 100);
  ASSERT_TRUE(read);
  EXPECT_EQ(read.value(), 0u);
}

TEST(OpenFileTest, RefusesFoldersMissingFilesAndSpecialFilesWithFileSystemErrors) {
  tessaline::testing::TemporaryDirectory directory;
  auto folder = OpenFile::open(directory.path().string());
  ASSERT_FALSE(folder);
  EXPECT_EQ(folder.error().kind(), Error::Kind::fileSystem);
  EXPECT_NE(folder.error().description().find("is a folder"), std::string::npos);

  auto missing = OpenFile::open((directory.path() / "missing").string());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), Error::Kind::fileSystem);
  EXPECT_NE(missing.error().description().find("No such file"), std::string::npos);

  // A FIFO without a writer would block a plain open.
  const auto fifo = directory.path() / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto special = OpenFile::open(fifo.string());
  ASSERT_FALSE(special);
  EXPECT_NE(special.error().description().find("not a regular file"), std::string::npos);
}

TEST(OpenFileTest, MovingKeepsOneOwnerOfTheDescriptor) {
  tessaline::testing::TemporaryDirectory directory;
  const auto path = directory.path() / "a";
  writeFile(path, "abc");
  auto opened = OpenFile::open(path.string());
  ASSERT_TRUE(opened);
  OpenFile file = std::move(opened).value();
  OpenFile other = std::move(file);
  char c = 0;
  auto read = other.readAt(&c, 1, 2);
  ASSERT_TRUE(read);
  EXPECT_EQ(c, 'c');
}

}  // namespace
