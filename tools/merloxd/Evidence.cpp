#include "Evidence.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Probes.h"

namespace merloxd {
namespace {

using Json = nlohmann::json;

// A state file is a few hundred bytes: anything far larger is not one.
constexpr uint64_t kLargestStateFile = 64 * 1024;

Json ToJson(const GuardState& state) {
  Json json = {{"armed", state.armed},     {"clean_stop", state.cleanStop},
               {"started", state.started}, {"bad_runs", state.badRuns},
               {"last_feed", nullptr},     {"acted", nullptr}};
  if (state.lastFeed) json["last_feed"] = *state.lastFeed;
  if (state.acted) json["acted"] = *state.acted;
  return json;
}

GuardState FromJson(const Json& json) {
  GuardState state;
  state.armed = json.at("armed").get<bool>();
  state.cleanStop = json.at("clean_stop").get<bool>();
  state.started = json.at("started").get<int64_t>();
  state.badRuns = json.at("bad_runs").get<std::vector<int64_t>>();
  if (!json.at("last_feed").is_null()) state.lastFeed = json.at("last_feed").get<int64_t>();
  if (!json.at("acted").is_null()) state.acted = json.at("acted").get<std::string>();
  return state;
}

bool EndedBadly(const GuardState& state) {
  return state.acted.has_value() || (state.armed && !state.cleanStop);
}

std::string WriteWhole(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.flush();
  return file ? "" : path + ": cannot be written";
}

}  // namespace

std::string ReplaceFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  const std::string written = WriteWhole(temporary, text);
  if (!written.empty()) return written;
  return MoveIntoPlace(temporary, path);
}

LoadedState LoadState(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return {};
  const auto size = std::filesystem::file_size(path, error);
  if (error || size > kLargestStateFile) return {std::nullopt, path + ": not a state file"};
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  if (!file) return {std::nullopt, path + ": cannot be read"};
  try {
    return {FromJson(Json::parse(text.str())), ""};
  } catch (const Json::exception& bad) {
    return {std::nullopt, path + ": corrupt (" + std::string(bad.what()) + ")"};
  }
}

std::string SaveState(const std::string& path, const GuardState& state) {
  return ReplaceFile(path, ToJson(state).dump() + "\n");
}

std::string DescribePreviousRun(const std::optional<GuardState>& previous) {
  if (!previous) return "no earlier run on record";
  const std::string began = "the run that began " + IsoTime(previous->started);
  if (previous->acted) return began + " ended with the guard acting: " + *previous->acted;
  if (previous->cleanStop) return began + " stopped cleanly";
  if (previous->armed) {
    return began + " ended with the card armed and no clean stop" +
           (previous->lastFeed ? " (last feed " + IsoTime(*previous->lastFeed) + ")" : "");
  }
  return began + " ended without a clean stop, the card not armed";
}

std::vector<int64_t> BadRunsWithin(const std::optional<GuardState>& previous, int64_t now,
                                   Milliseconds window) {
  std::vector<int64_t> runs;
  if (!previous) return runs;
  const int64_t since = now - std::chrono::duration_cast<std::chrono::seconds>(window).count();
  for (const int64_t run : previous->badRuns) {
    if (run >= since) runs.push_back(run);
  }
  if (EndedBadly(*previous) && previous->started >= since) runs.push_back(previous->started);
  return runs;
}

std::string Journal::Append(const nlohmann::json& entry) {
  const std::string line = entry.dump() + "\n";
  std::error_code error;
  const uint64_t size =
      std::filesystem::exists(path_, error) ? std::filesystem::file_size(path_, error) : 0;
  if (!error && size > 0 && size + line.size() > maxBytes_) {
    const std::string moved = MoveIntoPlace(path_, path_ + ".1");
    if (!moved.empty()) return moved;
  }
  std::ofstream file(path_, std::ios::binary | std::ios::app);
  file << line;
  file.flush();
  return file ? "" : path_ + ": cannot be written";
}

int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string IsoTime(int64_t unixSeconds) {
  const std::time_t seconds = static_cast<std::time_t>(unixSeconds);
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

}  // namespace merloxd
