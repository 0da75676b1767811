#include "GuardPolicy.h"

namespace merloxd {

TimePoint GuardPolicy::Counted(const CheckState& check) const {
  const TimePoint startupOver = settings_.start + settings_.startupGrace;
  return check.failingSince < startupOver ? startupOver : check.failingSince;
}

const CheckState* GuardPolicy::PastGrace(TimePoint now,
                                         const std::vector<CheckState>& checks) const {
  const CheckState* culprit = nullptr;
  for (const CheckState& check : checks) {
    if (check.healthy || now < Counted(check) + check.grace) continue;
    if (culprit == nullptr || check.failingSince < culprit->failingSince) culprit = &check;
  }
  return culprit;
}

const CheckState* GuardPolicy::LongestFailing(const std::vector<CheckState>& checks) const {
  const CheckState* longest = nullptr;
  for (const CheckState& check : checks) {
    if (check.healthy) continue;
    if (longest == nullptr || check.failingSince < longest->failingSince) longest = &check;
  }
  return longest;
}

bool GuardPolicy::AllAnsweredSince(TimePoint when, const std::vector<CheckState>& checks) const {
  for (const CheckState& check : checks) {
    if (check.lastResult < when) return false;
  }
  return true;
}

void GuardPolicy::RepairEnded(TimePoint when) {
  if (phase_ != Phase::kRepairing) return;
  phase_ = Phase::kRechecking;
  repairEnded_ = when;
}

// A check has failed past its grace: repair while repairs are left, then act.
Decision GuardPolicy::Failing(const CheckState& culprit) {
  Decision decision;
  decision.check = culprit.name;
  decision.since = culprit.failingSince;
  if (settings_.repairMaximum && repairs_ < *settings_.repairMaximum) {
    ++repairs_;
    phase_ = Phase::kRepairing;
    decision.verdict = Verdict::kRepair;
    decision.why = culprit.name + " failing past its grace: repair " + std::to_string(repairs_) +
                   " of " + std::to_string(*settings_.repairMaximum);
    return decision;
  }
  phase_ = Phase::kActed;
  decision.verdict = Verdict::kAct;
  decision.why = culprit.name + " failing past its grace" +
                 (settings_.repairMaximum ? " after " + std::to_string(repairs_) + " repairs" : "");
  return decision;
}

Decision GuardPolicy::Decide(TimePoint now, const std::vector<CheckState>& checks, bool paused,
                             bool safeMode) {
  Decision decision;
  if (phase_ == Phase::kActed) {
    // Once acted, the run feeds no more: the card or Windows ends it.
    decision.verdict = Verdict::kAct;
    decision.why = "acted already";
    return decision;
  }
  if (safeMode || paused) {
    decision.why = safeMode ? "safe mode: feeding whatever the checks say" : "paused";
    return decision;
  }
  if (phase_ == Phase::kRepairing) {
    decision.why = "repair running";
    return decision;
  }
  if (phase_ == Phase::kRechecking) {
    if (!AllAnsweredSince(repairEnded_, checks)) {
      decision.why = "checking again after the repair";
      return decision;
    }
    phase_ = Phase::kWatching;
  }
  if (const CheckState* culprit = PastGrace(now, checks)) return Failing(*culprit);
  // Nothing past its grace: a repair that was tried has done its work.
  repairs_ = 0;
  if (const CheckState* failing = LongestFailing(checks)) {
    decision.check = failing->name;
    decision.since = failing->failingSince;
    decision.why = failing->name + (now < settings_.start + settings_.startupGrace
                                        ? " failing, within the startup grace"
                                        : " failing, within its grace");
    return decision;
  }
  decision.why = "all healthy";
  return decision;
}

}  // namespace merloxd
