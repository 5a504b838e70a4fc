#pragma once

#include "Store.h"

#include <mutex>
#include <set>

typedef struct pg_conn PGconn;

namespace tessaline::server {

// The store on a PostgreSQL server, which any number of service instances share: records,
// uploads (their bytes in chunks, so a large upload never sits whole in memory), idempotency
// keys, accounts and sessions all live in the database. Connections come from a small pool; a
// connection that broke is dropped, so the next request connects again.
class PostgresStore final : public Store {
 public:
  static constexpr int kSchemaVersion = 2;

  static Result<std::unique_ptr<Store>> open(const std::string& url, Mode mode);
  ~PostgresStore() override;

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

  class Connection;  // a connection taken from the pool, given back when done

 private:
  class ChunkSink;
  PostgresStore() = default;
  Result<Connection> connect();
  void giveBack(PGconn* connection);
  Result<Unit> migrate(Connection& connection, Mode mode);
  Result<bool> changeReport(const char* sql, std::string_view id,
                            const std::optional<std::string>& value);
  std::variant<std::string, ReportRejected, Error> insertLocked(Connection& connection,
                                                                const NewReport& report);

  std::string url_;
  std::mutex mutex_;  // guards idle_ and uploadsInFlight_
  std::vector<PGconn*> idle_;
  std::set<std::string, std::less<>> uploadsInFlight_;
};

}  // namespace tessaline::server
