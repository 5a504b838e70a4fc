#pragma once

#include <Tessaline/Error.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessaline::server {

// One stored upload. Its bytes live in the file named by id under the attachments folder.
struct AttachmentRecord {
  std::string id;         // assigned by the service; also the file's name
  std::string localId;    // the report it was uploaded for
  std::string fileId;     // as the client named it
  std::string extension;  // as the client sent it
  std::string name;       // display name, safe as one path component
  std::int64_t size = 0;
  std::int64_t createdMs = 0;  // milliseconds since the Unix epoch

  friend bool operator==(const AttachmentRecord&, const AttachmentRecord&) = default;
};

// An attachment a report refers to, as the client lists it.
struct AttachmentReference {
  std::string id;
  std::string name;
};

struct NewReport {
  std::string localId;
  std::int64_t reasonId = 0;
  std::optional<std::string> reasonTitle;
  std::int64_t frequencyId = 0;
  std::optional<std::string> frequencyTitle;
  std::string subject;
  std::vector<std::string> messages;
  std::optional<std::string> name;
  std::optional<std::string> email;
  std::vector<AttachmentReference> attachments;
  std::optional<std::int64_t> receivedMs;  // an import's own time; now when absent
};

// A triage note on a report.
struct ReportNote {
  std::int64_t createdMs = 0;
  std::string author;
  std::string body;
};

struct StoredReport {
  std::string id;
  std::string localId;
  std::int64_t receivedMs = 0;
  std::int64_t reasonId = 0;
  std::optional<std::string> reasonTitle;
  std::int64_t frequencyId = 0;
  std::optional<std::string> frequencyTitle;
  std::string subject;
  std::vector<std::string> messages;
  std::optional<std::string> name;
  std::optional<std::string> email;
  std::vector<AttachmentRecord> attachments;
  // Taken from the environment summary at the end of the first message, when there is one.
  std::optional<std::string> appVersion;
  std::optional<std::int64_t> appBuild;
  std::optional<std::string> operatingSystem;
  // Triage.
  std::string status = "new";
  std::optional<std::string> knownIssue;
  std::vector<ReportNote> notes;  // oldest first
};

// What the report list filters on; every field that is set must match.
struct ReportFilter {
  std::optional<std::int64_t> reasonId;
  std::optional<std::int64_t> frequencyId;
  std::optional<std::string> appVersion;
  std::optional<std::int64_t> appBuild;
  std::optional<std::string> operatingSystem;
  std::optional<std::int64_t> fromMs;  // received at or after
  std::optional<std::int64_t> toMs;    // received before
  std::optional<std::string> status;
  std::string search;                 // words that subject, messages, name or e-mail must hold
  std::optional<std::int64_t> after;  // keyset cursor: the last row of the previous page
  int limit = 50;
};

// The filter's field conditions (all but search and cursor) as SQL over `reports r`, one `?` per
// value, in the order the values are to be bound. Both backends build their list on these.
void forEachFilterCondition(
    const ReportFilter& filter,
    const std::function<void(const char* sql, const std::variant<std::int64_t, std::string>&)>&
        condition);

// One line of the report list.
struct ReportRow {
  std::int64_t sequence = 0;  // the order of arrival, and the list's cursor
  std::string id;
  std::int64_t receivedMs = 0;
  std::int64_t reasonId = 0;
  std::optional<std::string> reasonTitle;
  std::int64_t frequencyId = 0;
  std::optional<std::string> frequencyTitle;
  std::string subject;
  std::optional<std::string> name;
  std::optional<std::string> email;
  std::optional<std::string> appVersion;
  std::optional<std::int64_t> appBuild;
  std::optional<std::string> operatingSystem;
  std::string status;
  std::optional<std::string> knownIssue;
};

struct ReportPage {
  std::vector<ReportRow> rows;       // newest first
  std::optional<std::int64_t> next;  // the cursor of the next page, when there is one
  std::int64_t count = 0;            // reports that match, counted up to countLimit
  bool countCapped = false;          // at least count match: counting stopped at its limit of work
  static constexpr std::int64_t countLimit = 10000;
};

struct UserAccount {
  std::string name;
  std::int64_t createdMs = 0;
};

struct Session {
  std::string userName;
  std::string csrfToken;
  std::int64_t expiresMs = 0;
};

struct ReportSummary {
  std::string id;
  std::int64_t receivedMs = 0;
  std::int64_t reasonId = 0;
  std::string subject;
  std::int64_t attachmentCount = 0;
};

// A report that names attachments it may not use; nothing was stored.
struct ReportRejected {
  std::string message;
};

// A client's Idempotency-Key and what identifies the request it came with.
struct IdempotencyKey {
  std::string key;
  std::string fingerprint;
};

// What a key stored before: a report or an attachment (only the fields its answer names).
struct KeyUse {
  std::string fingerprint;
  std::optional<std::string> reportId;
  std::optional<AttachmentRecord> attachment;
};

struct OrphanSweep {
  int attachmentsRemoved = 0;  // unreferenced uploads past the grace period
  int strayFilesRemoved = 0;   // bytes without a record (an upload cut short by a crash)
};

struct AttachmentFile;

// Where the service keeps its data: reports, uploads, idempotency keys, dashboard accounts and
// sessions. Two backends: SQLite in a data folder (the default) and PostgreSQL, which several
// instances can share. Everything a method reports as done is durable before it returns. Safe to
// call from any thread.
class Store {
 public:
  enum class Mode {
    service,   // creates what is missing and migrates the schema
    readOnly,  // operator commands: the database must exist at the current schema version
    bulkLoad,  // like service, without syncing each commit: for filling a store in one go
  };

  // A data folder, "sqlite:FOLDER" or a PostgreSQL URL ("postgresql://..." or "postgres://...").
  static Result<std::unique_ptr<Store>> open(const std::string& location, Mode mode);
  static Result<std::unique_ptr<Store>> open(const std::filesystem::path& dataDir, Mode mode) {
    return open("sqlite:" + dataDir.string(), mode);
  }
  static Result<std::unique_ptr<Store>> open(const char* location, Mode mode) {
    return open(std::string(location), mode);
  }
  virtual ~Store() = default;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Where a backend writes an upload's bytes.
  class Sink {
   public:
    virtual ~Sink() = default;  // dropped uncommitted: removes what was written
    virtual Result<Unit> write(std::string_view bytes) = 0;
  };

  // An attachment being received. What it wrote is removed when it is dropped uncommitted.
  class Upload {
   public:
    Upload(std::string id, std::unique_ptr<Sink> sink)
        : id_(std::move(id)), sink_(std::move(sink)) {}
    Upload(Upload&&) noexcept = default;
    Upload& operator=(Upload&&) = delete;

    const std::string& id() const { return id_; }
    std::uint64_t size() const { return size_; }
    // Appends bytes; false when the store refuses them (failure() says why).
    bool append(std::string_view bytes);
    const std::optional<Error>& failure() const { return failure_; }
    // After a refused append: the disk is full or will not be written.
    bool outOfSpace() const { return failure_ && isNoSpace(*failure_); }
    Sink* sink() const { return sink_.get(); }

   private:
    std::string id_;
    std::unique_ptr<Sink> sink_;
    std::uint64_t size_ = 0;
    std::optional<Error> failure_;
  };

  virtual Result<Upload> beginUpload() = 0;
  // Makes the upload durable (its bytes, and its record with the key if one is given) and
  // returns its record.
  virtual Result<AttachmentRecord> commitUpload(Upload upload, std::string localId,
                                                std::string fileId, std::string extension,
                                                const IdempotencyKey* key = nullptr) = 0;

  // Stores a report with its messages and attachment links in one durable transaction and
  // returns its new id. Every attachment must exist, belong to the report's local id and carry
  // the name the service gave it; otherwise nothing is stored. A key is stored in the same
  // transaction; a key stored before fails the whole insert.
  virtual std::variant<std::string, ReportRejected, Error> insertReport(
      const NewReport& report, const IdempotencyKey* key = nullptr) = 0;

  // Stores reports without attachments in one transaction (bulk imports and benchmarks).
  virtual Result<Unit> importReports(const std::vector<NewReport>& reports) = 0;

  // What the key stored, if it was stored.
  virtual Result<std::optional<KeyUse>> keyUse(std::string_view key) = 0;
  // True for an error of a full disk or a database that will not be written.
  static bool isNoSpace(const Error& error);
  // True for an error of a database that cannot be reached now; a later request may succeed.
  static bool isUnavailable(const Error& error);
  static Error noSpaceError(const std::string& description);
  static Error unavailableError(const std::string& description);

  // Removes uploads that no report references and that are older than the grace period, and
  // the remains of uploads cut short by a crash (atStart: whatever their age, where no other
  // process can be uploading into the same store). Uploads in flight are never touched.
  virtual Result<OrphanSweep> removeOrphans(std::chrono::milliseconds grace, bool atStart) = 0;

  virtual Result<std::vector<ReportSummary>> listReports() = 0;
  virtual Result<std::optional<StoredReport>> report(std::string_view id) = 0;
  virtual Result<std::optional<AttachmentRecord>> attachment(std::string_view id) = 0;
  // The attachment's bytes as a file to read, for as long as the pointer is held.
  virtual Result<std::shared_ptr<const AttachmentFile>> attachmentFile(std::string_view id) = 0;
  // The file that keeps the attachment's bytes, when the store keeps them in files; else empty.
  virtual std::filesystem::path attachmentPath(std::string_view) const { return {}; }

  // The dashboard's queries.
  virtual Result<ReportPage> findReports(const ReportFilter& filter) = 0;
  virtual Result<std::vector<ReportRow>> reportRows(const std::vector<std::string>& ids) = 0;
  // Each is false when there is no such report.
  virtual Result<bool> setStatus(std::string_view id, std::string_view status) = 0;
  virtual Result<bool> setKnownIssue(std::string_view id,
                                     const std::optional<std::string>& issue) = 0;
  virtual Result<bool> addNote(std::string_view id, std::string_view author,
                               std::string_view body) = 0;

  // Accounts: names are unique; the hash is libsodium's Argon2id string.
  virtual Result<bool> addUser(std::string_view name, std::string_view passwordHash) = 0;
  virtual Result<bool> removeUser(std::string_view name) = 0;  // false: none; ends its sessions
  virtual Result<std::vector<UserAccount>> users() = 0;
  virtual Result<std::optional<std::string>> passwordHash(std::string_view name) = 0;
  // Sessions are found by a hash of their token, so the database never holds a usable token.
  virtual Result<Unit> addSession(std::string_view tokenHash, const Session& session) = 0;
  virtual Result<std::optional<Session>> session(std::string_view tokenHash) = 0;  // expired: none
  virtual Result<Unit> removeSession(std::string_view tokenHash) = 0;
  // Failed dashboard logins per key (an account or a client address), kept where every instance
  // on the store counts them. A failure windowMs or more after the key's last one starts a new
  // count; counts whose window has passed are removed.
  virtual Result<Unit> addLoginFailure(std::string_view key, std::int64_t windowMs) = 0;
  // The key's failures, none when its last one is windowMs or more ago.
  virtual Result<std::int64_t> loginFailures(std::string_view key, std::int64_t windowMs) = 0;
  virtual Result<Unit> clearLoginFailures(std::string_view key) = 0;

  static std::int64_t nowMs();
  // The record of a finished upload, stamped now and named after its fileId and extension.
  static AttachmentRecord attachmentRecord(const Upload& upload, std::string localId,
                                           std::string fileId, std::string extension);
  // All messages in one text, for the search index.
  static std::string joinedMessages(const std::vector<std::string>& messages);
  // The search box's text split at white space.
  static std::vector<std::string> searchWords(std::string_view text);

 protected:
  Store() = default;
};

// An attachment's bytes in a file: the stored file itself, or a temporary copy that is removed
// with this object.
struct AttachmentFile {
  std::filesystem::path path;
  bool temporary = false;
  AttachmentFile(std::filesystem::path path, bool temporary)
      : path(std::move(path)), temporary(temporary) {}
  ~AttachmentFile();
  AttachmentFile(const AttachmentFile&) = delete;
  AttachmentFile& operator=(const AttachmentFile&) = delete;
};

}  // namespace tessaline::server
