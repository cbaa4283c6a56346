// BrokerList: round robin over a failover list with a time bound per broker.
#include "BrokerList.h"

std::string BrokerAddress::text() const {
  const bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

void BrokerList::configure(std::vector<BrokerAddress> brokers, std::chrono::milliseconds failoverAfter) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (brokers != brokers_) nextStart_ = 0;
  brokers_ = std::move(brokers);
  failoverAfter_ = failoverAfter;
  index_ = 0;
  failingSince_.reset();
}

bool BrokerList::active() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return brokers_.size() > 1;
}

size_t BrokerList::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return brokers_.size();
}

void BrokerList::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  index_ = nextStart_ < brokers_.size() ? nextStart_ : 0;
  nextStart_ = 0;
  failingSince_.reset();
}

void BrokerList::abandonCurrent() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!brokers_.empty()) nextStart_ = (index_ + 1) % brokers_.size();
}

BrokerAddress BrokerList::current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return brokers_.empty() ? BrokerAddress{} : brokers_[index_];
}

size_t BrokerList::currentIndex() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index_;
}

void BrokerList::failed(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!failingSince_) failingSince_ = now;
}

void BrokerList::reached() {
  std::lock_guard<std::mutex> lock(mutex_);
  failingSince_.reset();
}

bool BrokerList::beforeAttempt(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (brokers_.size() < 2 || !failingSince_ || now - *failingSince_ < failoverAfter_) return false;
  index_ = (index_ + 1) % brokers_.size();
  // The next broker's own time starts with its first attempt, which follows now.
  failingSince_.reset();
  return true;
}
