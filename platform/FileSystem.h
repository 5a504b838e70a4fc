#pragma once

#include <Tessaline/Bytes.h>
#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tessaline::platform {

// File-system access for the diagnostics. Every failure is an Error of kind fileSystem whose text
// names the path and the system's reason.
class TESSALINE_EXPORT FileSystem {
 public:
  using Time = std::chrono::system_clock::time_point;

  // The per-user temporary directory, an absolute path always ending in "/": $TMPDIR when set
  // (a relative one is taken from the current directory), else a private folder
  // /tmp/tessaline-<uid>/ (made with mode 0700; refused when another user owns it or it is not a
  // real folder).
  static Result<std::string> temporaryDirectory();
  // The user's home folder: $HOME, else the password database's entry.
  static std::string homeDirectory();
  // Where the user's programs keep state between runs: $XDG_STATE_HOME when it is an absolute
  // path, else ~/.local/state.
  static std::string stateDirectory();

  // Makes a folder and any missing parents; an existing folder is fine.
  static Result<Unit> createDirectory(const std::string& path);
  // Makes one new folder (mode 0700); false, and nothing made, when something is at the path.
  static Result<bool> createNewDirectory(const std::string& path);
  // Removes a file or a whole folder tree; a missing item is fine.
  static Result<Unit> removeItem(const std::string& path);
  // The whole content of a regular file; anything else (a FIFO, socket or device, also behind a
  // link) is refused without blocking.
  static Result<Bytes> readFile(const std::string& path);
  // The first `limit` bytes of a regular file (refused like readFile()), and the file's size.
  struct Content {
    Bytes bytes;
    std::uint64_t size = 0;
  };
  static Result<Content> readFile(const std::string& path, std::uint64_t limit);
  // Copies one regular file (refused like readFile()) to a new file at `destination`; stops
  // with an error, leaving nothing behind, once `cancelled` is set.
  static Result<Unit> copyFile(const std::string& source, const std::string& destination,
                               const std::atomic<bool>& cancelled);
  // Whether a folder is at the path (a link to one counts).
  static bool isDirectory(const std::string& path);
  // Whether anything (also a dangling link) is at the path.
  static bool itemExists(const std::string& path);

  enum class Type { directory, regularFile, symbolicLink, other };
  struct Entry {
    std::string path;  // the folder given to enumerate() + "/" + the relative path
    std::string name;  // the last path component
    bool isDirectory = false;
    Type type = Type::other;
  };
  // Visits every entry below `directory` at any depth, hidden ones included; symbolic links are
  // reported, never followed. A subfolder that cannot be read is passed to `onError` (when given)
  // and skipped. Fails only when `directory` itself cannot be read.
  static Result<Unit> enumerate(
      const std::string& directory, const std::function<void(const Entry&)>& visit,
      const std::function<void(const std::string& path, const Error&)>& onError = {});
  // When the item (not a link's target) was created; nothing where the file system does not
  // record it or it cannot be read.
  static std::optional<Time> creationDate(const std::string& path);
};

}  // namespace tessaline::platform
