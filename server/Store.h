#pragma once

#include <Tessaline/Error.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

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
  int strayFilesRemoved = 0;   // files without a record (an upload cut short by a crash)
};

// The service's data folder: a SQLite database (WAL, synchronous=FULL) with the reports and the
// attachment records, and one file per attachment. Everything a method reports as done is on
// disk (file, folder entry and database commit) before it returns. Safe to call from any thread.
class Store {
 public:
  enum class Mode {
    service,   // creates the folder and the database, migrates, takes the folder's lock
    readOnly,  // operator commands: the database must exist at the current schema version
    bulkLoad,  // like service, without syncing each commit: for filling a store in one go
  };

  static constexpr int kSchemaVersion = 3;
  static constexpr std::string_view kDatabaseName = "tessaline.sqlite3";
  static constexpr std::string_view kAttachmentsFolder = "attachments";

  static Result<std::unique_ptr<Store>> open(const std::filesystem::path& dataDir, Mode mode);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // An attachment being received. Its file is removed when the upload is dropped uncommitted.
  class Upload {
   public:
    Upload(Upload&& other) noexcept;
    Upload& operator=(Upload&&) = delete;
    ~Upload();

    const std::string& id() const { return id_; }
    std::uint64_t size() const { return size_; }
    // Appends bytes to the file; false when the disk refuses them.
    bool append(std::string_view bytes);
    // After a refused append: the disk is full or will not be written.
    bool outOfSpace() const {
      return failure_ == ENOSPC || failure_ == EDQUOT || failure_ == EFBIG || failure_ == EROFS;
    }

   private:
    friend class Store;
    Upload(Store* store, std::string id, int fd) : store_(store), id_(std::move(id)), fd_(fd) {}
    void discard();

    Store* store_;
    std::string id_;
    int fd_;
    std::uint64_t size_ = 0;
    int failure_ = 0;
  };

  Result<Upload> beginUpload();
  // Makes the upload durable (file and folder synced, record committed, with the key if one is
  // given) and returns its record.
  Result<AttachmentRecord> commitUpload(Upload upload, std::string localId, std::string fileId,
                                        std::string extension, const IdempotencyKey* key = nullptr);

  // Stores a report with its messages and attachment links in one durable transaction and
  // returns its new id. Every attachment must exist, belong to the report's local id and carry
  // the name the service gave it; otherwise nothing is stored. A key is stored in the same
  // transaction; a key stored before fails the whole insert.
  std::variant<std::string, ReportRejected, Error> insertReport(
      const NewReport& report, const IdempotencyKey* key = nullptr);

  // Stores reports without attachments in one transaction (bulk imports and benchmarks).
  Result<Unit> importReports(const std::vector<NewReport>& reports);

  // What the key stored, if it was stored.
  Result<std::optional<KeyUse>> keyUse(std::string_view key);
  // True for an error of a full disk or a folder that will not be written.
  static bool isNoSpace(const Error& error);

  // Removes uploads that no report references and that are older than the grace period, then
  // files in the attachments folder that have no record (atStart: whatever their age, since no
  // upload can be in flight yet). Files of uploads in flight are never touched.
  Result<OrphanSweep> removeOrphans(std::chrono::milliseconds grace, bool atStart);

  Result<std::vector<ReportSummary>> listReports();
  Result<std::optional<StoredReport>> report(std::string_view id);
  Result<std::optional<AttachmentRecord>> attachment(std::string_view id);

  // The dashboard's queries.
  Result<ReportPage> findReports(const ReportFilter& filter);
  Result<std::vector<ReportRow>> reportRows(const std::vector<std::string>& ids);
  // Each is false when there is no such report.
  Result<bool> setStatus(std::string_view id, std::string_view status);
  Result<bool> setKnownIssue(std::string_view id, const std::optional<std::string>& issue);
  Result<bool> addNote(std::string_view id, std::string_view author, std::string_view body);

  // Accounts: names are unique; the hash is libsodium's Argon2id string.
  Result<bool> addUser(std::string_view name, std::string_view passwordHash);  // false: exists
  Result<bool> removeUser(std::string_view name);  // false: no such user; ends its sessions
  Result<std::vector<UserAccount>> users();
  Result<std::optional<std::string>> passwordHash(std::string_view name);
  // Sessions are found by a hash of their token, so the database never holds a usable token.
  Result<Unit> addSession(std::string_view tokenHash, const Session& session);
  Result<std::optional<Session>> session(std::string_view tokenHash);  // expired: none
  Result<Unit> removeSession(std::string_view tokenHash);

  const std::filesystem::path& dataDir() const { return dataDir_; }
  std::filesystem::path attachmentPath(std::string_view id) const;

 private:
  class Statement;
  Store() = default;
  Result<Unit> openDatabase(Mode mode);
  Result<Unit> migrate();
  bool indexExistingReports();
  std::variant<std::string, ReportRejected, Error> insertReportLocked(const NewReport& report);
  Result<bool> changeReport(const char* sql, std::string_view id,
                            const std::optional<std::string>& value);
  Statement& statement(const char* sql);
  Error databaseError(const std::string& what) const;
  void forgetUpload(const std::string& id);
  bool recordKey(const IdempotencyKey* key, const std::string* reportId,
                 const std::string* attachmentId);

  std::filesystem::path dataDir_;
  std::filesystem::path attachmentsDir_;
  int attachmentsDirFd_ = -1;
  int lockFd_ = -1;
  sqlite3* db_ = nullptr;
  std::mutex mutex_;  // guards db_, the statements and uploadsInFlight_
  std::vector<std::pair<const char*, std::unique_ptr<Statement>>> statements_;
  std::set<std::string, std::less<>> uploadsInFlight_;
};

}  // namespace tessaline::server
