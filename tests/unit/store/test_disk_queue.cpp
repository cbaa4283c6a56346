// The disk queue: bounded, oldest dropped first, order kept across a reopen; a file it cannot
// use is moved aside, never fatal.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "DiskQueue.h"

namespace {

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/zal-store-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TempFolder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Names in the folder that start with prefix.
  std::vector<std::string> namesStartingWith(const std::string& prefix) const {
    std::vector<std::string> names;
    DIR* dir = opendir(path_.c_str());
    while (dirent* entry = readdir(dir))
      if (std::string(entry->d_name).rfind(prefix, 0) == 0) names.push_back(entry->d_name);
    closedir(dir);
    return names;
  }

 private:
  std::string path_;
};

// A record whose topic and payload together take size bytes; the payload names it.
StoredRecord record(const std::string& name, size_t size, int qos = 1) {
  StoredRecord r;
  r.topic = "t";
  r.payload = name + std::string(size - 1 - name.size(), '.');
  r.qos = qos;
  r.sampledMs = 1000;
  return r;
}

std::vector<std::string> names(const std::vector<StoredRecord>& records) {
  std::vector<std::string> out;
  for (const StoredRecord& r : records) out.push_back(r.payload.substr(0, r.payload.find('.')));
  return out;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

TEST(DiskQueue, BoundedOldestDroppedFirstOrderKeptAcrossReopen) {
  TempFolder folder;
  const std::string path = folder.file("buffer.db");
  {
    DiskQueue queue(path, 100, "test");
    EXPECT_EQ(queue.append({record("p0", 30), record("p1", 30)}), 0u);
    EXPECT_EQ(queue.append({record("p2", 30), record("p3", 30), record("p4", 30)}), 2u);  // 150 offered
    EXPECT_EQ(queue.count(), 3u);
    EXPECT_EQ(queue.bytes(), 90u);
    // Larger than the whole bound: dropped itself, the others stay.
    EXPECT_EQ(queue.append({record("huge", 101)}), 1u);
    // A batch larger than the bound keeps its newest records only.
    EXPECT_EQ(queue.append({record("b0", 40), record("b1", 40), record("b2", 40)}), 4u);
    EXPECT_EQ(names(queue.readOldest(0, 10)), (std::vector<std::string>{"b1", "b2"}));
  }
  // Reopened: the same records, the same order, the same byte count; ids only grow.
  DiskQueue queue(path, 100, "test");
  EXPECT_EQ(queue.count(), 2u);
  EXPECT_EQ(queue.bytes(), 80u);
  std::vector<StoredRecord> kept = queue.readOldest(0, 10);
  ASSERT_EQ(names(kept), (std::vector<std::string>{"b1", "b2"}));
  EXPECT_LT(kept[0].id, kept[1].id);
  EXPECT_EQ(kept[0].qos, 1);
  EXPECT_EQ(kept[0].sampledMs, 1000);
  EXPECT_EQ(names(queue.readOldest(kept[0].id, 10)), (std::vector<std::string>{"b2"}));

  queue.remove({kept[0].id, kept[1].id});
  EXPECT_EQ(queue.count(), 0u);
  EXPECT_EQ(queue.bytes(), 0u);
  queue.append({record("n0", 10)});
  const std::vector<StoredRecord> fresh = queue.readOldest(0, 10);
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_GT(fresh[0].id, kept[1].id);  // never reused, so a "sent up to" mark stays true
  EXPECT_TRUE(folder.namesStartingWith("buffer.db.unusable-").empty());
}

TEST(DiskQueue, RemovesWhatWasSampledBeforeACutOffButNotWhatIsAlreadySent) {
  TempFolder folder;
  DiskQueue queue(folder.file("buffer.db"), 1000, "test");
  std::vector<StoredRecord> batch;
  for (int i = 0; i < 4; ++i) {
    batch.push_back(record("s" + std::to_string(i), 10));
    batch.back().sampledMs = 1000 * (i + 1);
  }
  queue.append(batch);
  const std::vector<StoredRecord> all = queue.readOldest(0, 10);
  EXPECT_EQ(queue.removeSampledBefore(all[0].id, 3500), 2u);  // s1, s2; s0 is in flight
  EXPECT_EQ(names(queue.readOldest(0, 10)), (std::vector<std::string>{"s0", "s3"}));
  EXPECT_EQ(queue.bytes(), 20u);
}

// A file that is not one of ours, whatever the reason, is moved aside with a timestamped name
// and a fresh queue takes its place.
TEST(DiskQueue, AFileItCannotUseIsMovedAsideAndAFreshOneMade) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
  };
  const std::vector<Case> cases = {
      {"not a database", [](const std::string& path) { std::ofstream(path) << "this is not a database\n"; }},
      {"another program's database",
       [](const std::string& path) {
         sqlite3* db = nullptr;
         sqlite3_open(path.c_str(), &db);
         sqlite3_exec(db, "CREATE TABLE other(x); INSERT INTO other VALUES(1);", nullptr, nullptr, nullptr);
         sqlite3_close(db);
       }},
      {"a newer schema",
       [](const std::string& path) {
         { DiskQueue queue(path, 100, "test"); }
         sqlite3* db = nullptr;
         sqlite3_open(path.c_str(), &db);
         sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
         sqlite3_close(db);
       }},
      {"damaged pages",
       [](const std::string& path) {
         {
           DiskQueue queue(path, 1 << 20, "test");
           std::vector<StoredRecord> batch;
           for (int i = 0; i < 200; ++i) batch.push_back(record("r" + std::to_string(i), 500));
           queue.append(batch);
         }
         std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(4096 + 100);  // into the second page
         const std::string garbage(8000, '\xA5');
         file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    const std::string path = folder.file("buffer.db");
    c.make(path);
    const std::string before = readAll(path);
    DiskQueue queue(path, 100, "test");
    EXPECT_EQ(queue.count(), 0u);
    EXPECT_EQ(queue.append({record("a", 10)}), 0u);
    EXPECT_EQ(names(queue.readOldest(0, 10)), (std::vector<std::string>{"a"}));
    const std::vector<std::string> aside = folder.namesStartingWith("buffer.db.unusable-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(readAll(folder.file(aside[0])) == before) << "the file moved aside is not as it was";
  }
}

TEST(DiskQueue, AFolderThatCannotHoldTheFileThrows) {
  EXPECT_THROW(DiskQueue("/nonexistent-folder/zal/buffer.db", 100, "test"), std::runtime_error);
}
