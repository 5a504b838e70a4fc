#include "AttachmentViewer.h"

#include "TextChecks.h"

#include <Tessaline/records/Base64.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <set>

extern char** environ;

namespace tessaline::server {

namespace {

using Kind = AttachmentView::Kind;

struct Bounded {
  std::string output;
  bool truncated = false;  // more than the limit was written
  bool succeeded = false;  // exited with status 0 within the limits
};

// Runs a tool directly (no shell) and reads at most limit bytes of its standard output; a child
// that writes more or runs past the time-out is killed.
Bounded runBounded(const std::vector<std::string>& arguments, std::size_t limit,
                   std::chrono::seconds timeout) {
  Bounded result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool ended = false;
  char buffer[65536];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    pollfd ready{fds[0], POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) {
      continue;
    }
    if (polled <= 0) {
      break;
    }
    const ssize_t count = read(fds[0], buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      ended = count == 0;
      break;
    }
    result.output.append(buffer, static_cast<std::size_t>(count));
    if (result.output.size() > limit) {
      result.output.resize(limit);
      result.truncated = true;
      break;
    }
  }
  close(fds[0]);
  if (!ended) {
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.succeeded = ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

// At most limit bytes from the start of the file; truncated tells whether there was more.
std::optional<std::string> readStart(const std::filesystem::path& file, std::size_t limit,
                                     bool& truncated) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::string bytes(limit + 1, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  truncated = bytes.size() > limit;
  if (truncated) {
    bytes.resize(limit);
  }
  return bytes;
}

// Drops a character cut in half at the end of a truncated text.
void trimCutCharacter(std::string& text) {
  for (int i = 0; i < 3 && !text.empty() && !isValidUtf8(text); ++i) {
    text.pop_back();
  }
}

std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    lines.emplace_back(line);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return lines;
}

// Lines of a text, or nothing when it is not UTF-8 text.
std::optional<std::vector<std::string>> textLines(std::string text, bool truncated) {
  if (truncated) {
    trimCutCharacter(text);
  }
  if (!isValidUtf8(text) || text.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return splitLines(text);
}

// The JSON parser's own nesting is bounded, but printing recurses: refuse deep documents.
bool shallowJson(std::string_view text, int maxDepth) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maxDepth) {
        return false;
      }
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

// The crash reports payload: a JSON array of {"name", "payload" (Base64)} objects.
std::optional<std::vector<AttachmentView::Part>> crashReports(const nlohmann::json& document) {
  if (!document.is_array() || document.empty()) {
    return std::nullopt;
  }
  std::vector<AttachmentView::Part> parts;
  for (const nlohmann::json& entry : document) {
    if (!entry.is_object() || !entry.contains("name") || !entry.contains("payload") ||
        !entry["name"].is_string() || !entry["payload"].is_string()) {
      return std::nullopt;
    }
    AttachmentView::Part part;
    part.name = entry["name"].get<std::string>();
    const std::optional<std::string> bytes = base64Decode(entry["payload"].get<std::string>());
    if (!bytes) {
      return std::nullopt;
    }
    if (std::optional<std::vector<std::string>> lines = textLines(*bytes, false)) {
      part.lines = std::move(*lines);
    } else {
      part.note = "Not text (" + std::to_string(bytes->size()) + " bytes).";
    }
    parts.push_back(std::move(part));
  }
  return parts;
}

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string archiveName(const std::string& name) {
  // unzip takes entry names as patterns: escape its wildcards and a leading dash.
  std::string pattern;
  for (char c : name) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\' ||
        (c == '-' && pattern.empty())) {
      pattern += '\\';
    }
    pattern += c;
  }
  return pattern;
}

std::vector<std::string> archiveNames(const std::filesystem::path& archive) {
  const Bounded listing =
      runBounded({"unzip", "-Z1", archive.string()}, 1024 * 1024, std::chrono::seconds(10));
  std::vector<std::string> names;
  if (!listing.succeeded) {
    return names;
  }
  for (std::string& line : splitLines(listing.output)) {
    if (names.size() == AttachmentView::kMaxEntries) {
      break;
    }
    names.push_back(std::move(line));
  }
  return names;
}

}  // namespace

std::optional<std::string> checkedImageType(const std::filesystem::path& file) {
  bool truncated = false;
  const std::optional<std::string> start = readStart(file, 8, truncated);
  if (!start) {
    return std::nullopt;
  }
  if (*start == std::string("\x89PNG\r\n\x1a\n", 8)) {
    return "image/png";
  }
  if (start->size() >= 3 && start->compare(0, 3, "\xff\xd8\xff") == 0) {
    return "image/jpeg";
  }
  return std::nullopt;
}

AttachmentView viewAttachment(const AttachmentRecord& record, const std::filesystem::path& file) {
  AttachmentView view;
  const std::string extension = lowercase(record.extension);
  if (extension == "png" || extension == "jpg" || extension == "jpeg") {
    const std::optional<std::string> type = checkedImageType(file);
    if (type && (*type == "image/png") == (extension == "png")) {
      view.kind = Kind::image;
      view.imageType = *type;
    } else {
      view.note = "The file is not the image its name says; it can only be downloaded.";
    }
    return view;
  }
  // The log archive arrives named .txt, so archives are known by their signature.
  bool cut = false;
  const std::optional<std::string> start = readStart(file, 4, cut);
  if (extension == "zip" || (start && *start == std::string("PK\x03\x04", 4))) {
    view.kind = Kind::archive;
    for (std::string& name : archiveNames(file)) {
      const int index = static_cast<int>(view.entries.size());
      view.entries.push_back({index, std::move(name)});
    }
    if (view.entries.empty()) {
      view.note = "The archive cannot be read or holds no files.";
    }
    return view;
  }
  bool truncated = false;
  if (extension == "json") {
    const std::optional<std::string> text =
        readStart(file, AttachmentView::kMaxJsonBytes, truncated);
    if (text && !truncated && isValidUtf8(*text) && shallowJson(*text, 200)) {
      const nlohmann::json document = nlohmann::json::parse(*text, nullptr, false);
      if (!document.is_discarded()) {
        if (std::optional<std::vector<AttachmentView::Part>> parts = crashReports(document)) {
          view.kind = Kind::crashReports;
          view.parts = std::move(*parts);
          return view;
        }
        view.kind = Kind::json;
        view.lines =
            splitLines(document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
        return view;
      }
    }
    // Not JSON after all: shown as text below.
  }
  static const std::set<std::string, std::less<>> kTextExtensions = {
      "txt", "log", "text", "json", "ips", "crash", "diag", "spin", "hang", "csv", "md"};
  if (!kTextExtensions.contains(extension)) {
    view.note = "Files of this kind are not shown; download it to read it.";
    return view;
  }
  std::optional<std::string> text = readStart(file, AttachmentView::kMaxShownBytes, truncated);
  std::optional<std::vector<std::string>> lines =
      text ? textLines(std::move(*text), truncated) : std::nullopt;
  if (!lines) {
    view.note = "The file is not UTF-8 text; it can only be downloaded.";
    return view;
  }
  view.kind = Kind::text;
  view.lines = std::move(*lines);
  if (truncated) {
    view.note = "Only the first 2 MiB are shown; download the file for the rest.";
  }
  return view;
}

std::optional<ArchiveText> viewArchiveEntry(const std::filesystem::path& archive, int index) {
  const std::vector<std::string> names = archiveNames(archive);
  if (index < 0 || static_cast<std::size_t>(index) >= names.size()) {
    return std::nullopt;
  }
  ArchiveText entry;
  entry.name = names[static_cast<std::size_t>(index)];
  const Bounded contents = runBounded({"unzip", "-p", archive.string(), archiveName(entry.name)},
                                      AttachmentView::kMaxShownBytes, std::chrono::seconds(10));
  if (!contents.succeeded && !contents.truncated) {
    entry.note = "The file cannot be extracted.";
    return entry;
  }
  std::optional<std::vector<std::string>> lines = textLines(contents.output, contents.truncated);
  if (!lines) {
    entry.note = "The file is not UTF-8 text.";
    return entry;
  }
  entry.lines = std::move(*lines);
  if (contents.truncated) {
    entry.note = "Only the first 2 MiB are shown.";
  }
  return entry;
}

}  // namespace tessaline::server
