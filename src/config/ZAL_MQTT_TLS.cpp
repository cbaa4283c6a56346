// ZAL_MQTT_TLS: reading and validating the TLS node.
#include "ZAL_MQTT_TLS.h"

#include <cassert>
#include <cstdlib>
#include <stdexcept>

#include "KalpApi.h"
#include "Trace.h"
#include "VariableServer.h"

namespace {

// Reads a text member into target (cut at the first NUL of a 256-byte buffer). An absent member
// leaves target empty; any other failure throws message.
void readOptionalText(const std::string& path, std::string& target, const char* message) {
  char buffer[256] = {};
  const uint32_t status = KalpApiVarTxtRead(path.c_str(), buffer, sizeof buffer);
  if (status == KALPAPI_E_NOT_FOUND) return;
  if (status != KALPAPI_OK) throw std::runtime_error(message);
  buffer[sizeof buffer - 1] = '\0';
  target = buffer;
}

}  // namespace

ZAL_MQTT_TLS::ZAL_MQTT_TLS(std::string path) : GVPitem(path) {
  const std::string base = getName() + ".";

  readOptionalFlag(base + "xUseCertificateBasedTLS", xUseCertificateBasedTLS,
                   "Bad TLS configuration: cannot read xUseCertificateBasedTLS.");
  readOptionalFlag(base + "xUsePSKBasedTLS", xUsePSKBasedTLS,
                   "Bad TLS configuration: cannot read xUsePSKBasedTLS flag.");

  // Flags are compared exactly as the rules state them: "both" and the mode test against 1,
  // "neither" against 0.
  if (xUseCertificateBasedTLS == 1 && xUsePSKBasedTLS == 1) {
    throw std::runtime_error(
        "Bad TLS configuration: Cannot have PSK- AND certificate based TLS at the same time.");
  }
  if (xUseCertificateBasedTLS == 0 && xUsePSKBasedTLS == 0) {
    throw NotSelected("Bad TLS configuration: Neither PSK- nor certificate based TLS selected.");
  }

  // All six texts are read in either mode.
  readOptionalText(base + "strCAfilename", strCAfilename,
                   "Bad TLS configuration: cannot read existing CA file name.");
  readOptionalText(base + "strCAfilepath", strCAfilepath,
                   "Bad TLS configuration: cannot read existing CA file path.");
  readOptionalText(base + "strCertfileName", strCertfileName,
                   "Bad TLS configuration: cannot read existing certificate file name.");
  readOptionalText(base + "strKeyfileName", strKeyfileName,
                   "Bad TLS configuration: cannot read existing key file name.");
  readOptionalText(base + "strPSK", strPSK, "Bad TLS configuration: cannot read existing pre-shared key.");
  readOptionalText(base + "strIdentity", strIdentity,
                   "Bad TLS configuration: cannot read existing identity.");

  if (xUseCertificateBasedTLS == 1) {
    if (strCAfilename.empty() && strCAfilepath.empty()) {
      throw std::runtime_error("Bad TLS configuration: no CA file name or -path.");
    }
    if (strCertfileName.empty() && !strKeyfileName.empty()) {
      throw std::runtime_error(
          "Bad TLS configuration: certificate file name is empty but key file name is not empty.");
    }
    if (!strCertfileName.empty() && strKeyfileName.empty()) {
      throw std::runtime_error(
          "Bad TLS configuration: key file name is empty but certificate file name is not empty.");
    }
  } else {
    if (strPSK.empty())
      throw std::runtime_error("Bad PSK-TLS configuration: pre-shared key string is empty.");
    if (strIdentity.empty()) throw std::runtime_error("Bad PSK-TLS configuration: identity string is empty.");
  }
}

void ZAL_MQTT_TLS::createChild(std::string /*name*/, unsigned int /*uiIndex*/) {
  TRACE(1, "Error : unexpected call to ZAL_MQTT_TLS::createChild(). ");
  assert(!"ZAL_MQTT_TLS has no child items");
  std::abort();
}

ZAL_MQTT_TLS::~ZAL_MQTT_TLS() = default;
