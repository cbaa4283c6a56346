// Helpers of the tests that take the broker away and bring it back: mosquitto on a port of the
// test's choosing, a subscriber whose session the broker keeps, readers of the counter and the
// sample time of a payload, and a wait for trace lines in order.
#pragma once

#include <gtest/gtest.h>

#include <ctime>

#include "IntegrationHarness.h"

namespace zaltest {

// mosquitto on a port of our choosing (so that it can be started again on it), optionally with
// its sessions kept in dir across a restart.
class BrokerOnPort {
 public:
  BrokerOnPort(int port, const std::string& persistenceDir = "") {
    std::ostringstream conf;
    conf << "per_listener_settings false\nlog_dest stderr\nallow_anonymous true\n";
    if (persistenceDir.empty()) {
      conf << "persistence false\n";
    } else {
      conf << "persistence true\npersistence_location " << persistenceDir << "/\n";
    }
    if (const passwd* self = getpwuid(geteuid())) conf << "user " << self->pw_name << "\n";
    conf << "listener " << port << " 127.0.0.1\n";
    writeFile(dir_.file("mosquitto.conf"), conf.str());
    process_ = startListening({MOSQUITTO_PATH, "-c", dir_.file("mosquitto.conf")}, {port}, "broker");
  }
  Process& process() { return *process_; }

 private:
  TempDir dir_;
  std::unique_ptr<Process> process_;
};

// A subscriber with a session the broker keeps (clean session off), so that it misses nothing
// while the broker restarts: the library reconnects it by itself, the broker queues for it.
class SessionSubscriber {
 public:
  explicit SessionSubscriber(int port, const char* clientId = "zal-it-session") {
    static std::once_flag libraryInit;
    std::call_once(libraryInit, [] { mosquitto_lib_init(); });
    client_ = mosquitto_new(clientId, false, this);
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto* s = static_cast<SessionSubscriber*>(self);
      std::lock_guard<std::mutex> lock(s->mutex_);
      s->messages_.push_back(
          {m->topic, std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen))});
      s->changed_.notify_all();
    });
    mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
      auto* s = static_cast<SessionSubscriber*>(self);
      std::lock_guard<std::mutex> lock(s->mutex_);
      s->subscribed_ = true;
      s->changed_.notify_all();
    });
    if (mosquitto_connect(client_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_subscribe(client_, nullptr, "plant/#", 1) != MOSQ_ERR_SUCCESS)
      throw std::runtime_error("session subscriber: connect or subscribe failed");
    mosquitto_loop_start(client_);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, kDefaultDeadline, [this] { return subscribed_; }))
      throw std::runtime_error("session subscriber: no SUBACK");
  }
  ~SessionSubscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  std::vector<std::string> payloads(const std::string& topic) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [t, p] : messages_)
      if (t == topic) out.push_back(p);
    return out;
  }
  // Waits for a payload on topic that satisfies match.
  bool waitFor(const std::string& topic, const std::function<bool(const std::string&)>& match,
               Clock::duration timeout = kDefaultDeadline) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      for (const auto& [t, p] : messages_)
        if (t == topic && match(p)) return true;
      return false;
    });
  }

 private:
  mosquitto* client_ = nullptr;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::pair<std::string, std::string>> messages_;
  bool subscribed_ = false;
};

// The counter value of a payload, -1 when it has none.
inline long long counterOf(const std::string& payload) {
  const std::string key = "\"Counter\":";
  const size_t at = payload.find(key);
  return at == std::string::npos ? -1 : std::stoll(payload.substr(at + key.size()));
}

inline auto counterAtLeast(long long value) {
  return [value](const std::string& payload) { return counterOf(payload) >= value; };
}

// The plant's counter as the variable server has it now.
inline long long counterNow(const VariableServer& server) {
  return std::stoll(server.get("APPL.Plant.Counter").value());
}

// Waits until the counter has reached value.
inline bool waitForCounter(const VariableServer& server, long long value, Clock::duration timeout = 60s) {
  return pollUntil([&] { return counterNow(server) >= value; }, timeout, 100ms);
}

// The sample time of a payload ("...","SampleTime":"2026-12-10T14:03:08.123Z"}); nullopt when
// it has none or it is malformed.
inline std::optional<std::chrono::system_clock::time_point> sampleTimeOf(const std::string& payload) {
  const std::string key = "\"SampleTime\":\"";
  const size_t at = payload.find(key);
  if (at == std::string::npos) return std::nullopt;
  std::tm utc{};
  int millis = 0;
  char zone = 0;
  if (std::sscanf(payload.c_str() + at + key.size(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &utc.tm_year,
                  &utc.tm_mon, &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &millis, &zone) != 8 ||
      zone != 'Z')
    return std::nullopt;
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  return std::chrono::system_clock::from_time_t(timegm(&utc)) + std::chrono::milliseconds(millis);
}

// Waits for each text in order, each after the previous one; returns the index of the last.
inline std::optional<size_t> waitForSequence(const Service& service, const std::vector<std::string>& texts,
                                             size_t from, Clock::duration timeout = kDefaultDeadline) {
  std::optional<size_t> at = from;
  for (const std::string& text : texts) {
    at = service.waitFor(text, *at, timeout);
    if (!at) {
      ADD_FAILURE() << "missing \"" << text << "\"";
      return std::nullopt;
    }
  }
  return at;
}

}  // namespace zaltest
