// DiskQueue: the records of one offline buffer in an SQLite file.
#include "DiskQueue.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <utility>

#include "Trace.h"

namespace {

// Marks a file as this service's offline buffer (PRAGMA application_id), so that another
// program's database is never taken for one: "ZALQ".
constexpr int kApplicationId = 0x5A414C51;

constexpr const char* kSchema =
    "CREATE TABLE payloads("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " sampled_ms INTEGER NOT NULL,"
    " tag INTEGER NOT NULL,"
    " qos INTEGER NOT NULL,"
    " retain INTEGER NOT NULL,"
    " topic BLOB NOT NULL,"
    " payload BLOB NOT NULL);";

// One prepared statement, finalised on every path.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
      code_ = sqlite3_errcode(db);
      stmt_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  int prepareCode() const { return code_; }
  sqlite3_stmt* get() const { return stmt_; }
  int step() { return stmt_ ? sqlite3_step(stmt_) : code_; }
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  void bindBlob(int index, const std::string& value) {
    sqlite3_bind_blob(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
  }
  void bindInt(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
  int64_t column(int index) const { return sqlite3_column_int64(stmt_, index); }
  std::string columnBlob(int index) const {
    const void* data = sqlite3_column_blob(stmt_, index);
    const int size = sqlite3_column_bytes(stmt_, index);
    return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size)) : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int code_ = SQLITE_ERROR;
};

int exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// The first column of the first row of sql as an integer, or a text; false on failure.
bool queryInt(sqlite3* db, const char* sql, int64_t& out) {
  Statement s(db, sql);
  if (s.step() != SQLITE_ROW) return false;
  out = s.column(0);
  return true;
}
bool queryText(sqlite3* db, const char* sql, std::string& out) {
  Statement s(db, sql);
  if (s.step() != SQLITE_ROW) return false;
  const unsigned char* text = sqlite3_column_text(s.get(), 0);
  out = text ? reinterpret_cast<const char*>(text) : "";
  return true;
}

bool exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::string utcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

}  // namespace

DiskQueue::DiskQueue(std::string path, uint64_t limitBytes, std::string label)
    : path_(std::move(path)), limitBytes_(limitBytes), label_(std::move(label)) {
  std::lock_guard<std::mutex> lock(mutex_);
  openOrMoveAside();
}

DiskQueue::~DiskQueue() {
  std::lock_guard<std::mutex> lock(mutex_);
  closeDb();
}

void DiskQueue::closeDb() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

void DiskQueue::openOrMoveAside() {
  std::string why;
  if (tryOpen(why)) return;
  closeDb();
  if (!exists(path_)) throw std::runtime_error("cannot create '" + path_ + "': " + why);
  moveAside(why);
  if (!tryOpen(why)) {
    closeDb();
    throw std::runtime_error("cannot create '" + path_ + "': " + why);
  }
}

bool DiskQueue::tryOpen(std::string& why) {
  closeDb();
  count_ = 0;
  bytes_ = 0;
  const int opened = sqlite3_open_v2(
      path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (opened != SQLITE_OK) {
    why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(opened);
    return false;
  }
  sqlite3_busy_timeout(db_, 2000);
  sqlite3_extended_result_codes(db_, 0);

  int64_t applicationId = 0, version = 0, objects = 0;
  if (!queryInt(db_, "PRAGMA application_id", applicationId) ||
      !queryInt(db_, "PRAGMA user_version", version) ||
      !queryInt(db_, "SELECT count(*) FROM sqlite_master", objects)) {
    why = sqlite3_errmsg(db_);
    return false;
  }
  // Only a file found to be ours (or empty) is changed: the write-ahead log first.
  const bool fresh = applicationId == 0 && version == 0 && objects == 0;
  if (!fresh && applicationId != kApplicationId) {
    why = "not an offline buffer file";
    return false;
  }
  if (!fresh && version != kSchemaVersion) {
    why = "schema version " + std::to_string(version) + ", this service reads " +
          std::to_string(kSchemaVersion);
    return false;
  }
  std::string mode;
  if (!queryText(db_, "PRAGMA journal_mode=WAL", mode)) {
    why = sqlite3_errmsg(db_);
    return false;
  }
  if (mode != "wal") {
    why = "no write-ahead log (journal mode " + mode + ")";
    return false;
  }
  if (fresh) {
    // A new file: the table, then the marks, in one transaction.
    const std::string init = std::string("BEGIN IMMEDIATE;") + kSchema +
                             "PRAGMA application_id=" + std::to_string(kApplicationId) +
                             "; PRAGMA user_version=" + std::to_string(kSchemaVersion) + "; COMMIT;";
    if (exec(db_, init.c_str()) != SQLITE_OK) {
      why = sqlite3_errmsg(db_);
      exec(db_, "ROLLBACK");
      return false;
    }
  }
  std::string check;
  if (!queryText(db_, "PRAGMA quick_check", check)) {
    why = sqlite3_errmsg(db_);
    return false;
  }
  if (check != "ok") {
    why = "damaged: " + check;
    return false;
  }
  // Full sync: a committed batch survives a power cut. The log is given back to the file system
  // after each checkpoint beyond 1 MB.
  if (exec(db_, "PRAGMA synchronous=FULL; PRAGMA journal_size_limit=1048576;") != SQLITE_OK) {
    why = sqlite3_errmsg(db_);
    return false;
  }
  Statement totals(db_, "SELECT count(*), total(length(topic) + length(payload)) FROM payloads");
  if (totals.step() != SQLITE_ROW) {
    why = sqlite3_errmsg(db_);
    return false;
  }
  count_ = static_cast<uint64_t>(totals.column(0));
  bytes_ = static_cast<uint64_t>(sqlite3_column_double(totals.get(), 1));
  return true;
}

void DiskQueue::moveAside(const std::string& why) {
  closeDb();
  std::string aside = path_ + ".unusable-" + utcStamp();
  for (int n = 2; exists(aside); ++n) aside = path_ + ".unusable-" + utcStamp() + "-" + std::to_string(n);
  if (std::rename(path_.c_str(), aside.c_str()) != 0 && errno != ENOENT)
    throw std::runtime_error("cannot move '" + path_ + "' aside: " + std::strerror(errno));
  // Its log belongs to it; the shared-memory index is rebuilt from the log by whoever opens it.
  std::rename((path_ + "-wal").c_str(), (aside + "-wal").c_str());
  std::remove((path_ + "-shm").c_str());
  TRACE(1, label_, ": offline buffer file '", path_, "' cannot be used (", why, "): moved aside to '", aside,
        "', starting a fresh one.");
}

void DiskQueue::recoverFromFailure(int code, const char* during) {
  if (code == SQLITE_FULL || code == SQLITE_BUSY || code == SQLITE_LOCKED || code == SQLITE_INTERRUPT) return;
  // Anything else means the file itself went bad under us: start over with a fresh one. Ids
  // go on from where the old file was, so that a caller's "sent up to" mark stays true.
  int64_t lastId = 0;
  if (db_) queryInt(db_, "SELECT seq FROM sqlite_sequence WHERE name='payloads'", lastId);
  const std::string why = std::string(during) + ": " + sqlite3_errstr(code);
  try {
    moveAside(why);
    std::string reason;
    if (!tryOpen(reason)) {
      closeDb();
      TRACE(1, label_, ": offline buffer file '", path_, "' cannot be made again: ", reason);
      return;
    }
    if (lastId > 0) {
      const std::string seed =
          "INSERT INTO sqlite_sequence(name, seq) VALUES('payloads', " + std::to_string(lastId) + ")";
      exec(db_, seed.c_str());
    }
  } catch (const std::exception& e) {
    closeDb();
    TRACE(1, label_, ": ", e.what());
  }
}

uint64_t DiskQueue::dropOldest(uint64_t needBytes) {
  Statement oldest(db_, "SELECT id, length(topic) + length(payload) FROM payloads ORDER BY id");
  uint64_t freed = 0, dropped = 0;
  int64_t upTo = 0;
  while (freed < needBytes && oldest.step() == SQLITE_ROW) {
    upTo = oldest.column(0);
    freed += static_cast<uint64_t>(oldest.column(1));
    ++dropped;
  }
  oldest.reset();
  if (dropped == 0) return 0;
  Statement remove(db_, "DELETE FROM payloads WHERE id <= ?");
  remove.bindInt(1, upTo);
  if (remove.step() != SQLITE_DONE) return 0;
  count_ -= dropped;
  bytes_ -= freed;
  return dropped;
}

bool DiskQueue::insertBatch(const std::vector<StoredRecord>& batch, uint64_t& dropped, int& code) {
  // The newest records of the batch that fit the bound at all; older ones of it are dropped.
  size_t first = batch.size();
  uint64_t keep = 0;
  while (first > 0 && keep + batch[first - 1].cost() <= limitBytes_) keep += batch[--first].cost();
  const uint64_t countBefore = count_, bytesBefore = bytes_;
  uint64_t droppedHere = first;

  code = exec(db_, "BEGIN IMMEDIATE");
  if (code != SQLITE_OK) return false;
  if (bytes_ + keep > limitBytes_) droppedHere += dropOldest(bytes_ + keep - limitBytes_);
  Statement insert(
      db_, "INSERT INTO payloads(sampled_ms, tag, qos, retain, topic, payload) VALUES(?, ?, ?, ?, ?, ?)");
  code = insert.ok() ? SQLITE_OK : insert.prepareCode();
  for (size_t i = first; i < batch.size() && code == SQLITE_OK; ++i) {
    const StoredRecord& r = batch[i];
    insert.bindInt(1, r.sampledMs);
    insert.bindInt(2, r.tag);
    insert.bindInt(3, r.qos);
    insert.bindInt(4, r.retain ? 1 : 0);
    insert.bindBlob(5, r.topic);
    insert.bindBlob(6, r.payload);
    const int stepped = insert.step();
    code = stepped == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
    insert.reset();
  }
  if (code == SQLITE_OK) code = exec(db_, "COMMIT");
  if (code != SQLITE_OK) {
    exec(db_, "ROLLBACK");
    count_ = countBefore;
    bytes_ = bytesBefore;
    return false;
  }
  count_ += batch.size() - first;
  bytes_ += keep;
  dropped += droppedHere;
  return true;
}

uint64_t DiskQueue::append(const std::vector<StoredRecord>& batch) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (batch.empty()) return 0;
  uint64_t dropped = 0;
  int code = SQLITE_OK;
  if (db_ == nullptr) {
    recoverFromFailure(SQLITE_CANTOPEN, "reopening");
    if (db_ == nullptr) return batch.size();
  }
  if (insertBatch(batch, dropped, code)) return dropped;
  if (code != SQLITE_FULL) {
    recoverFromFailure(code, "writing");
    if (db_ != nullptr && insertBatch(batch, dropped, code)) return dropped;
    return dropped + batch.size();
  }

  // The disk is full: give the log back to the file system and try again; then drop the
  // oldest quarter and try again, until the batch fits or nothing is left to drop.
  if (!fullReported_)
    TRACE(1, label_, ": disk full at '", path_, "': dropping the oldest kept payloads to make room.");
  fullReported_ = true;
  exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)");
  if (insertBatch(batch, dropped, code)) return dropped;
  while (code == SQLITE_FULL) {
    if (count_ == 0) return dropped + batch.size();
    const uint64_t quarter = count_ / 4 + 1;
    Statement oldest(db_, "SELECT id, length(topic) + length(payload) FROM payloads ORDER BY id LIMIT ?");
    oldest.bindInt(1, static_cast<int64_t>(quarter));
    int64_t upTo = 0;
    uint64_t freed = 0, n = 0;
    while (oldest.step() == SQLITE_ROW) {
      upTo = oldest.column(0);
      freed += static_cast<uint64_t>(oldest.column(1));
      ++n;
    }
    oldest.reset();
    Statement remove(db_, "DELETE FROM payloads WHERE id <= ?");
    remove.bindInt(1, upTo);
    if (remove.step() != SQLITE_DONE) return dropped + batch.size();  // not even a delete fits
    count_ -= n;
    bytes_ -= freed;
    dropped += n;
    exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)");
    if (insertBatch(batch, dropped, code)) return dropped;
  }
  recoverFromFailure(code, "writing");
  return dropped + batch.size();
}

std::vector<StoredRecord> DiskQueue::readOldest(int64_t afterId, size_t max) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<StoredRecord> out;
  if (db_ == nullptr || max == 0) return out;
  Statement select(
      db_,
      "SELECT id, sampled_ms, tag, qos, retain, topic, payload FROM payloads WHERE id > ? ORDER BY id "
      "LIMIT ?");
  select.bindInt(1, afterId);
  select.bindInt(2, static_cast<int64_t>(max));
  int code = SQLITE_OK;
  while ((code = select.step()) == SQLITE_ROW) {
    StoredRecord r;
    r.id = select.column(0);
    r.sampledMs = select.column(1);
    r.tag = static_cast<uint32_t>(select.column(2));
    r.qos = static_cast<int>(select.column(3));
    r.retain = select.column(4) != 0;
    r.topic = select.columnBlob(5);
    r.payload = select.columnBlob(6);
    out.push_back(std::move(r));
  }
  if (code != SQLITE_DONE) {
    const int failure = select.ok() ? sqlite3_errcode(db_) : select.prepareCode();
    out.clear();
    recoverFromFailure(failure, "reading");
  }
  return out;
}

bool DiskQueue::removeOnce(const std::vector<int64_t>& ids, int& code) {
  code = exec(db_, "BEGIN IMMEDIATE");
  if (code != SQLITE_OK) return false;
  Statement remove(db_, "DELETE FROM payloads WHERE id = ? RETURNING length(topic) + length(payload)");
  uint64_t n = 0, freed = 0;
  code = remove.ok() ? SQLITE_OK : remove.prepareCode();
  for (size_t i = 0; i < ids.size() && code == SQLITE_OK; ++i) {
    remove.bindInt(1, ids[i]);
    int stepped = SQLITE_OK;
    while ((stepped = remove.step()) == SQLITE_ROW) {
      ++n;
      freed += static_cast<uint64_t>(remove.column(0));
    }
    if (stepped != SQLITE_DONE) code = sqlite3_errcode(db_);
    remove.reset();
  }
  if (code == SQLITE_OK) code = exec(db_, "COMMIT");
  if (code != SQLITE_OK) {
    exec(db_, "ROLLBACK");
    return false;
  }
  count_ -= n;
  bytes_ -= freed;
  return true;
}

bool DiskQueue::remove(const std::vector<int64_t>& ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ids.empty()) return true;
  if (db_ == nullptr) return false;
  int code = SQLITE_OK;
  if (removeOnce(ids, code)) return true;
  if (code == SQLITE_FULL) {
    // Even a removal needs room in the log: give the log back first.
    exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)");
    if (removeOnce(ids, code)) return true;
  }
  recoverFromFailure(code, "removing");
  return false;
}

uint64_t DiskQueue::removeSampledBefore(int64_t afterId, int64_t cutoffMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return 0;
  Statement remove(
      db_, "DELETE FROM payloads WHERE id > ? AND sampled_ms < ? RETURNING length(topic) + length(payload)");
  remove.bindInt(1, afterId);
  remove.bindInt(2, cutoffMs);
  uint64_t n = 0, freed = 0;
  int code = SQLITE_OK;
  while ((code = remove.step()) == SQLITE_ROW) {
    ++n;
    freed += static_cast<uint64_t>(remove.column(0));
  }
  if (code != SQLITE_DONE) {
    recoverFromFailure(remove.ok() ? sqlite3_errcode(db_) : remove.prepareCode(), "removing");
    return 0;
  }
  count_ -= n;
  bytes_ -= freed;
  return n;
}

uint64_t DiskQueue::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

uint64_t DiskQueue::bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}
