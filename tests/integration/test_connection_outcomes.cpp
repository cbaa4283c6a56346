// How a connection attempt ends against real mosquitto listeners: one row per kind of listener
// and configuration. Good configurations connect; failures that a retry cannot mend end in the
// error state with their cause traced once, never set xConnectedToBroker, never send the
// credentials to a peer that did not prove itself, and stop the library's reconnecting. A peer
// that accepts TCP and closes (plain MQTT against a TLS listener) is transient: the library
// keeps trying, the cause is traced once, and the error state is never reached.
#include <gtest/gtest.h>

#include "IntegrationHarness.h"

using namespace zaltest;

namespace {

const char* const kPlant = "\"Count\": {\"type\": \"UINT32\", \"value\": 7}";
const char* const kUser = "plant";
const char* const kPassword = "s3cret";
const char* const kPskIdentity = "zal-device";
const char* const kPskKey = "00112233445566778899aabbccddeeff";

// Server certificates beside TestCertificates' good one, from the same key and request: one that
// has expired, one for another host name; and a CA that signed none of them.
struct BadCertificates {
  std::string otherCa, expiredCert, wrongHostCert;

  BadCertificates(const std::string& dir) {
    otherCa = dir + "/other-ca.crt";
    expiredCert = dir + "/expired.crt";
    wrongHostCert = dir + "/wrong-host.crt";
    writeFile(dir + "/wrong-host.ext", "subjectAltName=DNS:wrong-host.example\n");
    auto run = [](const std::vector<std::string>& argv) {
      std::string out;
      if (runCommand(argv, &out) != 0) throw std::runtime_error("openssl failed: " + out);
    };
    run({OPENSSL_PATH, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", dir + "/other-ca.key", "-out", otherCa, "-days", "2", "-subj", "/CN=zal-other-ca"});
    auto sign = [&](const std::string& out, const std::string& days, const std::string& ext) {
      run({OPENSSL_PATH, "x509", "-req", "-in", dir + "/server.csr", "-CA", dir + "/ca.crt", "-CAkey",
           dir + "/ca.key", "-CAcreateserial", "-out", out, "-days", days, "-extfile", ext});
    };
    sign(expiredCert, "-1", dir + "/server.ext");
    sign(wrongHostCert, "2", dir + "/wrong-host.ext");
  }
};

enum class Listener { Plain, Tls, TlsExpired, TlsWrongHost, TlsClientCertificate, Psk };
enum class ServiceTls { None, CaFile, OtherCaFile, CertificateWithoutCa, PskRight, PskWrongKey };

struct Row {
  const char* name;
  Listener listener;
  bool passwordFile;  // the broker wants kUser / kPassword
  ServiceTls tls;
  const char* password;  // nullptr: no user authentication
  const char* host;
  bool connects;
  // Text of the line that traces the failure's cause ("" when it connects). Where the handshake
  // may fail inside the connect call or later on the library's thread, OpenSSL's part of it.
  const char* cause;
  bool brokerSeesNothing = false;  // no TCP connection may reach the broker
  // A transient failure: no error state, the library keeps trying, the cause is traced once.
  bool transient = false;
};

std::ostream& operator<<(std::ostream& out, const Row& row) { return out << row.name; }

constexpr const char* kFailed = "Error: the connection to the broker failed: ";
constexpr const char* kOpenSsl = "SSL routines::";

// clang-format off
const Row kRows[] = {
  // name                      listener                        pwfile tls                           password   host         connects cause
  {"CaByName",                 Listener::Tls,                  false, ServiceTls::CaFile,            nullptr,   "localhost", true,  ""},
  {"CaByIp",                   Listener::Tls,                  false, ServiceTls::CaFile,            nullptr,   "127.0.0.1", true,  ""},
  {"WrongCa",                  Listener::Tls,                  false, ServiceTls::OtherCaFile,       nullptr,   "127.0.0.1", false, "certificate verify failed"},
  {"ExpiredServerCertificate", Listener::TlsExpired,           false, ServiceTls::CaFile,            nullptr,   "127.0.0.1", false, "certificate verify failed"},
  {"WrongHostName",            Listener::TlsWrongHost,         false, ServiceTls::CaFile,            nullptr,   "127.0.0.1", false, "host name verification failed"},
  {"ClientCertificateMissing", Listener::TlsClientCertificate, false, ServiceTls::CaFile,            nullptr,   "127.0.0.1", false, kFailed},
  {"PskRight",                 Listener::Psk,                  false, ServiceTls::PskRight,          nullptr,   "127.0.0.1", true,  ""},
  {"PskWrongKey",              Listener::Psk,                  false, ServiceTls::PskWrongKey,       nullptr,   "127.0.0.1", false, kOpenSsl},
  {"PskAgainstCertificateOnly",Listener::Tls,                  true,  ServiceTls::PskRight,          kPassword, "127.0.0.1", false, "certificate verify failed"},
  {"TlsAgainstPlain",          Listener::Plain,                false, ServiceTls::CaFile,            nullptr,   "127.0.0.1", false, kOpenSsl},
  {"PlainAgainstTls",          Listener::Tls,                  false, ServiceTls::None,              nullptr,   "127.0.0.1", false, "connection to the broker lost: The connection was lost.", false, true},
  {"RightPassword",            Listener::Plain,                true,  ServiceTls::None,              kPassword, "127.0.0.1", true,  ""},
  {"WrongPassword",            Listener::Plain,                true,  ServiceTls::None,              "wrong",   "127.0.0.1", false, "Error: the broker refused the connection: not authorised."},
  {"InvalidTlsNodeNoFallback", Listener::Plain,                true,  ServiceTls::CertificateWithoutCa, kPassword, "127.0.0.1", false, "Bad TLS configuration: no CA file name or -path.", true},
};
// clang-format on

class ConnectionOutcome : public testing::TestWithParam<Row> {};

TEST_P(ConnectionOutcome, EndsAsItMust) {
  const Row& row = GetParam();
  TempDir dir;
  TestCertificates good(dir.path());
  const BadCertificates bad(dir.path());
  TestCertificates served = good;
  if (row.listener == Listener::TlsExpired) served.serverCert = bad.expiredCert;
  if (row.listener == Listener::TlsWrongHost) served.serverCert = bad.wrongHostCert;

  BrokerOptions options;
  if (row.listener != Listener::Plain && row.listener != Listener::Psk) options.tls = &served;
  options.requireClientCertificate = row.listener == Listener::TlsClientCertificate;
  if (row.listener == Listener::Psk) {
    options.pskIdentity = kPskIdentity;
    options.pskHexKey = kPskKey;
  }
  if (row.passwordFile) {
    options.user = kUser;
    options.password = kPassword;
  }
  Broker broker(options);

  ServiceConfig config;
  config.brokerUrl = row.host;
  config.brokerPort = broker.port();
  config.keepAlive = 5;
  config.plantMembers = kPlant;
  config.activate = 1;
  config.publishes = {{200, {{"plant/count", {"Count"}}}}};
  if (row.password) {
    config.useAuthentication = 1;
    config.username = kUser;
    config.password = row.password;
  }
  switch (row.tls) {
    case ServiceTls::None:
      break;
    case ServiceTls::CaFile:
      config.tls = TlsSpec{1, 0, good.caFile, "", "", "", "", ""};
      break;
    case ServiceTls::OtherCaFile:
      config.tls = TlsSpec{1, 0, bad.otherCa, "", "", "", "", ""};
      break;
    case ServiceTls::CertificateWithoutCa:
      config.tls = TlsSpec{1, 0, "", "", "", "", "", ""};
      break;
    case ServiceTls::PskRight:
      config.tls = TlsSpec{0, 1, "", "", "", "", kPskKey, kPskIdentity};
      break;
    case ServiceTls::PskWrongKey:
      config.tls = TlsSpec{0, 1, "", "", "", "", "00112233445566778899aabbccddee00", kPskIdentity};
      break;
  }
  VariableServer server(config.treeJson());
  // The broker's own start-up check connected to it; what follows is the service's.
  const size_t brokerMark = broker.log().size();
  Service service(server);

  if (row.connects) {
    ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();
    EXPECT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1")) << service.dump();
    service.interrupt();
    const auto status = service.process().waitExit(kDefaultDeadline);
    ASSERT_TRUE(status) << service.dump();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << service.dump();
    EXPECT_EQ(server.get(rootMember("xConnectedToBroker")), "0");
    return;
  }

  const auto cause = service.waitFor(row.cause, 0, kStartDeadline);
  ASSERT_TRUE(cause) << service.dump();
  if (row.transient) {
    // The library goes on trying (the broker logs a failed handshake per attempt), the cause is
    // traced once for the whole outage, and the service never reaches the error state.
    const char* const attempt = "Client connection from 127.0.0.1 failed: ";
    pollUntil([&] { return broker.log().count(attempt, brokerMark) >= 4; }, kDefaultDeadline, 100ms);
    EXPECT_GE(broker.log().count(attempt, brokerMark), 4u) << broker.log().dump();
    EXPECT_EQ(service.log().count(row.cause), 1u) << service.dump();
    EXPECT_EQ(service.log().count("state: Error"), 0u) << service.dump();
    EXPECT_EQ(service.log().count("state action: Entry connected"), 0u) << service.dump();
    EXPECT_EQ(server.get(rootMember("xConnectedToBroker")), "0");
    // SIGINT ends the service in its orderly way.
    service.interrupt();
    const auto status = service.process().waitExit(kDefaultDeadline);
    ASSERT_TRUE(status) << service.dump();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << service.dump();
    return;
  }
  ASSERT_TRUE(service.waitFor("state: Error", *cause)) << service.dump();
  // Never connected: the entry action that sets xConnectedToBroker never ran.
  EXPECT_EQ(service.log().count("state action: Entry connected"), 0u) << service.dump();
  EXPECT_EQ(server.get(rootMember("xConnectedToBroker")), "0");
  // The cause once, and nothing was published.
  EXPECT_EQ(service.log().count(row.cause), 1u) << service.dump();
  EXPECT_EQ(service.log().count("Error: the broker has refused the connection."), 0u) << service.dump();

  // The credentials never reached a broker that did not prove itself.
  if (row.tls == ServiceTls::PskRight) {
    EXPECT_EQ(broker.log().count("u'plant'"), 0u) << broker.log().dump();
  }
  if (row.brokerSeesNothing) {
    // No connect call at all, so nothing reached the broker.
    EXPECT_EQ(service.log().count("state: EntryConnecting"), 0u) << service.dump();
    EXPECT_EQ(broker.log().count("New connection from", brokerMark), 0u) << broker.log().dump();
  } else {
    // No loop of attempts.
    EXPECT_LE(broker.log().count("New connection from", brokerMark), 1u) << broker.log().dump();
  }
  if (std::string(row.cause).find("refused the connection") != std::string::npos) {
    // A refused login is not tried again (the library would retry after about a second).
    const auto refused = broker.log().waitFor(contains("not authorised"), brokerMark, kDefaultDeadline);
    ASSERT_TRUE(refused) << broker.log().dump();
    EXPECT_FALSE(broker.log().waitFor(contains("not authorised"), *refused + 1, 3s)) << broker.log().dump();
  }

  // In the error state SIGINT keeps its default action and still ends the service.
  service.interrupt();
  const auto status = service.process().waitExit(kDefaultDeadline);
  ASSERT_TRUE(status) << service.dump();
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << service.dump();
}

INSTANTIATE_TEST_SUITE_P(Listeners, ConnectionOutcome, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) {
                           return std::string(info.param.name);
                         });

// Transient failures keep the library's automatic reconnect: a broker that is not there yet
// (refused TCP) is connected to once it listens.
TEST(TransientFailure, RefusedTcpIsRetriedUntilTheBrokerListens) {
  const int port = freePort();
  ServiceConfig config;
  config.brokerPort = port;
  config.keepAlive = 5;
  config.plantMembers = kPlant;
  config.activate = 1;
  config.publishes = {{200, {{"plant/count", {"Count"}}}}};
  VariableServer server(config.treeJson());
  Service service(server);
  const auto lost = service.waitFor("connection to the broker lost: Connection refused", 0, kStartDeadline);
  ASSERT_TRUE(lost) << service.dump();
  ASSERT_TRUE(service.waitFor("ConnectionLost", *lost)) << service.dump();
  BrokerOptions options;
  options.port = port;
  Broker broker(options);
  ASSERT_TRUE(service.waitFor("state: Connected", *lost)) << service.dump();
  EXPECT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1")) << service.dump();
  EXPECT_EQ(service.log().count("state: Error"), 0u) << service.dump();
}

}  // namespace
