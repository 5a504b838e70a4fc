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

}  // namespace

Result<std::string> FileSystem::temporaryDirectory() {
  if (const char* value = std::getenv("TMPDIR"); value != nullptr && *value != '\0') {
    std::string path = value;
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

Result<Unit> FileSystem::copyItem(const std::string& source, const std::string& destination) {
  const std::string what = "Cannot copy " + source + " to " + destination;
  if (itemExists(destination)) {
    return fileError(what, EEXIST);
  }
  std::error_code code;
  const auto status = fs::status(source, code);
  if (code) {
    return fileError(what, code);
  }
  if (fs::is_directory(status)) {
    fs::copy(source, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
             code);
  } else if (fs::is_regular_file(status)) {
    fs::copy_file(source, destination, code);
  } else {
    return Error(Error::Kind::fileSystem, what + ": not a file or folder");
  }
  if (code) {
    std::error_code ignored;
    fs::remove_all(destination, ignored);
    return fileError(what, code);
  }
  return Unit{};
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
  const std::string what = "Cannot read " + path;
  FdCloser file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) {
    return fileError(what, errno);
  }
  struct stat info {};
  if (::fstat(file.fd, &info) != 0) {
    return fileError(what, errno);
  }
  if (S_ISDIR(info.st_mode)) {
    return fileError(what, EISDIR);
  }
  std::string content;
  if (S_ISREG(info.st_mode) && info.st_size > 0) {
    content.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t count = ::read(file.fd, buffer, sizeof buffer);
    if (count > 0) {
      content.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0) {
      break;
    } else if (errno != EINTR) {
      return fileError(what, errno);
    }
  }
  return Bytes(std::move(content));
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
      bool isDirectory = item->d_type == DT_DIR;
      if (item->d_type == DT_UNKNOWN) {
        struct stat info {};
        isDirectory =
            ::fstatat(::dirfd(dir.get()), item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(info.st_mode);
      }
      entry.name.assign(name);
      entry.path.assign(folder).append("/").append(name);
      entry.isDirectory = isDirectory;
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
