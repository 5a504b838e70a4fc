#include <platform/AtomicFile.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>

namespace tessaline::platform {

namespace {

Error fileError(const std::string& what, int code) {
  return Error(Error::Kind::fileSystem, what + ": " + std::system_category().message(code));
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now, so a failing close (a late write error on some file systems) is seen.
  int close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

std::string parentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

Result<Unit> syncDirectory(const std::string& directory) {
  Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || ::fsync(fd.get()) != 0) {
    return fileError("Cannot flush the folder " + directory, errno);
  }
  return Unit{};
}

Result<Unit> writeAll(int fd, std::string_view contents, const std::string& path) {
  while (!contents.empty()) {
    const ssize_t written = ::write(fd, contents.data(), contents.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return fileError("Cannot write " + path, errno);
    }
    contents.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::fsync(fd) != 0) {
    return fileError("Cannot flush " + path, errno);
  }
  return Unit{};
}

// Missing folders are made private too: they lie on the way to private data.
Result<Unit> makeParents(const std::string& path) {
  struct stat info {};
  if (path == "/" || path == "." || ::stat(path.c_str(), &info) == 0) {
    return Unit{};
  }
  if (auto made = makeParents(parentOf(path)); !made) {
    return made;
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return fileError("Cannot create the folder " + path, errno);
  }
  return Unit{};
}

}  // namespace

Result<Unit> AtomicFile::write(const std::string& path, std::string_view contents) {
  const std::string directory = parentOf(path);
  thread_local std::mt19937_64 random{std::random_device{}()};
  const std::string temporary = directory + "/.tmp-" + std::to_string(random());
  Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    return fileError("Cannot create " + temporary, errno);
  }
  auto written = writeAll(fd.get(), contents, temporary);
  if (written && fd.close() != 0) {
    written = fileError("Cannot write " + temporary, errno);
  }
  if (!written) {
    ::unlink(temporary.c_str());
    return written;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int code = errno;
    ::unlink(temporary.c_str());
    return fileError("Cannot rename " + temporary + " to " + path, code);
  }
  return syncDirectory(directory);
}

Result<Unit> AtomicFile::remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0) {
    if (errno == ENOENT) {
      return Unit{};
    }
    return fileError("Cannot remove " + path, errno);
  }
  return syncDirectory(parentOf(path));
}

Result<Unit> AtomicFile::createPrivateDirectory(const std::string& path) {
  if (auto parents = makeParents(parentOf(path)); !parents) {
    return parents;
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return fileError("Cannot create the folder " + path, errno);
  }
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return fileError("Cannot use the folder " + path, errno);
  }
  if (!S_ISDIR(info.st_mode)) {
    return Error(Error::Kind::fileSystem, "Cannot use the folder " + path + ": not a folder");
  }
  if (info.st_uid != ::getuid()) {
    return Error(Error::Kind::fileSystem,
                 "Cannot use the folder " + path + ": it belongs to another user");
  }
  if ((info.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0) {
    return fileError("Cannot make the folder " + path + " private", errno);
  }
  return Unit{};
}

}  // namespace tessaline::platform
