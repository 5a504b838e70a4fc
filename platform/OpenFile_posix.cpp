#include <platform/OpenFile.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaline::platform {

namespace {

Error fileError(const std::string& path, const std::string& what) {
  return Error(Error::Kind::fileSystem, "The file \"" + path + "\" " + what);
}

}  // namespace

Result<OpenFile> OpenFile::open(const std::string& path) {
  // O_NONBLOCK so that opening a FIFO never waits for a writer; it is refused below anyway.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (descriptor < 0) {
    return fileError(path, std::string("cannot be opened: ") + std::strerror(errno));
  }
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) {
    const int error = errno;
    ::close(descriptor);
    return fileError(path, std::string("cannot be read: ") + std::strerror(error));
  }
  if (S_ISDIR(status.st_mode)) {
    ::close(descriptor);
    return fileError(path, "is a folder, not a file");
  }
  if (!S_ISREG(status.st_mode)) {
    ::close(descriptor);
    return fileError(path, "is not a regular file");
  }
  const int flags = ::fcntl(descriptor, F_GETFL);
  if (flags >= 0) {
    ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
  }
  return OpenFile(descriptor, static_cast<std::uint64_t>(status.st_size), path);
}

OpenFile::OpenFile(int descriptor, std::uint64_t size, std::string path)
    : descriptor_(descriptor), size_(size), path_(std::move(path)) {}

OpenFile::OpenFile(OpenFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)),
      size_(other.size_),
      path_(std::move(other.path_)) {}

OpenFile& OpenFile::operator=(OpenFile&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) {
      ::close(descriptor_);
    }
    descriptor_ = std::exchange(other.descriptor_, -1);
    size_ = other.size_;
    path_ = std::move(other.path_);
  }
  return *this;
}

OpenFile::~OpenFile() {
  if (descriptor_ >= 0) {
    ::close(descriptor_);
  }
}

Result<std::size_t> OpenFile::readAt(void* buffer, std::size_t length, std::uint64_t offset) const {
  for (;;) {
    const ssize_t count = ::pread(descriptor_, buffer, length, static_cast<off_t>(offset));
    if (count >= 0) {
      return static_cast<std::size_t>(count);
    }
    if (errno != EINTR) {
      return fileError(path_, std::string("cannot be read: ") + std::strerror(errno));
    }
  }
}

}  // namespace tessaline::platform
