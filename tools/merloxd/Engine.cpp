#include "Engine.h"

#include <filesystem>
#include <mutex>
#include <set>
#include <ostream>

#include "merlox.h"
#include "platform/Probes.h"

namespace merloxd {
namespace {

constexpr uint64_t kJournalBytes = 1024 * 1024;
// The state file's last feed need not be to the second: writing it every interval
// would wear a disk for nothing.
constexpr int64_t kStateSaveSeconds = 60;
// Runs that ended badly are kept this long for the record when no boot-loop rule
// asks for a window of its own.
constexpr Milliseconds kBadRunHistory(30LL * 24 * 3600 * 1000);

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kFeed:
      return "feed";
    case Verdict::kRepair:
      return "repair";
    case Verdict::kAct:
      break;
  }
  return "act";
}

std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%016llX", static_cast<unsigned long long>(value));
  return text;
}

std::set<std::string> HeartbeatNames(const GuardConfig& config) {
  std::set<std::string> names;
  for (const CheckSettings& check : config.checks) {
    if (std::holds_alternative<HeartbeatCheck>(check.kind)) names.insert(check.name);
  }
  return names;
}

}  // namespace

Engine::Engine(GuardConfig config, std::string stateDir, std::ostream& log)
    : config_(std::move(config)),
      stateDir_(std::move(stateDir)),
      log_(log),
      heartbeats_(HeartbeatNames(config_)) {
  // What a status asked for before the first step shows.
  published_.card = CardText();
  published_.dryRun = config_.watchdog.dryRun;
  published_.timeout = config_.watchdog.timeout;
  for (const CheckSettings& check : config_.checks) {
    published_.checks.push_back({check.name, check.type, true, {}, 0, "not checked yet"});
  }
}

Engine::~Engine() {
  if (runner_) runner_->Stop();
  repair_.Join();
}

void Engine::Stop() {
  {
    std::lock_guard<merlox::tools::Mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.NotifyAll();
}

void Engine::Pause(Milliseconds duration, const std::string& reason) {
  {
    std::lock_guard<merlox::tools::Mutex> lock(mutex_);
    pausedUntil_ = Clock::now() + duration;
    pauseReason_ = reason;
  }
  Record("paused", {{"duration_ms", duration.count()}, {"reason", reason}},
         "paused for " + DescribeDuration(duration) + ": " + reason);
}

void Engine::Resume() {
  {
    std::lock_guard<merlox::tools::Mutex> lock(mutex_);
    pausedUntil_.reset();
  }
  Record("resumed", {}, "resumed");
}

GuardStatus Engine::Status() {
  GuardStatus status;
  LatenessRecord lateness;
  {
    std::lock_guard<merlox::tools::Mutex> lock(mutex_);
    status = published_;
    lateness = lateness_;  // summed up below, not under the lock the feeding takes
    status.paused = pausedUntil_.has_value();
    if (pausedUntil_) {
      status.pausedUntil =
          UnixMillisecondsNow() +
          std::chrono::duration_cast<Milliseconds>(*pausedUntil_ - Clock::now()).count();
      status.pauseReason = pauseReason_;
    }
  }
  status.lateness = lateness.Summary();
  return status;
}

void Engine::Publish(TimePoint now, const std::vector<CheckReport>& reports) {
  GuardStatus status;
  status.card = CardText();
  status.cardNumber = card_;
  status.serial = serial_;
  status.armed = armed_;
  status.dryRun = config_.watchdog.dryRun;
  status.timeout = config_.watchdog.timeout;
  status.feeds = feeds_;
  status.lastFeed = lastFeedMs_;
  status.safeMode = safeMode_;
  status.previousRunClean = previousRunClean_;
  status.decision = lastWhy_;
  status.actions = actions_;
  const int64_t wallNow = UnixMillisecondsNow();
  for (size_t i = 0; i < reports.size(); ++i) {
    const CheckReport& report = reports[i];
    CheckStatus check{report.state.name, config_.checks[i].type, report.state.healthy, {},
                      report.failures,   report.detail};
    if (!check.healthy) {
      check.failingSince =
          wallNow -
          std::chrono::duration_cast<Milliseconds>(now - report.state.failingSince).count();
    }
    status.checks.push_back(std::move(check));
  }
  std::lock_guard<merlox::tools::Mutex> lock(mutex_);
  published_ = std::move(status);
}

std::string Engine::CardText() const {
  const CardName& card = config_.watchdog.card;
  return card.serial ? "the card with serial number " + Hex(*card.serial)
                     : "card " + std::to_string(card.number);
}

void Engine::Record(const std::string& event, nlohmann::json fields, const std::string& text) {
  std::lock_guard<merlox::tools::Mutex> lock(mutex_);
  const std::string time = IsoTime(UnixNow());
  log_ << time << " " << text << std::endl;
  if (!journal_) return;
  nlohmann::json entry = {{"time", time}, {"event", event}};
  if (fields.is_object()) entry.update(fields);
  const std::string failed = journal_->Append(entry);
  if (!failed.empty()) log_ << time << " the journal cannot be written: " << failed << std::endl;
}

void Engine::SaveStateNow() {
  const std::string failed = SaveState(stateDir_ + "/state.json", state_);
  if (!failed.empty()) Record("state_not_saved", {{"problem", failed}}, "state file: " + failed);
  lastStateSave_ = UnixNow();
}

bool Engine::Begin() {
  std::error_code error;
  std::filesystem::create_directories(stateDir_, error);
  if (error || !std::filesystem::is_directory(stateDir_)) {
    log_ << "merloxd: the state directory " << stateDir_ << " cannot be made: " << error.message()
         << std::endl;
    return false;
  }
  journal_ = std::make_unique<Journal>(stateDir_ + "/journal.jsonl", kJournalBytes);
  const LoadedState previous = LoadState(stateDir_ + "/state.json");
  if (!previous.problem.empty()) {
    Record("state_file_replaced", {{"problem", previous.problem}},
           "the state file is replaced: " + previous.problem);
  }
  previousRunClean_ =
      !previous.state || (previous.state->cleanStop && !previous.state->acted.has_value());
  Record("started", {{"previous_run", DescribePreviousRun(previous.state)}},
         "started; " + DescribePreviousRun(previous.state));
  const int64_t now = UnixNow();
  const auto& bootLoop = config_.bootLoop;
  state_.badRuns = BadRunsWithin(previous.state, now, bootLoop ? bootLoop->window : kBadRunHistory);
  if (bootLoop && state_.badRuns.size() >= bootLoop->maxGuardBoots) {
    safeMode_ = true;
    Record("safe_mode", {{"bad_runs", state_.badRuns.size()}},
           "SAFE MODE: " + std::to_string(state_.badRuns.size()) +
               " runs in a row ended with the guard acting or without a clean stop; feeding "
               "whatever the checks say and acting on nothing");
  }
  state_.started = now;
  SaveStateNow();

  std::vector<CheckRunner::Entry> entries;
  for (const CheckSettings& settings : config_.checks) {
    auto check = MakeCheck(
        settings, [this](const CardName& card) { return Locate(card); }, &heartbeats_);
    entries.push_back({settings, std::move(check)});
  }
  runner_ = std::make_unique<CheckRunner>(std::move(entries));
  const std::optional<unsigned> repairs =
      config_.repair ? std::optional<unsigned>(config_.repair->maximum) : std::nullopt;
  policy_ = std::make_unique<GuardPolicy>(
      PolicySettings{Clock::now(), config_.watchdog.startupGrace, repairs});
  return true;
}

int32_t Engine::Locate(const CardName& card) {
  if (card.serial) return GetCardBySerialNumber(*card.serial);
  uint32_t pid = 0;
  return QueryCardID(card.number, &pid) == MERLOX_STATUS_SUCCESS ? card.number : -1;
}

bool Engine::HaveCard() {
  if (card_ >= 0) return true;
  // A card plugged in again comes back at a new number: look for it anew.
  GetNumCards();
  card_ = Locate(config_.watchdog.card);
  if (card_ < 0) {
    if (lastWhy_ != "no card") {
      lastWhy_ = "no card";
      Record("card_missing", {}, CardText() + " is not there; looking for it every interval");
    }
    return false;
  }
  uint64_t serial = 0;
  serial_ = QueryCardSerialNumber(card_, &serial) == MERLOX_STATUS_SUCCESS
                ? std::optional<uint64_t>(serial)
                : std::nullopt;
  Record("card_found", {{"card", card_}}, CardText() + " found as card " + std::to_string(card_));
  return true;
}

void Engine::Arm() {
  if (config_.watchdog.dryRun || armed_ || policy_->acted()) return;
  double timeout = static_cast<double>(config_.watchdog.timeout.count());
  uint32_t status = WDG_SetTimeout(card_, &timeout);
  if (status == MERLOX_STATUS_SUCCESS) status = WDG_Start(card_);
  if (status != MERLOX_STATUS_SUCCESS) {
    Record("card_lost", {{"status", status}},
           "arming " + CardText() + " failed: " + MERLOX_StatusText(status));
    card_ = -1;
    return;
  }
  armed_ = true;
  state_.armed = true;
  SaveStateNow();
  Record("armed", {{"card", card_}, {"timeout_ms", config_.watchdog.timeout.count()}},
         "armed card " + std::to_string(card_) + " with a timeout of " +
             DescribeDuration(config_.watchdog.timeout));
}

void Engine::Feed() {
  if (config_.watchdog.dryRun) return;
  const uint32_t status = WDG_Pet(card_);
  if (status != MERLOX_STATUS_SUCCESS) {
    Record("card_lost", {{"status", status}},
           CardText() + " did not take the feed: " + MERLOX_StatusText(status) +
               "; looking for it every interval");
    // Frees its number for the card when it comes back.
    MERLOX_CloseCard(card_);
    card_ = -1;
    armed_ = false;
    return;
  }
  ++feeds_;
  lastFeedMs_ = UnixMillisecondsNow();
  const double late = std::chrono::duration<double, std::milli>(Clock::now() - scheduled_).count();
  {
    std::lock_guard<merlox::tools::Mutex> lock(mutex_);
    lateness_.Add(late);
  }
  state_.lastFeed = UnixNow();
  if (*state_.lastFeed - lastStateSave_ >= kStateSaveSeconds) SaveStateNow();
}

void Engine::StartRepair(const Decision& decision) {
  repair_.Join();
  ++actions_["repair"];
  Record("repair", {{"check", decision.check.value_or("")}, {"command", config_.repair->command}},
         "repair: " + decision.why + ": running " + config_.repair->command);
  const RepairSettings repair = *config_.repair;
  repair_.Start([this, repair] {
    RestoreThreadPriority();
    const CommandOutcome outcome = RunCommand(repair.command, repair.timeout);
    const std::string result = !outcome.failure.empty() ? outcome.failure
                               : outcome.finished
                                   ? "exit code " + std::to_string(outcome.exitCode)
                                   : "killed after " + DescribeDuration(repair.timeout);
    Record("repair_ended", {{"result", result}}, "repair ended: " + result);
    std::lock_guard<merlox::tools::Mutex> lock(mutex_);
    repairEnded_ = true;
  });
}

void Engine::Act(const Decision& decision) {
  const bool reboot = config_.watchdog.onFailure == FailureAction::kReboot;
  if (config_.watchdog.dryRun) {
    Record("would_act", {{"why", decision.why}, {"action", reboot ? "reboot" : "reset"}},
           "dry run: would " + std::string(reboot ? "restart Windows" : "stop feeding") + ": " +
               decision.why);
    return;
  }
  state_.acted = decision.why;
  ++actions_[reboot ? "reboot" : "reset"];
  SaveStateNow();
  if (!reboot) {
    Record("acted", {{"why", decision.why}, {"action", "reset"}},
           "acting: " + decision.why + "; feeding stopped, the card resets the host within " +
               DescribeDuration(config_.watchdog.timeout));
    return;
  }
  // In case the restart hangs, the card ends it at the backstop.
  double backstop = static_cast<double>(config_.watchdog.rebootBackstop.count());
  const uint32_t armed =
      card_ >= 0 ? WDG_SetTimeout(card_, &backstop) : MERLOX_STATUS_FILE_NOT_FOUND;
  const uint32_t restart = WDG_EmergencyReboot();
  Record("acted",
         {{"why", decision.why},
          {"action", "reboot"},
          {"backstop_status", armed},
          {"restart_status", restart}},
         "acting: " + decision.why + "; restart requested (status " + std::to_string(restart) +
             "), watchdog armed at " + DescribeDuration(config_.watchdog.rebootBackstop) +
             " in case it hangs; feeding stopped");
}

void Engine::ReportChecks(const std::vector<CheckReport>& reports) {
  lastHealthy_.resize(reports.size(), true);
  for (size_t i = 0; i < reports.size(); ++i) {
    const CheckReport& report = reports[i];
    if (report.state.healthy == lastHealthy_[i]) continue;
    lastHealthy_[i] = report.state.healthy;
    Record(report.state.healthy ? "check_recovered" : "check_failing",
           {{"check", report.state.name}, {"detail", report.detail}},
           "check " + report.state.name +
               (report.state.healthy ? " healthy again: " : " failing: ") + report.detail);
  }
}

void Engine::Decide(TimePoint now, const std::vector<CheckReport>& reports) {
  std::vector<CheckState> states;
  for (const CheckReport& report : reports) states.push_back(report.state);
  bool paused = false;
  bool repairEnded = false;
  bool pauseOver = false;
  {
    std::lock_guard<merlox::tools::Mutex> lock(mutex_);
    if (pausedUntil_ && now >= *pausedUntil_) {
      pausedUntil_.reset();
      pauseOver = true;
    }
    paused = pausedUntil_.has_value();
    repairEnded = repairEnded_;
    repairEnded_ = false;
  }
  if (pauseOver) Record("resumed", {}, "the pause is over");
  if (repairEnded) policy_->RepairEnded(now);
  const bool actedBefore = policy_->acted();
  const Decision decision = policy_->Decide(now, states, paused, safeMode_);
  if (decision.why != lastWhy_) {
    lastWhy_ = decision.why;
    Record("decision", {{"verdict", VerdictName(decision.verdict)}, {"why", decision.why}},
           std::string(VerdictName(decision.verdict)) + ": " + decision.why);
  }
  switch (decision.verdict) {
    case Verdict::kRepair:
      StartRepair(decision);
      Feed();
      break;
    case Verdict::kAct:
      if (!actedBefore) Act(decision);
      break;
    case Verdict::kFeed:
      Feed();
      break;
  }
}

void Engine::Step(TimePoint now) {
  const std::vector<CheckReport> reports = runner_->Reports(now);
  ReportChecks(reports);
  if (HaveCard()) {
    Arm();
    if (card_ >= 0) Decide(now, reports);
  }
  Publish(now, reports);
}

void Engine::End() {
  runner_->Stop();
  repair_.Join();
  const bool acted = state_.acted.has_value();
  if (armed_ && !acted && card_ >= 0 && config_.watchdog.stopDisarms) {
    const uint32_t status = WDG_Stop(card_);
    armed_ = status != MERLOX_STATUS_SUCCESS;
  }
  state_.armed = armed_;
  state_.cleanStop = true;
  SaveStateNow();
  Record("stopped", {{"armed", armed_}},
         std::string("stopped cleanly; ") +
             (armed_ ? "the watchdog stays armed: the card resets the host unless it is fed"
                     : "the watchdog is disarmed"));
}

int Engine::Run() {
  if (!Begin()) return 1;
  runner_->Start();
  // The checks' threads started before: they keep the ordinary priority.
  const std::string priority = RaiseThreadPriority();
  if (!priority.empty()) Record("priority", {{"problem", priority}}, priority);
  TimePoint next = Clock::now();
  std::unique_lock<merlox::tools::Mutex> lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    scheduled_ = next;
    Step(Clock::now());
    lock.lock();
    next += config_.watchdog.interval;
    // After a stall the beat starts again from now rather than feeding in a burst.
    if (next < Clock::now()) next = Clock::now() + config_.watchdog.interval;
    while (!stopping_ && Clock::now() < next) {
      wake_.WaitFor(
          mutex_, std::chrono::duration_cast<Milliseconds>(next - Clock::now()) + Milliseconds(1));
    }
  }
  lock.unlock();
  End();
  return 0;
}

}  // namespace merloxd
