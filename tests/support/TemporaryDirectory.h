#pragma once

#include <filesystem>
#include <string>

namespace tessaline::testing {

// A fresh private directory under the system's temporary folder, removed with its contents when
// the object goes away.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(const std::string& prefix = "tessaline-test");
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes a file below the directory (creating parent folders) and returns its path.
  std::filesystem::path write(const std::string& relativePath, const std::string& contents) const;

 private:
  std::filesystem::path path_;
};

}  // namespace tessaline::testing
