// What the guard leaves behind in its state directory, so that after a restart
// anyone can tell how the last run ended: a small state file, replaced whole on
// every write so that a crash never leaves half of one, and a journal of decisions
// as JSON lines whose size is bounded. Neither is ever a reason not to guard: a
// state file that cannot be read or written is reported and the guard goes on.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Units.h"

namespace merloxd {

// Wall-clock times are seconds since 1970 (UTC): they must mean the same after a
// restart, which a steady clock's do not.
struct GuardState {
  bool armed = false;
  std::optional<int64_t> lastFeed;
  std::optional<std::string> acted;  // why the guard acted, when it did
  bool cleanStop = false;
  int64_t started = 0;  // when the run began
  // When earlier runs began that ended badly: the guard acted, or it was armed and
  // never stopped cleanly. The boot-loop rule counts them.
  std::vector<int64_t> badRuns;
};

struct LoadedState {
  std::optional<GuardState> state;  // none: no file (the first run), or a bad one
  std::string problem;              // why the file could not be used, when it could not
};

LoadedState LoadState(const std::string& path);
// Writes the file whole under another name and puts it in place; "" or what failed.
std::string SaveState(const std::string& path, const GuardState& state);

// Writes text whole to PATH.new and puts it in place of path, so that a reader sees
// the old file or the new one, never half of one; "" or what failed.
std::string ReplaceFile(const std::string& path, const std::string& text);

// How the previous run ended, in a sentence for the log.
std::string DescribePreviousRun(const std::optional<GuardState>& previous);

// The runs that ended badly within the window before now, the previous run
// included when it ended badly; for the next state file.
std::vector<int64_t> BadRunsWithin(const std::optional<GuardState>& previous, int64_t now,
                                   Milliseconds window);

// The decisions, one JSON object a line. When the file would grow past maxBytes it
// becomes FILE.1 (replacing the one before), so at most twice that is kept.
class Journal {
 public:
  Journal(std::string path, uint64_t maxBytes) : path_(std::move(path)), maxBytes_(maxBytes) {}
  // "" or what failed; the journal stays usable after a failure.
  std::string Append(const nlohmann::json& entry);

 private:
  std::string path_;
  uint64_t maxBytes_;
};

// Seconds since 1970, now.
int64_t UnixNow();
// 2026-12-11T12:00:00Z
std::string IsoTime(int64_t unixSeconds);

}  // namespace merloxd
