#include "PostgresStore.h"

#include "TextChecks.h"

#include <Tessaline/records/Uuid.h>

#include <libpq-fe.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>

namespace tessaline::server {

namespace {

// Each entry moves the schema from its index to the next version; never edit a shipped entry,
// append a new one.
constexpr const char* kMigrations[] = {
    R"sql(
CREATE TABLE attachments (
  id TEXT PRIMARY KEY,
  local_id TEXT NOT NULL,
  file_id TEXT NOT NULL,
  extension TEXT NOT NULL,
  name TEXT NOT NULL,
  size BIGINT NOT NULL,
  created_ms BIGINT NOT NULL
);
CREATE INDEX attachments_created ON attachments(created_ms);
-- An upload's bytes, written as they arrive; its record in attachments comes when it is whole.
CREATE TABLE upload_chunks (
  upload_id TEXT NOT NULL,
  position INTEGER NOT NULL,
  bytes BYTEA NOT NULL,
  created_ms BIGINT NOT NULL,
  PRIMARY KEY (upload_id, position)
);
CREATE INDEX upload_chunks_created ON upload_chunks(created_ms);
CREATE TABLE reports (
  sequence BIGINT NOT NULL UNIQUE,
  id TEXT PRIMARY KEY,
  local_id TEXT NOT NULL,
  received_ms BIGINT NOT NULL,
  reason_id BIGINT NOT NULL,
  reason_title TEXT,
  frequency_id BIGINT NOT NULL,
  frequency_title TEXT,
  subject TEXT NOT NULL,
  name TEXT,
  email TEXT,
  app_version TEXT,
  app_build BIGINT,
  operating_system TEXT,
  status TEXT NOT NULL DEFAULT 'new',
  known_issue TEXT,
  search TSVECTOR NOT NULL
);
CREATE INDEX reports_received_sequence ON reports(received_ms, sequence);
CREATE INDEX reports_status ON reports(status, sequence);
CREATE INDEX reports_reason ON reports(reason_id, sequence);
CREATE INDEX reports_frequency ON reports(frequency_id, sequence);
CREATE INDEX reports_version ON reports(app_version, sequence);
CREATE INDEX reports_build ON reports(app_build, sequence);
CREATE INDEX reports_system ON reports(operating_system, sequence);
CREATE INDEX reports_search ON reports USING GIN (search);
CREATE TABLE report_messages (
  report_id TEXT NOT NULL REFERENCES reports(id),
  position INTEGER NOT NULL,
  body TEXT NOT NULL,
  PRIMARY KEY (report_id, position)
);
CREATE TABLE report_attachments (
  report_id TEXT NOT NULL REFERENCES reports(id),
  position INTEGER NOT NULL,
  attachment_id TEXT NOT NULL REFERENCES attachments(id),
  PRIMARY KEY (report_id, position)
);
CREATE INDEX report_attachments_attachment ON report_attachments(attachment_id);
CREATE TABLE report_notes (
  number BIGSERIAL PRIMARY KEY,
  report_id TEXT NOT NULL REFERENCES reports(id),
  created_ms BIGINT NOT NULL,
  author TEXT NOT NULL,
  body TEXT NOT NULL
);
CREATE INDEX report_notes_report ON report_notes(report_id, created_ms);
CREATE TABLE users (
  name TEXT PRIMARY KEY,
  password_hash TEXT NOT NULL,
  created_ms BIGINT NOT NULL
);
CREATE TABLE sessions (
  token_hash TEXT PRIMARY KEY,
  user_name TEXT NOT NULL REFERENCES users(name) ON DELETE CASCADE,
  csrf_token TEXT NOT NULL,
  expires_ms BIGINT NOT NULL
);
CREATE TABLE idempotency_keys (
  key TEXT PRIMARY KEY,
  fingerprint TEXT NOT NULL,
  report_id TEXT REFERENCES reports(id) ON DELETE CASCADE,
  attachment_id TEXT REFERENCES attachments(id) ON DELETE CASCADE
);
CREATE INDEX idempotency_keys_attachment ON idempotency_keys(attachment_id);
CREATE INDEX idempotency_keys_report ON idempotency_keys(report_id);
)sql",
    // Failed dashboard logins, per account and per client address: counted by every instance.
    R"sql(
CREATE TABLE login_failures (
  key TEXT PRIMARY KEY,
  failures BIGINT NOT NULL,
  last_ms BIGINT NOT NULL
);
CREATE INDEX login_failures_last ON login_failures(last_ms);
)sql",
};
static_assert(std::size(kMigrations) == PostgresStore::kSchemaVersion);

// Advisory locks: one for migrations, one that puts report inserts in a single order across
// every instance, so received times and the sequence grow together.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(7461001)";
constexpr const char* kReportLock = "SELECT pg_advisory_xact_lock(7461002)";

// Uploads are written in pieces of this size.
constexpr std::size_t kChunkBytes = 1024 * 1024;
// How long counting the matches of a filter may take; beyond it the list says "at least".
constexpr const char* kCountTime = "SET LOCAL statement_timeout = 25";

// Parameters of one statement, as text (or bytes for a bytea) or NULL.
class Params {
 public:
  Params() = default;
  Params(const Params&) = delete;  // the values point into the storage
  Params& operator=(const Params&) = delete;
  // PostgreSQL text holds no NUL character (a text parameter would end there): U+FFFD marks it.
  Params& add(std::string_view text) {
    std::string& value = storage_.emplace_back();
    for (std::size_t next = 0; next <= text.size();) {
      const std::size_t nul = std::min(text.find('\0', next), text.size());
      value.append(text.substr(next, nul - next));
      if (nul < text.size()) {
        value.append("\xEF\xBF\xBD");
      }
      next = nul + 1;
    }
    return push(value, 0);
  }
  Params& add(const std::string& text) { return add(std::string_view(text)); }
  Params& add(const char* text) { return add(std::string_view(text)); }
  Params& add(std::int64_t value) { return add(std::to_string(value)); }
  Params& add(const std::optional<std::string>& text) { return text ? add(*text) : null(); }
  Params& add(const std::optional<std::int64_t>& value) { return value ? add(*value) : null(); }
  Params& bytes(std::string_view data) { return push(storage_.emplace_back(data), 1); }
  Params& null() {
    values_.push_back(nullptr);
    lengths_.push_back(0);
    formats_.push_back(0);
    return *this;
  }
  int count() const { return static_cast<int>(values_.size()); }
  const char* const* values() const { return values_.data(); }
  const int* lengths() const { return lengths_.data(); }
  const int* formats() const { return formats_.data(); }

 private:
  Params& push(const std::string& value, int format) {
    values_.push_back(value.data());
    lengths_.push_back(static_cast<int>(value.size()));
    formats_.push_back(format);
    return *this;
  }

  std::deque<std::string> storage_;
  std::vector<const char*> values_;
  std::vector<int> lengths_;
  std::vector<int> formats_;
};

// A statement's result.
class Rows {
 public:
  explicit Rows(PGresult* result) : result_(result, PQclear) {}
  int count() const { return PQntuples(result_.get()); }
  bool null(int row, int column) const { return PQgetisnull(result_.get(), row, column) != 0; }
  std::string text(int row, int column) const {
    return std::string(PQgetvalue(result_.get(), row, column),
                       static_cast<std::size_t>(PQgetlength(result_.get(), row, column)));
  }
  std::int64_t integer(int row, int column) const {
    return std::strtoll(PQgetvalue(result_.get(), row, column), nullptr, 10);
  }
  std::optional<std::string> optionalText(int row, int column) const {
    return null(row, column) ? std::nullopt : std::optional(text(row, column));
  }
  std::optional<std::int64_t> optionalInteger(int row, int column) const {
    return null(row, column) ? std::nullopt : std::optional(integer(row, column));
  }
  // Rows a statement without RETURNING changed.
  std::int64_t changed() const { return std::strtoll(PQcmdTuples(result_.get()), nullptr, 10); }
  PGresult* get() const { return result_.get(); }

 private:
  std::shared_ptr<PGresult> result_;
};

// "?" placeholders as PostgreSQL's "$1", "$2", ... (our statements hold no "?" otherwise).
std::string numbered(std::string_view sql) {
  std::string out;
  int next = 0;
  for (char c : sql) {
    if (c == '?') {
      out += "$" + std::to_string(++next);
    } else {
      out += c;
    }
  }
  return out;
}

ReportRow rowOf(const Rows& rows, int row) {
  return {rows.integer(row, 0),       rows.text(row, 1),          rows.integer(row, 2),
          rows.integer(row, 3),       rows.optionalText(row, 4),  rows.integer(row, 5),
          rows.optionalText(row, 6),  rows.text(row, 7),          rows.optionalText(row, 8),
          rows.optionalText(row, 9),  rows.optionalText(row, 10), rows.optionalInteger(row, 11),
          rows.optionalText(row, 12), rows.text(row, 13),         rows.optionalText(row, 14)};
}

constexpr const char* kRowColumns =
    "r.sequence, r.id, r.received_ms, r.reason_id, r.reason_title, r.frequency_id, "
    "r.frequency_title, r.subject, r.name, r.email, r.app_version, r.app_build, "
    "r.operating_system, r.status, r.known_issue";

}  // namespace

// A pooled connection; runs statements and tells a lost server from other errors.
class PostgresStore::Connection {
 public:
  Connection(PostgresStore& store, PGconn* connection) : store_(&store), connection_(connection) {}
  Connection(Connection&& other) noexcept
      : store_(other.store_), connection_(std::exchange(other.connection_, nullptr)) {}
  Connection& operator=(Connection&&) = delete;
  ~Connection() {
    if (connection_) {
      store_->giveBack(connection_);
    }
  }

  Result<Rows> run(const std::string& what, const std::string& sql, const Params& params = {},
                   int resultFormat = 0, const char* allowedState = nullptr) {
    lastState_.clear();
    // Without parameters a statement may be a script of several (migrations).
    Rows rows(params.count() == 0 && resultFormat == 0
                  ? PQexec(connection_, sql.c_str())
                  : PQexecParams(connection_, sql.c_str(), params.count(), nullptr, params.values(),
                                 params.lengths(), params.formats(), resultFormat));
    const ExecStatusType status = PQresultStatus(rowsResult(rows));
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
      return rows;
    }
    const char* state = PQresultErrorField(rowsResult(rows), PG_DIAG_SQLSTATE);
    lastState_ = state ? state : "";
    if (allowedState && lastState_ == allowedState) {
      return rows;
    }
    const std::string description = what + ": " + message(rows);
    if (PQstatus(connection_) != CONNECTION_OK || lastState_.starts_with("08") ||
        lastState_.starts_with("57P")) {
      return unavailableError(description);
    }
    if (lastState_ == "53100") {  // disk full
      return noSpaceError(description);
    }
    return Error(Error::Kind::fileSystem, description);
  }
  Result<Rows> run(const std::string& what, const char* sql, const Params& params = {}) {
    return run(what, std::string(sql), params);
  }
  const std::string& lastState() const { return lastState_; }

 private:
  static PGresult* rowsResult(const Rows& rows) { return rows.get(); }
  std::string message(const Rows& rows) const {
    std::string text = PQresultErrorMessage(rowsResult(rows));
    if (text.empty()) {
      text = PQerrorMessage(connection_);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
      text.pop_back();
    }
    return text;
  }

  PostgresStore* store_;
  PGconn* connection_;
  std::string lastState_;
};

namespace {

// A transaction that rolls back unless committed.
class Transaction {
 public:
  Transaction(PostgresStore::Connection& connection) : connection_(connection) {}
  ~Transaction() {
    if (begun_ && !ended_) {
      (void)connection_.run("cannot roll back", "ROLLBACK");
    }
  }
  Result<Unit> begin(const std::string& what) {
    Result<Rows> begun = connection_.run(what, "BEGIN");
    if (!begun) {
      return begun.error();
    }
    begun_ = true;
    return Unit{};
  }
  Result<Unit> commit(const std::string& what) {
    Result<Rows> committed = connection_.run(what, "COMMIT");
    ended_ = true;
    if (!committed) {
      return committed.error();
    }
    return Unit{};
  }

 private:
  PostgresStore::Connection& connection_;
  bool begun_ = false;
  bool ended_ = false;
};

}  // namespace

Result<std::unique_ptr<Store>> PostgresStore::open(const std::string& url, Mode mode) {
  std::unique_ptr<PostgresStore> store(new PostgresStore());
  store->url_ = url;
  Result<Connection> connection = store->connect();
  if (!connection) {
    return connection.error();
  }
  if (Result<Unit> migrated = store->migrate(connection.value(), mode); !migrated) {
    return migrated.error();
  }
  return std::unique_ptr<Store>(std::move(store));
}

PostgresStore::~PostgresStore() {
  for (PGconn* connection : idle_) {
    PQfinish(connection);
  }
}

Result<PostgresStore::Connection> PostgresStore::connect() {
  {
    std::lock_guard lock(mutex_);
    // A connection the server closed while it was idle (a restart, a terminated backend) has
    // its end of file waiting to be read: drop it and try the next.
    while (!idle_.empty()) {
      PGconn* connection = idle_.back();
      idle_.pop_back();
      if (PQconsumeInput(connection) != 0 && PQconsumeInput(connection) != 0 &&
          PQstatus(connection) == CONNECTION_OK) {
        return Connection(*this, connection);
      }
      PQfinish(connection);
    }
  }
  // The URL's own settings come after the time-out, so they win.
  const char* const keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
  const char* const values[] = {"10", "tessaline-service", url_.c_str(), nullptr};
  PGconn* connection = PQconnectdbParams(keywords, values, 1);
  if (PQstatus(connection) != CONNECTION_OK) {
    std::string message = connection ? PQerrorMessage(connection) : "out of memory";
    PQfinish(connection);
    while (!message.empty() && message.back() == '\n') {
      message.pop_back();
    }
    return unavailableError("cannot connect to the database: " + message);
  }
  PQsetNoticeProcessor(
      connection, [](void*, const char*) {}, nullptr);
  return Connection(*this, connection);
}

void PostgresStore::giveBack(PGconn* connection) {
  constexpr std::size_t kMaxIdle = 16;
  if (PQstatus(connection) == CONNECTION_OK && PQtransactionStatus(connection) == PQTRANS_IDLE) {
    std::lock_guard lock(mutex_);
    if (idle_.size() < kMaxIdle) {
      idle_.push_back(connection);
      return;
    }
  }
  PQfinish(connection);
}

Result<Unit> PostgresStore::migrate(Connection& connection, Mode mode) {
  Transaction transaction(connection);
  if (Result<Unit> begun = transaction.begin("cannot migrate the database"); !begun) {
    return begun.error();
  }
  if (mode != Mode::readOnly) {
    Result<Rows> locked = connection.run("cannot migrate the database", kMigrationLock);
    Result<Rows> made =
        connection.run("cannot migrate the database",
                       "CREATE TABLE IF NOT EXISTS tessaline_schema (version INTEGER NOT NULL)");
    if (!locked || !made) {
      return !locked ? locked.error() : made.error();
    }
  }
  Result<Rows> version = connection.run("cannot read the schema version",
                                        "SELECT coalesce(max(version), 0) FROM tessaline_schema "
                                        "WHERE to_regclass('tessaline_schema') "
                                        "IS NOT NULL");
  if (!version) {
    return mode == Mode::readOnly
               ? Error(Error::Kind::fileSystem, "no reports database at the given PostgreSQL URL")
               : version.error();
  }
  const std::int64_t current = version.value().integer(0, 0);
  if (current > kSchemaVersion || current < 0) {
    return Error(Error::Kind::fileSystem, "the PostgreSQL database has schema version " +
                                              std::to_string(current) +
                                              ", newer than this tessaline-service (" +
                                              std::to_string(kSchemaVersion) + ")");
  }
  if (mode == Mode::readOnly) {
    if (current != kSchemaVersion) {
      return Error(Error::Kind::fileSystem,
                   "the PostgreSQL database has schema version " + std::to_string(current) +
                       ", this tool reads version " + std::to_string(kSchemaVersion) +
                       "; start the service on it first");
    }
    return transaction.commit("cannot read the schema version");
  }
  for (std::int64_t step = current; step < kSchemaVersion; ++step) {
    const std::string what = "cannot migrate the database to version " + std::to_string(step + 1);
    Result<Rows> migrated = connection.run(what, kMigrations[step]);
    Result<Rows> recorded = migrated ? connection.run(what,
                                                      "DELETE FROM tessaline_schema; INSERT INTO "
                                                      "tessaline_schema VALUES (" +
                                                          std::to_string(step + 1) + ")")
                                     : migrated;
    if (!recorded) {
      return recorded.error();
    }
  }
  return transaction.commit("cannot migrate the database");
}

// --- Uploads

// An upload's chunks, each written (and committed) as it fills; removed when the upload is
// dropped uncommitted. Crashes leave chunks without a record, which the sweep removes.
class PostgresStore::ChunkSink final : public Store::Sink {
 public:
  ChunkSink(PostgresStore& store, std::string id) : store_(store), id_(std::move(id)) {}
  ~ChunkSink() override {
    if (!committed_) {
      if (Result<Connection> connection = store_.connect()) {
        (void)connection.value().run("cannot remove an upload",
                                     "DELETE FROM upload_chunks WHERE upload_id = $1",
                                     Params().add(id_));
      }
    }
    std::lock_guard lock(store_.mutex_);
    store_.uploadsInFlight_.erase(id_);
  }

  Result<Unit> write(std::string_view bytes) override {
    buffer_.append(bytes);
    while (buffer_.size() >= kChunkBytes) {
      if (Result<Unit> written = flush(kChunkBytes); !written) {
        return written;
      }
    }
    return Unit{};
  }

  // Writes the first `size` bytes of the buffer as the next chunk.
  Result<Unit> flush(std::size_t size) {
    Result<Connection> connection = store_.connect();
    if (!connection) {
      return connection.error();
    }
    Result<Rows> inserted =
        connection.value().run("cannot write attachment " + id_,
                               "INSERT INTO upload_chunks (upload_id, position, bytes, created_ms) "
                               "VALUES ($1, $2, $3, $4)",
                               Params()
                                   .add(id_)
                                   .add(std::int64_t{next_})
                                   .bytes(std::string_view(buffer_).substr(0, size))
                                   .add(nowMs()));
    if (!inserted) {
      return inserted.error();
    }
    ++next_;
    buffer_.erase(0, size);
    return Unit{};
  }

  Result<Unit> finish() { return buffer_.empty() ? Result<Unit>(Unit{}) : flush(buffer_.size()); }

  bool committed_ = false;

 private:
  PostgresStore& store_;
  std::string id_;
  std::string buffer_;
  int next_ = 0;
};

Result<Store::Upload> PostgresStore::beginUpload() {
  std::string id = Uuid::random().uuidString();
  {
    std::lock_guard lock(mutex_);
    uploadsInFlight_.insert(id);
  }
  auto sink = std::make_unique<ChunkSink>(*this, id);
  return Upload(std::move(id), std::move(sink));
}

Result<AttachmentRecord> PostgresStore::commitUpload(Upload upload, std::string localId,
                                                     std::string fileId, std::string extension,
                                                     const IdempotencyKey* key) {
  auto* sink = static_cast<ChunkSink*>(upload.sink());
  if (Result<Unit> flushed = sink->finish(); !flushed) {
    return flushed.error();
  }
  AttachmentRecord record =
      attachmentRecord(upload, std::move(localId), std::move(fileId), std::move(extension));

  const std::string what = "cannot record attachment " + record.id;
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Connection& db = connection.value();
  Transaction transaction(db);
  if (Result<Unit> begun = transaction.begin(what); !begun) {
    return begun.error();
  }
  Result<Rows> inserted =
      db.run(what,
             "INSERT INTO attachments (id, local_id, file_id, extension, name, size, created_ms) "
             "VALUES ($1, $2, $3, $4, $5, $6, $7)",
             Params()
                 .add(record.id)
                 .add(record.localId)
                 .add(record.fileId)
                 .add(record.extension)
                 .add(record.name)
                 .add(record.size)
                 .add(record.createdMs));
  if (!inserted) {
    return inserted.error();
  }
  if (key) {
    Result<Rows> keyed = db.run(
        what, "INSERT INTO idempotency_keys (key, fingerprint, attachment_id) VALUES ($1, $2, $3)",
        Params().add(key->key).add(key->fingerprint).add(record.id));
    if (!keyed) {
      return keyed.error();
    }
  }
  if (Result<Unit> committed = transaction.commit(what); !committed) {
    return committed.error();
  }
  sink->committed_ = true;
  return record;
}

Result<std::optional<KeyUse>> PostgresStore::keyUse(std::string_view key) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> found = connection.value().run(
      "cannot look up an idempotency key",
      "SELECT k.fingerprint, k.report_id, a.id, a.local_id, a.name FROM idempotency_keys k "
      "LEFT JOIN attachments a ON a.id = k.attachment_id WHERE k.key = $1",
      Params().add(key));
  if (!found) {
    return found.error();
  }
  const Rows& rows = found.value();
  if (rows.count() == 0) {
    return std::optional<KeyUse>();
  }
  KeyUse use;
  use.fingerprint = rows.text(0, 0);
  use.reportId = rows.optionalText(0, 1);
  if (!rows.null(0, 2)) {
    use.attachment = AttachmentRecord{};
    use.attachment->id = rows.text(0, 2);
    use.attachment->localId = rows.text(0, 3);
    use.attachment->name = rows.text(0, 4);
  }
  return std::optional<KeyUse>(std::move(use));
}

// --- Reports

std::variant<std::string, ReportRejected, Error> PostgresStore::insertReport(
    const NewReport& report, const IdempotencyKey* key) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Connection& db = connection.value();
  Transaction transaction(db);
  if (Result<Unit> begun = transaction.begin("cannot begin storing a report"); !begun) {
    return begun.error();
  }
  auto stored = insertLocked(db, report);
  // The key is stored with the report, so a repeat finds either both or neither.
  if (const auto* id = std::get_if<std::string>(&stored); id && key) {
    Result<Rows> keyed =
        db.run("cannot store the report's idempotency key",
               "INSERT INTO idempotency_keys (key, fingerprint, report_id) VALUES ($1, $2, $3)",
               Params().add(key->key).add(key->fingerprint).add(*id));
    if (!keyed) {
      stored = keyed.error();
    }
  }
  if (std::holds_alternative<std::string>(stored)) {
    if (Result<Unit> committed = transaction.commit("cannot commit the report"); !committed) {
      stored = committed.error();
    }
  }
  return stored;
}

Result<Unit> PostgresStore::importReports(const std::vector<NewReport>& reports) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Transaction transaction(connection.value());
  if (Result<Unit> begun = transaction.begin("cannot begin an import"); !begun) {
    return begun.error();
  }
  for (const NewReport& report : reports) {
    auto stored = insertLocked(connection.value(), report);
    if (const auto* error = std::get_if<Error>(&stored)) {
      return *error;
    }
    if (const auto* rejected = std::get_if<ReportRejected>(&stored)) {
      return Error(Error::Kind::fileSystem, rejected->message);
    }
  }
  return transaction.commit("cannot commit an import");
}

// Within a transaction the caller opened and ends.
std::variant<std::string, ReportRejected, Error> PostgresStore::insertLocked(
    Connection& db, const NewReport& report) {
  const std::string id = Uuid::random().uuidString();
  const std::int64_t requestedMs = report.receivedMs.value_or(nowMs());
  for (const AttachmentReference& reference : report.attachments) {
    Result<Rows> found =
        db.run("cannot look up attachments", "SELECT local_id, name FROM attachments WHERE id = $1",
               Params().add(reference.id));
    if (!found) {
      return found.error();
    }
    if (found.value().count() == 0) {
      return ReportRejected{"unknown attachment id \"" + reference.id + "\""};
    }
    if (found.value().text(0, 0) != report.localId) {
      return ReportRejected{"attachment \"" + reference.id + "\" was uploaded for another report"};
    }
    if (const std::string name = found.value().text(0, 1); name != reference.name) {
      return ReportRejected{"attachment \"" + reference.id + "\" is named \"" + name + "\""};
    }
  }
  // One insert at a time across all instances: received times never go backwards (a clock
  // stepped back stamps the time of the last report), so arrival order is also time order.
  Result<Rows> locked = db.run("cannot store the report", kReportLock);
  if (!locked) {
    return locked.error();
  }
  Result<Rows> last = db.run("cannot store the report",
                             "SELECT coalesce(max(received_ms), 0), coalesce(max(sequence), 0) "
                             "FROM reports");
  if (!last) {
    return last.error();
  }
  const std::int64_t receivedMs = std::max(requestedMs, last.value().integer(0, 0));
  const std::int64_t sequence = last.value().integer(0, 1) + 1;
  const EnvironmentFacts facts =
      report.messages.empty() ? EnvironmentFacts{} : environmentFacts(report.messages.front());
  // The search index covers the first 100,000 characters: a tsvector holds at most 1 MB.
  Result<Rows> inserted = db.run(
      "cannot store the report",
      "INSERT INTO reports (id, local_id, received_ms, reason_id, reason_title, frequency_id, "
      "frequency_title, subject, name, email, app_version, app_build, operating_system, "
      "sequence, search) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, "
      "to_tsvector('simple', left($8 || ' ' || coalesce($9, '') || ' ' || coalesce($10, '') || "
      "' ' || $15, 100000)))",
      Params()
          .add(id)
          .add(report.localId)
          .add(receivedMs)
          .add(report.reasonId)
          .add(report.reasonTitle)
          .add(report.frequencyId)
          .add(report.frequencyTitle)
          .add(report.subject)
          .add(report.name)
          .add(report.email)
          .add(facts.appVersion)
          .add(facts.appBuild)
          .add(facts.operatingSystem)
          .add(sequence)
          .add(joinedMessages(report.messages)));
  if (!inserted) {
    return inserted.error();
  }
  for (std::size_t position = 0; position < report.messages.size(); ++position) {
    Result<Rows> message = db.run(
        "cannot store the report's messages",
        "INSERT INTO report_messages (report_id, position, body) VALUES ($1, $2, $3)",
        Params().add(id).add(static_cast<std::int64_t>(position)).add(report.messages[position]));
    if (!message) {
      return message.error();
    }
  }
  for (std::size_t position = 0; position < report.attachments.size(); ++position) {
    Result<Rows> link = db.run(
        "cannot store the report's attachments",
        "INSERT INTO report_attachments (report_id, position, attachment_id) VALUES ($1, $2, $3)",
        Params()
            .add(id)
            .add(static_cast<std::int64_t>(position))
            .add(report.attachments[position].id));
    if (!link) {
      return link.error();
    }
  }
  return id;
}

// --- Orphans

Result<OrphanSweep> PostgresStore::removeOrphans(std::chrono::milliseconds grace, bool) {
  // Other instances may be uploading into the same database, so age alone decides, even at
  // start; this instance's own uploads in flight are never touched.
  OrphanSweep sweep;
  std::string inFlight = "{";
  {
    std::lock_guard lock(mutex_);
    for (const std::string& id : uploadsInFlight_) {
      inFlight += (inFlight.size() > 1 ? "," : "") + id;  // UUIDs: nothing to quote
    }
  }
  inFlight += "}";
  Params params;
  params.add(nowMs() - grace.count()).add(inFlight);
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Connection& db = connection.value();
  Transaction transaction(db);
  if (Result<Unit> begun = transaction.begin("cannot remove orphans"); !begun) {
    return begun.error();
  }
  Result<Rows> orphans = db.run(
      "cannot remove orphans",
      "WITH gone AS (DELETE FROM attachments WHERE created_ms <= $1 AND id <> ALL($2::text[]) "
      "AND NOT EXISTS (SELECT 1 FROM report_attachments WHERE attachment_id = attachments.id) "
      "RETURNING id) "
      "SELECT count(*) FROM gone",
      params);
  Result<Rows> stray =
      orphans
          ? db.run("cannot remove orphans",
                   "WITH gone AS (DELETE FROM upload_chunks c WHERE upload_id <> ALL($2::text[]) "
                   "AND NOT EXISTS (SELECT 1 FROM attachments a WHERE a.id = c.upload_id) "
                   "AND NOT EXISTS (SELECT 1 FROM upload_chunks n WHERE n.upload_id = "
                   "c.upload_id AND n.created_ms > $1) RETURNING upload_id) "
                   "SELECT count(DISTINCT upload_id) FROM gone",
                   params)
          : orphans;
  if (!stray) {
    return stray.error();
  }
  if (Result<Unit> committed = transaction.commit("cannot remove orphans"); !committed) {
    return committed.error();
  }
  sweep.attachmentsRemoved = static_cast<int>(orphans.value().integer(0, 0));
  sweep.strayFilesRemoved =
      static_cast<int>(stray.value().integer(0, 0)) - sweep.attachmentsRemoved;
  sweep.strayFilesRemoved = std::max(sweep.strayFilesRemoved, 0);
  return sweep;
}

// --- Reading

Result<std::vector<ReportSummary>> PostgresStore::listReports() {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> listed = connection.value().run(
      "cannot list reports",
      "SELECT id, received_ms, reason_id, subject, "
      "(SELECT count(*) FROM report_attachments WHERE report_id = reports.id) "
      "FROM reports ORDER BY received_ms, id");
  if (!listed) {
    return listed.error();
  }
  std::vector<ReportSummary> summaries;
  const Rows& rows = listed.value();
  for (int row = 0; row < rows.count(); ++row) {
    summaries.push_back({rows.text(row, 0), rows.integer(row, 1), rows.integer(row, 2),
                         rows.text(row, 3), rows.integer(row, 4)});
  }
  return summaries;
}

Result<std::optional<StoredReport>> PostgresStore::report(std::string_view id) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Connection& db = connection.value();
  // One snapshot for the report and its parts.
  Transaction transaction(db);
  if (Result<Unit> begun = transaction.begin("cannot read report"); !begun) {
    return begun.error();
  }
  Result<Rows> found = db.run(
      "cannot read report",
      "SELECT id, local_id, received_ms, reason_id, reason_title, frequency_id, frequency_title, "
      "subject, name, email, app_version, app_build, operating_system, status, known_issue "
      "FROM reports WHERE id = $1",
      Params().add(id));
  if (!found) {
    return found.error();
  }
  const Rows& rows = found.value();
  if (rows.count() == 0) {
    return std::optional<StoredReport>();
  }
  StoredReport report;
  report.id = rows.text(0, 0);
  report.localId = rows.text(0, 1);
  report.receivedMs = rows.integer(0, 2);
  report.reasonId = rows.integer(0, 3);
  report.reasonTitle = rows.optionalText(0, 4);
  report.frequencyId = rows.integer(0, 5);
  report.frequencyTitle = rows.optionalText(0, 6);
  report.subject = rows.text(0, 7);
  report.name = rows.optionalText(0, 8);
  report.email = rows.optionalText(0, 9);
  report.appVersion = rows.optionalText(0, 10);
  report.appBuild = rows.optionalInteger(0, 11);
  report.operatingSystem = rows.optionalText(0, 12);
  report.status = rows.text(0, 13);
  report.knownIssue = rows.optionalText(0, 14);

  Params byId;
  byId.add(id);
  Result<Rows> notes = db.run("cannot read report notes",
                              "SELECT created_ms, author, body FROM report_notes WHERE "
                              "report_id = $1 ORDER BY created_ms, number",
                              byId);
  Result<Rows> messages =
      notes
          ? db.run("cannot read report messages",
                   "SELECT body FROM report_messages WHERE report_id = $1 ORDER BY position", byId)
          : notes;
  Result<Rows> attachments =
      messages ? db.run("cannot read report attachments",
                        "SELECT a.id, a.local_id, a.file_id, a.extension, a.name, a.size, "
                        "a.created_ms FROM report_attachments r JOIN attachments a ON a.id = "
                        "r.attachment_id WHERE r.report_id = $1 ORDER BY r.position",
                        byId)
               : messages;
  if (!attachments) {
    return attachments.error();
  }
  for (int row = 0; row < notes.value().count(); ++row) {
    report.notes.push_back(
        {notes.value().integer(row, 0), notes.value().text(row, 1), notes.value().text(row, 2)});
  }
  for (int row = 0; row < messages.value().count(); ++row) {
    report.messages.push_back(messages.value().text(row, 0));
  }
  const Rows& linked = attachments.value();
  for (int row = 0; row < linked.count(); ++row) {
    report.attachments.push_back({linked.text(row, 0), linked.text(row, 1), linked.text(row, 2),
                                  linked.text(row, 3), linked.text(row, 4), linked.integer(row, 5),
                                  linked.integer(row, 6)});
  }
  if (Result<Unit> ended = transaction.commit("cannot read report"); !ended) {
    return ended.error();
  }
  return std::optional<StoredReport>(std::move(report));
}

Result<std::optional<AttachmentRecord>> PostgresStore::attachment(std::string_view id) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> found = connection.value().run(
      "cannot read attachment",
      "SELECT id, local_id, file_id, extension, name, size, created_ms FROM attachments "
      "WHERE id = $1",
      Params().add(id));
  if (!found) {
    return found.error();
  }
  const Rows& rows = found.value();
  if (rows.count() == 0) {
    return std::optional<AttachmentRecord>();
  }
  return std::optional<AttachmentRecord>(
      AttachmentRecord{rows.text(0, 0), rows.text(0, 1), rows.text(0, 2), rows.text(0, 3),
                       rows.text(0, 4), rows.integer(0, 5), rows.integer(0, 6)});
}

Result<std::shared_ptr<const AttachmentFile>> PostgresStore::attachmentFile(std::string_view id) {
  Result<std::optional<AttachmentRecord>> record = attachment(id);
  if (!record) {
    return record.error();
  }
  if (!record.value()) {
    return Error(Error::Kind::fileSystem, "no attachment " + std::string(id));
  }
  std::error_code ignored;
  std::string pattern =
      (std::filesystem::temp_directory_path(ignored) / "tessaline-attachment-XXXXXX").string();
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) {
    return Error(Error::Kind::fileSystem,
                 std::string("cannot create a temporary file: ") + std::strerror(errno));
  }
  auto file = std::make_shared<const AttachmentFile>(pattern, true);
  // Chunk by chunk, so a large attachment never sits whole in memory.
  std::int64_t copied = 0;
  Result<Connection> connection = connect();
  for (int position = 0; connection; ++position) {
    Result<Rows> chunk = connection.value().run(
        "cannot read attachment " + std::string(id),
        "SELECT bytes FROM upload_chunks WHERE upload_id = $1 AND position = $2",
        Params().add(id).add(std::int64_t{position}), 1);
    if (!chunk) {
      ::close(fd);
      return chunk.error();
    }
    if (chunk.value().count() == 0) {
      break;
    }
    const std::string bytes = chunk.value().text(0, 0);
    for (std::string_view rest = bytes; !rest.empty();) {
      const ssize_t written = ::write(fd, rest.data(), rest.size());
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written < 0) {
        const int error = errno;
        ::close(fd);
        return Error(Error::Kind::fileSystem,
                     "cannot write a temporary file: " + std::string(std::strerror(error)));
      }
      rest.remove_prefix(static_cast<std::size_t>(written));
    }
    copied += static_cast<std::int64_t>(bytes.size());
  }
  ::close(fd);
  if (!connection) {
    return connection.error();
  }
  if (copied != record.value()->size) {
    return Error(Error::Kind::fileSystem, "attachment " + std::string(id) + " is incomplete");
  }
  return file;
}

// --- Dashboard

Result<ReportPage> PostgresStore::findReports(const ReportFilter& filter) {
  // Conditions are added in a fixed order and bound in the same order.
  std::string where;
  Params params;
  auto condition = [&](const char* sql, const std::variant<std::int64_t, std::string>& value) {
    where += " AND ";
    where += sql;
    std::visit([&](const auto& bound) { params.add(bound); }, value);
  };
  for (const std::string& word : searchWords(filter.search)) {
    condition("r.search @@ phraseto_tsquery('simple', ?)", word);
  }
  forEachFilterCondition(filter, condition);

  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Connection& db = connection.value();
  ReportPage page;
  {
    // Counting stops at the limit, or when it has taken its time, so a broad filter over
    // millions of reports still answers at once ("at least N").
    Transaction transaction(db);
    if (Result<Unit> begun = transaction.begin("cannot count reports"); !begun) {
      return begun.error();
    }
    if (Result<Rows> limited = db.run("cannot count reports", kCountTime); !limited) {
      return limited.error();
    }
    Result<Rows> counted =
        db.run("cannot count reports",
               numbered("SELECT count(*) FROM (SELECT 1 FROM reports r WHERE true" + where +
                        " LIMIT " + std::to_string(ReportPage::countLimit + 1) + ") m"),
               params, 0, "57014");
    if (!counted) {
      return counted.error();
    }
    if (db.lastState() == "57014") {  // cancelled at the time limit
      page.countCapped = true;
    } else {
      page.count = counted.value().integer(0, 0);
      page.countCapped = page.count > ReportPage::countLimit;
      page.count = std::min(page.count, ReportPage::countLimit);
      (void)transaction.commit("cannot count reports");
    }
  }
  std::string sql = std::string("SELECT ") + kRowColumns + " FROM reports r WHERE true" + where;
  if (filter.after) {
    sql += " AND r.sequence < ?";
    params.add(*filter.after);
  }
  const int limit = std::clamp(filter.limit, 1, 500);
  sql += " ORDER BY r.sequence DESC LIMIT " + std::to_string(limit + 1);
  Result<Rows> listed = db.run("cannot list reports", numbered(sql), params);
  if (!listed) {
    return listed.error();
  }
  const Rows& rows = listed.value();
  for (int row = 0; row < rows.count(); ++row) {
    if (page.rows.size() == static_cast<std::size_t>(limit)) {
      page.next = page.rows.back().sequence;
      break;
    }
    page.rows.push_back(rowOf(rows, row));
  }
  return page;
}

Result<std::vector<ReportRow>> PostgresStore::reportRows(const std::vector<std::string>& ids) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  std::vector<ReportRow> rows;
  const std::string sql = std::string("SELECT ") + kRowColumns + " FROM reports r WHERE r.id = $1";
  for (const std::string& id : ids) {
    Result<Rows> found = connection.value().run("cannot read reports", sql, Params().add(id));
    if (!found) {
      return found.error();
    }
    if (found.value().count() > 0) {
      rows.push_back(rowOf(found.value(), 0));
    }
  }
  return rows;
}

Result<bool> PostgresStore::changeReport(const char* sql, std::string_view id,
                                         const std::optional<std::string>& value) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> changed =
      connection.value().run("cannot change report", sql, Params().add(value).add(id));
  if (!changed) {
    return changed.error();
  }
  return changed.value().changed() > 0;
}

Result<bool> PostgresStore::setStatus(std::string_view id, std::string_view status) {
  return changeReport("UPDATE reports SET status = $1 WHERE id = $2", id, std::string(status));
}

Result<bool> PostgresStore::setKnownIssue(std::string_view id,
                                          const std::optional<std::string>& issue) {
  return changeReport("UPDATE reports SET known_issue = $1 WHERE id = $2", id, issue);
}

Result<bool> PostgresStore::addNote(std::string_view id, std::string_view author,
                                    std::string_view body) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> added =
      connection.value().run("cannot add a note",
                             "INSERT INTO report_notes (report_id, created_ms, author, body) "
                             "SELECT id, $1, $2, $3 FROM reports WHERE id = $4",
                             Params().add(nowMs()).add(author).add(body).add(id));
  if (!added) {
    return added.error();
  }
  return added.value().changed() > 0;
}

// --- Accounts and sessions

Result<bool> PostgresStore::addUser(std::string_view name, std::string_view passwordHash) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> added = connection.value().run(
      "cannot add user",
      "INSERT INTO users (name, password_hash, created_ms) VALUES ($1, $2, $3) "
      "ON CONFLICT (name) DO NOTHING",
      Params().add(name).add(passwordHash).add(nowMs()));
  if (!added) {
    return added.error();
  }
  return added.value().changed() > 0;
}

Result<bool> PostgresStore::removeUser(std::string_view name) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  // Its sessions go with it (ON DELETE CASCADE).
  Result<Rows> removed = connection.value().run(
      "cannot remove user", "DELETE FROM users WHERE name = $1", Params().add(name));
  if (!removed) {
    return removed.error();
  }
  return removed.value().changed() > 0;
}

Result<std::vector<UserAccount>> PostgresStore::users() {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> listed = connection.value().run(
      "cannot list users", "SELECT name, created_ms FROM users ORDER BY name COLLATE \"C\"");
  if (!listed) {
    return listed.error();
  }
  std::vector<UserAccount> users;
  for (int row = 0; row < listed.value().count(); ++row) {
    users.push_back({listed.value().text(row, 0), listed.value().integer(row, 1)});
  }
  return users;
}

Result<std::optional<std::string>> PostgresStore::passwordHash(std::string_view name) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> found = connection.value().run(
      "cannot read user", "SELECT password_hash FROM users WHERE name = $1", Params().add(name));
  if (!found) {
    return found.error();
  }
  return found.value().count() > 0 ? std::optional(found.value().text(0, 0)) : std::nullopt;
}

Result<Unit> PostgresStore::addSession(std::string_view tokenHash, const Session& session) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> expired =
      connection.value().run("cannot start a session",
                             "DELETE FROM sessions WHERE expires_ms <= $1", Params().add(nowMs()));
  Result<Rows> added =
      expired ? connection.value().run(
                    "cannot start a session",
                    "INSERT INTO sessions (token_hash, user_name, csrf_token, expires_ms) "
                    "VALUES ($1, $2, $3, $4)",
                    Params()
                        .add(tokenHash)
                        .add(session.userName)
                        .add(session.csrfToken)
                        .add(session.expiresMs))
              : expired;
  if (!added) {
    return added.error();
  }
  return Unit{};
}

Result<std::optional<Session>> PostgresStore::session(std::string_view tokenHash) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> found = connection.value().run(
      "cannot read session",
      "SELECT user_name, csrf_token, expires_ms FROM sessions WHERE token_hash = $1 "
      "AND expires_ms > $2",
      Params().add(tokenHash).add(nowMs()));
  if (!found) {
    return found.error();
  }
  const Rows& rows = found.value();
  if (rows.count() == 0) {
    return std::optional<Session>();
  }
  return std::optional<Session>(Session{rows.text(0, 0), rows.text(0, 1), rows.integer(0, 2)});
}

Result<Unit> PostgresStore::removeSession(std::string_view tokenHash) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> removed = connection.value().run(
      "cannot end session", "DELETE FROM sessions WHERE token_hash = $1", Params().add(tokenHash));
  if (!removed) {
    return removed.error();
  }
  return Unit{};
}

// --- The login throttle

Result<Unit> PostgresStore::addLoginFailure(std::string_view key, std::int64_t windowMs) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  const std::int64_t now = nowMs();
  Result<Rows> expired = connection.value().run("cannot count a failed login",
                                                "DELETE FROM login_failures WHERE last_ms <= $1",
                                                Params().add(now - windowMs));
  // One statement, so instances that count the same key at once each add their failure.
  Result<Rows> counted =
      expired ? connection.value().run(
                    "cannot count a failed login",
                    "INSERT INTO login_failures (key, failures, last_ms) VALUES ($1, 1, $2) "
                    "ON CONFLICT (key) DO UPDATE SET last_ms = excluded.last_ms, failures = "
                    "CASE WHEN login_failures.last_ms <= $3 THEN 1 "
                    "ELSE login_failures.failures + 1 END",
                    Params().add(key).add(now).add(now - windowMs))
              : expired;
  if (!counted) {
    return counted.error();
  }
  return Unit{};
}

Result<std::int64_t> PostgresStore::loginFailures(std::string_view key, std::int64_t windowMs) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> found =
      connection.value().run("cannot read failed logins",
                             "SELECT failures FROM login_failures WHERE key = $1 AND last_ms > $2",
                             Params().add(key).add(nowMs() - windowMs));
  if (!found) {
    return found.error();
  }
  return found.value().count() > 0 ? found.value().integer(0, 0) : std::int64_t{0};
}

Result<Unit> PostgresStore::clearLoginFailures(std::string_view key) {
  Result<Connection> connection = connect();
  if (!connection) {
    return connection.error();
  }
  Result<Rows> removed = connection.value().run(
      "cannot clear failed logins", "DELETE FROM login_failures WHERE key = $1", Params().add(key));
  if (!removed) {
    return removed.error();
  }
  return Unit{};
}

}  // namespace tessaline::server
