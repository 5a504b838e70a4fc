#include <platform/FileAttributes.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace tessaline::platform {

Result<std::optional<std::int64_t>> fileSizeOfItem(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    const int code = errno;
    return Error(Error::Kind::fileSystem,
                 "The file \"" + path + "\" could not be examined: " + std::strerror(code));
  }
  if (!S_ISREG(info.st_mode)) {
    return std::optional<std::int64_t>();
  }
  return std::optional<std::int64_t>(static_cast<std::int64_t>(info.st_size));
}

}  // namespace tessaline::platform
