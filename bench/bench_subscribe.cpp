// The subscribe path under a flood: small JSON messages (one UINT32 scalar each) published at
// QoS 0 by a libmosquitto client through a real broker. Four measurements, in rotating order
// within each round of blocks, in the same run:
//   service      the service's message callback (on a libmosquitto client's network thread), its
//                queue and the subscribe worker, writing each value into the variable server
//                through libKalpApi.so.2: messages written per second
//   reference    the same work without the service around it: a bare libmosquitto subscriber
//                whose message callback parses each payload with RapidJSON and makes the same
//                write (KalpApiVarWrite of the member's 4-byte value on an open handle), in turn,
//                on its network thread: messages written per second
//   bare sub     a bare libmosquitto subscriber that only counts: messages received per second
//   bare write   the bare client-library write of the same 4-byte value (KalpApiVarWrite on an
//                open handle): writes per second
// The bench process runs on one CPU, the broker (with set_tcp_nodelay) and kalpapi-server on
// another. Prints the median rates, the median pair ratios with their middle half, and the drops
// by the broker (messages sent but not received) and by the service's queue, apart. The last line
// is the ratio service/reference.
#include <KalpApi.h>
#include <mosquitto.h>
#include <rapidjson/document.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "GVPvariable.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPairs = 12;
constexpr int kMessagesPerBlock = 2000;
const std::string kRoot = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0";

// What one receiving client has seen: messages on its data topic, and the end marker.
struct Side {
  std::atomic<uint64_t> received{0};
  std::atomic<bool> end{false};
  bool forwardToService = false;
  // The reference: parse the payload and write member "V" through this handle (0: count only).
  uint32_t writeHandle = 0;
  std::atomic<uint64_t> writeFailures{0};
};

// The reference's work for one message: RapidJSON parse, the member, one platform write.
void parseAndWrite(Side& side, const mosquitto_message& message) {
  rapidjson::Document document;
  document.Parse(static_cast<const char*>(message.payload), static_cast<size_t>(message.payloadlen));
  if (document.HasParseError() || !document.IsObject()) {
    ++side.writeFailures;
    return;
  }
  const auto member = document.FindMember("V");
  if (member == document.MemberEnd() || !member->value.IsUint()) {
    ++side.writeFailures;
    return;
  }
  const uint32_t value = member->value.GetUint();
  if (KalpApiVarWrite(side.writeHandle, &value, 4) != KALPAPI_OK) ++side.writeFailures;
}

void onMessage(mosquitto* client, void* user, const mosquitto_message* message) {
  auto* side = static_cast<Side*>(user);
  const size_t length = std::strlen(message->topic);
  if (length >= 4 && std::strcmp(message->topic + length - 4, "/end") == 0) {
    side->end = true;
  } else {
    if (side->writeHandle != 0) parseAndWrite(*side, *message);
    ++side->received;
  }
  if (side->forwardToService) callback_on_message(client, user, message);
}

mosquitto* connectClient(int port, Side* side, const char* filter) {
  mosquitto* client = mosquitto_new(nullptr, true, side);
  if (!client) throw std::runtime_error("mosquitto_new failed");
  if (side) mosquitto_message_callback_set(client, onMessage);
  if (mosquitto_connect(client, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS)
    throw std::runtime_error("connect failed");
  if (filter && mosquitto_subscribe(client, nullptr, filter, 0) != MOSQ_ERR_SUCCESS)
    throw std::runtime_error("subscribe failed");
  mosquitto_loop_start(client);
  return client;
}

bool queueEmpty() {
  std::lock_guard<std::mutex> lock(subscribeQueueMutex);
  return subscribeQueue.empty();
}

// Publishes the flood and the end marker; waits until side has seen the marker (false when it
// did not come within the deadline: the broker dropped it).
bool flood(mosquitto* publisher, const std::string& topic, Side& side) {
  side.end = false;
  for (int i = 1; i <= kMessagesPerBlock; ++i) {
    const std::string payload = "{\"V\":" + std::to_string(i) + "}";
    mosquitto_publish(publisher, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0,
                      false);
  }
  mosquitto_publish(publisher, nullptr, (topic + "/end").c_str(), 1, "e", 0, false);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!side.end) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return true;
}

int run() {
  bench::pin(0);  // before any thread: every thread of this process inherits it
  const auto broker = bench::startBroker(/*tcpNoDelay=*/true);
  const int port = broker->port();

  const std::string tree = R"({"variables": {
      "APPL.Bench.V": {"type": "UINT32", "value": 0},
      ")" + kRoot + R"(": {"type": "STRUCT", "members": {
        "ApplicationName": {"type": "STRING", "value": "Bench"},
        "strClientID": {"type": "STRING", "value": "bench"},
        "xConnectedToBroker": {"type": "UINT32", "value": 0},
        "xErrorRetry": {"type": "UINT32", "value": 0},
        "BrokerURL": {"type": "STRING", "value": "127.0.0.1"},
        "BrokerPort": {"type": "UINT32", "value": 1883},
        "keepAliveTime": {"type": "UINT32", "value": 60},
        "xCleanSession": {"type": "UINT32", "value": 1},
        "xUseUserAuthentication": {"type": "UINT32", "value": 0},
        "xActivateConnection": {"type": "UINT32", "value": 0},
        "uiTraceLevel": {"type": "UINT32", "value": 0},
        "uiSubscribeQueueMemLimitKB": {"type": "UINT32", "value": 1024},
        "ZAL_MQTT_subscribe:0": {"type": "STRUCT", "members": {
          "topic": {"type": "STRING", "value": "bench/svc"},
          "xRaw": {"type": "UINT32", "value": 0},
          "variable:0": {"type": "STRING", "value": "V"}}}}}}})";
  const auto server = bench::startServer(tree);

  setTraceLevel(0);
  GVPvariable::setMemberPause(std::chrono::microseconds(0));
  setConfiguration(std::make_shared<ZAL_MQTT_item>(kRoot));
  uint32_t handle = 0;
  if (KalpApiVarOpenHdlA("APPL.Bench.V", &handle) != KALPAPI_OK) {
    std::fprintf(stderr, "bench_subscribe: cannot open APPL.Bench.V\n");
    return 1;
  }

  mosquitto_lib_init();
  Side serviceSide, bareSide, referenceSide;
  serviceSide.forwardToService = true;
  uint32_t referenceHandle = 0;
  if (KalpApiVarOpenHdlA("APPL.Bench.V", &referenceHandle) != KALPAPI_OK) {
    std::fprintf(stderr, "bench_subscribe: cannot open APPL.Bench.V\n");
    return 1;
  }
  referenceSide.writeHandle = referenceHandle;
  mosquitto* serviceClient = connectClient(port, &serviceSide, "bench/svc/#");
  mosquitto* bareClient = connectClient(port, &bareSide, "bench/bare/#");
  mosquitto* referenceClient = connectClient(port, &referenceSide, "bench/ref/#");
  mosquitto* publisher = connectClient(port, nullptr, nullptr);
  // The subscriptions are in place once a marker comes back on each.
  for (int tries = 0; tries < 100 && !(serviceSide.end && bareSide.end && referenceSide.end); ++tries) {
    mosquitto_publish(publisher, nullptr, "bench/svc/end", 1, "e", 0, false);
    mosquitto_publish(publisher, nullptr, "bench/bare/end", 1, "e", 0, false);
    mosquitto_publish(publisher, nullptr, "bench/ref/end", 1, "e", 0, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  subscribeRunning = 1;
  std::thread worker(subscribeWorker);

  // One block each; rates in messages (or writes) per second.
  uint64_t sent = 0, lostService = 0, lostBare = 0, lostReference = 0, lostMarkers = 0;
  auto serviceBlock = [&]() -> double {
    const uint64_t before = serviceSide.received;
    const auto start = Clock::now();
    if (!flood(publisher, "bench/svc", serviceSide)) ++lostMarkers;
    while (!queueEmpty()) std::this_thread::sleep_for(std::chrono::microseconds(50));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t got = serviceSide.received - before;
    lostService += kMessagesPerBlock - got;
    return got / seconds;
  };
  auto bareBlock = [&]() -> double {
    const uint64_t before = bareSide.received;
    const auto start = Clock::now();
    if (!flood(publisher, "bench/bare", bareSide)) ++lostMarkers;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t got = bareSide.received - before;
    lostBare += kMessagesPerBlock - got;
    return got / seconds;
  };
  auto referenceBlock = [&]() -> double {
    const uint64_t before = referenceSide.received;
    const auto start = Clock::now();
    if (!flood(publisher, "bench/ref", referenceSide)) ++lostMarkers;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t got = referenceSide.received - before;
    lostReference += kMessagesPerBlock - got;
    return got / seconds;
  };
  bool writeFailed = false;
  auto writeBlock = [&]() -> double {
    const auto start = Clock::now();
    for (uint32_t i = 1; i <= kMessagesPerBlock; ++i)
      writeFailed |= KalpApiVarWrite(handle, &i, 4) != KALPAPI_OK;
    return kMessagesPerBlock / std::chrono::duration<double>(Clock::now() - start).count();
  };

  serviceBlock();  // warm-up
  referenceBlock();
  bareBlock();
  writeBlock();
  lostService = lostBare = lostReference = lostMarkers = 0;

  std::vector<double> serviceRates, referenceRates, bareRates, writeRates, vsReference, vsWrite, vsBare;
  for (int pair = 0; pair < kPairs; ++pair) {
    // The four blocks in a rotating order, so that none always gets the same place.
    double rates[4] = {};
    for (int step = 0; step < 4; ++step) {
      switch ((pair + step) % 4) {
        case 0:
          rates[0] = serviceBlock();
          break;
        case 1:
          rates[1] = referenceBlock();
          break;
        case 2:
          rates[2] = bareBlock();
          break;
        default:
          rates[3] = writeBlock();
          break;
      }
    }
    const double s = rates[0], r = rates[1], b = rates[2], w = rates[3];
    sent += 3 * kMessagesPerBlock;
    serviceRates.push_back(s);
    referenceRates.push_back(r);
    bareRates.push_back(b);
    writeRates.push_back(w);
    vsReference.push_back(s / r);
    vsWrite.push_back(s / w);
    vsBare.push_back(s / b);
  }

  subscribeRunning = 0;
  wakeSubscribeWorker();
  worker.join();
  mosquitto_disconnect(serviceClient);
  mosquitto_disconnect(bareClient);
  mosquitto_disconnect(referenceClient);
  mosquitto_disconnect(publisher);
  for (mosquitto* client : {serviceClient, bareClient, referenceClient, publisher}) {
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);
  }
  mosquitto_lib_cleanup();
  setConfiguration(nullptr);
  KalpApiVarCloseHdl(&handle);
  KalpApiVarCloseHdl(&referenceHandle);
  if (writeFailed || referenceSide.writeFailures != 0) {
    std::fprintf(stderr, "bench_subscribe: a bare write failed\n");
    return 1;
  }

  // The service's queue can drop only when its byte count reaches the limit; with one-scalar
  // payloads a whole block (about 20 kB) stays far below 1024 kB, so what is missing was dropped
  // by the broker. The queue's byte count is checked to be back at 0.
  std::printf(
      "subscribe: service (callback, queue, subscribe worker, KalpApiVarWrite): %.0f messages written/s "
      "(median of %d blocks of %d messages)\n",
      bench::median(serviceRates), kPairs, kMessagesPerBlock);
  std::printf(
      "subscribe: reference (bare libmosquitto subscriber, RapidJSON parse, KalpApiVarWrite in its "
      "callback): "
      "%.0f messages written/s (median of %d blocks)\n",
      bench::median(referenceRates), kPairs);
  std::printf("subscribe: bare libmosquitto subscriber: %.0f messages received/s (median of %d blocks)\n",
              bench::median(bareRates), kPairs);
  std::printf("subscribe: bare KalpApiVarWrite of the same value: %.0f writes/s (median of %d blocks)\n",
              bench::median(writeRates), kPairs);
  std::printf("subscribe: ratio service/bare write: %s\n", bench::ratioSummary(vsWrite).c_str());
  std::printf("subscribe: ratio service/bare subscriber: %s\n", bench::ratioSummary(vsBare).c_str());
  std::printf(
      "subscribe: drops broker->service %llu, broker->reference %llu, broker->bare %llu of %llu each; lost "
      "end "
      "markers %llu; service queue 0 (byte count after the run: %u)\n",
      static_cast<unsigned long long>(lostService), static_cast<unsigned long long>(lostReference),
      static_cast<unsigned long long>(lostBare), static_cast<unsigned long long>(sent / 3),
      static_cast<unsigned long long>(lostMarkers), subscribeQueueBytes);
  std::printf("subscribe: ratio service/reference (same work, same CPU; goal >= 0.9): %s\n",
              bench::ratioSummary(vsReference).c_str());
  return 0;
}

}  // namespace

int main() {
  try {
    return run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_subscribe: %s\n", error.what());
    return 1;
  }
}
