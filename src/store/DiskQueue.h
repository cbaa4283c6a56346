// DiskQueue: a bounded first-in first-out queue of records in one SQLite file, kept across a
// restart, a crash and a power cut.
//
// The file runs in write-ahead-log mode with full sync: a batch appended in one transaction is
// on the medium when append returns, or, after a power cut in the middle, not there at all.
// The size bound counts each record's topic and payload bytes (what the records carry, not the
// file's own pages); when a batch does not fit, the oldest records are dropped first. A file
// that cannot be used (not a database, damaged, another program's, a newer schema) is moved
// aside under a timestamped name and a fresh one is made. A full disk drops the oldest records
// until the batch fits, traced once until an append succeeds again.
//
// Knows nothing of MQTT: a record is a topic, a payload, two small numbers for its sender and a
// tag. Safe to call from several threads (one lock around the connection).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

struct StoredRecord {
  int64_t id = 0;         // position in the queue: larger is newer (never reused)
  int64_t sampledMs = 0;  // when the payload was sampled, ms since 1970 (UTC)
  uint32_t tag = 0;       // the owner's own number (the variable-topic set)
  int qos = 0;
  bool retain = false;
  std::string topic;
  std::string payload;

  uint64_t cost() const { return topic.size() + payload.size(); }
};

class DiskQueue {
 public:
  // The schema this code writes and reads (PRAGMA user_version).
  static constexpr int kSchemaVersion = 1;

  // Opens the queue at path, or makes it; a file that cannot be used is moved aside first (its
  // new name is traced, with label at the start of the line). Throws std::runtime_error when
  // not even a fresh file can be made (a folder that is missing or not writable).
  DiskQueue(std::string path, uint64_t limitBytes, std::string label);
  ~DiskQueue();
  DiskQueue(const DiskQueue&) = delete;
  DiskQueue& operator=(const DiskQueue&) = delete;

  // Appends the batch in one transaction. Records that do not fit push out the oldest; a record
  // larger than the whole bound is dropped itself. Returns how many records were dropped.
  uint64_t append(const std::vector<StoredRecord>& batch);
  // Up to max of the oldest records whose id is above afterId, oldest first.
  std::vector<StoredRecord> readOldest(int64_t afterId, size_t max);
  // Removes the records with these ids, in one transaction; false when they could not be
  // removed (yet: a full disk).
  bool remove(const std::vector<int64_t>& ids);
  // Removes the records above afterId sampled before cutoffMs; how many.
  uint64_t removeSampledBefore(int64_t afterId, int64_t cutoffMs);

  uint64_t count() const;
  uint64_t bytes() const;
  uint64_t limitBytes() const { return limitBytes_; }
  const std::string& path() const { return path_; }

 private:
  void openOrMoveAside();
  bool tryOpen(std::string& why);
  void moveAside(const std::string& why);
  void closeDb();
  uint64_t dropOldest(uint64_t needBytes);
  bool removeOnce(const std::vector<int64_t>& ids, int& code);
  bool insertBatch(const std::vector<StoredRecord>& batch, uint64_t& dropped, int& code);
  void recoverFromFailure(int code, const char* during);

  const std::string path_;
  const uint64_t limitBytes_;
  const std::string label_;
  mutable std::mutex mutex_;  // guards db_, count_, bytes_, fullReported_
  sqlite3* db_ = nullptr;
  uint64_t count_ = 0;
  uint64_t bytes_ = 0;
  bool fullReported_ = false;
};
