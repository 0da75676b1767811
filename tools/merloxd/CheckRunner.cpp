#include "CheckRunner.h"

#include <mutex>

namespace merloxd {

CheckRunner::CheckRunner(std::vector<Entry> entries) {
  for (Entry& entry : entries) {
    auto slot = std::make_unique<Slot>();
    slot->settings = entry.settings;
    slot->check = std::move(entry.check);
    slot->report.state.name = entry.settings.name;
    slot->report.state.grace = entry.settings.grace;
    slot->report.detail = "not checked yet";
    slots_.push_back(std::move(slot));
  }
}

CheckRunner::~CheckRunner() { Stop(); }

void CheckRunner::Start() {
  for (auto& slot : slots_) {
    Slot* running = slot.get();
    slot->thread.Start([this, running] { Loop(*running); });
  }
}

void CheckRunner::Stop() {
  {
    std::lock_guard<merlox::tools::Mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.NotifyAll();
  for (auto& slot : slots_) slot->thread.Join();
}

void CheckRunner::Record(Slot& slot, const CheckResult& result, TimePoint when) {
  CheckState& state = slot.report.state;
  if (!result.healthy && state.healthy) state.failingSince = slot.runStarted;
  state.healthy = result.healthy;
  if (!result.healthy) ++slot.report.failures;
  state.lastResult = when;
  slot.report.detail = result.detail;
  slot.running = false;
}

void CheckRunner::Loop(Slot& slot) {
  std::unique_lock<merlox::tools::Mutex> lock(mutex_);
  while (!stopping_) {
    slot.running = true;
    slot.runStarted = Clock::now();
    lock.unlock();
    const CheckResult result = slot.check->Run();
    lock.lock();
    Record(slot, result, Clock::now());
    const TimePoint next = slot.runStarted + slot.settings.interval;
    while (!stopping_ && Clock::now() < next) {
      wake_.WaitFor(
          mutex_, std::chrono::duration_cast<Milliseconds>(next - Clock::now()) + Milliseconds(1));
    }
  }
}

std::vector<CheckReport> CheckRunner::Reports(TimePoint now) {
  std::lock_guard<merlox::tools::Mutex> lock(mutex_);
  std::vector<CheckReport> reports;
  for (const auto& slot : slots_) {
    CheckReport report = slot->report;
    const TimePoint overdue = slot->runStarted + slot->settings.timeout;
    if (slot->running && now >= overdue) {
      // It has not answered in time: failed since it should have answered.
      if (report.state.healthy) report.state.failingSince = overdue;
      report.state.healthy = false;
      report.state.lastResult = overdue;
      report.detail = "no answer within " + DescribeDuration(slot->settings.timeout);
    }
    reports.push_back(std::move(report));
  }
  return reports;
}

}  // namespace merloxd
