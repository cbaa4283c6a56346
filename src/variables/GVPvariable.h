// GVPvariable: the live view of one process variable in the variable server, with its members.
// Always owned through std::shared_ptr. Scalars keep a snapshot of their last seen raw value
// for change detection; the snapshot is also what a payload is written from, so that a value is
// read once per publish cycle and what is published is what the next change test compares with.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

class GVPvariable final : public std::enable_shared_from_this<GVPvariable> {
 public:
  // A string's snapshot text, held through a pointer so that a snapshot (of which a large
  // configuration has one per scalar) stays two words wide; copies copy the text.
  class SnapshotText {
   public:
    explicit SnapshotText(std::string text) : text_(std::make_unique<std::string>(std::move(text))) {}
    SnapshotText(const SnapshotText& other) : text_(std::make_unique<std::string>(*other.text_)) {}
    SnapshotText(SnapshotText&&) noexcept = default;
    SnapshotText& operator=(const SnapshotText& other) {
      if (text_)
        *text_ = *other.text_;
      else
        text_ = std::make_unique<std::string>(*other.text_);
      return *this;
    }
    SnapshotText& operator=(SnapshotText&&) noexcept = default;
    const std::string& text() const { return *text_; }
    std::string& text() { return *text_; }

   private:
    std::unique_ptr<std::string> text_;  // never null, apart from a moved-from text
  };
  // Snapshot of a scalar's raw bits at its width class, or a string's text; empty otherwise.
  using Snapshot = std::variant<std::monostate, uint8_t, uint16_t, uint32_t, uint64_t, SnapshotText>;

  // The text before a node's name, shared by the members of one structured node.
  using SharedPath = std::shared_ptr<const std::string>;

  // Builds the node path+name and, unless shallow, all its members. Throws std::runtime_error.
  GVPvariable(const std::string& path, const std::string& name, bool shallow);
  // The same with a path shared with other nodes (the members of one node share theirs).
  GVPvariable(SharedPath path, const std::string& name, bool shallow);
  ~GVPvariable();

  // Releasing a whole configuration after the variable server restarted: the handles ended with
  // the old server, and closing them answers 0x81000002. While a ReleaseSummary lives on a
  // thread, destructors on that thread count such closes instead of tracing a line each; the
  // summary's destructor traces one line at level 2 when it counted any. A close failing with
  // any other status is traced per variable as always. Summaries nest (the innermost counts).
  class ReleaseSummary {
   public:
    ReleaseSummary();
    ~ReleaseSummary();
    ReleaseSummary(const ReleaseSummary&) = delete;
    ReleaseSummary& operator=(const ReleaseSummary&) = delete;

   private:
    friend class GVPvariable;
    ReleaseSummary* outer;
    uint64_t staleHandles = 0;
  };
  GVPvariable(const GVPvariable&) = delete;
  GVPvariable& operator=(const GVPvariable&) = delete;

  const std::string& getName() const { return name; }  // a reference: the codec reads it per value
  std::string getPath() const { return *path; }
  uint32_t getType() const { return type; }
  std::vector<std::shared_ptr<GVPvariable>>& getChildren() { return children; }
  static uint64_t getObjectCount();

  // Pause after each member built and at the end of a member walk (10 ms by default; it keeps
  // a large tree from flooding the variable server). Tests may shorten it; process-wide.
  static void setMemberPause(std::chrono::microseconds pause);
  static std::chrono::microseconds getMemberPause();

  // While it lives, the member walks of the thread that made it pause for pause instead of the
  // process-wide pause (the configuration root applies its own pause to the trees it builds).
  // Scopes nest; each gives back what was in force before it.
  class MemberPauseScope {
   public:
    explicit MemberPauseScope(std::chrono::microseconds pause);
    ~MemberPauseScope();
    MemberPauseScope(const MemberPauseScope&) = delete;
    MemberPauseScope& operator=(const MemberPauseScope&) = delete;

   private:
    int64_t saved;
  };

  // Typed reads of the value bytes through the open handle. Throw std::runtime_error.
  uint8_t readBool();
  uint8_t readUint8();
  int8_t readInt8();
  uint16_t readUint16();
  int16_t readInt16();
  uint32_t readUint32();
  int32_t readInt32();
  uint64_t readUint64();
  int64_t readInt64();
  float readReal();
  double readLreal();
  std::string readString();

  // Typed writes of the value bytes through the open handle. Throw std::runtime_error.
  // writeString writes the text's bytes without a terminator (an empty text as one NUL); a
  // text longer than 65535 bytes, the most one write can carry, is refused with an error
  // rather than written cut.
  void writeBool(uint8_t value);
  void writeUint8(uint8_t value);
  void writeInt8(int8_t value);
  void writeUint16(uint16_t value);
  void writeInt16(int16_t value);
  void writeUint32(uint32_t value);
  void writeInt32(int32_t value);
  void writeUint64(uint64_t value);
  void writeInt64(int64_t value);
  void writeReal(float value);
  void writeLreal(double value);
  void writeString(std::string text);

  // Deadband of the change test (0: off, the exact test). Set on every REAL and LREAL node of
  // this tree: such a node then counts as changed only when its value differs from the value
  // it had when it was last published (markPublished) by more than band. Before its first
  // publication it counts as changed. NaN against NaN, an infinity against the same infinity
  // and +0 against -0 are unchanged; NaN against a number, and an infinity against anything
  // else, are changed. The snapshot is refreshed at every test all the same. Other types keep
  // the exact test. Set while the tree is built, before any worker tests it.
  void setDeadband(double band);
  // Records the current snapshots of this tree's deadband nodes as their published values.
  // Call it for the nodes whose values went into a payload (a reduced tree of getChanged shares
  // its scalar nodes with the original, so it marks those).
  void markPublished();

  // Change detection against the snapshots; refreshes every snapshot it visits. A node whose
  // type has no value (20, 23) reports a change at its first test only, and nothing after.
  bool hasChanged();
  // Like hasChanged, and sets out to a reduced tree of what changed: a scalar or string as the
  // node itself; an array as a new node holding every element (each in its own reduced form);
  // a struct or directory as a new node holding only the members that changed. A structured
  // node without members returns false and leaves out untouched. The new nodes share the
  // scalar nodes of the original tree. Throws std::runtime_error, or std::bad_weak_ptr when a
  // scalar or string node is not owned by a std::shared_ptr.
  bool getChanged(std::shared_ptr<GVPvariable>& out);

  // The raw value the last change test (or readSnapshot) read: the bits at the width class of a
  // scalar, the text of a STRING; empty for structured nodes. Before the first test it holds the
  // seed the constructor put there, which is not the value.
  const Snapshot& getSnapshot() const { return previous; }
  // The snapshot's text for a STRING node; null for any other node.
  const std::string* getSnapshotText() const {
    const SnapshotText* snapshot = std::get_if<SnapshotText>(&previous);
    return snapshot != nullptr ? &snapshot->text() : nullptr;
  }
  // Reads the current value into the snapshot, as a change test does, without the answer: every
  // scalar and string below a structured node. Throws what the change test throws.
  void readSnapshot() { hasChanged(); }
  // For a scalar (a node whose snapshot holds 8, 16, 32 or 64 bits): reads the value into the
  // snapshot as a change test does and returns its bits, zero-extended; getSnapshotBits returns
  // the snapshot's bits without reading. Any other node throws std::runtime_error.
  uint64_t readSnapshotBits();
  uint64_t getSnapshotBits() const;

 private:
  struct CopyTag {};
  void readMembers();
  void readValue(void* destination, uint16_t byteCount);
  [[noreturn]] void throwReadError(uint32_t status) const;
  template <typename T>
  bool testScalar(T& seen);
  template <typename T>
  uint64_t readInto(T& seen);
  [[noreturn]] void throwNoScalar() const;
  int testIfScalar();
  int testDeadband();
  void writeValue(const void* source, uint16_t byteCount);

  // Copy of a structured node for getChanged: same fields, no children, counted, no handle use.
  GVPvariable(CopyTag, const GVPvariable& original);

  // A large configuration holds one node per scalar, so the members are kept small: what the
  // change test reads per scalar first (handle, snapshot, deadband), then the rest; the path
  // is shared with the node's siblings, and the deadband's state is held only where one is set.
  struct DeadbandState {
    double band = 0;             // > 0
    double publishedValue = 0;   // the value last published, valid once published is set
    bool published = false;
  };

  uint32_t handle = 0;
  uint32_t type = 0;
  Snapshot previous;
  std::unique_ptr<DeadbandState> deadband;  // only on REAL and LREAL nodes of a set with a deadband
  SharedPath path;
  std::string name;
  std::vector<std::shared_ptr<GVPvariable>> children;
};
