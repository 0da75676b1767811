// The guard itself: finds the card, arms it, and every interval asks the policy
// whether to feed, repair or act, and does it. Everything it decides goes to its log
// and its journal; how the run stands goes to the state file.
#pragma once

#include <atomic>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "CheckRunner.h"
#include "Evidence.h"
#include "GuardConfig.h"
#include "GuardPolicy.h"
#include "GuardStatus.h"
#include "Heartbeats.h"
#include "LatenessRecord.h"
#include "Threads.h"

namespace merloxd {

class Engine {
 public:
  Engine(GuardConfig config, std::string stateDir, std::ostream& log);
  ~Engine();

  // Guards until Stop. Returns 0 after a clean stop; 1 when it could not start (the
  // state directory cannot be made).
  int Run();
  // From any thread: the run ends at its next step, cleanly.
  void Stop();
  // Feed whatever the checks say until the pause ends, or until Resume.
  void Pause(Milliseconds duration, const std::string& reason);
  void Resume();
  // From any thread: how the guard stood after its last step, and whether it is paused now.
  GuardStatus Status();
  // What applications ping through the control channel; the heartbeat checks read it.
  Heartbeats& heartbeats() { return heartbeats_; }

 private:
  bool Begin();
  void Step(TimePoint now);
  void Decide(TimePoint now, const std::vector<CheckReport>& reports);
  void Publish(TimePoint now, const std::vector<CheckReport>& reports);
  bool HaveCard();
  void Arm();
  void Feed();
  void Act(const Decision& decision);
  void StartRepair(const Decision& decision);
  void ReportChecks(const std::vector<CheckReport>& reports);
  void End();
  void Record(const std::string& event, nlohmann::json fields, const std::string& text);
  void SaveStateNow();
  int32_t Locate(const CardName& card);
  std::string CardText() const;

  GuardConfig config_;
  std::string stateDir_;
  std::ostream& log_;
  Heartbeats heartbeats_;
  std::unique_ptr<Journal> journal_;
  std::unique_ptr<CheckRunner> runner_;
  std::unique_ptr<GuardPolicy> policy_;
  GuardState state_;
  bool safeMode_ = false;
  int32_t card_ = -1;  // the card's number while it is there
  bool armed_ = false;
  std::string lastWhy_;
  std::vector<bool> lastHealthy_;
  int64_t lastStateSave_ = 0;
  uint64_t feeds_ = 0;
  std::optional<int64_t> lastFeedMs_;
  TimePoint scheduled_{};  // when the current step was due
  std::optional<uint64_t> serial_;
  bool previousRunClean_ = true;
  std::map<std::string, uint64_t> actions_;

  merlox::tools::Mutex mutex_;  // guards what other threads touch: below
  merlox::tools::Condition wake_;
  bool stopping_ = false;
  std::optional<TimePoint> pausedUntil_;
  std::string pauseReason_;
  GuardStatus published_;
  LatenessRecord lateness_;
  bool repairEnded_ = false;
  merlox::tools::Thread repair_;
};

}  // namespace merloxd
