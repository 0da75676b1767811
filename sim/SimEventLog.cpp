#include "SimEventLog.h"

#include <chrono>

namespace merlox::sim {

EventLog::EventLog() : start_(SimMilliseconds()) {}

void EventLog::Record(SimEvent event) {
  event.uptimeMilliseconds = SimMilliseconds() - start_;
  event.unixMilliseconds =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count());
  SimLock lock(mutex_);
  if (events_.size() == kKept) events_.erase(events_.begin());
  events_.push_back(std::move(event));
}

std::vector<SimEvent> EventLog::Events() const {
  SimLock lock(mutex_);
  return events_;
}

}  // namespace merlox::sim
