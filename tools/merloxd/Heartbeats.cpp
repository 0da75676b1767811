#include "Heartbeats.h"

#include <mutex>

namespace merloxd {

std::string Heartbeats::Known(const std::string& name) const {
  return names_.count(name) != 0 ? "" : "no heartbeat check is named \"" + name + "\"";
}

std::string Heartbeats::Register(const std::string& name, Milliseconds timeout,
                                 Clock::time_point now) {
  if (std::string unknown = Known(name); !unknown.empty()) return unknown;
  if (timeout < kMinimumTimeout || timeout > kMaximumTimeout) {
    return "a heartbeat's timeout is " + DescribeDuration(kMinimumTimeout) + " to " +
           DescribeDuration(kMaximumTimeout);
  }
  std::lock_guard<merlox::tools::Mutex> lock(mutex_);
  Entry& entry = entries_[name];
  entry.phase = Entry::Phase::kRegistered;
  entry.timeout = timeout;
  // Registering counts as the first sign of life.
  entry.lastPing = now;
  entry.pings = 0;
  return "";
}

std::string Heartbeats::Ping(const std::string& name, Clock::time_point now) {
  if (std::string unknown = Known(name); !unknown.empty()) return unknown;
  std::lock_guard<merlox::tools::Mutex> lock(mutex_);
  auto found = entries_.find(name);
  if (found == entries_.end() || found->second.phase != Entry::Phase::kRegistered) {
    return "\"" + name + "\" is not registered: register it with its timeout first";
  }
  found->second.lastPing = now;
  ++found->second.pings;
  return "";
}

std::string Heartbeats::Unregister(const std::string& name) {
  if (std::string unknown = Known(name); !unknown.empty()) return unknown;
  std::lock_guard<merlox::tools::Mutex> lock(mutex_);
  auto found = entries_.find(name);
  if (found == entries_.end() || found->second.phase != Entry::Phase::kRegistered) {
    return "\"" + name + "\" is not registered";
  }
  found->second.phase = Entry::Phase::kUnregistered;
  return "";
}

HeartbeatResult Heartbeats::Judge(const std::string& name, Clock::time_point now) {
  std::lock_guard<merlox::tools::Mutex> lock(mutex_);
  auto found = entries_.find(name);
  if (found == entries_.end()) return {false, "no application has registered yet"};
  const Entry& entry = found->second;
  if (entry.phase == Entry::Phase::kUnregistered) {
    return {true, "unregistered by its application; not watched until it registers again"};
  }
  const auto silent = std::chrono::duration_cast<Milliseconds>(now - entry.lastPing);
  const std::string pings = std::to_string(entry.pings) + (entry.pings == 1 ? " ping" : " pings");
  if (silent > entry.timeout) {
    return {false, "no ping for " + DescribeDuration(silent) + ", more than its timeout of " +
                       DescribeDuration(entry.timeout) + " (" + pings + " so far)"};
  }
  return {true, "last ping " + DescribeDuration(silent) + " ago (" + pings + ")"};
}

}  // namespace merloxd
