// The service against a real two-node clustered broker on loopback: once behind a load balancer
// (HAProxy, TCP mode) and once with the failover list and no load balancer. The node the service
// is connected to is killed; the service goes on with the other node; a subscriber on the
// surviving node receives every value of a store-and-forward set once and in order (a QoS 1
// repeat of the same payload at the cut aside); a command published on either node reaches the
// variable, before and after.
#include <gtest/gtest.h>

#include "ClusterSupport.h"
#include "FailoverSupport.h"

using namespace zaltest;

namespace {

// A command published on a node reaches the variable.
void expectCommandThrough(int port, const VariableServer& server, const std::string& value,
                          const Service& service) {
  EXPECT_TRUE(commandReaches(port, server, value)) << "through port " << port << service.dump();
}

// Kills node a once the service publishes through it, and checks what the subscriber on node b
// received across the cut. lostLine: the trace line that shows the service noticed.
void killFirstNodeAndCheck(RabbitCluster& cluster, const VariableServer& server, const Service& service,
                           const Subscriber& onB, const std::vector<std::string>& afterCut) {
  ASSERT_TRUE(onB.waitFor("plant/a", counterAtLeast(counterNow(server) + 3), 0, 60s)) << service.dump();
  expectCommandThrough(cluster.mqttPort(0), server, "11", service);
  expectCommandThrough(cluster.mqttPort(1), server, "12", service);

  const size_t mark = service.mark();
  cluster.kill(0);
  ASSERT_TRUE(waitForSequence(service, afterCut, mark, 120s)) << service.dump(mark);
  EXPECT_EQ(service.log().count("state: Error", mark), 0u) << service.dump(mark);
  // Subscriptions made again on node b: commands through b arrive.
  expectCommandThrough(cluster.mqttPort(1), server, "13", service);

  ASSERT_TRUE(onB.waitFor("plant/a", counterAtLeast(counterNow(server) + 3), 0, 60s)) << service.dump(mark);
  std::string faults;
  const std::vector<long long> values = valuesOnceInOrder({payloadsOf(onB, "plant/a")}, &faults);
  EXPECT_EQ(faults, "") << service.dump(mark);
  EXPECT_GE(values.size(), 10u);
  for (const Message& m : onB.messages("plant/a")) EXPECT_TRUE(sampleTimeOf(m.payload)) << m.payload;
}

}  // namespace

TEST(Cluster, BehindALoadBalancerTheServiceMovesToTheSurvivingNode) {
  RabbitCluster cluster;
  std::fprintf(stderr, "cluster: both nodes answer after %lld ms, clustered after %lld ms\n",
               ms(cluster.bootedAfter()), ms(cluster.clusteredAfter()));
  LoadBalancer balancer(cluster.mqttPort(0), cluster.mqttPort(1));
  VariableServer server(failoverPlantTree("127.0.0.1", balancer.port(), ""));
  Subscriber onB(cluster.mqttPort(1), "plant/#");
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();
  killFirstNodeAndCheck(
      cluster, server, service, onB,
      {"EntryConnectionLost", "connection to the broker re-established after ", "state: Connected"});
}

TEST(Cluster, WithTheFailoverListTheServiceMovesToTheOtherNode) {
  RabbitCluster cluster;
  VariableServer server(
      failoverPlantTree("127.0.0.1", cluster.mqttPort(0), failoverMembers({cluster.mqttPort(1)}, 1)));
  Subscriber onB(cluster.mqttPort(1), "plant/#");
  Service service(server);
  ASSERT_TRUE(service.waitFor("connected to broker 127.0.0.1:" + std::to_string(cluster.mqttPort(0)) + ".", 0,
                              kStartDeadline))
      << service.dump();
  const std::string b = std::to_string(cluster.mqttPort(1));
  killFirstNodeAndCheck(cluster, server, service, onB,
                        {"EntryConnectionLost", "trying broker 127.0.0.1:" + b + " (2 of 2).",
                         "connected to broker 127.0.0.1:" + b + ".", "state: Connected"});
}
