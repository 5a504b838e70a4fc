#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace tessaline::testing {

// A fresh private directory under the system's temporary folder, removed with its contents when
// the object goes away.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(const std::string& prefix = "tessaline-test")
      : path_((std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string()) {
    std::string pattern = path_.string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot create a temporary directory from " + pattern);
    }
    path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes a file below the directory (creating parent folders) and returns its path.
  std::filesystem::path write(const std::string& relativePath, const std::string& contents) const {
    const auto file = path_ / relativePath;
    std::filesystem::create_directories(file.parent_path());
    if (!(std::ofstream(file, std::ios::binary) << contents)) {
      throw std::runtime_error("cannot write " + file.string());
    }
    return file;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace tessaline::testing
