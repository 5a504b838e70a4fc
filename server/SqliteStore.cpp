#include "SqliteStore.h"

#include "TextChecks.h"

#include <Tessaline/records/Uuid.h>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace tessaline::server {

namespace {

// Each entry moves the schema from its index to the next version; never edit a shipped entry,
// append a new one.
constexpr const char* kMigrations[] = {
    R"sql(
CREATE TABLE attachments (
  id TEXT PRIMARY KEY NOT NULL,
  local_id TEXT NOT NULL,
  file_id TEXT NOT NULL,
  extension TEXT NOT NULL,
  name TEXT NOT NULL,
  size INTEGER NOT NULL,
  created_ms INTEGER NOT NULL
);
CREATE INDEX attachments_created ON attachments(created_ms);
CREATE TABLE reports (
  id TEXT PRIMARY KEY NOT NULL,
  local_id TEXT NOT NULL,
  received_ms INTEGER NOT NULL,
  reason_id INTEGER NOT NULL,
  reason_title TEXT,
  frequency_id INTEGER NOT NULL,
  frequency_title TEXT,
  subject TEXT NOT NULL,
  name TEXT,
  email TEXT
);
CREATE INDEX reports_received ON reports(received_ms);
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
)sql",
    // The dashboard: facts to filter on, triage, a full-text index, accounts and sessions. The
    // sequence orders the list and keys its pages; the search index's rowid is that sequence.
    R"sql(
ALTER TABLE reports ADD COLUMN sequence INTEGER;
ALTER TABLE reports ADD COLUMN app_version TEXT;
ALTER TABLE reports ADD COLUMN app_build INTEGER;
ALTER TABLE reports ADD COLUMN operating_system TEXT;
ALTER TABLE reports ADD COLUMN status TEXT NOT NULL DEFAULT 'new';
ALTER TABLE reports ADD COLUMN known_issue TEXT;
UPDATE reports SET sequence = rowid;
CREATE UNIQUE INDEX reports_sequence ON reports(sequence);
CREATE INDEX reports_status ON reports(status, sequence);
CREATE INDEX reports_reason ON reports(reason_id, sequence);
CREATE INDEX reports_frequency ON reports(frequency_id, sequence);
CREATE INDEX reports_version ON reports(app_version, sequence);
CREATE INDEX reports_received_sequence ON reports(received_ms, sequence);
CREATE INDEX reports_build ON reports(app_build, sequence);
CREATE INDEX reports_system ON reports(operating_system, sequence);
CREATE VIRTUAL TABLE reports_search USING fts5(subject, messages, name, email, content='');
CREATE TABLE report_notes (
  report_id TEXT NOT NULL REFERENCES reports(id),
  created_ms INTEGER NOT NULL,
  author TEXT NOT NULL,
  body TEXT NOT NULL
);
CREATE INDEX report_notes_report ON report_notes(report_id, created_ms);
CREATE TABLE users (
  name TEXT PRIMARY KEY NOT NULL,
  password_hash TEXT NOT NULL,
  created_ms INTEGER NOT NULL
);
CREATE TABLE sessions (
  token_hash TEXT PRIMARY KEY NOT NULL,
  user_name TEXT NOT NULL REFERENCES users(name) ON DELETE CASCADE,
  csrf_token TEXT NOT NULL,
  expires_ms INTEGER NOT NULL
);
)sql",
    // A client's Idempotency-Key, kept as long as what it stored.
    R"sql(
CREATE TABLE idempotency_keys (
  key TEXT PRIMARY KEY NOT NULL,
  fingerprint TEXT NOT NULL,
  report_id TEXT REFERENCES reports(id) ON DELETE CASCADE,
  attachment_id TEXT REFERENCES attachments(id) ON DELETE CASCADE
);
CREATE INDEX idempotency_keys_attachment ON idempotency_keys(attachment_id);
CREATE INDEX idempotency_keys_report ON idempotency_keys(report_id);
)sql",
    // Failed dashboard logins, per account and per client address.
    R"sql(
CREATE TABLE login_failures (
  key TEXT PRIMARY KEY NOT NULL,
  failures INTEGER NOT NULL,
  last_ms INTEGER NOT NULL
);
CREATE INDEX login_failures_last ON login_failures(last_ms);
)sql",
};
static_assert(std::size(kMigrations) == SqliteStore::kSchemaVersion);

bool isNoSpaceErrno(int error) {
  return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EROFS;
}

Error fileError(const std::string& what, int error) {
  const std::string description = what + ": " + std::strerror(error);
  return isNoSpaceErrno(error) ? Store::noSpaceError(description)
                               : Error(Error::Kind::fileSystem, description);
}

bool syncDirectory(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

// Creates the folder (mode 0700) and makes its entry durable in the parent.
Result<Unit> makeDirectory(const std::filesystem::path& path) {
  if (::mkdir(path.c_str(), 0700) != 0) {
    if (errno != EEXIST) {
      return fileError("cannot create " + path.string(), errno);
    }
  } else {
    syncDirectory(path.has_parent_path() ? path.parent_path() : std::filesystem::path("."));
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Error(Error::Kind::fileSystem, path.string() + " is not a folder");
  }
  return Unit{};
}

// Our attachment files are named by the canonical (upper-case) text of their UUID.
bool isAttachmentFileName(std::string_view name) {
  const std::optional<Uuid> uuid = Uuid::parse(name);
  return uuid && uuid->uuidString() == name;
}

}  // namespace

// A prepared statement, reset and unbound when a use ends.
class SqliteStore::Statement {
 public:
  Statement(sqlite3* db, const char* sql, unsigned flags = SQLITE_PREPARE_PERSISTENT) {
    if (sqlite3_prepare_v3(db, sql, -1, flags, &stmt_, nullptr) != SQLITE_OK) {
      stmt_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool valid() const { return stmt_ != nullptr; }

  // Binds in order, starting at the first parameter.
  template <class... Args>
  bool bind(const Args&... args) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    int index = 0;
    const bool bound = (bindOne(++index, args) && ...);
    (void)index;
    return bound;
  }
  // Binds one parameter; for statements whose parameters are counted at run time.
  template <class Arg>
  bool bindAt(int index, const Arg& value) {
    return bindOne(index, value);
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return sqlite3_step(stmt_); }
  void finish() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  // Runs a statement that returns no rows.
  bool run() {
    const int result = step();
    finish();
    return result == SQLITE_DONE;
  }

  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                : std::string();
  }
  std::optional<std::int64_t> optionalInteger(int column) const {
    if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) {
      return std::nullopt;
    }
    return integer(column);
  }
  std::optional<std::string> optionalText(int column) const {
    if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) {
      return std::nullopt;
    }
    return text(column);
  }

 private:
  bool bindOne(int index, std::int64_t value) {
    return sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
  }
  bool bindOne(int index, std::string_view value) {
    return sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8) == SQLITE_OK;
  }
  bool bindOne(int index, const std::string& value) {
    return bindOne(index, std::string_view(value));
  }
  bool bindOne(int index, const std::optional<std::int64_t>& value) {
    return value ? bindOne(index, *value) : sqlite3_bind_null(stmt_, index) == SQLITE_OK;
  }
  bool bindOne(int index, const std::optional<std::string>& value) {
    return value ? bindOne(index, std::string_view(*value))
                 : sqlite3_bind_null(stmt_, index) == SQLITE_OK;
  }

  sqlite3_stmt* stmt_ = nullptr;
};

Result<std::unique_ptr<Store>> SqliteStore::open(const std::filesystem::path& dataDir, Mode mode) {
  std::unique_ptr<SqliteStore> store(new SqliteStore());
  std::error_code ignored;
  store->dataDir_ = std::filesystem::absolute(dataDir, ignored);
  store->attachmentsDir_ = dataDir / kAttachmentsFolder;
  if (mode != Mode::readOnly) {
    if (Result<Unit> made = makeDirectory(dataDir); !made) {
      return made.error();
    }
    const std::filesystem::path lockPath = dataDir / "service.lock";
    store->lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (store->lockFd_ < 0) {
      return fileError("cannot open " + lockPath.string(), errno);
    }
    if (::flock(store->lockFd_, LOCK_EX | LOCK_NB) != 0) {
      return Error(Error::Kind::fileSystem,
                   "another tessaline-service is using " + dataDir.string());
    }
    if (Result<Unit> made = makeDirectory(store->attachmentsDir_); !made) {
      return made.error();
    }
  }
  store->attachmentsDirFd_ =
      ::open(store->attachmentsDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (store->attachmentsDirFd_ < 0 && mode != Mode::readOnly) {
    return fileError("cannot open " + store->attachmentsDir_.string(), errno);
  }
  if (Result<Unit> opened = store->openDatabase(mode); !opened) {
    return opened.error();
  }
  return std::unique_ptr<Store>(std::move(store));
}

SqliteStore::~SqliteStore() {
  statements_.clear();
  sqlite3_close(db_);
  if (attachmentsDirFd_ >= 0) {
    ::close(attachmentsDirFd_);
  }
  if (lockFd_ >= 0) {
    ::close(lockFd_);
  }
}

Error SqliteStore::databaseError(const std::string& what) const {
  if (!db_) {
    return Error(Error::Kind::fileSystem, what + ": no database connection");
  }
  const int code = sqlite3_extended_errcode(db_) & 0xff;
  const bool noSpace = code == SQLITE_FULL || code == SQLITE_READONLY ||
                       (code == SQLITE_IOERR && isNoSpaceErrno(sqlite3_system_errno(db_)));
  const std::string description = what + ": " + sqlite3_errmsg(db_);
  return noSpace ? noSpaceError(description) : Error(Error::Kind::fileSystem, description);
}

Result<Unit> SqliteStore::openDatabase(Mode mode) {
  const std::filesystem::path path = dataDir_ / kDatabaseName;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE |
                    (mode != Mode::readOnly ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    Error error = mode == Mode::readOnly ? Error(Error::Kind::fileSystem,
                                                 "no reports database in " + dataDir_.string())
                                         : databaseError("cannot open " + path.string());
    sqlite3_close(db_);
    db_ = nullptr;
    return error;
  }
  sqlite3_busy_timeout(db_, 10000);
  sqlite3_extended_result_codes(db_, 1);
  // WAL with a full sync on every commit: an answered request survives a power cut.
  const char* pragmas =
      mode == Mode::bulkLoad
          ? "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; PRAGMA foreign_keys=ON;"
          : "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;";
  if (sqlite3_exec(db_, pragmas, nullptr, nullptr, nullptr) != SQLITE_OK) {
    return databaseError("cannot set up " + path.string());
  }
  if (mode != Mode::readOnly) {
    return migrate();
  }
  Statement version(db_, "PRAGMA user_version");
  if (!version.valid() || version.step() != SQLITE_ROW) {
    return databaseError("cannot read the schema version");
  }
  if (version.integer(0) != kSchemaVersion) {
    return Error(Error::Kind::fileSystem,
                 "the database in " + dataDir_.string() + " has schema version " +
                     std::to_string(version.integer(0)) + ", this tool reads version " +
                     std::to_string(kSchemaVersion) + "; start the service on it first");
  }
  return Unit{};
}

Result<Unit> SqliteStore::migrate() {
  std::int64_t current = 0;
  {
    Statement version(db_, "PRAGMA user_version");
    if (!version.valid() || version.step() != SQLITE_ROW) {
      return databaseError("cannot read the schema version");
    }
    current = version.integer(0);
  }
  if (current > kSchemaVersion || current < 0) {
    return Error(Error::Kind::fileSystem, "the database in " + dataDir_.string() +
                                              " has schema version " + std::to_string(current) +
                                              ", newer than this tessaline-service (" +
                                              std::to_string(kSchemaVersion) + ")");
  }
  for (std::int64_t version = current; version < kSchemaVersion; ++version) {
    const std::string script = std::string("BEGIN IMMEDIATE;") + kMigrations[version] +
                               "PRAGMA user_version=" + std::to_string(version + 1) + ";";
    const bool migrated =
        sqlite3_exec(db_, script.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
        (version + 1 != 2 || indexExistingReports()) &&
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!migrated) {
      Error error =
          databaseError("cannot migrate the database to version " + std::to_string(version + 1));
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return error;
    }
  }
  return Unit{};
}

SqliteStore::Statement& SqliteStore::statement(const char* sql) {
  for (auto& [text, prepared] : statements_) {
    if (text == sql) {
      return *prepared;
    }
  }
  statements_.emplace_back(sql, std::make_unique<Statement>(db_, sql));
  return *statements_.back().second;
}

std::filesystem::path SqliteStore::attachmentPath(std::string_view id) const {
  return attachmentsDir_ / std::string(id);
}

Result<std::shared_ptr<const AttachmentFile>> SqliteStore::attachmentFile(std::string_view id) {
  Result<std::optional<AttachmentRecord>> record = attachment(id);
  if (!record) {
    return record.error();
  }
  if (!record.value()) {
    return Error(Error::Kind::fileSystem, "no attachment " + std::string(id));
  }
  return std::make_shared<const AttachmentFile>(attachmentPath(id), false);
}

// --- Uploads

// An upload's file; removed when the upload is dropped uncommitted.
class SqliteStore::FileSink final : public Store::Sink {
 public:
  FileSink(SqliteStore& store, std::string id, int fd)
      : store_(store), id_(std::move(id)), fd_(fd) {}
  ~FileSink() override {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    if (!committed_) {
      std::error_code ignored;
      std::filesystem::remove(store_.attachmentPath(id_), ignored);
    }
    store_.forgetUpload(id_);
  }

  Result<Unit> write(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
      if (written < 0) {
        if (errno == EINTR) {
          continue;
        }
        return fileError("cannot write attachment " + id_, errno);
      }
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return Unit{};
  }

  // The bytes and the folder entry reach the disk before the record that points at them.
  Result<Unit> sync() {
    if (::fsync(fd_) != 0) {
      return fileError("cannot sync attachment " + id_, errno);
    }
    if (::close(std::exchange(fd_, -1)) != 0) {
      return fileError("cannot close attachment " + id_, errno);
    }
    if (::fsync(store_.attachmentsDirFd_) != 0) {
      return fileError("cannot sync " + store_.attachmentsDir_.string(), errno);
    }
    return Unit{};
  }

  bool committed_ = false;

 private:
  SqliteStore& store_;
  std::string id_;
  int fd_;
};

void SqliteStore::forgetUpload(const std::string& id) {
  std::lock_guard lock(mutex_);
  uploadsInFlight_.erase(id);
}

Result<SqliteStore::Upload> SqliteStore::beginUpload() {
  std::string id = Uuid::random().uuidString();
  {
    std::lock_guard lock(mutex_);
    uploadsInFlight_.insert(id);
  }
  const std::filesystem::path path = attachmentPath(id);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int error = errno;
    forgetUpload(id);
    return fileError("cannot create " + path.string(), error);
  }
  auto sink = std::make_unique<FileSink>(*this, id, fd);
  return Upload(std::move(id), std::move(sink));
}

Result<AttachmentRecord> SqliteStore::commitUpload(Upload upload, std::string localId,
                                                   std::string fileId, std::string extension,
                                                   const IdempotencyKey* key) {
  auto* sink = static_cast<FileSink*>(upload.sink());
  if (Result<Unit> synced = sink->sync(); !synced) {
    return synced.error();
  }
  AttachmentRecord record =
      attachmentRecord(upload, std::move(localId), std::move(fileId), std::move(extension));

  std::lock_guard lock(mutex_);
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return databaseError("cannot begin recording attachment " + record.id);
  }
  Statement& insert = statement(
      "INSERT INTO attachments (id, local_id, file_id, extension, name, size, created_ms) "
      "VALUES (?, ?, ?, ?, ?, ?, ?)");
  if (!insert.valid() ||
      !insert.bind(record.id, record.localId, record.fileId, record.extension, record.name,
                   record.size, record.createdMs) ||
      !insert.run() || !recordKey(key, nullptr, &record.id) ||
      sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    Error error = databaseError("cannot record attachment " + record.id);
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return error;
  }
  sink->committed_ = true;
  uploadsInFlight_.erase(record.id);
  return record;
}

bool SqliteStore::recordKey(const IdempotencyKey* key, const std::string* reportId,
                            const std::string* attachmentId) {
  if (!key) {
    return true;
  }
  Statement& insert = statement(
      "INSERT INTO idempotency_keys (key, fingerprint, report_id, attachment_id) "
      "VALUES (?, ?, ?, ?)");
  auto optional = [](const std::string* text) {
    return text ? std::optional<std::string>(*text) : std::nullopt;
  };
  return insert.valid() &&
         insert.bind(key->key, key->fingerprint, optional(reportId), optional(attachmentId)) &&
         insert.run();
}

Result<std::optional<KeyUse>> SqliteStore::keyUse(std::string_view key) {
  std::lock_guard lock(mutex_);
  Statement& find = statement(
      "SELECT k.fingerprint, k.report_id, a.id, a.local_id, a.name FROM idempotency_keys k "
      "LEFT JOIN attachments a ON a.id = k.attachment_id WHERE k.key = ?");
  if (!find.valid() || !find.bind(key)) {
    return databaseError("cannot look up an idempotency key");
  }
  const int found = find.step();
  if (found != SQLITE_ROW) {
    find.finish();
    if (found != SQLITE_DONE) {
      return databaseError("cannot look up an idempotency key");
    }
    return std::optional<KeyUse>();
  }
  KeyUse use;
  use.fingerprint = find.text(0);
  use.reportId = find.optionalText(1);
  if (std::optional<std::string> id = find.optionalText(2)) {
    use.attachment = AttachmentRecord{};
    use.attachment->id = std::move(*id);
    use.attachment->localId = find.text(3);
    use.attachment->name = find.text(4);
  }
  find.finish();
  return std::optional<KeyUse>(std::move(use));
}

// --- Reports

std::variant<std::string, ReportRejected, Error> SqliteStore::insertReport(
    const NewReport& report, const IdempotencyKey* key) {
  std::lock_guard lock(mutex_);
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return databaseError("cannot begin storing a report");
  }
  auto stored = insertReportLocked(report);
  // The key is stored with the report, so a repeat finds either both or neither.
  if (const auto* id = std::get_if<std::string>(&stored); id && !recordKey(key, id, nullptr)) {
    stored = databaseError("cannot store the report's idempotency key");
  }
  if (std::holds_alternative<std::string>(stored) &&
      sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    stored = databaseError("cannot commit the report");
  }
  if (!std::holds_alternative<std::string>(stored)) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  return stored;
}

Result<Unit> SqliteStore::importReports(const std::vector<NewReport>& reports) {
  std::lock_guard lock(mutex_);
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return databaseError("cannot begin an import");
  }
  for (const NewReport& report : reports) {
    auto stored = insertReportLocked(report);
    if (!std::holds_alternative<std::string>(stored)) {
      Error error = std::holds_alternative<Error>(stored)
                        ? std::get<Error>(stored)
                        : Error(Error::Kind::fileSystem, std::get<ReportRejected>(stored).message);
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return error;
    }
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    Error error = databaseError("cannot commit an import");
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return error;
  }
  return Unit{};
}

// Within a transaction the caller opened and ends.
std::variant<std::string, ReportRejected, Error> SqliteStore::insertReportLocked(
    const NewReport& report) {
  const std::string id = Uuid::random().uuidString();
  const std::int64_t requestedMs = report.receivedMs.value_or(nowMs());

  Statement& lookup = statement("SELECT local_id, name FROM attachments WHERE id = ?");
  for (const AttachmentReference& reference : report.attachments) {
    if (!lookup.valid() || !lookup.bind(reference.id)) {
      return databaseError("cannot look up attachments");
    }
    const int found = lookup.step();
    if (found != SQLITE_ROW) {
      lookup.finish();
      if (found != SQLITE_DONE) {
        return databaseError("cannot look up attachments");
      }
      return ReportRejected{"unknown attachment id \"" + reference.id + "\""};
    }
    const std::string localId = lookup.text(0);
    const std::string name = lookup.text(1);
    lookup.finish();
    if (localId != report.localId) {
      return ReportRejected{"attachment \"" + reference.id + "\" was uploaded for another report"};
    }
    if (name != reference.name) {
      return ReportRejected{"attachment \"" + reference.id + "\" is named \"" + name + "\""};
    }
  }

  // Received times never go backwards (a clock stepped back stamps the time of the last report),
  // so the order of arrival is also the order of time.
  Statement& last = statement("SELECT max(received_ms) FROM reports");
  if (!last.valid() || !last.bind() || last.step() != SQLITE_ROW) {
    last.finish();
    return databaseError("cannot store the report");
  }
  const std::int64_t receivedMs = std::max(requestedMs, last.integer(0));
  last.finish();
  const EnvironmentFacts facts =
      report.messages.empty() ? EnvironmentFacts{} : environmentFacts(report.messages.front());
  Statement& insertReport = statement(
      "INSERT INTO reports (id, local_id, received_ms, reason_id, reason_title, frequency_id, "
      "frequency_title, subject, name, email, app_version, app_build, operating_system, sequence) "
      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
      "(SELECT coalesce(max(sequence), 0) + 1 FROM reports)) RETURNING sequence");
  if (!insertReport.valid() ||
      !insertReport.bind(id, report.localId, receivedMs, report.reasonId, report.reasonTitle,
                         report.frequencyId, report.frequencyTitle, report.subject, report.name,
                         report.email, facts.appVersion, facts.appBuild, facts.operatingSystem) ||
      insertReport.step() != SQLITE_ROW) {
    insertReport.finish();
    return databaseError("cannot store the report");
  }
  const std::int64_t sequence = insertReport.integer(0);
  insertReport.finish();
  Statement& index = statement(
      "INSERT INTO reports_search (rowid, subject, messages, name, email) VALUES (?, ?, ?, ?, ?)");
  if (!index.valid() ||
      !index.bind(sequence, report.subject, joinedMessages(report.messages), report.name,
                  report.email) ||
      !index.run()) {
    return databaseError("cannot index the report");
  }
  Statement& insertMessage =
      statement("INSERT INTO report_messages (report_id, position, body) VALUES (?, ?, ?)");
  for (std::size_t position = 0; position < report.messages.size(); ++position) {
    if (!insertMessage.valid() ||
        !insertMessage.bind(id, static_cast<std::int64_t>(position), report.messages[position]) ||
        !insertMessage.run()) {
      return databaseError("cannot store the report's messages");
    }
  }
  Statement& insertLink = statement(
      "INSERT INTO report_attachments (report_id, position, attachment_id) VALUES (?, ?, ?)");
  for (std::size_t position = 0; position < report.attachments.size(); ++position) {
    if (!insertLink.valid() ||
        !insertLink.bind(id, static_cast<std::int64_t>(position),
                         report.attachments[position].id) ||
        !insertLink.run()) {
      return databaseError("cannot store the report's attachments");
    }
  }
  return id;
}

// Part of the migration that adds the search index: facts and index entries of the reports
// stored before it.
bool SqliteStore::indexExistingReports() {
  Statement reports(db_, "SELECT id, sequence, subject, name, email FROM reports");
  Statement messages(db_, "SELECT body FROM report_messages WHERE report_id = ? ORDER BY position");
  Statement facts(db_,
                  "UPDATE reports SET app_version = ?, app_build = ?, operating_system = ? "
                  "WHERE id = ?");
  Statement index(db_,
                  "INSERT INTO reports_search (rowid, subject, messages, name, email) "
                  "VALUES (?, ?, ?, ?, ?)");
  if (!reports.valid() || !messages.valid() || !facts.valid() || !index.valid()) {
    return false;
  }
  int result = SQLITE_ROW;
  while ((result = reports.step()) == SQLITE_ROW) {
    const std::string id = reports.text(0);
    std::vector<std::string> bodies;
    messages.bind(id);
    while (messages.step() == SQLITE_ROW) {
      bodies.push_back(messages.text(0));
    }
    messages.finish();
    const EnvironmentFacts found =
        bodies.empty() ? EnvironmentFacts{} : environmentFacts(bodies.front());
    if (!facts.bind(found.appVersion, found.appBuild, found.operatingSystem, id) || !facts.run() ||
        !index.bind(reports.integer(1), reports.text(2), joinedMessages(bodies),
                    reports.optionalText(3), reports.optionalText(4)) ||
        !index.run()) {
      return false;
    }
  }
  return result == SQLITE_DONE;
}

// --- Orphans

Result<OrphanSweep> SqliteStore::removeOrphans(std::chrono::milliseconds grace, bool atStart) {
  OrphanSweep sweep;
  const std::int64_t cutoffMs = nowMs() - grace.count();
  std::vector<std::string> removed;

  std::lock_guard lock(mutex_);
  // The record goes first: a crash before the file is unlinked leaves a stray file, which the
  // next start removes, never a record without its file.
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return databaseError("cannot begin removing orphans");
  }
  Statement& orphans = statement(
      "DELETE FROM attachments WHERE created_ms <= ? AND NOT EXISTS "
      "(SELECT 1 FROM report_attachments WHERE attachment_id = attachments.id) RETURNING id");
  if (!orphans.valid() || !orphans.bind(cutoffMs)) {
    Error error = databaseError("cannot remove orphans");
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return error;
  }
  int result = SQLITE_ROW;
  while ((result = orphans.step()) == SQLITE_ROW) {
    removed.push_back(orphans.text(0));
  }
  orphans.finish();
  if (result != SQLITE_DONE ||
      sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    Error error = databaseError("cannot remove orphans");
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return error;
  }
  for (const std::string& id : removed) {
    std::error_code ignored;
    std::filesystem::remove(attachmentPath(id), ignored);
    ++sweep.attachmentsRemoved;
  }

  // Files without a record: an upload cut short by a crash, or a record removed just above.
  Statement& known = statement("SELECT 1 FROM attachments WHERE id = ?");
  std::error_code error;
  for (std::filesystem::directory_iterator entry(attachmentsDir_, error), end;
       !error && entry != end; entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (!isAttachmentFileName(name) || uploadsInFlight_.contains(name)) {
      continue;
    }
    if (!known.valid() || !known.bind(name)) {
      return databaseError("cannot look up attachments");
    }
    const int found = known.step();
    known.finish();
    if (found == SQLITE_ROW) {
      continue;
    }
    if (found != SQLITE_DONE) {
      return databaseError("cannot look up attachments");
    }
    struct stat info {};
    if (::lstat(entry->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      continue;
    }
    const std::int64_t modifiedMs =
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    if (atStart || modifiedMs <= cutoffMs) {
      if (::unlink(entry->path().c_str()) == 0) {
        ++sweep.strayFilesRemoved;
      }
    }
  }
  if (error) {
    return Error(Error::Kind::fileSystem,
                 "cannot list " + attachmentsDir_.string() + ": " + error.message());
  }
  if (sweep.attachmentsRemoved + sweep.strayFilesRemoved > 0) {
    ::fsync(attachmentsDirFd_);
  }
  return sweep;
}

// --- Reading

Result<std::vector<ReportSummary>> SqliteStore::listReports() {
  std::lock_guard lock(mutex_);
  Statement& list = statement(
      "SELECT id, received_ms, reason_id, subject, "
      "(SELECT count(*) FROM report_attachments WHERE report_id = reports.id) "
      "FROM reports ORDER BY received_ms, id");
  if (!list.valid() || !list.bind()) {
    return databaseError("cannot list reports");
  }
  std::vector<ReportSummary> summaries;
  int result = SQLITE_ROW;
  while ((result = list.step()) == SQLITE_ROW) {
    summaries.push_back(
        {list.text(0), list.integer(1), list.integer(2), list.text(3), list.integer(4)});
  }
  list.finish();
  if (result != SQLITE_DONE) {
    return databaseError("cannot list reports");
  }
  return summaries;
}

Result<std::optional<StoredReport>> SqliteStore::report(std::string_view id) {
  std::lock_guard lock(mutex_);
  Statement& select = statement(
      "SELECT id, local_id, received_ms, reason_id, reason_title, frequency_id, frequency_title, "
      "subject, name, email, app_version, app_build, operating_system, status, known_issue "
      "FROM reports WHERE id = ?");
  if (!select.valid() || !select.bind(id)) {
    return databaseError("cannot read report");
  }
  const int found = select.step();
  if (found != SQLITE_ROW) {
    select.finish();
    if (found == SQLITE_DONE) {
      return std::optional<StoredReport>();
    }
    return databaseError("cannot read report");
  }
  StoredReport report;
  report.id = select.text(0);
  report.localId = select.text(1);
  report.receivedMs = select.integer(2);
  report.reasonId = select.integer(3);
  report.reasonTitle = select.optionalText(4);
  report.frequencyId = select.integer(5);
  report.frequencyTitle = select.optionalText(6);
  report.subject = select.text(7);
  report.name = select.optionalText(8);
  report.email = select.optionalText(9);
  report.appVersion = select.optionalText(10);
  report.appBuild = select.optionalInteger(11);
  report.operatingSystem = select.optionalText(12);
  report.status = select.text(13);
  report.knownIssue = select.optionalText(14);
  select.finish();

  Statement& notes = statement(
      "SELECT created_ms, author, body FROM report_notes WHERE report_id = ? "
      "ORDER BY created_ms, rowid");
  if (!notes.valid() || !notes.bind(report.id)) {
    return databaseError("cannot read report notes");
  }
  while (notes.step() == SQLITE_ROW) {
    report.notes.push_back({notes.integer(0), notes.text(1), notes.text(2)});
  }
  notes.finish();

  Statement& messages =
      statement("SELECT body FROM report_messages WHERE report_id = ? ORDER BY position");
  if (!messages.valid() || !messages.bind(report.id)) {
    return databaseError("cannot read report messages");
  }
  int result = SQLITE_ROW;
  while ((result = messages.step()) == SQLITE_ROW) {
    report.messages.push_back(messages.text(0));
  }
  messages.finish();
  if (result != SQLITE_DONE) {
    return databaseError("cannot read report messages");
  }

  Statement& attachments = statement(
      "SELECT a.id, a.local_id, a.file_id, a.extension, a.name, a.size, a.created_ms "
      "FROM report_attachments r JOIN attachments a ON a.id = r.attachment_id "
      "WHERE r.report_id = ? ORDER BY r.position");
  if (!attachments.valid() || !attachments.bind(report.id)) {
    return databaseError("cannot read report attachments");
  }
  while ((result = attachments.step()) == SQLITE_ROW) {
    report.attachments.push_back({attachments.text(0), attachments.text(1), attachments.text(2),
                                  attachments.text(3), attachments.text(4), attachments.integer(5),
                                  attachments.integer(6)});
  }
  attachments.finish();
  if (result != SQLITE_DONE) {
    return databaseError("cannot read report attachments");
  }
  return std::optional<StoredReport>(std::move(report));
}

Result<std::optional<AttachmentRecord>> SqliteStore::attachment(std::string_view id) {
  std::lock_guard lock(mutex_);
  Statement& select = statement(
      "SELECT id, local_id, file_id, extension, name, size, created_ms FROM attachments "
      "WHERE id = ?");
  if (!select.valid() || !select.bind(id)) {
    return databaseError("cannot read attachment");
  }
  const int found = select.step();
  if (found != SQLITE_ROW) {
    select.finish();
    if (found == SQLITE_DONE) {
      return std::optional<AttachmentRecord>();
    }
    return databaseError("cannot read attachment");
  }
  AttachmentRecord record{select.text(0), select.text(1),    select.text(2),   select.text(3),
                          select.text(4), select.integer(5), select.integer(6)};
  select.finish();
  return std::optional<AttachmentRecord>(std::move(record));
}

// --- Dashboard

namespace {

// How long counting the matches of a filter may take; beyond it the list says "at least".
constexpr std::chrono::milliseconds kCountTime{25};

constexpr const char* kRowColumns =
    "r.sequence, r.id, r.received_ms, r.reason_id, r.reason_title, r.frequency_id, "
    "r.frequency_title, r.subject, r.name, r.email, r.app_version, r.app_build, "
    "r.operating_system, r.status, r.known_issue";

// The search box's words as an FTS5 query: each word quoted, so the user's text never acts as
// query syntax; all words must occur.
std::string searchQuery(std::string_view text) {
  std::string query;
  for (const std::string& word : SqliteStore::searchWords(text)) {
    query += query.empty() ? "\"" : " \"";
    for (char c : word) {
      query += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    query += '"';
  }
  return query;
}

}  // namespace

Result<ReportPage> SqliteStore::findReports(const ReportFilter& filter) {
  // Conditions are added in a fixed order and bound in the same order.
  std::string where;
  std::vector<std::variant<std::int64_t, std::string>> values;
  auto condition = [&](const char* sql, const std::variant<std::int64_t, std::string>& value) {
    where += " AND ";
    where += sql;
    values.push_back(value);
  };
  const std::string search = searchQuery(filter.search);
  // With search words the index drives the query in its rowid order, which is the sequence.
  const std::string from = search.empty()
                               ? std::string(" FROM reports r WHERE 1")
                               : std::string(
                                     " FROM reports_search s CROSS JOIN reports r ON "
                                     "r.sequence = s.rowid WHERE reports_search MATCH ?");
  if (!search.empty()) {
    values.emplace_back(search);
  }
  forEachFilterCondition(filter, condition);
  const std::string order = search.empty() ? " ORDER BY r.sequence DESC" : " ORDER BY s.rowid DESC";
  const std::string key = search.empty() ? " AND r.sequence < ?" : " AND s.rowid < ?";

  auto bindAll = [&](Statement& statement, std::size_t count) {
    int index = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const auto& value = values[i];
      ++index;
      const bool bound =
          std::holds_alternative<std::int64_t>(value)
              ? statement.bindAt(index, std::get<std::int64_t>(value))
              : statement.bindAt(index, std::string_view(std::get<std::string>(value)));
      if (!bound) {
        return false;
      }
    }
    return true;
  };

  ReportPage page;
  std::lock_guard lock(mutex_);
  {
    // Counting stops at the limit, or when it has cost a bounded amount of work, so a broad or
    // unselective filter over millions of reports still answers at once ("at least N").
    // Search words alone are counted in the index, without reading the reports.
    const std::string sql =
        (where.empty() && !search.empty()
             ? std::string("SELECT 1 FROM reports_search WHERE reports_search MATCH ?")
             : "SELECT 1" + from + where) +
        " LIMIT " + std::to_string(ReportPage::countLimit + 1);
    Statement count(db_, sql.c_str(), 0);
    if (!count.valid() || !bindAll(count, values.size())) {
      return databaseError("cannot count reports");
    }
    const auto deadline = std::chrono::steady_clock::now() + kCountTime;
    sqlite3_progress_handler(
        db_, 1000,
        [](void* until) {
          return std::chrono::steady_clock::now() >
                         *static_cast<const std::chrono::steady_clock::time_point*>(until)
                     ? 1
                     : 0;
        },
        const_cast<std::chrono::steady_clock::time_point*>(&deadline));
    int result = SQLITE_ROW;
    while ((result = count.step()) == SQLITE_ROW) {
      ++page.count;
    }
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    count.finish();
    if (result != SQLITE_DONE && result != SQLITE_INTERRUPT) {
      return databaseError("cannot count reports");
    }
    page.countCapped = result == SQLITE_INTERRUPT || page.count > ReportPage::countLimit;
    page.count = std::min(page.count, ReportPage::countLimit);
  }
  std::string sql = std::string("SELECT ") + kRowColumns + from + where;
  if (filter.after) {
    sql += key;
    values.emplace_back(*filter.after);
  }
  const int limit = std::clamp(filter.limit, 1, 500);
  sql += order + " LIMIT " + std::to_string(limit + 1);
  Statement select(db_, sql.c_str(), 0);
  if (!select.valid() || !bindAll(select, values.size())) {
    return databaseError("cannot list reports");
  }
  int result = SQLITE_ROW;
  while ((result = select.step()) == SQLITE_ROW) {
    if (page.rows.size() == static_cast<std::size_t>(limit)) {
      page.next = page.rows.back().sequence;
      break;
    }
    page.rows.push_back({select.integer(0), select.text(1), select.integer(2), select.integer(3),
                         select.optionalText(4), select.integer(5), select.optionalText(6),
                         select.text(7), select.optionalText(8), select.optionalText(9),
                         select.optionalText(10), select.optionalInteger(11),
                         select.optionalText(12), select.text(13), select.optionalText(14)});
  }
  if (result != SQLITE_ROW && result != SQLITE_DONE) {
    return databaseError("cannot list reports");
  }
  return page;
}

Result<std::vector<ReportRow>> SqliteStore::reportRows(const std::vector<std::string>& ids) {
  std::lock_guard lock(mutex_);
  const std::string sql = std::string("SELECT ") + kRowColumns + " FROM reports r WHERE r.id = ?";
  Statement select(db_, sql.c_str(), 0);
  std::vector<ReportRow> rows;
  for (const std::string& id : ids) {
    if (!select.valid() || !select.bind(id)) {
      return databaseError("cannot read reports");
    }
    if (select.step() == SQLITE_ROW) {
      rows.push_back({select.integer(0), select.text(1), select.integer(2), select.integer(3),
                      select.optionalText(4), select.integer(5), select.optionalText(6),
                      select.text(7), select.optionalText(8), select.optionalText(9),
                      select.optionalText(10), select.optionalInteger(11), select.optionalText(12),
                      select.text(13), select.optionalText(14)});
    }
    select.finish();
  }
  return rows;
}

Result<bool> SqliteStore::changeReport(const char* sql, std::string_view id,
                                       const std::optional<std::string>& value) {
  std::lock_guard lock(mutex_);
  Statement& update = statement(sql);
  if (!update.valid() || !update.bind(value, id) || !update.run()) {
    return databaseError("cannot change report");
  }
  return sqlite3_changes(db_) > 0;
}

Result<bool> SqliteStore::setStatus(std::string_view id, std::string_view status) {
  return changeReport("UPDATE reports SET status = ? WHERE id = ?", id, std::string(status));
}

Result<bool> SqliteStore::setKnownIssue(std::string_view id,
                                        const std::optional<std::string>& issue) {
  return changeReport("UPDATE reports SET known_issue = ? WHERE id = ?", id, issue);
}

Result<bool> SqliteStore::addNote(std::string_view id, std::string_view author,
                                  std::string_view body) {
  std::lock_guard lock(mutex_);
  Statement& insert = statement(
      "INSERT INTO report_notes (report_id, created_ms, author, body) "
      "SELECT id, ?, ?, ? FROM reports WHERE id = ?");
  if (!insert.valid() || !insert.bind(nowMs(), author, body, id) || !insert.run()) {
    return databaseError("cannot add a note");
  }
  return sqlite3_changes(db_) > 0;
}

// --- Accounts and sessions

Result<bool> SqliteStore::addUser(std::string_view name, std::string_view passwordHash) {
  std::lock_guard lock(mutex_);
  Statement& insert = statement(
      "INSERT INTO users (name, password_hash, created_ms) VALUES (?, ?, ?) "
      "ON CONFLICT (name) DO NOTHING");
  if (!insert.valid() || !insert.bind(name, passwordHash, nowMs()) || !insert.run()) {
    return databaseError("cannot add user");
  }
  return sqlite3_changes(db_) > 0;
}

Result<bool> SqliteStore::removeUser(std::string_view name) {
  std::lock_guard lock(mutex_);
  Statement& sessions = statement("DELETE FROM sessions WHERE user_name = ?");
  Statement& remove = statement("DELETE FROM users WHERE name = ?");
  if (!sessions.valid() || !sessions.bind(name) || !sessions.run() || !remove.valid() ||
      !remove.bind(name) || !remove.run()) {
    return databaseError("cannot remove user");
  }
  return sqlite3_changes(db_) > 0;
}

Result<std::vector<UserAccount>> SqliteStore::users() {
  std::lock_guard lock(mutex_);
  Statement& select = statement("SELECT name, created_ms FROM users ORDER BY name");
  if (!select.valid() || !select.bind()) {
    return databaseError("cannot list users");
  }
  std::vector<UserAccount> users;
  while (select.step() == SQLITE_ROW) {
    users.push_back({select.text(0), select.integer(1)});
  }
  select.finish();
  return users;
}

Result<std::optional<std::string>> SqliteStore::passwordHash(std::string_view name) {
  std::lock_guard lock(mutex_);
  Statement& select = statement("SELECT password_hash FROM users WHERE name = ?");
  if (!select.valid() || !select.bind(name)) {
    return databaseError("cannot read user");
  }
  std::optional<std::string> hash;
  if (select.step() == SQLITE_ROW) {
    hash = select.text(0);
  }
  select.finish();
  return hash;
}

Result<Unit> SqliteStore::addSession(std::string_view tokenHash, const Session& session) {
  std::lock_guard lock(mutex_);
  Statement& expired = statement("DELETE FROM sessions WHERE expires_ms <= ?");
  Statement& insert = statement(
      "INSERT INTO sessions (token_hash, user_name, csrf_token, expires_ms) VALUES (?, ?, ?, ?)");
  if (!expired.valid() || !expired.bind(nowMs()) || !expired.run() || !insert.valid() ||
      !insert.bind(tokenHash, session.userName, session.csrfToken, session.expiresMs) ||
      !insert.run()) {
    return databaseError("cannot start a session");
  }
  return Unit{};
}

Result<std::optional<Session>> SqliteStore::session(std::string_view tokenHash) {
  std::lock_guard lock(mutex_);
  Statement& select = statement(
      "SELECT user_name, csrf_token, expires_ms FROM sessions WHERE token_hash = ? "
      "AND expires_ms > ?");
  if (!select.valid() || !select.bind(tokenHash, nowMs())) {
    return databaseError("cannot read session");
  }
  std::optional<Session> found;
  if (select.step() == SQLITE_ROW) {
    found = Session{select.text(0), select.text(1), select.integer(2)};
  }
  select.finish();
  return found;
}

Result<Unit> SqliteStore::removeSession(std::string_view tokenHash) {
  std::lock_guard lock(mutex_);
  Statement& remove = statement("DELETE FROM sessions WHERE token_hash = ?");
  if (!remove.valid() || !remove.bind(tokenHash) || !remove.run()) {
    return databaseError("cannot end session");
  }
  return Unit{};
}

// --- The login throttle

Result<Unit> SqliteStore::addLoginFailure(std::string_view key, std::int64_t windowMs) {
  std::lock_guard lock(mutex_);
  const std::int64_t now = nowMs();
  Statement& expired = statement("DELETE FROM login_failures WHERE last_ms <= ?");
  Statement& count = statement(
      "INSERT INTO login_failures (key, failures, last_ms) VALUES (?, 1, ?) "
      "ON CONFLICT (key) DO UPDATE SET failures = failures + 1, last_ms = excluded.last_ms");
  if (!expired.valid() || !expired.bind(now - windowMs) || !expired.run() || !count.valid() ||
      !count.bind(key, now) || !count.run()) {
    return databaseError("cannot count a failed login");
  }
  return Unit{};
}

Result<std::int64_t> SqliteStore::loginFailures(std::string_view key, std::int64_t windowMs) {
  std::lock_guard lock(mutex_);
  Statement& select =
      statement("SELECT failures FROM login_failures WHERE key = ? AND last_ms > ?");
  if (!select.valid() || !select.bind(key, nowMs() - windowMs)) {
    return databaseError("cannot read failed logins");
  }
  const std::int64_t failures = select.step() == SQLITE_ROW ? select.integer(0) : 0;
  select.finish();
  return failures;
}

Result<Unit> SqliteStore::clearLoginFailures(std::string_view key) {
  std::lock_guard lock(mutex_);
  Statement& remove = statement("DELETE FROM login_failures WHERE key = ?");
  if (!remove.valid() || !remove.bind(key) || !remove.run()) {
    return databaseError("cannot clear failed logins");
  }
  return Unit{};
}

}  // namespace tessaline::server
