#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessaline::platform {

// A regular file opened read-only (close-on-exec), with its size taken when it was opened. Held in
// a std::shared_ptr it serves as an upload body that is streamed from the descriptor, so memory
// stays constant whatever the file's size. Reads use explicit offsets, so several uploads may
// share one OpenFile.
class TESSALINE_EXPORT OpenFile {
 public:
  // Opens a regular file. A folder, a device, a missing or unreadable file gives an Error of kind
  // fileSystem that names the path and the reason.
  static Result<OpenFile> open(const std::string& path);

  OpenFile(OpenFile&& other) noexcept;
  OpenFile& operator=(OpenFile&& other) noexcept;
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile();

  const std::string& path() const { return path_; }
  // The size when the file was opened; an upload sends exactly this many bytes.
  std::uint64_t size() const { return size_; }

  // Reads up to `length` bytes at `offset`; 0 at the end of the file. A read error gives an
  // Error of kind fileSystem.
  Result<std::size_t> readAt(void* buffer, std::size_t length, std::uint64_t offset) const;

 private:
  OpenFile(int descriptor, std::uint64_t size, std::string path);

  int descriptor_ = -1;
  std::uint64_t size_ = 0;
  std::string path_;
};

}  // namespace tessaline::platform
