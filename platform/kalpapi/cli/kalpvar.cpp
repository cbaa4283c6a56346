// kalpvar: operator CLI of the stand-in variable server (through libKalpApi.so.2).
#include <KalpApi.h>
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "KalpAdmin.h"

namespace {

const char* const kUsage =
    "usage: kalpvar [--socket PATH] VERB ARGS...\n"
    "Talks to kalpapi-server on PATH, else $KALPAPI_SOCKET, else the server's default:\n"
    "/run/kalpapi/kalpapi.sock for root, else $XDG_RUNTIME_DIR/kalpapi.sock, else\n"
    "/tmp/kalpapi-UID/kalpapi.sock.\n"
    "\n"
    "  get PATH                  print the variable's value as text\n"
    "  set PATH VALUE            write a value, parsed by the variable's type\n"
    "                            (BOOL: TRUE/FALSE/1/0; integers in decimal, unsigned also 0x..;\n"
    "                            REAL/LREAL as decimal numbers, NaN, Infinity, -Infinity or\n"
    "                            NaN(0x7fc00001) with a NaN's bits; STRING as given)\n"
    "  ls [PATH]                 list the members of a struct, array or directory:\n"
    "                            full path, type, value (and 'invalid' for validity word 0)\n"
    "  dump [PATH]               print the tree (or the subtree at PATH) as tree-file JSON\n"
    "  fault PATH OP STATUS      make OP (open, type, read, write, opendir, readdir) on PATH\n"
    "                            answer STATUS (0x81000504 or decimal)\n"
    "  fault PATH OP clear       remove that fault\n"
    "  state [N]                 print the device state, or set it to N (300 = running)\n"
    "  report COMPONENT DIR      ask the registered COMPONENT for its state report into DIR;\n"
    "                            prints the callback's status (0x00000000 on success)\n"
    "  provider NAME             have the registered provider NAME lock (1) and unlock (0);\n"
    "                            prints both results\n"
    "  watch PATH... [--interval MS]\n"
    "                            print the current value of each PATH (every member of a\n"
    "                            struct, array or directory), then a time-stamped line for\n"
    "                            each change, polling every MS milliseconds (default 500),\n"
    "                            until Ctrl-C\n"
    "\n"
    "Exit status: 0 on success, 1 on an error status, 2 on a usage error.\n";

const char* statusText(uint32_t status) {
  switch (status) {
    case KALPAPI_OK:
      return "success";
    case KALPAPI_E_INVALID_PARAMETER:
      return "invalid parameter";
    case KALPAPI_E_NO_COMMUNICATION:
      return "no communication with the variable server";
    case KALPAPI_E_UNKNOWN:
      return "unknown error";
    case KALPAPI_E_NOT_FOUND:
      return "variable not found";
    case KALPAPI_E_NO_MORE_ENTRIES:
      return "no entries";
    case KALPAPI_E_ACCESS_DENIED:
      return "access not permitted";
    case KALPAPI_E_NO_ANSWER:
      return "the registered client did not answer";
    case KALPAPI_E_TOO_MANY_HANDLES:
      return "too many open handles";
    case KALPAPI_STAREP_E_OPEN:
      return "the report file could not be opened";
    case KALPAPI_STAREP_E_WRITE:
      return "writing the report file failed";
    default:
      return "error";
  }
}

const char* typeName(uint32_t type) {
  static const char* const names[] = {nullptr,  "BOOL",  "SINT8",  "SINT16",      "SINT32",
                                      "SINT64", "UINT8", "UINT16", "UINT32",      "UINT64",
                                      "REAL",   "LREAL", "BYTE",   "WORD",        "DWORD",
                                      "LWORD",  "TIME",  "DATE",   "TIME_OF_DAY", "DATE_AND_TIME"};
  if (type >= 1 && type <= 19) return names[type];
  if (type == 22) return "STRING";
  if (type == 24) return "ARRAY";
  if (type == 25) return "STRUCT";
  if (type == 990) return "DIRECTORY";
  return nullptr;
}

int fail(const std::string& what, uint32_t status, const std::string& why = std::string()) {
  std::string reason = why.empty() ? statusText(status) : why;
  const std::string refusal = kalpadmin::lastRefusal();
  if (status == KALPAPI_E_NO_COMMUNICATION && !refusal.empty()) reason += ": refused: " + refusal;
  std::fprintf(stderr, "kalpvar: %s: %s (0x%08x)\n", what.c_str(), reason.c_str(), status);
  return 1;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "kalpvar: %s\n%s", message.c_str(), kUsage);
  return 2;
}

bool parseNumber(const std::string& text, uint32_t& value) {
  const char* begin = text.c_str();
  const char* end = begin + text.size();
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    begin += 2;
    base = 16;
  }
  auto result = std::from_chars(begin, end, value, base);
  return begin != end && result.ec == std::errc() && result.ptr == end;
}

int get(const std::string& path) {
  std::vector<char> buffer((1u << 20) + 1);  // texts are cut at 1 MiB
  uint32_t status = KalpApiVarTxtRead(path.c_str(), buffer.data(), static_cast<uint32_t>(buffer.size()));
  if (status != KALPAPI_OK) return fail("get " + path, status);
  std::printf("%s\n", buffer.data());
  return 0;
}

int set(const std::string& path, const std::string& value) {
  std::string why;
  uint32_t status = kalpadmin::writeText(path, value, why);
  if (status != KALPAPI_OK) return fail("set " + path, status, why);
  return 0;
}

int list(const std::string& path) {
  uint32_t dir = 0;
  uint32_t status = KalpApiVarOpenDir(path.c_str(), &dir);
  if (status == KALPAPI_E_NO_MORE_ENTRIES) return 0;  // empty
  if (status != KALPAPI_OK) return fail("ls " + path, status);
  KalpApiDirEntry* entry = nullptr;
  int result = 0;
  while ((status = KalpApiVarReadDir(&dir, &entry)) == KALPAPI_OK) {
    std::string child =
        path.empty() ? std::string(entry->memberName) : path + entry->separator + entry->memberName;
    std::string line = child;
    uint32_t handle = 0, type = 0;
    uint32_t s = KalpApiVarOpenHdlA(child.c_str(), &handle);
    if (s == KALPAPI_OK) {
      s = KalpApiVarGetType(handle, &type);
      KalpApiVarCloseHdl(&handle);
    }
    if (s != KALPAPI_OK) {
      char text[64];
      std::snprintf(text, sizeof text, "\t? (0x%08x)", s);
      line += text;
    } else {
      const char* name = typeName(type);
      line += "\t" + (name ? std::string(name) : std::to_string(type));
      std::vector<char> value(65536 + 1);
      if (KalpApiVarTxtRead(child.c_str(), value.data(), static_cast<uint32_t>(value.size())) == KALPAPI_OK)
        line += std::string("\t") + value.data();
    }
    if (entry->valid == 0) line += "\tinvalid";
    std::printf("%s\n", line.c_str());
  }
  if (status != KALPAPI_E_NO_MORE_ENTRIES) result = fail("ls " + path, status);
  KalpApiVarCloseDir(&dir);
  return result;
}

int dump(const std::string& path) {
  std::string json;
  uint32_t status = kalpadmin::dump(path, json);
  if (status != KALPAPI_OK) return fail("dump " + (path.empty() ? std::string("(all)") : path), status);
  rapidjson::Document doc;
  // Full precision, so that every LREAL prints back to the same bits.
  doc.Parse<rapidjson::kParseFullPrecisionFlag>(json.c_str(), json.size());
  if (doc.HasParseError()) {
    std::printf("%s\n", json.c_str());
    return 0;
  }
  rapidjson::StringBuffer buffer;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
  writer.SetIndent(' ', 2);
  std::printf("%s\n", doc.Accept(writer) ? buffer.GetString() : json.c_str());
  return 0;
}

int fault(const std::string& path, const std::string& op, const std::string& statusText) {
  uint32_t status = 0;
  if (statusText != "clear" && !parseNumber(statusText, status))
    return usageError("fault: STATUS must be a number (0x81000504 or decimal) or 'clear'");
  std::string why;
  uint32_t result = kalpadmin::setFault(path, op, status, why);
  if (result != KALPAPI_OK) return fail("fault " + path + " " + op, result, why);
  return 0;
}

int state(const std::vector<std::string>& args) {
  if (args.empty()) {
    uint32_t value = 0, word = 0;
    uint32_t status = KalpApiDeviceGetStateA(&value, &word, 0, 0, 0, 0, 0, 0, 0, 0);
    if (status != KALPAPI_OK) return fail("state", status);
    std::printf("%u\n", value);
    return 0;
  }
  uint32_t value = 0;
  if (!parseNumber(args[0], value)) return usageError("state: N must be a 32-bit unsigned number");
  uint32_t status = kalpadmin::setDeviceState(value);
  if (status != KALPAPI_OK) return fail("state " + args[0], status);
  return 0;
}

int report(const std::string& component, const std::string& directory) {
  int32_t result = 0;
  std::string why;
  uint32_t status = kalpadmin::stateReport(component, directory, result, why);
  if (status != KALPAPI_OK) return fail("report " + component, status, why);
  std::printf("0x%08x\n", static_cast<uint32_t>(result));
  if (result != 0) {
    std::fprintf(stderr, "kalpvar: report %s: %s\n", component.c_str(),
                 statusText(static_cast<uint32_t>(result)));
    return 1;
  }
  return 0;
}

int provider(const std::string& name) {
  int32_t locked = 0, unlocked = 0;
  std::string why;
  uint32_t status = kalpadmin::providerLock(name, locked, unlocked, why);
  if (status != KALPAPI_OK) return fail("provider " + name, status, why);
  std::printf("lock %d\nunlock %d\n", locked, unlocked);
  return locked == 0 && unlocked == 0 ? 0 : 1;
}

// ---- watch ---------------------------------------------------------------------------------

std::atomic<bool> watchStop{false};

void onWatchSignal(int) { watchStop = true; }

bool isStructured(uint32_t type) { return type == 24 || type == 25 || type == 990; }

// The scalar paths at and below path, in listed order; a status other than success when the
// tree cannot be walked there.
uint32_t collectLeaves(const std::string& path, std::vector<std::string>& leaves) {
  uint32_t handle = 0, type = 0;
  uint32_t status = KalpApiVarOpenHdlA(path.c_str(), &handle);
  if (status != KALPAPI_OK) return status;
  status = KalpApiVarGetType(handle, &type);
  KalpApiVarCloseHdl(&handle);
  if (status != KALPAPI_OK) return status;
  if (!isStructured(type)) {
    leaves.push_back(path);
    return KALPAPI_OK;
  }
  uint32_t dir = 0;
  status = KalpApiVarOpenDir(path.c_str(), &dir);
  if (status == KALPAPI_E_NO_MORE_ENTRIES) return KALPAPI_OK;
  if (status != KALPAPI_OK) return status;
  std::vector<std::string> children;
  KalpApiDirEntry* entry = nullptr;
  while ((status = KalpApiVarReadDir(&dir, &entry)) == KALPAPI_OK) {
    if (entry->valid != 0) children.push_back(path + entry->separator + entry->memberName);
  }
  KalpApiVarCloseDir(&dir);
  if (status != KALPAPI_E_NO_MORE_ENTRIES) return status;
  for (const std::string& child : children) {
    status = collectLeaves(child, leaves);
    if (status != KALPAPI_OK) return status;
  }
  return KALPAPI_OK;
}

// "2026-12-10 16:03:01.123", local time.
std::string timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long millis = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03ld", text, millis);
  return out;
}

// The value as `get` prints it, or "? <reason> (0x...)" when it cannot be read.
std::string readForWatch(const std::string& path, std::vector<char>& buffer) {
  const uint32_t status =
      KalpApiVarTxtRead(path.c_str(), buffer.data(), static_cast<uint32_t>(buffer.size()));
  if (status == KALPAPI_OK) return buffer.data();
  char text[128];
  std::snprintf(text, sizeof text, "? %s (0x%08x)", statusText(status), status);
  return text;
}

int watch(std::vector<std::string> args) {
  unsigned long intervalMs = 500;
  std::vector<std::string> paths;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--interval") {
      if (i + 1 >= args.size()) return usageError("watch: --interval needs a number of milliseconds");
      const std::string& text = args[++i];
      auto result = std::from_chars(text.data(), text.data() + text.size(), intervalMs);
      if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() ||
          intervalMs == 0 || intervalMs > 3600000)
        return usageError("watch: --interval MS must be a number from 1 to 3600000");
    } else {
      paths.push_back(args[i]);
    }
  }
  if (paths.empty()) return usageError("watch: no PATH given");

  std::vector<std::string> leaves;
  for (const std::string& path : paths) {
    const uint32_t status = collectLeaves(path, leaves);
    if (status != KALPAPI_OK) return fail("watch " + path, status);
  }

  struct sigaction action {};
  action.sa_handler = onWatchSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::vector<char> buffer((1u << 16) + 1);
  std::vector<std::string> last(leaves.size());
  bool first = true;
  while (!watchStop) {
    const std::string now = timestamp();
    for (size_t i = 0; i < leaves.size(); ++i) {
      std::string value = readForWatch(leaves[i], buffer);
      if (first || value != last[i]) {
        std::printf("%s %s = %s\n", now.c_str(), leaves[i].c_str(), value.c_str());
        last[i] = std::move(value);
      }
    }
    std::fflush(stdout);
    first = false;
    // Sleep in short steps so that Ctrl-C ends the watch at once.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(intervalMs);
    while (!watchStop && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
          std::chrono::milliseconds(50), until - std::chrono::steady_clock::now()));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  while (!args.empty() && args[0].rfind("--", 0) == 0) {
    if (args[0] == "--help") {
      std::printf("%s", kUsage);
      return 0;
    }
    if (args[0] == "--socket" && args.size() >= 2) {
      setenv("KALPAPI_SOCKET", args[1].c_str(), 1);
      args.erase(args.begin(), args.begin() + 2);
      continue;
    }
    return usageError("unknown option '" + args[0] + "'");
  }
  if (args.empty()) return usageError("no verb given");
  const std::string verb = args[0];
  args.erase(args.begin());
  const size_t n = args.size();
  if (verb == "help" || verb == "-h") {
    std::printf("%s", kUsage);
    return 0;
  }
  if (verb == "get" && n == 1) return get(args[0]);
  if (verb == "set" && n == 2) return set(args[0], args[1]);
  if (verb == "ls" && n <= 1) return list(n ? args[0] : std::string());
  if (verb == "dump" && n <= 1) return dump(n ? args[0] : std::string());
  if (verb == "fault" && n == 3) return fault(args[0], args[1], args[2]);
  if (verb == "state" && n <= 1) return state(args);
  if (verb == "report" && n == 2) return report(args[0], args[1]);
  if (verb == "provider" && n == 1) return provider(args[0]);
  if (verb == "watch") return watch(args);
  static const char* const verbs[] = {"get", "set", "ls", "dump", "fault", "state", "report", "provider"};
  for (const char* v : verbs) {
    if (verb == v) return usageError("wrong number of arguments for '" + verb + "'");
  }
  return usageError("unknown verb '" + verb + "'");
}
