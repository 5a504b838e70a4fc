#pragma once

#include "Store.h"

#include <mutex>
#include <set>

struct sqlite3;

namespace tessaline::server {

// The store in a data folder: a SQLite database (WAL, synchronous=FULL) with the records, and
// one file per attachment. The folder's lock keeps a second service out.
class SqliteStore final : public Store {
 public:
  static constexpr int kSchemaVersion = 4;
  static constexpr std::string_view kDatabaseName = "tessaline.sqlite3";
  static constexpr std::string_view kAttachmentsFolder = "attachments";

  static Result<std::unique_ptr<Store>> open(const std::filesystem::path& dataDir, Mode mode);
  ~SqliteStore() override;

  Result<Upload> beginUpload() override;
  Result<AttachmentRecord> commitUpload(Upload upload, std::string localId, std::string fileId,
                                        std::string extension, const IdempotencyKey* key) override;
  std::variant<std::string, ReportRejected, Error> insertReport(const NewReport& report,
                                                                const IdempotencyKey* key) override;
  Result<Unit> importReports(const std::vector<NewReport>& reports) override;
  Result<std::optional<KeyUse>> keyUse(std::string_view key) override;
  Result<OrphanSweep> removeOrphans(std::chrono::milliseconds grace, bool atStart) override;
  Result<std::vector<ReportSummary>> listReports() override;
  Result<std::optional<StoredReport>> report(std::string_view id) override;
  Result<std::optional<AttachmentRecord>> attachment(std::string_view id) override;
  Result<std::shared_ptr<const AttachmentFile>> attachmentFile(std::string_view id) override;
  std::filesystem::path attachmentPath(std::string_view id) const override;
  Result<ReportPage> findReports(const ReportFilter& filter) override;
  Result<std::vector<ReportRow>> reportRows(const std::vector<std::string>& ids) override;
  Result<bool> setStatus(std::string_view id, std::string_view status) override;
  Result<bool> setKnownIssue(std::string_view id, const std::optional<std::string>& issue) override;
  Result<bool> addNote(std::string_view id, std::string_view author,
                       std::string_view body) override;
  Result<bool> addUser(std::string_view name, std::string_view passwordHash) override;
  Result<bool> removeUser(std::string_view name) override;
  Result<std::vector<UserAccount>> users() override;
  Result<std::optional<std::string>> passwordHash(std::string_view name) override;
  Result<Unit> addSession(std::string_view tokenHash, const Session& session) override;
  Result<std::optional<Session>> session(std::string_view tokenHash) override;
  Result<Unit> removeSession(std::string_view tokenHash) override;
  Result<Unit> addLoginFailure(std::string_view key, std::int64_t windowMs) override;
  Result<std::int64_t> loginFailures(std::string_view key, std::int64_t windowMs) override;
  Result<Unit> clearLoginFailures(std::string_view key) override;

 private:
  class Statement;
  class FileSink;
  SqliteStore() = default;
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
