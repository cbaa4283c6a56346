// The subscribe path: received MQTT messages written into process variables.
//
// The queue, its lock, the message callback and the worker are declared with the other
// process-wide life-cycle objects (ZAL_MQTT_lifecycle.h). This header adds what the path
// exposes beyond them: the queue limit used while no configuration object exists, the raw
// write, and the release of a queued message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "GVPvariable.h"

struct mosquitto_message;

// Queue limit in kB used by the message callback when no configuration object exists (the
// same as an unconfigured uiSubscribeQueueMemLimitKB): memory stays bounded and the messages
// wait for the next worker.
constexpr uint32_t kDefaultSubscribeQueueMemLimitKB = 1024;

// Writes text into variable (its getPath() + getName()) with the variable server's text write
// and returns the status. A failure is traced once ("Warning: last raw write to '...") until the
// next success, which traces "... is ok, again."; the flag behind this belongs to the calling
// thread and starts false in every new thread.
uint32_t subscribeRawWrite(const std::shared_ptr<GVPvariable>& variable, const std::string& text);
// The same for the variable at path (a raw subscription's configured variable, at any depth).
uint32_t subscribeRawWrite(const std::string& path, const std::string& text);

// Releases a message copy of the queue (topic, payload and the record), as mosquitto_message_free
// does; nullptr is allowed.
void releaseSubscribeMessage(mosquitto_message* message);
