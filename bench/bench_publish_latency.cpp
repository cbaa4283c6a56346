// Latency of an on-change publish: a value changed through the client library, to the message at
// a subscriber, with the service publishing the set on change at a period of 10 ms. The broker's
// listener sets set_tcp_nodelay true (without it, Nagle's delay adds about 9 ms to every
// delivery). Next to it, in the same run, the bare reference: a libmosquitto publisher sending
// the same payload straight to the same broker and subscriber.
//
// Starts its own mosquitto, kalpapi-server and the service (build the ZAL_CLOUD_MQTT_OOP target
// first) and stops them at the end. Prints the median and 99th percentile of the latency, of the
// time beyond the period (latency minus 10 ms; a change that arrives just before a cycle is
// caught sooner than a period), and of the bare reference.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "KalpApi.h"

namespace {

using namespace zaltest;

constexpr int kSamples = 300;
constexpr int kPeriodMs = 10;

double msSince(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double, std::milli>(end - start).count();
}

}  // namespace

int main() {
  try {
    bench::requireService();
    BrokerOptions options;
    options.tcpNoDelay = true;
    Broker broker(options);
    ServiceConfig config;
    config.brokerPort = broker.port();
    config.activate = 1;
    config.traceLevel = 1;
    config.plantMembers = "\"Value\": {\"type\": \"UINT32\", \"value\": 0}";
    config.publishes = {{kPeriodMs, {{"bench/service", {"Value"}, 0, 1, 0}}}};
    VariableServer server(config.treeJson());
    Subscriber subscriber(broker.port());
    Service service(server);
    if (!service.waitFor("state: Connected", 0, kStartDeadline))
      throw std::runtime_error("service did not connect");

    setenv("KALPAPI_SOCKET", server.socket().c_str(), 1);
    uint32_t handle = 0;
    if (KalpApiVarOpenHdlA("APPL.Plant.Value", &handle) != 0)
      throw std::runtime_error("cannot open APPL.Plant.Value");

    mosquitto* publisher = mosquitto_new(nullptr, true, nullptr);
    mosquitto_int_option(publisher, MOSQ_OPT_TCP_NODELAY, 1);
    if (mosquitto_connect(publisher, "127.0.0.1", broker.port(), 60) != MOSQ_ERR_SUCCESS)
      throw std::runtime_error("bare publisher cannot connect");
    mosquitto_loop_start(publisher);

    std::vector<double> serviceMs, beyondMs, bareMs;
    for (uint32_t i = 1; i <= kSamples; ++i) {
      const std::string payload = "{\"Value\":" + std::to_string(i) + "}";
      auto is = [&payload](const std::string& p) { return p == payload; };

      const auto written = Clock::now();
      if (KalpApiVarWrite(handle, &i, 4) != 0) throw std::runtime_error("write failed");
      const auto got = subscriber.waitFor("bench/service", is, 0, 10s);
      if (!got) throw std::runtime_error("no message for value " + std::to_string(i));
      serviceMs.push_back(msSince(written, got->at));
      beyondMs.push_back(serviceMs.back() - kPeriodMs);

      const auto sent = Clock::now();
      mosquitto_publish(publisher, nullptr, "bench/bare", static_cast<int>(payload.size()), payload.data(), 1,
                        false);
      const auto bare = subscriber.waitFor("bench/bare", is, 0, 10s);
      if (!bare) throw std::runtime_error("no bare message");
      bareMs.push_back(msSince(sent, bare->at));

      // Changes land at varying points of the service's cycle.
      std::this_thread::sleep_for(std::chrono::microseconds(3000 + (i * 7919) % 10000));
    }
    mosquitto_disconnect(publisher);
    mosquitto_loop_stop(publisher, false);
    mosquitto_destroy(publisher);
    KalpApiVarCloseHdl(&handle);

    std::printf(
        "publish_latency: on-change set, period %d ms, broker with set_tcp_nodelay true, %d changes\n",
        kPeriodMs, kSamples);
    std::printf("publish_latency: change to delivery: median %.2f ms, p99 %.2f ms\n",
                bench::quantile(serviceMs, 0.5), bench::quantile(serviceMs, 0.99));
    std::printf("publish_latency: time beyond the period: median %.2f ms, p99 %.2f ms\n",
                bench::quantile(beyondMs, 0.5), bench::quantile(beyondMs, 0.99));
    std::printf("publish_latency: bare publish to delivery: median %.2f ms, p99 %.2f ms\n",
                bench::quantile(bareMs, 0.5), bench::quantile(bareMs, 0.99));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_publish_latency: %s\n", error.what());
    return 1;
  }
  return 0;
}
