#pragma once

#include "Store.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessaline::server {

// How the dashboard shows one attachment. Everything here is read from hostile files: sizes are
// bounded, the log archive is read by a child process with limits, and images are served only
// when their bytes are what their name claims.
struct AttachmentView {
  enum class Kind { text, json, archive, crashReports, image, download };

  struct Entry {  // a file in the log archive
    int index = 0;
    std::string name;
  };
  struct Part {  // one report of the crash reports payload
    std::string name;
    std::vector<std::string> lines;  // empty with a note when not text
    std::string note;
  };

  Kind kind = Kind::download;
  std::vector<std::string> lines;  // text and JSON (pretty-printed)
  std::vector<Entry> entries;
  std::vector<Part> parts;
  std::string imageType;  // "image/png" or "image/jpeg"
  std::string note;       // why a file is shown in part or only offered for download

  static constexpr std::size_t kMaxShownBytes = 2 * 1024 * 1024;
  static constexpr std::size_t kMaxJsonBytes = 8 * 1024 * 1024;
  static constexpr std::size_t kMaxEntries = 2000;
};

AttachmentView viewAttachment(const AttachmentRecord& record, const std::filesystem::path& file);

// The content type of a PNG or JPEG file whose bytes start as such an image does; nothing for
// any other file.
std::optional<std::string> checkedImageType(const std::filesystem::path& file);

// A text file inside a log archive: its name and lines, or a note saying why it is not shown.
struct ArchiveText {
  std::string name;
  std::vector<std::string> lines;
  std::string note;
};
std::optional<ArchiveText> viewArchiveEntry(const std::filesystem::path& archive, int index);

}  // namespace tessaline::server
