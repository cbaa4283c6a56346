// EdgeNode: the service as one Sparkplug B edge node: its topics, its session numbers (bdSeq,
// seq), the births of the node and its devices, their data messages and the commands they take.
//
// Topics are "spBv1.0/<group>/<type>/<edge node>[/<device>]". The node's own metrics are
// "bdSeq" and "Node Control/Rebirth"; every device has the metrics of its variable tree
// (SparkplugMetrics.h), with aliases unique across the node, announced in its birth and used
// alone in its data messages.
//
// Session rules kept here: each death certificate (the last will of one connection) carries the
// next bdSeq (0..255, then 0 again), and the node's birth on that connection carries the same;
// the birth starts seq at 0 and every later message of the node (device births and data) takes
// the next (0..255, then 0); no device data before the device's birth on the current birth of
// the node; a rebirth command gives a new node birth and, on the devices' next cycles, their
// births. Nothing here talks to the MQTT library: messages go out through a Publisher.
//
// Thread safety: every member function may be called from any thread; `mutex_` guards the
// session numbers and the birth flags, and is held while a message is handed to the Publisher,
// so that seq on the wire follows the order of the calls. Variable reads happen outside it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "GVPvariable.h"
#include "SparkplugMetrics.h"

namespace sparkplug {

// The namespace element of every topic.
constexpr const char* kNamespace = "spBv1.0";
constexpr const char* kRebirthMetric = "Node Control/Rebirth";
constexpr const char* kBdSeqMetric = "bdSeq";

// Hands one message to the MQTT library; answers the library's result (0: accepted).
using Publisher = std::function<int(const std::string& topic, const std::string& payload)>;

// One device as configured: its id and the variables of its metrics.
struct DeviceDefinition {
  std::string id;
  std::vector<std::shared_ptr<GVPvariable>> variables;
};

// Variables that a device command may write beyond the device's announced metrics (matched by
// metric name), for a device id.
struct CommandTarget {
  std::string deviceId;
  std::vector<std::shared_ptr<GVPvariable>> variables;
};

// Whether text can be a group, edge node or device id: not empty, no "/", "+" or "#".
bool validId(const std::string& text);

class EdgeNode {
 public:
  // Devices whose id is not valid or repeats an earlier one are traced and left out (their
  // index then answers false/Nothing below). bdSeqFile: where bdSeq survives a restart (empty:
  // nowhere); previousBdSeq: the bdSeq of the last death certificate of this process, if any,
  // which wins over the file.
  EdgeNode(std::string groupId, std::string edgeNodeId, std::vector<DeviceDefinition> devices,
           std::vector<CommandTarget> commandTargets, std::string bdSeqFile,
           std::optional<uint64_t> previousBdSeq);

  std::string nodeTopic(const char* type) const;
  std::string deviceTopic(const char* type, size_t device) const;
  // The filters of the node's commands: NCMD of this node, DCMD of all its devices.
  std::vector<std::string> commandFilters() const;

  // Primary host awareness: with a primary host application (setPrimaryHost), data messages are
  // held while that host is not known to be online (from the start, after each lost connection,
  // and after its STATE says offline), up to limitBytes of encoded payload (the oldest go
  // first, counted and traced once per hold). When the host is online again, and once the
  // device's birth has gone out, they are sent in their order as DDATA with their metrics
  // marked historical and the seq of their sending. Births are never held.
  void setPrimaryHost(std::string hostId, size_t limitBytes);
  // The STATE topic of the primary host ("spBv1.0/STATE/<host>"); empty without one.
  std::string primaryHostStateTopic() const;
  // A message on that topic: {"online": true|false, ...} (or the text ONLINE / OFFLINE). Going
  // online sends what was held. Anything else is traced and changes nothing.
  void handleHostState(const std::string& payload, const Publisher& publish);
  bool hostOnline() const;
  size_t heldMessages() const;
  size_t deviceCount() const { return devices_.size(); }
  bool deviceActive(size_t device) const;

  // The death certificate of the next connection: advances bdSeq (and writes it to the file),
  // returns the NDEATH payload (timestamp and the bdSeq metric).
  std::string nextDeathCertificate();
  // The death certificate with the current bdSeq, for a disconnect the node makes itself.
  std::string currentDeathCertificate() const;
  uint64_t bdSeq() const;

  // The node's birth (seq 0, bdSeq, Node Control/Rebirth false). Every device's birth is due
  // again. Returns the Publisher's result.
  int publishNodeBirth(const Publisher& publish);
  // The connection is gone: no message until the next node birth; a primary host's state is
  // unknown again.
  void connectionLost();

  // Whether device's birth is due (the node was born since the device's last birth).
  bool deviceBirthDue(size_t device) const;
  // The device's birth from the snapshots its variables hold (read them first), with
  // sampledAtMs as the metrics' timestamp. False when the node has no birth on this connection
  // or the device is not active; else true, whatever the library answered (result).
  bool publishDeviceBirth(size_t device, uint64_t sampledAtMs, const Publisher& publish, int& result);
  enum class DataResult { Sent, BirthDue, NotBorn };
  // A data message with the scalars found in roots (from the snapshots), unless the device's
  // birth is due (BirthDue: publish the birth instead) or the node has no birth (NotBorn).
  DataResult publishDeviceData(size_t device, const std::vector<std::shared_ptr<GVPvariable>>& roots,
                               uint64_t sampledAtMs, const Publisher& publish, int& result);

  // A received message on one of commandFilters(): a node command's Rebirth (true) gives a new
  // node birth; a device command's metrics are written into the device's variables (each on
  // its own: a metric that cannot be written is traced with its name and why, the rest are
  // written). Anything else is traced and ignored. Never throws.
  void handleCommand(const std::string& topic, const std::string& payload, const Publisher& publish);

 private:
  struct Device {
    std::string id;
    std::vector<std::shared_ptr<GVPvariable>> variables;
    MetricSet metrics;
    std::vector<MetricSet> commandOnly;  // subscribe configurations for this id
    bool active = false;
    bool birthDue = true;
  };
  std::string deathPayload(uint64_t bdSeq) const;
  void sendHeld(const Publisher& publish);  // mutex_ held: what may go out of the held data
  uint64_t nextSeq();                       // mutex_ held
  int send(const std::string& topic, Payload& payload, const Publisher& publish);  // mutex_ held
  void writeCommandMetrics(Device* device, const std::string& deviceId, const Payload& payload);

  std::string groupId_;
  std::string edgeNodeId_;
  std::vector<Device> devices_;
  std::vector<Device> commandOnlyDevices_;  // ids named only by subscribe configurations
  std::string bdSeqFile_;

  mutable std::mutex mutex_;
  uint64_t bdSeq_ = 0;
  bool bdSeqUsed_ = false;  // a death certificate carried bdSeq_ already
  uint64_t seq_ = 0;
  bool nodeBorn_ = false;

  // Primary host awareness (empty primaryHost_: off). Guarded by mutex_.
  struct Held {
    size_t device;
    Payload payload;
    size_t bytes;
  };
  std::string primaryHost_;
  size_t heldLimit_ = 0;
  bool hostOnline_ = true;
  std::deque<Held> held_;
  size_t heldBytes_ = 0;
  uint64_t heldDropped_ = 0;
};

}  // namespace sparkplug
