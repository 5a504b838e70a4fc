#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <string>
#include <string_view>

namespace tessaline::platform {

// Files that survive a crash or power loss whole or not at all. Every failure is an Error of kind
// fileSystem naming the path and the system's reason.
class TESSALINE_EXPORT AtomicFile {
 public:
  // Replaces `path` with `contents` (mode 0600): written under a temporary name in the same
  // folder, flushed to disk, renamed over `path`, then the folder flushed. A reader, or the next
  // run after a crash, sees the old file or the whole new one; the temporary file of an
  // interrupted write starts with ".tmp-".
  static Result<Unit> write(const std::string& path, std::string_view contents);
  // Removes a file and flushes its folder; a missing file is fine.
  static Result<Unit> remove(const std::string& path);
  // Makes a folder and its missing parents; the last one private to the user (0700). An
  // existing folder is made 0700; one that is a link or belongs to another user is refused.
  static Result<Unit> createPrivateDirectory(const std::string& path);
};

}  // namespace tessaline::platform
