#include <platform/FileSystem.h>
#include <platform/detail/FileSystemSupport.h>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

namespace tessaline::platform {

namespace fs = std::filesystem;

namespace {

Error fileError(const std::string& what, int code) {
  return Error(Error::Kind::fileSystem, what + ": " + std::system_category().message(code));
}

Error fileError(const std::string& what, const std::error_code& code) {
  return Error(Error::Kind::fileSystem, what + ": " + code.message());
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

// Opens a regular file for reading without ever blocking (a FIFO opens at once and is refused,
// like a socket or device, also behind a link); its size through `size`.
Result<int> openRegularFile(const std::string& path, const std::string& what, std::uint64_t& size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    return fileError(what, errno);
  }
  struct stat info {};
  const int failure = ::fstat(fd, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
  if (failure != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return failure != 0 ? fileError(what, failure)
                        : Error(Error::Kind::fileSystem, what + ": not a regular file");
  }
  size = static_cast<std::uint64_t>(info.st_size);
  return fd;
}

// Reads into `buffer` what is there; 0 at the end of the file.
Result<std::size_t> readSome(int fd, char* buffer, std::size_t length, const std::string& what) {
  for (;;) {
    const ssize_t count = ::read(fd, buffer, length);
    if (count >= 0) {
      return static_cast<std::size_t>(count);
    }
    if (errno != EINTR) {
      return fileError(what, errno);
    }
  }
}

}  // namespace

Result<std::string> FileSystem::temporaryDirectory() {
  if (const char* value = std::getenv("TMPDIR"); value != nullptr && *value != '\0') {
    // Tools run in other folders (zip runs in this one), so a relative path would name another.
    std::error_code code;
    std::string path = fs::absolute(value, code).string();
    if (code) {
      return fileError(std::string("Cannot use the temporary directory ") + value, code);
    }
    if (path.back() != '/') {
      path += '/';
    }
    return path;
  }
  return detail::privateTemporaryDirectory("/tmp", ::getuid());
}

namespace detail {

Result<std::string> privateTemporaryDirectory(const std::string& parent, unsigned uid) {
  const std::string path = parent + "/tessaline-" + std::to_string(uid);
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return fileError("Cannot create the temporary directory " + path, errno);
  }
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return fileError("Cannot use the temporary directory " + path, errno);
  }
  // /tmp is shared: a folder someone else made (or a link planted there) must not be used.
  if (!S_ISDIR(info.st_mode)) {
    return Error(Error::Kind::fileSystem,
                 "Cannot use the temporary directory " + path + ": it is not a folder");
  }
  if (info.st_uid != uid) {
    return Error(Error::Kind::fileSystem,
                 "Cannot use the temporary directory " + path + ": it belongs to another user");
  }
  if ((info.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0) {
    return fileError("Cannot make the temporary directory " + path + " private", errno);
  }
  return path + "/";
}

}  // namespace detail

std::string FileSystem::homeDirectory() {
  if (const char* value = std::getenv("HOME"); value != nullptr && *value != '\0') {
    return value;
  }
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "/";
}

std::string FileSystem::stateDirectory() {
  if (const char* value = std::getenv("XDG_STATE_HOME"); value != nullptr && *value == '/') {
    return value;
  }
  return homeDirectory() + "/.local/state";
}

Result<Unit> FileSystem::createDirectory(const std::string& path) {
  std::error_code code;
  fs::create_directories(path, code);
  if (code) {
    return fileError("Cannot create the folder " + path, code);
  }
  return Unit{};
}

Result<bool> FileSystem::createNewDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) {
    return true;
  }
  if (errno == EEXIST) {
    return false;
  }
  return fileError("Cannot create the folder " + path, errno);
}

Result<Unit> FileSystem::copyFile(const std::string& source, const std::string& destination,
                                  const std::atomic<bool>& cancelled) {
  const std::string what = "Cannot copy " + source + " to " + destination;
  std::uint64_t size = 0;
  const auto in = openRegularFile(source, what, size);
  if (!in) {
    return in.error();
  }
  FdCloser input{in.value()};
  FdCloser out{::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
  if (out.fd < 0) {
    return fileError(what, errno);
  }
  auto failed = [&](Error error) -> Result<Unit> {
    ::unlink(destination.c_str());
    return error;
  };
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    if (cancelled.load()) {
      return failed(Error(Error::Kind::fileSystem, what + ": cancelled"));
    }
    const auto count = readSome(input.fd, buffer.data(), buffer.size(), what);
    if (!count) {
      return failed(count.error());
    }
    if (count.value() == 0) {
      return Unit{};
    }
    for (std::size_t done = 0; done < count.value();) {
      const ssize_t written = ::write(out.fd, buffer.data() + done, count.value() - done);
      if (written < 0 && errno != EINTR) {
        return failed(fileError(what, errno));
      }
      done += written > 0 ? static_cast<std::size_t>(written) : 0;
    }
  }
}

Result<Unit> FileSystem::removeItem(const std::string& path) {
  std::error_code code;
  fs::remove_all(path, code);
  if (code) {
    return fileError("Cannot remove " + path, code);
  }
  return Unit{};
}

Result<Bytes> FileSystem::readFile(const std::string& path) {
  auto content = readFile(path, UINT64_MAX);
  if (!content) {
    return content.error();
  }
  return std::move(content.value().bytes);
}

Result<FileSystem::Content> FileSystem::readFile(const std::string& path, std::uint64_t limit) {
  const std::string what = "Cannot read " + path;
  Content content;
  const auto opened = openRegularFile(path, what, content.size);
  if (!opened) {
    return opened.error();
  }
  FdCloser file{opened.value()};
  std::string data;
  data.reserve(static_cast<std::size_t>(std::min(content.size, limit)));
  char buffer[64 * 1024];
  while (data.size() < limit) {
    const auto count = readSome(
        file.fd, buffer,
        static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, limit - data.size())),
        what);
    if (!count) {
      return count.error();
    }
    if (count.value() == 0) {
      break;
    }
    data.append(buffer, count.value());
  }
  content.bytes = Bytes(std::move(data));
  return content;
}

bool FileSystem::isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool FileSystem::itemExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

Result<Unit> FileSystem::enumerate(
    const std::string& directory, const std::function<void(const Entry&)>& visit,
    const std::function<void(const std::string& path, const Error&)>& onError) {
  // One folder open at a time, so deep trees do not run out of descriptors.
  std::vector<std::string> pending{directory};
  bool first = true;
  Entry entry;
  while (!pending.empty()) {
    const std::string folder = std::move(pending.back());
    pending.pop_back();
    DirHandle dir(::opendir(folder.c_str()));
    if (!dir) {
      const auto error = fileError("Cannot read the folder " + folder, errno);
      if (first) {
        return error;
      }
      if (onError) {
        onError(folder, error);
      }
      continue;
    }
    first = false;
    const std::size_t firstChild = pending.size();
    for (;;) {
      errno = 0;
      const dirent* item = ::readdir(dir.get());
      if (item == nullptr) {
        if (errno != 0 && onError) {
          onError(folder, fileError("Cannot read the folder " + folder, errno));
        }
        break;
      }
      const std::string_view name = item->d_name;
      if (name == "." || name == "..") {
        continue;
      }
      unsigned char type = item->d_type;
      if (type == DT_UNKNOWN) {
        struct stat info {};
        if (::fstatat(::dirfd(dir.get()), item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
          type = S_ISDIR(info.st_mode)   ? DT_DIR
                 : S_ISREG(info.st_mode) ? DT_REG
                 : S_ISLNK(info.st_mode) ? DT_LNK
                                         : DT_UNKNOWN;
        }
      }
      const bool isDirectory = type == DT_DIR;
      entry.name.assign(name);
      entry.path.assign(folder).append("/").append(name);
      entry.isDirectory = isDirectory;
      entry.type = isDirectory      ? Type::directory
                   : type == DT_REG ? Type::regularFile
                   : type == DT_LNK ? Type::symbolicLink
                                    : Type::other;
      visit(entry);
      if (isDirectory) {
        pending.push_back(entry.path);
      }
    }
    // Visit subfolders in the order they were listed.
    std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(firstChild), pending.end());
  }
  return Unit{};
}

}  // namespace tessaline::platform
