#include "Store.h"

#include "TextChecks.h"

#include <Tessaline/records/Uuid.h>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
};
static_assert(std::size(kMigrations) == Store::kSchemaVersion);

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Errors of a disk that is full or will not be written; storing resumes when that passes.
constexpr std::string_view kNoSpacePrefix = "no space to store: ";

bool isNoSpaceErrno(int error) {
  return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EROFS;
}

Error fileError(const std::string& what, int error) {
  return Error(Error::Kind::fileSystem,
               (isNoSpaceErrno(error) ? std::string(kNoSpacePrefix) : std::string()) + what + ": " +
                   std::strerror(error));
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
class Store::Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK) {
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
  bool bindOne(int index, const std::optional<std::string>& value) {
    return value ? bindOne(index, std::string_view(*value))
                 : sqlite3_bind_null(stmt_, index) == SQLITE_OK;
  }

  sqlite3_stmt* stmt_ = nullptr;
};

Result<std::unique_ptr<Store>> Store::open(const std::filesystem::path& dataDir, Mode mode) {
  std::unique_ptr<Store> store(new Store());
  std::error_code ignored;
  store->dataDir_ = std::filesystem::absolute(dataDir, ignored);
  store->attachmentsDir_ = dataDir / kAttachmentsFolder;
  if (mode == Mode::service) {
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
  if (store->attachmentsDirFd_ < 0 && mode == Mode::service) {
    return fileError("cannot open " + store->attachmentsDir_.string(), errno);
  }
  if (Result<Unit> opened = store->openDatabase(mode); !opened) {
    return opened.error();
  }
  return store;
}

Store::~Store() {
  statements_.clear();
  sqlite3_close(db_);
  if (attachmentsDirFd_ >= 0) {
    ::close(attachmentsDirFd_);
  }
  if (lockFd_ >= 0) {
    ::close(lockFd_);
  }
}

Error Store::databaseError(const std::string& what) const {
  if (!db_) {
    return Error(Error::Kind::fileSystem, what + ": no database connection");
  }
  const int code = sqlite3_extended_errcode(db_) & 0xff;
  const bool noSpace = code == SQLITE_FULL || code == SQLITE_READONLY ||
                       (code == SQLITE_IOERR && isNoSpaceErrno(sqlite3_system_errno(db_)));
  return Error(Error::Kind::fileSystem, (noSpace ? std::string(kNoSpacePrefix) : std::string()) +
                                            what + ": " + sqlite3_errmsg(db_));
}

bool Store::isNoSpace(const Error& error) {
  return error.description().starts_with(kNoSpacePrefix);
}

Result<Unit> Store::openDatabase(Mode mode) {
  const std::filesystem::path path = dataDir_ / kDatabaseName;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE |
                    (mode == Mode::service ? SQLITE_OPEN_CREATE : 0);
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
  const char* pragmas = "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;";
  if (sqlite3_exec(db_, pragmas, nullptr, nullptr, nullptr) != SQLITE_OK) {
    return databaseError("cannot set up " + path.string());
  }
  if (mode == Mode::service) {
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

Result<Unit> Store::migrate() {
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
                               "PRAGMA user_version=" + std::to_string(version + 1) + ";COMMIT;";
    if (sqlite3_exec(db_, script.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      Error error =
          databaseError("cannot migrate the database to version " + std::to_string(version + 1));
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return error;
    }
  }
  return Unit{};
}

Store::Statement& Store::statement(const char* sql) {
  for (auto& [text, prepared] : statements_) {
    if (text == sql) {
      return *prepared;
    }
  }
  statements_.emplace_back(sql, std::make_unique<Statement>(db_, sql));
  return *statements_.back().second;
}

std::filesystem::path Store::attachmentPath(std::string_view id) const {
  return attachmentsDir_ / std::string(id);
}

// --- Uploads

Store::Upload::Upload(Upload&& other) noexcept
    : store_(std::exchange(other.store_, nullptr)),
      id_(std::move(other.id_)),
      fd_(std::exchange(other.fd_, -1)),
      size_(other.size_) {}

Store::Upload::~Upload() {
  discard();
}

void Store::Upload::discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (store_) {
    std::error_code ignored;
    std::filesystem::remove(store_->attachmentPath(id_), ignored);
    store_->forgetUpload(id_);
    store_ = nullptr;
  }
}

bool Store::Upload::append(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      failure_ = errno;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
    size_ += static_cast<std::uint64_t>(written);
  }
  return true;
}

void Store::forgetUpload(const std::string& id) {
  std::lock_guard lock(mutex_);
  uploadsInFlight_.erase(id);
}

Result<Store::Upload> Store::beginUpload() {
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
  return Upload(this, std::move(id), fd);
}

Result<AttachmentRecord> Store::commitUpload(Upload upload, std::string localId, std::string fileId,
                                             std::string extension, const IdempotencyKey* key) {
  // The bytes and the folder entry reach the disk before the record that points at them.
  if (::fsync(upload.fd_) != 0) {
    return fileError("cannot sync attachment " + upload.id_, errno);
  }
  if (::close(std::exchange(upload.fd_, -1)) != 0) {
    return fileError("cannot close attachment " + upload.id_, errno);
  }
  if (::fsync(attachmentsDirFd_) != 0) {
    return fileError("cannot sync " + attachmentsDir_.string(), errno);
  }
  AttachmentRecord record;
  record.id = upload.id_;
  record.localId = std::move(localId);
  record.fileId = std::move(fileId);
  record.extension = std::move(extension);
  record.size = static_cast<std::int64_t>(upload.size_);
  record.createdMs = nowMs();
  std::string name = record.fileId;
  if (!record.extension.empty()) {
    name += "." + record.extension;
  }
  record.name = safeFileName(name);

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
  uploadsInFlight_.erase(record.id);
  upload.store_ = nullptr;  // committed: the file stays
  return record;
}

bool Store::recordKey(const IdempotencyKey* key, const std::string* reportId,
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

Result<std::optional<KeyUse>> Store::keyUse(std::string_view key) {
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

std::variant<std::string, ReportRejected, Error> Store::insertReport(const NewReport& report,
                                                                     const IdempotencyKey* key) {
  const std::string id = Uuid::random().uuidString();
  const std::int64_t receivedMs = nowMs();

  std::lock_guard lock(mutex_);
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return databaseError("cannot begin storing a report");
  }
  auto rollback = [&] { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); };
  auto failed = [&](const std::string& what) {
    Error error = databaseError(what);
    rollback();
    return error;
  };

  Statement& lookup = statement("SELECT local_id, name FROM attachments WHERE id = ?");
  for (const AttachmentReference& reference : report.attachments) {
    if (!lookup.valid() || !lookup.bind(reference.id)) {
      return failed("cannot look up attachments");
    }
    const int found = lookup.step();
    if (found != SQLITE_ROW) {
      lookup.finish();
      if (found != SQLITE_DONE) {
        return failed("cannot look up attachments");
      }
      rollback();
      return ReportRejected{"unknown attachment id \"" + reference.id + "\""};
    }
    const std::string localId = lookup.text(0);
    const std::string name = lookup.text(1);
    lookup.finish();
    if (localId != report.localId) {
      rollback();
      return ReportRejected{"attachment \"" + reference.id + "\" was uploaded for another report"};
    }
    if (name != reference.name) {
      rollback();
      return ReportRejected{"attachment \"" + reference.id + "\" is named \"" + name + "\""};
    }
  }

  Statement& insertReport = statement(
      "INSERT INTO reports (id, local_id, received_ms, reason_id, reason_title, frequency_id, "
      "frequency_title, subject, name, email) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  if (!insertReport.valid() ||
      !insertReport.bind(id, report.localId, receivedMs, report.reasonId, report.reasonTitle,
                         report.frequencyId, report.frequencyTitle, report.subject, report.name,
                         report.email) ||
      !insertReport.run()) {
    return failed("cannot store the report");
  }
  Statement& insertMessage =
      statement("INSERT INTO report_messages (report_id, position, body) VALUES (?, ?, ?)");
  for (std::size_t position = 0; position < report.messages.size(); ++position) {
    if (!insertMessage.valid() ||
        !insertMessage.bind(id, static_cast<std::int64_t>(position), report.messages[position]) ||
        !insertMessage.run()) {
      return failed("cannot store the report's messages");
    }
  }
  Statement& insertLink = statement(
      "INSERT INTO report_attachments (report_id, position, attachment_id) VALUES (?, ?, ?)");
  for (std::size_t position = 0; position < report.attachments.size(); ++position) {
    if (!insertLink.valid() ||
        !insertLink.bind(id, static_cast<std::int64_t>(position),
                         report.attachments[position].id) ||
        !insertLink.run()) {
      return failed("cannot store the report's attachments");
    }
  }
  if (!recordKey(key, &id, nullptr)) {
    return failed("cannot store the report's idempotency key");
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return failed("cannot commit the report");
  }
  return id;
}

// --- Orphans

Result<OrphanSweep> Store::removeOrphans(std::chrono::milliseconds grace, bool atStart) {
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

Result<std::vector<ReportSummary>> Store::listReports() {
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

Result<std::optional<StoredReport>> Store::report(std::string_view id) {
  std::lock_guard lock(mutex_);
  Statement& select = statement(
      "SELECT id, local_id, received_ms, reason_id, reason_title, frequency_id, frequency_title, "
      "subject, name, email FROM reports WHERE id = ?");
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
  select.finish();

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

Result<std::optional<AttachmentRecord>> Store::attachment(std::string_view id) {
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

}  // namespace tessaline::server
