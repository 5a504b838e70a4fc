#include "support/TemporaryDirectory.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace tessaline::testing {

TemporaryDirectory::TemporaryDirectory(const std::string& prefix) {
  const auto pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary directory from " + pattern);
  }
  path_ = buffer.data();
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TemporaryDirectory::write(const std::string& relativePath,
                                                const std::string& contents) const {
  const auto file = path_ / relativePath;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out << contents;
  if (!out) {
    throw std::runtime_error("cannot write " + file.string());
  }
  return file;
}

}  // namespace tessaline::testing
