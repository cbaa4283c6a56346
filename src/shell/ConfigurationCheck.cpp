// The configuration check: the service's own reading of the configuration, reported instead of
// run. The report is built once as a JSON document; the text form is written from that document,
// so both forms always say the same.
#include "ConfigurationCheck.h"

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "ConfigurationProblems.h"
#include "GVPitem.h"
#include "GVPvariable.h"
#include "KalpApi.h"
#include "Trace.h"
#include "VariableServer.h"
#include "ZAL_MQTT_TLS.h"
#include "ZAL_MQTT_VarTopicSet.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"
#include "ZAL_MQTT_publish.h"

namespace {

using rapidjson::Value;
using Allocator = rapidjson::Document::AllocatorType;

const char* typeName(uint32_t type) {
  switch (type) {
    case KALPAPI_TYPE_BOOL: return "BOOL";
    case KALPAPI_TYPE_SINT8: return "SINT8";
    case KALPAPI_TYPE_SINT16: return "SINT16";
    case KALPAPI_TYPE_SINT32: return "SINT32";
    case KALPAPI_TYPE_SINT64: return "SINT64";
    case KALPAPI_TYPE_UINT8: return "UINT8";
    case KALPAPI_TYPE_UINT16: return "UINT16";
    case KALPAPI_TYPE_UINT32: return "UINT32";
    case KALPAPI_TYPE_UINT64: return "UINT64";
    case KALPAPI_TYPE_REAL: return "REAL";
    case KALPAPI_TYPE_LREAL: return "LREAL";
    case KALPAPI_TYPE_BYTE: return "BYTE";
    case KALPAPI_TYPE_WORD: return "WORD";
    case KALPAPI_TYPE_DWORD: return "DWORD";
    case KALPAPI_TYPE_LWORD: return "LWORD";
    case KALPAPI_TYPE_TIME: return "TIME";
    case KALPAPI_TYPE_DATE: return "DATE";
    case KALPAPI_TYPE_TIME_OF_DAY: return "TIME_OF_DAY";
    case KALPAPI_TYPE_DATE_AND_TIME: return "DATE_AND_TIME";
    case KALPAPI_TYPE_STRING: return "STRING";
    case KALPAPI_TYPE_ARRAY: return "ARRAY";
    case KALPAPI_TYPE_STRUCT: return "STRUCT";
    case KALPAPI_TYPE_DIRECTORY: return "DIRECTORY";
    default: return nullptr;
  }
}

std::string typeText(uint32_t type) {
  const char* name = typeName(type);
  return name != nullptr ? name : "type " + std::to_string(type);
}

Value text(const std::string& s, Allocator& a) { return Value(s.c_str(), static_cast<rapidjson::SizeType>(s.size()), a); }

// A variable and its members. An array gives its element count and its first element only: an
// array of thousands of values would otherwise bury the report.
Value variableView(GVPvariable& variable, Allocator& a) {
  Value view(rapidjson::kObjectType);
  view.AddMember("name", text(variable.getName(), a), a);
  view.AddMember("type", text(typeText(variable.getType()), a), a);
  std::vector<std::shared_ptr<GVPvariable>>& children = variable.getChildren();
  if (variable.getType() == KALPAPI_TYPE_ARRAY) {
    view.AddMember("elements", static_cast<uint64_t>(children.size()), a);
    if (!children.empty()) view.AddMember("element", variableView(*children.front(), a), a);
  } else if (!children.empty()) {
    Value members(rapidjson::kArrayType);
    for (const std::shared_ptr<GVPvariable>& child : children) members.PushBack(variableView(*child, a), a);
    view.AddMember("members", members, a);
  }
  return view;
}

Value variablesView(const ZAL_MQTT_VarTopicSet& set, Allocator& a) {
  Value list(rapidjson::kArrayType);
  for (const std::shared_ptr<GVPvariable>& variable : set.getVariables()) list.PushBack(variableView(*variable, a), a);
  return list;
}

bool exists(const std::string& path, bool directory) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  return directory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode);
}

class Report {
 public:
  Report() : document(rapidjson::kObjectType), a(document.GetAllocator()) {}

  void problem(const std::string& path, const std::string& message) { add("problems", path, message); }
  void warning(const std::string& path, const std::string& message) { add("warnings", path, message); }
  bool hasProblem(const std::string& path, const std::string& message) const {
    for (const ConfigurationProblem& p : problemList)
      if (p.path == path && p.message == message) return true;
    return false;
  }

  rapidjson::Document document;
  Allocator& a;
  std::vector<ConfigurationProblem> problemList, warningList;

 private:
  void add(const char* kind, const std::string& path, const std::string& message) {
    (kind[0] == 'p' ? problemList : warningList).push_back({path, message});
  }
};

// A file or folder the TLS node names: its path and whether the check could find it.
Value fileView(const std::string& path, bool directory, const std::string& node, const char* what,
               Report& report) {
  Value view(rapidjson::kObjectType);
  view.AddMember("path", text(path, report.a), report.a);
  const bool found = exists(path, directory);
  view.AddMember("found", found, report.a);
  if (!found) report.warning(node, std::string(what) + " " + path + " not found: the connection would fail.");
  return view;
}

Value tlsView(const ZAL_MQTT_item& item, Report& report) {
  Allocator& a = report.a;
  Value view(rapidjson::kObjectType);
  const std::shared_ptr<ZAL_MQTT_TLS> tls = item.getTLS();
  if (!tls) {
    view.AddMember("kind", "none", a);
    return view;
  }
  const std::string node = tls->getName();
  if (tls->getUseCertificateBasedTLS() == 1) {
    view.AddMember("kind", "certificate", a);
    if (!tls->getCAfilename().empty())
      view.AddMember("caFile", fileView(tls->getCAfilename(), false, node, "CA file", report), a);
    if (!tls->getCAfilepath().empty())
      view.AddMember("caPath", fileView(tls->getCAfilepath(), true, node, "CA folder", report), a);
    if (!tls->getCertfileName().empty())
      view.AddMember("certFile", fileView(tls->getCertfileName(), false, node, "certificate file", report), a);
    if (!tls->getKeyfileName().empty())
      view.AddMember("keyFile", fileView(tls->getKeyfileName(), false, node, "key file", report), a);
  } else {
    view.AddMember("kind", "psk", a);  // the key itself is a secret: never shown
    view.AddMember("identity", text(tls->getIdentity(), a), a);
  }
  return view;
}

Value setView(const ZAL_MQTT_VarTopicSet& set, bool published, Allocator& a) {
  Value view(rapidjson::kObjectType);
  view.AddMember("path", text(set.getName(), a), a);
  view.AddMember("topic", text(set.getTopic(), a), a);
  view.AddMember("raw", set.getRaw() != 0, a);
  if (published) {
    view.AddMember("onChange", set.getSendOnValueChange() != 0, a);
    view.AddMember("onlyChanged", set.getSendOnlyChanged() != 0, a);
    if (set.getDeadband() > 0) view.AddMember("deadband", set.getDeadband(), a);
  }
  if (set.getQoS()) view.AddMember("qos", *set.getQoS(), a);
  if (set.getRetain()) view.AddMember("retain", *set.getRetain() != 0, a);
  view.AddMember("variables", variablesView(set, a), a);
  return view;
}

Value configurationView(const ZAL_MQTT_item& item, Report& report) {
  Allocator& a = report.a;
  Value view(rapidjson::kObjectType);
  Value broker(rapidjson::kObjectType);
  broker.AddMember("host", text(item.getBrokerURL(), a), a);
  broker.AddMember("port", item.getBrokerPort(), a);
  broker.AddMember("clientId", text(item.getClientID(), a), a);
  broker.AddMember("keepAliveS", item.getKeepAliveTime(), a);
  broker.AddMember("cleanSession", item.getCleanSession() != 0, a);
  broker.AddMember("userAuthentication", item.getUseUserAuthentication() != 0, a);
  if (item.getUseUserAuthentication() != 0) broker.AddMember("username", text(item.getUsername(), a), a);
  view.AddMember("broker", broker, a);
  view.AddMember("tls", tlsView(item, report), a);
  view.AddMember("traceLevel", item.getTraceLevel(), a);
  view.AddMember("subscribeQueueMemLimitKB", item.getSubscribeQueueMemLimitKB(), a);
  view.AddMember("stringEncoding", rapidjson::StringRef(item.getStringEncoding() == 1 ? "Latin-1" : "UTF-8"), a);
  view.AddMember("browsePauseMs", item.getBrowsePauseMs(), a);
  if (!item.getStatusTopic().empty()) view.AddMember("statusTopic", text(item.getStatusTopic(), a), a);
  if (item.getStatusPeriodS() != 0) view.AddMember("statusPeriodS", item.getStatusPeriodS(), a);
  if (item.getErrorRetryS() != 0) view.AddMember("errorRetryS", item.getErrorRetryS(), a);
  if (!item.getSparkplugGroupId().empty()) {
    view.AddMember("sparkplugGroupId", text(item.getSparkplugGroupId(), a), a);
    view.AddMember("sparkplugEdgeNodeId", text(item.getSparkplugEdgeNodeId(), a), a);
    if (!item.getSparkplugPrimaryHostId().empty())
      view.AddMember("sparkplugPrimaryHostId", text(item.getSparkplugPrimaryHostId(), a), a);
  }

  Value publishes(rapidjson::kArrayType);
  for (const std::shared_ptr<ZAL_MQTT_publish>& publish : item.getPublishConfigurations()) {
    Value p(rapidjson::kObjectType);
    p.AddMember("path", text(publish->getName(), a), a);
    p.AddMember("periodMs", publish->getPublishPeriodms(), a);
    p.AddMember("qos", publish->getQoS(), a);
    p.AddMember("retain", publish->getRetain() != 0, a);
    if (publish->getFullOnConnect() != 0) p.AddMember("fullOnConnect", true, a);
    if (!publish->getTimestampMember().empty())
      p.AddMember("timestampMember", text(publish->getTimestampMember(), a), a);
    if (publish->getOfflineBufferKB() != 0) p.AddMember("offlineBufferKB", publish->getOfflineBufferKB(), a);
    if (publish->getMaxSilenceS() != 0) p.AddMember("maxSilenceS", publish->getMaxSilenceS(), a);
    Value sets(rapidjson::kArrayType);
    for (const std::shared_ptr<ZAL_MQTT_VarTopicSet>& set : publish->getVariableTopicSets())
      sets.PushBack(setView(*set, true, a), a);
    p.AddMember("sets", sets, a);
    publishes.PushBack(p, a);
  }
  view.AddMember("publish", publishes, a);
  Value subscribes(rapidjson::kArrayType);
  for (const std::shared_ptr<ZAL_MQTT_VarTopicSet>& set : item.getSubscribeConfigurations())
    subscribes.PushBack(setView(*set, false, a), a);
  view.AddMember("subscribe", subscribes, a);
  return view;
}

// Reads the publish and subscribe configurations under the root with the service's classes,
// when the root itself failed before it reached them, so that their problems are listed too.
class ChildScan : public GVPitem {
 public:
  ChildScan(const std::string& root, std::string applicationName)
      : GVPitem(root), applicationName(std::move(applicationName)) {
    addChildPattern("ZAL_MQTT_subscribe:\\d+");
    addChildPattern("ZAL_MQTT_publish:\\d+");
    scanChildren();
  }
  ~ChildScan() = default;

  void createChild(std::string name, unsigned int uiIndex) override {
    try {
      if (uiIndex == 0) {
        ZAL_MQTT_VarTopicSet set(name, applicationName);
      } else {
        ZAL_MQTT_publish publish(name, applicationName);
      }
    } catch (const std::runtime_error& error) {
      reportConfigurationProblem(name, error.what());
    }
  }

 private:
  std::string applicationName;
};

void scanChildrenAfterRootFailure(const std::string& root, Report& report) {
  char buffer[256] = {};
  if (KalpApiVarTxtRead((root + ".ApplicationName").c_str(), buffer, sizeof buffer) != KALPAPI_OK) return;
  buffer[sizeof buffer - 1] = '\0';
  if (buffer[0] == '\0') return;
  // The same member pause as the root would have applied, when it is a valid one.
  std::optional<GVPvariable::MemberPauseScope> pause;
  uint32_t pauseMs = 0;
  if (readVariableByName(root + ".uiBrowsePauseMs", &pauseMs, sizeof pauseMs) == KALPAPI_OK && pauseMs <= 1000)
    pause.emplace(std::chrono::milliseconds(pauseMs));
  ConfigurationProblemLog log;
  try {
    ChildScan scan(root, buffer);
  } catch (const std::runtime_error&) {
    return;  // the root node itself cannot be walked: its own problem is listed already
  }
  for (const ConfigurationProblem& p : log.problems())
    if (!report.hasProblem(p.path, p.message)) report.problem(p.path, p.message);
}

// ---- the text form ---------------------------------------------------------------------------

void writeVariable(std::ostream& out, const Value& v, int depth) {
  out << std::string(static_cast<size_t>(depth) * 2, ' ') << v["name"].GetString() << ": ";
  if (v.HasMember("elements")) {
    out << "ARRAY[" << v["elements"].GetUint64() << "]";
    if (v.HasMember("element")) {
      const Value& e = v["element"];
      out << " of " << e["type"].GetString() << "\n";
      if (e.HasMember("members") || e.HasMember("elements")) writeVariable(out, e, depth + 1);
      return;
    }
    out << "\n";
    return;
  }
  out << v["type"].GetString() << "\n";
  if (v.HasMember("members"))
    for (const Value& m : v["members"].GetArray()) writeVariable(out, m, depth + 1);
}

const char* onOff(bool value) { return value ? "on" : "off"; }

void writeFile(std::ostream& out, const char* what, const Value& file) {
  out << "; " << what << " " << file["path"].GetString() << (file["found"].GetBool() ? " (found)" : " (not found)");
}

void writeText(std::ostream& out, const rapidjson::Document& d) {
  out << "Configuration check of " << d["root"].GetString() << "\n";
  for (const char* kind : {"problems", "warnings"}) {
    const Value& list = d[kind];
    if (list.Empty()) continue;
    out << (kind[0] == 'p' ? "Problems" : "Warnings") << " (" << list.Size() << "):\n";
    for (const Value& p : list.GetArray())
      out << "  " << p["path"].GetString() << ": " << p["message"].GetString() << "\n";
  }
  const Value& c = d["configuration"];
  if (c.IsObject()) {
    const Value& b = c["broker"];
    out << "Broker: " << b["host"].GetString() << ":" << b["port"].GetUint() << ", client ID \""
        << b["clientId"].GetString() << "\", keep-alive " << b["keepAliveS"].GetUint() << " s, clean session "
        << onOff(b["cleanSession"].GetBool()) << ", user authentication " << onOff(b["userAuthentication"].GetBool());
    if (b.HasMember("username")) out << " (user \"" << b["username"].GetString() << "\")";
    out << "\n";
    const Value& t = c["tls"];
    out << "TLS: " << t["kind"].GetString();
    if (t.HasMember("caFile")) writeFile(out, "CA file", t["caFile"]);
    if (t.HasMember("caPath")) writeFile(out, "CA folder", t["caPath"]);
    if (t.HasMember("certFile")) writeFile(out, "certificate", t["certFile"]);
    if (t.HasMember("keyFile")) writeFile(out, "key", t["keyFile"]);
    if (t.HasMember("identity")) out << "; identity \"" << t["identity"].GetString() << "\"";
    out << "\n";
    out << "Trace level " << c["traceLevel"].GetUint() << ", subscribe queue " << c["subscribeQueueMemLimitKB"].GetUint()
        << " KB, strings " << c["stringEncoding"].GetString() << ", browse pause " << c["browsePauseMs"].GetUint()
        << " ms";
    if (c.HasMember("statusTopic")) out << ", status topic \"" << c["statusTopic"].GetString() << "\"";
    if (c.HasMember("statusPeriodS")) out << ", statistics every " << c["statusPeriodS"].GetUint() << " s";
    if (c.HasMember("errorRetryS")) out << ", automatic retry after " << c["errorRetryS"].GetUint() << " s";
    out << "\n";
    for (const Value& p : c["publish"].GetArray()) {
      out << "Publish " << p["path"].GetString() << ": period " << p["periodMs"].GetUint() << " ms, QoS "
          << p["qos"].GetUint() << ", retain " << onOff(p["retain"].GetBool());
      if (p.HasMember("fullOnConnect")) out << ", full payload after connect";
      if (p.HasMember("timestampMember")) out << ", sample time as \"" << p["timestampMember"].GetString() << "\"";
      if (p.HasMember("offlineBufferKB")) out << ", offline buffer " << p["offlineBufferKB"].GetUint() << " KB";
      if (p.HasMember("maxSilenceS")) out << ", heartbeat after " << p["maxSilenceS"].GetUint() << " s of silence";
      out << "\n";
      for (const Value& s : p["sets"].GetArray()) {
        out << "  Set " << s["path"].GetString() << ": topic \"" << s["topic"].GetString() << "\", "
            << (s["raw"].GetBool() ? "raw" : "JSON") << ", ";
        if (!s["onChange"].GetBool())
          out << "every period";
        else
          out << (s["onlyChanged"].GetBool() ? "on change, changed members only" : "on change, all members");
        if (s.HasMember("deadband")) out << ", deadband " << s["deadband"].GetDouble();
        if (s.HasMember("qos")) out << ", QoS " << s["qos"].GetUint();
        if (s.HasMember("retain")) out << ", retain " << onOff(s["retain"].GetBool());
        out << "\n";
        for (const Value& v : s["variables"].GetArray()) writeVariable(out, v, 2);
      }
    }
    for (const Value& s : c["subscribe"].GetArray()) {
      out << "Subscribe " << s["path"].GetString() << ": topic \"" << s["topic"].GetString() << "\", "
          << (s["raw"].GetBool() ? "raw" : "JSON");
      if (s.HasMember("qos")) out << ", QoS " << s["qos"].GetUint();
      out << "\n";
      for (const Value& v : s["variables"].GetArray()) writeVariable(out, v, 2);
    }
  }
  out << (d["wouldStart"].GetBool() ? "Result: the service would start with this configuration.\n"
                                    : "Result: the service would not start with this configuration.\n");
}

Value problemList(const std::vector<ConfigurationProblem>& list, Allocator& a) {
  Value array(rapidjson::kArrayType);
  for (const ConfigurationProblem& p : list) {
    Value entry(rapidjson::kObjectType);
    entry.AddMember("path", text(p.path, a), a);
    entry.AddMember("message", text(p.message, a), a);
    array.PushBack(entry, a);
  }
  return array;
}

}  // namespace

CheckRequest parseCheckRequest(int argc, const char* const* argv) {
  bool check = false;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--check") check = true;
  if (!check) return CheckRequest::kNone;
  int checks = 0, jsons = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--check") {
      ++checks;
    } else if (argument == "--json") {
      ++jsons;
    } else {
      return CheckRequest::kUsageError;
    }
  }
  if (checks > 1 || jsons > 1) return CheckRequest::kUsageError;
  return jsons == 1 ? CheckRequest::kJson : CheckRequest::kText;
}

void writeCheckUsage(std::ostream& out) {
  out << "usage: ZAL_CLOUD_MQTT_OOP [--check [--json]]\n"
         "  --check   read the configuration from the variable server, list its problems and the\n"
         "            resolved configuration, and end (0: the service would start, 1: it would not)\n"
         "  --json    with --check: the same as one JSON document\n";
}

int runConfigurationCheck(bool json, std::ostream& out) {
  // The service's reading traces as it goes; the check reports instead.
  setTraceLevel(0);
  Report report;
  const std::string root = kConfigurationRoot;
  std::shared_ptr<ZAL_MQTT_item> item;

  // One look at the variable server instead of the service's wait of up to 70 s.
  uint32_t state = 0, word = 0;
  const uint32_t status = KalpApiDeviceGetStateA(&state, &word, 0, 0, 0, 0, 0, 0, 0, 0);
  if (status == KALPAPI_E_NO_COMMUNICATION) {
    report.problem("variable server", "no communication with the variable server.");
  } else if (state != KALPAPI_DEVICE_STATE_RUNNING) {
    report.problem("variable server", "the device is not running (state " + std::to_string(state) +
                                          "): the service waits for it.");
  } else {
    ConfigurationProblemLog log;
    std::string rootError;
    try {
      item = std::make_shared<ZAL_MQTT_item>(root);
    } catch (const std::runtime_error& error) {
      rootError = error.what();
    }
    for (const ConfigurationProblem& p : log.problems()) report.problem(p.path, p.message);
    if (!item) {
      // A problem a child reported and the root passed on (the TLS node) is listed once.
      if (log.problems().empty() || log.problems().back().message != rootError) report.problem(root, rootError);
      scanChildrenAfterRootFailure(root, report);
    }
  }

  rapidjson::Document& d = report.document;
  Allocator& a = report.a;
  d.AddMember("root", text(root, a), a);
  d.AddMember("wouldStart", item != nullptr, a);
  Value configuration;  // null unless the configuration could be built
  if (item) configuration = configurationView(*item, report);
  d.AddMember("problems", problemList(report.problemList, a), a);
  d.AddMember("warnings", problemList(report.warningList, a), a);
  d.AddMember("configuration", configuration, a);
  {
    // Handles of the configuration are closed before the report goes out.
    GVPvariable::ReleaseSummary summary;
    item.reset();
  }

  if (json) {
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    d.Accept(writer);
    out << buffer.GetString() << "\n";
  } else {
    writeText(out, d);
  }
  out.flush();
  return d["wouldStart"].GetBool() ? 0 : 1;
}
