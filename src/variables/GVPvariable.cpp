#include "GVPvariable.h"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include "BindProgress.h"
#include "KalpApi.h"
#include "Trace.h"

namespace {

// Number of GVPvariable objects alive in the process, copies made by getChanged included.
// Publish workers create and drop copies concurrently, so it is atomic.
std::atomic<uint64_t> liveObjects{0};

// The innermost ReleaseSummary of this thread, or null.
thread_local GVPvariable::ReleaseSummary* currentReleaseSummary = nullptr;

// Pause of the member walk, in microseconds (see setMemberPause).
std::atomic<int64_t> memberPauseMicros{10000};

// Pause of this thread's member walks set by a MemberPauseScope, in microseconds; negative
// while no scope is open.
thread_local int64_t threadPauseMicros = -1;

// Most bytes one KalpApiVarWrite can carry: its byte count is 16 bits wide.
constexpr size_t maxWriteBytes = 65535;
constexpr uint16_t stringReadBytes = 256;

// How a type code's value is held and compared.
enum class Kind { Bits8, Bits16, Bits32, Bits64, Text, NoValue, Structured, Invalid };

Kind kindOf(uint32_t type) {
  switch (type) {
    case 1:
    case 2:
    case 6:
    case 12:
      return Kind::Bits8;
    case 3:
    case 7:
    case 13:
      return Kind::Bits16;
    case 4:
    case 8:
    case 10:
    case 14:
      return Kind::Bits32;
    case 5:
    case 9:
    case 11:
    case 15:
    case 16:
    case 17:
    case 18:
    case 19:
    case 54:
    case 55:
    case 56:
    case 57:
      return Kind::Bits64;
    case 22:
      return Kind::Text;
    case 20:
    case 23:
      return Kind::NoValue;
    case 24:
    case 25:
    case 990:
      return Kind::Structured;
    default:
      return Kind::Invalid;
  }
}

bool isStructured(uint32_t type) { return kindOf(type) == Kind::Structured; }

void memberPause() {
  const int64_t micros =
      threadPauseMicros >= 0 ? threadPauseMicros : memberPauseMicros.load(std::memory_order_relaxed);
  if (micros > 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
  }
}

// Compares the current raw value with the snapshot, then makes it the snapshot.
template <typename T>
bool refreshSnapshot(GVPvariable::Snapshot& previous, T current) {
  T* seen = std::get_if<T>(&previous);
  if (seen == nullptr) {
    previous = std::move(current);
    return true;
  }
  if (*seen == current) {
    return false;
  }
  *seen = std::move(current);
  return true;
}

}  // namespace

uint64_t GVPvariable::getObjectCount() { return liveObjects.load(); }

void GVPvariable::setMemberPause(std::chrono::microseconds pause) {
  memberPauseMicros.store(pause.count(), std::memory_order_relaxed);
}

std::chrono::microseconds GVPvariable::getMemberPause() {
  return std::chrono::microseconds(memberPauseMicros.load(std::memory_order_relaxed));
}

GVPvariable::MemberPauseScope::MemberPauseScope(std::chrono::microseconds pause) : saved(threadPauseMicros) {
  threadPauseMicros = pause.count() < 0 ? 0 : pause.count();
}

GVPvariable::MemberPauseScope::~MemberPauseScope() { threadPauseMicros = saved; }

GVPvariable::GVPvariable(const std::string& pathIn, const std::string& nameIn, bool shallow)
    : GVPvariable(std::make_shared<const std::string>(pathIn), nameIn, shallow) {}

GVPvariable::GVPvariable(SharedPath pathIn, const std::string& nameIn, bool shallow) {
  liveObjects.fetch_add(1);
  handle = 0;

  // A constructor that throws runs no destructor: give back the count and an open handle
  // here, so that failed builds leave neither a wrong count nor a handle behind.
  bool handleOpen = false;
  try {
    if (nameIn.empty()) {
      throw std::runtime_error("GVPvariable::GVPvariable() called with empty name.");
    }
    if (!pathIn || pathIn->empty()) {
      throw std::runtime_error("GVPvariable::GVPvariable() called with empty path");
    }
    path = std::move(pathIn);
    name = nameIn;

    const std::string fullPath = *path + name;
    uint32_t status = KalpApiVarOpenHdlA(fullPath.c_str(), &handle);
    if (status != KALPAPI_OK) {
      throw std::runtime_error(fullPath + " open variable handle result is: " + hexString(status));
    }
    handleOpen = true;
    BindProgress::noteBound();

    status = KalpApiVarGetType(handle, &type);
    if (status != KALPAPI_OK) {
      throw std::runtime_error("Get element type result is: " + hexString(status));
    }

    // Seed the snapshot one above the current value, so that the first change test of a new
    // variable reports a change.
    switch (kindOf(type)) {
      case Kind::Bits8:
        previous = static_cast<uint8_t>(readUint8() + 1u);
        break;
      case Kind::Bits16:
        previous = static_cast<uint16_t>(readUint16() + 1u);
        break;
      case Kind::Bits32:
        previous = static_cast<uint32_t>(readUint32() + 1u);
        break;
      case Kind::Bits64:
        previous = static_cast<uint64_t>(readUint64() + 1u);
        break;
      case Kind::Text:
        previous = SnapshotText(readString() + " other");
        break;
      case Kind::NoValue:
        break;
      case Kind::Structured:
        // Structured nodes are only walked as directories; they hold no open handle.
        KalpApiVarCloseHdl(&handle);
        handleOpen = false;
        if (!shallow) {
          readMembers();
        }
        break;
      case Kind::Invalid:
        throw std::runtime_error("GVPvariable constructor error: invalid or unknown GVP element type.");
    }
  } catch (...) {
    if (handleOpen) {
      KalpApiVarCloseHdl(&handle);
    }
    children.clear();
    liveObjects.fetch_sub(1);
    throw;
  }
}

GVPvariable::GVPvariable(CopyTag, const GVPvariable& original)
    : std::enable_shared_from_this<GVPvariable>(),
      handle(original.handle),
      type(original.type),
      previous(original.previous),
      path(original.path),
      name(original.name) {
  liveObjects.fetch_add(1);
}

GVPvariable::ReleaseSummary::ReleaseSummary() : outer(currentReleaseSummary) { currentReleaseSummary = this; }

GVPvariable::ReleaseSummary::~ReleaseSummary() {
  currentReleaseSummary = outer;
  if (staleHandles == 0) return;
  try {
    TRACE(2, "released ", staleHandles,
          " variable handles that ended with an earlier variable server (KalpApiVarCloseHdl() returned 0x",
          hexString(KALPAPI_E_INVALID_PARAMETER), ").");
  } catch (...) {
    // A destructor must not fail; the summary line is all there is to lose.
  }
}

GVPvariable::~GVPvariable() {
  if (!isStructured(type)) {
    const uint32_t status = KalpApiVarCloseHdl(&handle);
    if (status == KALPAPI_E_INVALID_PARAMETER && currentReleaseSummary != nullptr) {
      ++currentReleaseSummary->staleHandles;
    } else if (status != KALPAPI_OK) {
      try {
        TRACE(1, "GVPvariable ", name, " destructor error: KalpApiVarCloseHdl() returned 0x",
              hexString(status));
      } catch (...) {
        // A destructor must not fail; the trace line is all there is to lose.
      }
    }
  }
  liveObjects.fetch_sub(1);
}

void GVPvariable::readMembers() {
  const std::string fullPath = *path + name;
  uint32_t directory = 0;
  uint32_t status = KalpApiVarOpenDir(fullPath.c_str(), &directory);
  if (status == KALPAPI_E_NO_MORE_ENTRIES) {
    KalpApiVarCloseDir(&directory);  // an empty array, struct or directory
    return;
  }
  if (status != KALPAPI_OK) {
    throw std::runtime_error("GVPvariable::GVPvariable(): read directory failed with 0x" + hexString(status) +
                             "!");
  }

  // Close the walk on the server also when building a member throws.
  bool directoryOpen = true;
  struct Closer {
    uint32_t& directory;
    bool& open;
    ~Closer() {
      if (open) KalpApiVarCloseDir(&directory);
    }
  } closer{directory, directoryOpen};

  // Members whose path is the same text (every member of a struct, every element of an array)
  // share one copy of it.
  SharedPath memberPath;
  children.reserve(2000);
  for (;;) {
    KalpApiDirEntry* entry = nullptr;
    status = KalpApiVarReadDir(&directory, &entry);
    if (status == KALPAPI_OK && entry != nullptr) {
      // The entry is valid only until the next read: copy its texts before building below.
      const std::string separator(entry->separator, strnlen(entry->separator, sizeof entry->separator));
      const std::string memberName(entry->memberName, strnlen(entry->memberName, sizeof entry->memberName));
      if (!memberPath || memberPath->size() != fullPath.size() + separator.size() ||
          memberPath->compare(fullPath.size(), std::string::npos, separator) != 0) {
        memberPath = std::make_shared<const std::string>(fullPath + separator);
      }
      children.push_back(std::make_shared<GVPvariable>(memberPath, memberName, false));
      memberPause();
    } else if (status == KALPAPI_E_NO_MORE_ENTRIES) {
      memberPause();
      break;
    } else {
      if (status == KALPAPI_OK) {
        status = KALPAPI_E_UNKNOWN;  // success without an entry
      }
      throw std::runtime_error("Cannot process element in Directory '" + fullPath + "'. " +
                               "KalpApiVarReadDir() returned 0x" + hexString(status) + "." + " There are " +
                               std::to_string(getObjectCount()) + " GVPvariable objects.");
    }
  }

  directoryOpen = false;
  status = KalpApiVarCloseDir(&directory);
  if (status != KALPAPI_OK) {
    throw std::runtime_error("Cannot close Directory '" + fullPath +
                             "' after processing its members. There are " + std::to_string(getObjectCount()) +
                             " GVPvariable objects.");
  }
  children.shrink_to_fit();
  memberPause();
}

void GVPvariable::readValue(void* destination, uint16_t byteCount) {
  const uint32_t status = KalpApiVarRead(destination, handle, byteCount);
  if (status != KALPAPI_OK) throwReadError(status);
}

void GVPvariable::throwReadError(uint32_t status) const {
  throw std::runtime_error("KalpApiVarRead() of variable " + name + "'s value failed with 0x" +
                           hexString(status) + ".");
}

// The change test of one scalar, kept small because it runs once per scalar and publish: one
// read of the raw value at the snapshot's width, compared with the snapshot and stored in it.
template <typename T>
bool GVPvariable::testScalar(T& seen) {
  T current{};
  const uint32_t status = KalpApiVarRead(&current, handle, sizeof current);
  if (status != KALPAPI_OK) throwReadError(status);
  const bool changed = current != seen;
  seen = current;
  return changed;
}

// The encoder's read of one scalar: the raw value at the snapshot's width, kept as the snapshot.
template <typename T>
uint64_t GVPvariable::readInto(T& seen) {
  T current{};
  const uint32_t status = KalpApiVarRead(&current, handle, sizeof current);
  if (status != KALPAPI_OK) throwReadError(status);
  seen = current;
  return current;
}

void GVPvariable::throwNoScalar() const {
  throw std::runtime_error("GVPvariable " + name + " holds no scalar value of its type.");
}

uint64_t GVPvariable::readSnapshotBits() {
  switch (previous.index()) {
    case 1:
      return readInto(*std::get_if<uint8_t>(&previous));
    case 2:
      return readInto(*std::get_if<uint16_t>(&previous));
    case 3:
      return readInto(*std::get_if<uint32_t>(&previous));
    case 4:
      return readInto(*std::get_if<uint64_t>(&previous));
    default:
      throwNoScalar();
  }
}

uint64_t GVPvariable::getSnapshotBits() const {
  switch (previous.index()) {
    case 1:
      return *std::get_if<uint8_t>(&previous);
    case 2:
      return *std::get_if<uint16_t>(&previous);
    case 3:
      return *std::get_if<uint32_t>(&previous);
    case 4:
      return *std::get_if<uint64_t>(&previous);
    default:
      throwNoScalar();
  }
}

uint8_t GVPvariable::readBool() {
  uint8_t value{};
  readValue(&value, sizeof value);
  return value;
}
uint8_t GVPvariable::readUint8() {
  uint8_t value{};
  readValue(&value, sizeof value);
  return value;
}
int8_t GVPvariable::readInt8() {
  int8_t value{};
  readValue(&value, sizeof value);
  return value;
}
uint16_t GVPvariable::readUint16() {
  uint16_t value{};
  readValue(&value, sizeof value);
  return value;
}
int16_t GVPvariable::readInt16() {
  int16_t value{};
  readValue(&value, sizeof value);
  return value;
}
uint32_t GVPvariable::readUint32() {
  uint32_t value{};
  readValue(&value, sizeof value);
  return value;
}
int32_t GVPvariable::readInt32() {
  int32_t value{};
  readValue(&value, sizeof value);
  return value;
}
uint64_t GVPvariable::readUint64() {
  uint64_t value{};
  readValue(&value, sizeof value);
  return value;
}
int64_t GVPvariable::readInt64() {
  int64_t value{};
  readValue(&value, sizeof value);
  return value;
}
float GVPvariable::readReal() {
  float value{};
  readValue(&value, sizeof value);
  return value;
}
double GVPvariable::readLreal() {
  double value{};
  readValue(&value, sizeof value);
  return value;
}

std::string GVPvariable::readString() {
  char buffer[stringReadBytes] = {};
  const uint32_t status = KalpApiVarRead(buffer, handle, stringReadBytes);
  if (status != KALPAPI_OK) {
    throw std::runtime_error("KalpApiVarRead() of string variable failed.");
  }
  return std::string(buffer, strnlen(buffer, sizeof buffer));
}

void GVPvariable::writeValue(const void* source, uint16_t byteCount) {
  const uint32_t status = KalpApiVarWrite(handle, source, byteCount);
  if (status != KALPAPI_OK) {
    throw std::runtime_error("KalpApiVarWrite() of basic variable " + name + " failed.");
  }
}

void GVPvariable::writeBool(uint8_t value) { writeValue(&value, sizeof value); }
void GVPvariable::writeUint8(uint8_t value) { writeValue(&value, sizeof value); }
void GVPvariable::writeInt8(int8_t value) { writeValue(&value, sizeof value); }
void GVPvariable::writeUint16(uint16_t value) { writeValue(&value, sizeof value); }
void GVPvariable::writeInt16(int16_t value) { writeValue(&value, sizeof value); }
void GVPvariable::writeUint32(uint32_t value) { writeValue(&value, sizeof value); }
void GVPvariable::writeInt32(int32_t value) { writeValue(&value, sizeof value); }
void GVPvariable::writeUint64(uint64_t value) { writeValue(&value, sizeof value); }
void GVPvariable::writeInt64(int64_t value) { writeValue(&value, sizeof value); }
void GVPvariable::writeReal(float value) { writeValue(&value, sizeof value); }
void GVPvariable::writeLreal(double value) { writeValue(&value, sizeof value); }

void GVPvariable::writeString(std::string text) {
  if (text.empty()) {
    text.assign(1, '\0');  // an empty text is written as one NUL
  }
  // The byte count of a write is 16 bits wide. A longer text would reach the variable cut to
  // its length modulo 65536 without anyone noticing; refuse it instead.
  if (text.size() > maxWriteBytes) {
    throw std::runtime_error("KalpApiVarWrite() of basic variable " + name + " failed: text of " +
                             std::to_string(text.size()) + " bytes is longer than the " +
                             std::to_string(maxWriteBytes) + " bytes one write can carry.");
  }
  const uint32_t status = KalpApiVarWrite(handle, text.data(), static_cast<uint16_t>(text.size()));
  if (status != KALPAPI_OK) {
    throw std::runtime_error("KalpApiVarWrite() of basic variable " + name + " failed with 0x" +
                             hexString(status) + ".");
  }
}

static_assert(std::is_same_v<std::variant_alternative_t<1, GVPvariable::Snapshot>, uint8_t> &&
                  std::is_same_v<std::variant_alternative_t<4, GVPvariable::Snapshot>, uint64_t>,
              "hasChanged picks the scalar widths by the snapshot's index");

// The change test of a node whose snapshot is a fixed-width scalar: 1 changed, 0 unchanged;
// -1 for any other node. A scalar's snapshot was seeded at its width class when it was built, so
// the snapshot's alternative picks the read without looking at the type code again.
inline int GVPvariable::testIfScalar() {
  // Most scalars have no deadband: keep their test on the straight path.
  if (__builtin_expect(deadband != nullptr, 0)) return testDeadband();
  switch (previous.index()) {
    case 1:
      return testScalar(*std::get_if<uint8_t>(&previous));
    case 2:
      return testScalar(*std::get_if<uint16_t>(&previous));
    case 3:
      return testScalar(*std::get_if<uint32_t>(&previous));
    case 4:
      return testScalar(*std::get_if<uint64_t>(&previous));
    default:
      return -1;
  }
}

namespace {

// Whether current lies outside the deadband around the published value (see setDeadband).
bool outsideDeadband(double current, double publishedValue, double band) {
  const bool currentNaN = std::isnan(current), publishedNaN = std::isnan(publishedValue);
  if (currentNaN || publishedNaN) return currentNaN != publishedNaN;
  if (std::isinf(current) || std::isinf(publishedValue)) return current != publishedValue;
  return std::fabs(current - publishedValue) > band;  // +0 and -0 differ by 0
}

double snapshotValue(const GVPvariable::Snapshot& snapshot) {
  if (const uint32_t* bits = std::get_if<uint32_t>(&snapshot)) {
    float value;
    std::memcpy(&value, bits, sizeof value);
    return value;
  }
  if (const uint64_t* bits = std::get_if<uint64_t>(&snapshot)) {
    double value;
    std::memcpy(&value, bits, sizeof value);
    return value;
  }
  return 0;
}

}  // namespace

// The change test of a REAL or LREAL node with a deadband: one read into the snapshot, as the
// exact test, then the comparison with the value last published.
int GVPvariable::testDeadband() {
  int result = -1;
  if (uint32_t* bits = std::get_if<uint32_t>(&previous)) {
    result = testScalar(*bits);
  } else if (uint64_t* bits = std::get_if<uint64_t>(&previous)) {
    result = testScalar(*bits);
  }
  if (result < 0) return result;
  if (!deadband->published) return 1;
  return outsideDeadband(snapshotValue(previous), deadband->publishedValue, deadband->band) ? 1 : 0;
}

void GVPvariable::setDeadband(double band) {
  if (type == KALPAPI_TYPE_REAL || type == KALPAPI_TYPE_LREAL) {
    if (!(band > 0)) {
      deadband.reset();  // off: the exact test
    } else {
      if (!deadband) deadband = std::make_unique<DeadbandState>();
      deadband->band = band;
    }
  }
  for (const std::shared_ptr<GVPvariable>& child : children)
    if (child) child->setDeadband(band);
}

void GVPvariable::markPublished() {
  if (deadband) {
    deadband->publishedValue = snapshotValue(previous);
    deadband->published = true;
  }
  for (const std::shared_ptr<GVPvariable>& child : children)
    if (child) child->markPublished();
}

bool GVPvariable::hasChanged() {
  if (const int scalar = testIfScalar(); scalar >= 0) return scalar != 0;
  switch (kindOf(type)) {
    case Kind::Bits8:
      return refreshSnapshot(previous, readUint8());
    case Kind::Bits16:
      return refreshSnapshot(previous, readUint16());
    case Kind::Bits32:
      return refreshSnapshot(previous, readUint32());
    case Kind::Bits64:
      return refreshSnapshot(previous, readUint64());
    case Kind::Text: {
      std::string current = readString();
      if (SnapshotText* seen = std::get_if<SnapshotText>(&previous)) {
        if (seen->text() == current) return false;
        seen->text() = std::move(current);
        return true;
      }
      previous = SnapshotText(std::move(current));
      return true;
    }
    case Kind::Structured: {
      // Every child is tested, also after a change, so that every snapshot is refreshed. A
      // scalar member, the common case, is tested right here rather than through a call. The
      // members live in separate allocations: fetching the next one while this one's read runs
      // keeps the walk from waiting on memory. What the test reads of a member lies from handle
      // to deadband, less than a cache line: fetching both ends fetches every line it touches.
      bool changed = false;
      const size_t count = children.size();
      for (size_t i = 0; i < count; ++i) {
        if (i + 1 < count) {
          const GVPvariable* next = children[i + 1].get();
          __builtin_prefetch(&next->handle);
          __builtin_prefetch(&next->deadband);
        }
        GVPvariable& child = *children[i];
        int result = child.testIfScalar();
        if (result < 0) result = child.hasChanged() ? 1 : 0;
        changed = changed || result != 0;
      }
      return changed;
    }
    case Kind::NoValue: {
      // No value to read or compare: like every new variable it reports a change at its first
      // test, so that a set of only such nodes publishes once (null), then never again. The
      // empty text marks "tested"; the encoder does not look at it.
      const bool first = previous.index() == 0;
      if (first) previous = SnapshotText(std::string());
      return first;
    }
    case Kind::Invalid:
      break;
  }
  throw std::runtime_error("GVPvariable::hasChanged(): invalid or unknown GVP element type.");
}

bool GVPvariable::getChanged(std::shared_ptr<GVPvariable>& out) {
  switch (kindOf(type)) {
    case Kind::Bits8:
    case Kind::Bits16:
    case Kind::Bits32:
    case Kind::Bits64:
    case Kind::Text:
    case Kind::NoValue: {
      // Take the owning reference first: a node no shared_ptr owns fails before its snapshot
      // is touched.
      std::shared_ptr<GVPvariable> self = shared_from_this();
      const bool changed = hasChanged();
      out = std::move(self);
      return changed;
    }
    case Kind::Structured: {
      if (children.empty()) {
        return false;
      }
      std::shared_ptr<GVPvariable> copy(new GVPvariable(CopyTag{}, *this));
      const bool isArray = type == KALPAPI_TYPE_ARRAY;
      if (isArray) {
        copy->children.reserve(children.size());
      }
      bool changed = false;
      for (const auto& child : children) {
        std::shared_ptr<GVPvariable> childOut;
        const bool childChanged = child->getChanged(childOut);
        changed = changed || childChanged;
        if (isArray) {
          // An array keeps every element. An element without members of its own gives no
          // reduced form; it stands for itself, so that no empty reference ever sits among
          // the elements.
          copy->children.push_back(childOut ? std::move(childOut) : child);
        } else if (childChanged && childOut) {
          copy->children.push_back(std::move(childOut));
        }
      }
      copy->children.shrink_to_fit();
      out = std::move(copy);
      return changed;
    }
    case Kind::Invalid:
      break;
  }
  throw std::runtime_error("GVPvariable::getChanged(): invalid or unknown GVP element type.");
}
