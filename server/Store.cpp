#include "Store.h"

#include "PostgresStore.h"
#include "SqliteStore.h"
#include "TextChecks.h"

#include <cctype>

namespace tessaline::server {

namespace {

// Errors of a disk that is full or will not be written; storing resumes when that passes.
constexpr std::string_view kNoSpacePrefix = "no space to store: ";
// Errors of a database server that cannot be reached; the next request connects again.
constexpr std::string_view kUnavailablePrefix = "database unavailable: ";

}  // namespace

Result<std::unique_ptr<Store>> Store::open(const std::string& location, Mode mode) {
  if (location.starts_with("postgresql://") || location.starts_with("postgres://")) {
    return PostgresStore::open(location, mode);
  }
  const std::string_view folder = std::string_view(location).starts_with("sqlite:")
                                      ? std::string_view(location).substr(7)
                                      : std::string_view(location);
  if (folder.empty()) {
    return Error(Error::Kind::generic, "no data folder given in \"" + location + "\"");
  }
  return SqliteStore::open(std::filesystem::path(folder), mode);
}

bool Store::Upload::append(std::string_view bytes) {
  if (failure_) {
    return false;
  }
  if (Result<Unit> written = sink_->write(bytes); !written) {
    failure_ = written.error();
    return false;
  }
  size_ += bytes.size();
  return true;
}

bool Store::isNoSpace(const Error& error) {
  return error.description().starts_with(kNoSpacePrefix);
}

bool Store::isUnavailable(const Error& error) {
  return error.description().starts_with(kUnavailablePrefix);
}

std::int64_t Store::nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

AttachmentRecord Store::attachmentRecord(const Upload& upload, std::string localId,
                                         std::string fileId, std::string extension) {
  AttachmentRecord record;
  record.id = upload.id();
  record.localId = std::move(localId);
  record.fileId = std::move(fileId);
  record.extension = std::move(extension);
  record.size = static_cast<std::int64_t>(upload.size());
  record.createdMs = nowMs();
  record.name = safeFileName(record.extension.empty() ? record.fileId
                                                      : record.fileId + "." + record.extension);
  return record;
}

Error Store::noSpaceError(const std::string& description) {
  return Error(Error::Kind::fileSystem, std::string(kNoSpacePrefix) + description);
}

Error Store::unavailableError(const std::string& description) {
  return Error(Error::Kind::fileSystem, std::string(kUnavailablePrefix) + description);
}

std::string Store::joinedMessages(const std::vector<std::string>& messages) {
  std::string joined;
  for (const std::string& message : messages) {
    joined += message;
    joined += '\n';
  }
  return joined;
}

std::vector<std::string> Store::searchWords(std::string_view text) {
  std::vector<std::string> words;
  std::size_t position = 0;
  while (position < text.size()) {
    while (position < text.size() && std::isspace(static_cast<unsigned char>(text[position]))) {
      ++position;
    }
    std::size_t end = position;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) {
      ++end;
    }
    if (end > position) {
      words.emplace_back(text.substr(position, end - position));
    }
    position = end;
  }
  return words;
}

AttachmentFile::~AttachmentFile() {
  if (temporary) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
}

void forEachFilterCondition(
    const ReportFilter& filter,
    const std::function<void(const char* sql, const std::variant<std::int64_t, std::string>&)>&
        condition) {
  if (filter.reasonId)
    condition("r.reason_id = ?", *filter.reasonId);
  if (filter.frequencyId)
    condition("r.frequency_id = ?", *filter.frequencyId);
  if (filter.appVersion)
    condition("r.app_version = ?", *filter.appVersion);
  if (filter.appBuild)
    condition("r.app_build = ?", *filter.appBuild);
  if (filter.operatingSystem)
    condition("r.operating_system = ?", *filter.operatingSystem);
  // Reports are stored in order of arrival and received times never go backwards, so a date
  // range is also a range of sequence numbers, which the list's own order can walk.
  if (filter.fromMs) {
    condition("r.received_ms >= ?", *filter.fromMs);
    condition(
        "r.sequence >= coalesce((SELECT sequence FROM reports WHERE received_ms >= ? "
        "ORDER BY received_ms, sequence LIMIT 1), 0)",
        *filter.fromMs);
  }
  if (filter.toMs) {
    condition("r.received_ms < ?", *filter.toMs);
    condition(
        "r.sequence <= coalesce((SELECT sequence FROM reports WHERE received_ms < ? "
        "ORDER BY received_ms DESC, sequence DESC LIMIT 1), 0)",
        *filter.toMs);
  }
  if (filter.status)
    condition("r.status = ?", *filter.status);
}

}  // namespace tessaline::server
