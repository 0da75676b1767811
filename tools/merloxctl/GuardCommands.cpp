// merloxctl guard and notify: a client of merloxd's control channel, through the same
// header applications use (merloxd_client.h). The guard checks every value itself;
// merloxctl passes on what it says.
#include <vector>

#include "Commands.h"
#include "Values.h"
#include "merloxd_client.h"

namespace merloxctl {
namespace {

// A status lists every check with its last result: ample room.
constexpr size_t kLongestAnswer = 256 * 1024;

// Sends one request; kExitOk with the guard's answer, or the failure's exit code.
int Ask(Output& out, const std::string& address, const std::string& operation, const Json& request,
        Json* answer) {
  merloxd_client client;
  if (merloxd_connect(&client, address.empty() ? nullptr : address.c_str()) != MERLOXD_OK) {
    return out.Problem(operation, client.error);
  }
  std::vector<char> buffer(kLongestAnswer);
  const int code = merloxd_request(&client, request.dump().c_str(), buffer.data(), buffer.size());
  merloxd_close(&client);
  if (code != MERLOXD_OK) return out.Problem(operation, client.error);
  *answer = Json::parse(buffer.data(), nullptr, false);
  if (answer->is_discarded()) return out.Problem(operation, "merloxd's answer is not JSON");
  return kExitOk;
}

std::string TextOf(const Json& value) {
  return value.is_string() ? value.get<std::string>() : value.is_null() ? "never" : value.dump();
}

std::string CheckLine(const Json& check) {
  const bool healthy = check.value("healthy", false);
  std::string line = "  " + TextOf(check["name"]) + " (" + TextOf(check["type"]) + "): ";
  line += healthy ? "healthy" : "FAILING since " + TextOf(check["failing_since"]);
  line += ": " + TextOf(check["detail"]);
  const uint64_t failures = check.value("failures", uint64_t{0});
  if (failures > 0) line += " (" + std::to_string(failures) + " failed results)";
  return line + "\n";
}

std::string StatusText(const Json& status) {
  std::string text = "guard: " + TextOf(status["card"]);
  const int64_t number = status.value("card_number", int64_t{-1});
  text += number >= 0 ? " (card " + std::to_string(number) + ")" : " (not there)";
  text += status.value("dry_run", false) ? ", dry run: never armed"
          : status.value("armed", false) ? ", armed"
                                         : ", not armed";
  text += ", timeout " + DescribeSeconds(status.value("timeout_ms", 0.0) / 1000.0) + "\n";
  text += "fed " + std::to_string(status.value("feeds", uint64_t{0})) + " times, last " +
          TextOf(status["last_feed"]) + "\n";
  text += "decision: " + TextOf(status["decision"]) + "\n";
  if (status.value("paused", false)) {
    text += "PAUSED until " + TextOf(status["paused_until"]) + ": " +
            TextOf(status["pause_reason"]) + "\n";
  }
  if (status.value("safe_mode", false)) {
    text += "SAFE MODE: runs kept ending badly; feeding regardless, acting on nothing\n";
  }
  if (!status.value("previous_run_clean", true)) text += "the previous run did not stop cleanly\n";
  for (const auto& [action, count] : status["actions"].items()) {
    const uint64_t times = count.get<uint64_t>();
    text += "acted: " + action +
            (times == 1 ? " (once)" : " (" + std::to_string(times) + " times)") + "\n";
  }
  text += "checks:\n";
  for (const Json& check : status["checks"]) text += CheckLine(check);
  return text;
}

}  // namespace

int GuardStatus(Output& out, const std::string& address) {
  Json answer;
  const int code = Ask(out, address, "guard status", {{"op", "status"}}, &answer);
  if (code != kExitOk) return code;
  out.Result(answer["status"], StatusText(answer["status"]));
  return kExitOk;
}

int GuardPause(Output& out, const std::string& address, double milliseconds,
               const std::string& reason) {
  Json answer;
  Json request = {{"op", "pause"}, {"duration_ms", static_cast<int64_t>(milliseconds)}};
  if (!reason.empty()) request["reason"] = reason;
  const int code = Ask(out, address, "guard pause", request, &answer);
  if (code != kExitOk) return code;
  out.Result({{"paused", true}, {"duration_ms", static_cast<int64_t>(milliseconds)}},
             "guard paused for " + DescribeSeconds(milliseconds / 1000.0) +
                 ": it feeds the watchdog whatever the checks say until then\n");
  return kExitOk;
}

int GuardResume(Output& out, const std::string& address) {
  Json answer;
  const int code = Ask(out, address, "guard resume", {{"op", "resume"}}, &answer);
  if (code != kExitOk) return code;
  out.Result({{"paused", false}}, "guard resumed: the checks count again\n");
  return kExitOk;
}

int Notify(Output& out, const std::string& address, const std::string& name,
           std::optional<double> timeoutMilliseconds) {
  Json answer;
  if (timeoutMilliseconds) {
    const Json request = {{"op", "register"},
                          {"name", name},
                          {"timeout_ms", static_cast<int64_t>(*timeoutMilliseconds)}};
    const int code = Ask(out, address, "notify", request, &answer);
    if (code != kExitOk) return code;
  }
  const int code = Ask(out, address, "notify", {{"op", "ping"}, {"name", name}}, &answer);
  if (code != kExitOk) return code;
  out.Result({{"heartbeat", name}, {"pinged", true}},
             "heartbeat " + name + ": pinged" +
                 (timeoutMilliseconds ? " (registered with a timeout of " +
                                            DescribeSeconds(*timeoutMilliseconds / 1000.0) + ")"
                                      : "") +
                 "\n");
  return kExitOk;
}

}  // namespace merloxctl
