// Memory per bound scalar: the growth of this process's resident set when the configuration
// root (ZAL_MQTT_item, uiBrowsePauseMs 0) binds a publish set to 100,000 scalars (a directory of
// 100 structures of 1,000 scalars), over the in-process store. The store is loaded first and
// measured before, so the figure is the service's own memory per variable (on a controller the
// values live in the variable server's process); the heap in use (mallinfo2) is printed beside
// it as a cross-check that does not depend on what the allocator gives back. Also printed: the
// size of one GVPvariable object, and what the in-process store itself keeps per open handle
// (its handle table; over the socket it lives in the server's process), measured by opening
// the same 100,000 variables once more with bare KalpApiVarOpenHdlA calls. The last line is the
// figure in bytes per bound scalar.
#include <malloc.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "GVPvariable.h"
#include "KalpApi.h"
#include "KalpInproc.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"

namespace {

using namespace zaltest;

constexpr int kStructs = 100;
constexpr int kPerStruct = 1000;
constexpr int kScalars = kStructs * kPerStruct;
const char* const kTypes[] = {"UINT32", "REAL", "BOOL", "UINT16", "LREAL"};

std::string tree() {
  std::string members = "\"Big\": {\"type\": \"DIRECTORY\", \"members\": {";
  for (int s = 0; s < kStructs; ++s) {
    if (s > 0) members += ",";
    members += "\"S" + std::to_string(s) + "\": {\"type\": \"STRUCT\", \"members\": {";
    for (int i = 0; i < kPerStruct; ++i) {
      if (i > 0) members += ",";
      members += "\"m" + std::to_string(i) + "\": {\"type\": \"" + kTypes[i % 5] +
                 "\", \"value\": " + std::to_string(i % 2) + "}";
    }
    members += "}}";
  }
  ServiceConfig c;
  c.traceLevel = 0;
  c.browsePauseMs = 0;
  c.plantMembers = members + "}}";
  c.publishes = {PublishSpec{60000, {SetSpec{"bench/big", {"Big"}}}}};
  return c.treeJson();
}

double residentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) * 1024.0;
  throw std::runtime_error("no VmRSS");
}

double heapInUse() { return static_cast<double>(mallinfo2().uordblks); }

// The full paths of the scalars below node, in tree order.
void scalarPaths(const std::shared_ptr<GVPvariable>& node, std::vector<std::string>& out) {
  if (node->getChildren().empty()) out.push_back(node->getPath() + node->getName());
  for (const std::shared_ptr<GVPvariable>& child : node->getChildren()) scalarPaths(child, out);
}

}  // namespace

int main() {
  try {
    setTraceLevel(0);
    {
      const std::string json = tree();
      kalpinproc::loadTree(json);
    }
    malloc_trim(0);
    const double rss0 = residentBytes(), heap0 = heapInUse();
    const uint64_t objects0 = GVPvariable::getObjectCount();
    auto item = std::make_shared<ZAL_MQTT_item>(kRoot);
    const double rss1 = residentBytes(), heap1 = heapInUse();
    const uint64_t objects = GVPvariable::getObjectCount() - objects0;
    if (objects < kScalars) throw std::runtime_error("only " + std::to_string(objects) + " variables bound");
    std::printf("memory_inproc: %d bound scalars (%llu GVPvariable objects with the structured nodes)\n",
                kScalars, static_cast<unsigned long long>(objects));
    std::printf("memory_inproc: one GVPvariable object is %zu bytes (without its control block and texts)\n",
                sizeof(GVPvariable));
    std::printf("memory_inproc: heap in use per bound scalar: %.0f bytes\n", (heap1 - heap0) / kScalars);

    // The store's share: the same variables opened once more, bare.
    std::vector<std::string> paths;
    for (const auto& publish : item->getPublishConfigurations())
      for (const auto& set : publish->getVariableTopicSets())
        for (const std::shared_ptr<GVPvariable>& variable : set->getVariables()) scalarPaths(variable, paths);
    std::vector<uint32_t> handles(paths.size());
    const double heap2 = heapInUse();
    for (size_t i = 0; i < paths.size(); ++i)
      if (KalpApiVarOpenHdlA(paths[i].c_str(), &handles[i]) != KALPAPI_OK)
        throw std::runtime_error("bare open of " + paths[i] + " failed");
    const double heap3 = heapInUse();
    for (uint32_t& handle : handles) KalpApiVarCloseHdl(&handle);
    std::printf(
        "memory_inproc: of it, the in-process store's handle table per open handle: %.0f bytes "
        "(bare opens of the same %zu scalars)\n",
        (heap3 - heap2) / static_cast<double>(paths.size()), paths.size());
    std::printf("memory_inproc: resident set growth per bound scalar: %.0f bytes\n",
                (rss1 - rss0) / kScalars);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_memory_inproc: %s\n", error.what());
    return 1;
  }
  return 0;
}
