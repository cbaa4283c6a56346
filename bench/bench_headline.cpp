// Headline throughput over the socket stand-in: the service binary (build the
// ZAL_CLOUD_MQTT_OOP target first) publishing 100,000 scalars read from kalpapi-server; the
// server's own time is not counted. The body is HeadlineBenchBody.h.
#include "HeadlineBenchBody.h"

int main() {
  return headline::run("headline", "socket", [](const std::string& tree) {
    bench::requireService();
    auto server = std::make_shared<zaltest::VariableServer>(tree);
    bench::pin(bench::serverCpu(), server->process().pid());
    auto service =
        std::make_shared<zaltest::Service>(*server, std::vector<std::string>{"/usr/bin/taskset", "-c", "0"});
    headline::Started started;
    started.pid = service->process().pid();
    // The service goes before its server.
    started.keep = std::make_shared<
        std::pair<std::shared_ptr<zaltest::VariableServer>, std::shared_ptr<zaltest::Service>>>(server,
                                                                                                service);
    return started;
  });
}
