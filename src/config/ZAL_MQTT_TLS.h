// ZAL_MQTT_TLS: the optional TLS settings of the broker connection, read from the node
// ZAL_MQTT_TLS:0 of the configuration root. Exactly one kind is selected: certificate based
// (CA file or CA directory, optional client certificate with its key) or pre-shared key (key and
// identity). Read-only once constructed.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "GVPitem.h"

class ZAL_MQTT_TLS : public GVPitem {
 public:
  // Thrown when the node selects neither kind of TLS: the connection then goes without TLS.
  // Every other failure of a present node means a TLS configuration that cannot be used.
  class NotSelected : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  // Reads and validates the TLS node at path. Throws std::runtime_error with a message that
  // names the first problem found (NotSelected when neither kind is selected); later members
  // are then not read.
  explicit ZAL_MQTT_TLS(std::string path);

  // The TLS node has no child items; any call is a programming error (traced, then aborts).
  void createChild(std::string name, unsigned int uiIndex) override;
  virtual ~ZAL_MQTT_TLS();

  uint32_t getUseCertificateBasedTLS() const { return xUseCertificateBasedTLS; }
  uint32_t getUsePSKBasedTLS() const { return xUsePSKBasedTLS; }
  std::string getCAfilename() const { return strCAfilename; }
  std::string getCAfilepath() const { return strCAfilepath; }
  std::string getCertfileName() const { return strCertfileName; }
  std::string getKeyfileName() const { return strKeyfileName; }
  std::string getPSK() const { return strPSK; }
  std::string getIdentity() const { return strIdentity; }

 private:
  uint32_t xUseCertificateBasedTLS = 0;
  uint32_t xUsePSKBasedTLS = 0;
  std::string strCAfilename;
  std::string strCAfilepath;
  std::string strCertfileName;
  std::string strKeyfileName;
  std::string strPSK;
  std::string strIdentity;
};
