#include "ControlProtocol.h"

#include <nlohmann/json.hpp>
#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "Engine.h"

namespace merloxd {
namespace {

constexpr Milliseconds kShortestPause{1000};
constexpr Milliseconds kLongestPause{24LL * 3600 * 1000};

// A request that cannot be served, with the answer's reason.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const nlohmann::json& Field(const nlohmann::json& request, const char* name) {
  const auto found = request.find(name);
  if (found == request.end()) throw Refusal(std::string("\"") + name + "\" is missing");
  return *found;
}

std::string Text(const nlohmann::json& request, const char* name, size_t longest) {
  const nlohmann::json& value = Field(request, name);
  if (!value.is_string()) throw Refusal(std::string("\"") + name + "\" must be a string");
  const std::string text = value.get<std::string>();
  if (text.size() > longest) {
    throw Refusal(std::string("\"") + name + "\" is longer than " + std::to_string(longest) +
                  " characters");
  }
  return text;
}

Milliseconds Duration(const nlohmann::json& request, const char* name) {
  const nlohmann::json& value = Field(request, name);
  if (!value.is_number_integer()) {
    throw Refusal(std::string("\"") + name + "\" must be a whole number of milliseconds");
  }
  // Whatever its size, it is compared in range before it is used.
  if (value.is_number_unsigned()) {
    const uint64_t unsigned_value = value.get<uint64_t>();
    return Milliseconds(static_cast<int64_t>(std::min<uint64_t>(unsigned_value, INT64_MAX)));
  }
  return Milliseconds(value.get<int64_t>());
}

void RequireFull(ControlAccess access, const std::string& op) {
  if (access != ControlAccess::kFull) {
    throw Refusal("\"" + op +
                  "\" is for administrators; this connection may send heartbeats "
                  "and read the status only");
  }
}

// "ok" comes first, so that a client as small as a C header can tell at a glance.
const std::string kSuccess = "{\"ok\":true}";

// Replaces what is not UTF-8 (a path in a check's detail) instead of throwing.
std::string Dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void RefuseIfAny(const std::string& problem) {
  if (!problem.empty()) throw Refusal(problem);
}

}  // namespace

std::string ControlProtocol::Answer(const std::string& line, ControlAccess access) {
  try {
    if (line.size() > kMaximumControlLine) {
      throw Refusal("the message is longer than " + std::to_string(kMaximumControlLine) + " bytes");
    }
    const nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
    if (request.is_discarded() || !request.is_object()) {
      throw Refusal("a message is one JSON object on one line");
    }
    const std::string op = Text(request, "op", 32);
    const auto now = Heartbeats::Clock::now();
    Heartbeats& heartbeats = engine_.heartbeats();
    if (op == "register") {
      RefuseIfAny(
          heartbeats.Register(Text(request, "name", 64), Duration(request, "timeout_ms"), now));
    } else if (op == "ping") {
      RefuseIfAny(heartbeats.Ping(Text(request, "name", 64), now));
    } else if (op == "unregister") {
      RefuseIfAny(heartbeats.Unregister(Text(request, "name", 64)));
    } else if (op == "status") {
      return "{\"ok\":true,\"status\":" + Dump(StatusJson(engine_.Status())) + "}";
    } else if (op == "pause") {
      RequireFull(access, op);
      const Milliseconds duration = Duration(request, "duration_ms");
      if (duration < kShortestPause || duration > kLongestPause) {
        throw Refusal("a pause lasts " + DescribeDuration(kShortestPause) + " to " +
                      DescribeDuration(kLongestPause));
      }
      const std::string reason =
          request.contains("reason") ? Text(request, "reason", kMaximumReasonLength) : "";
      engine_.Pause(duration, reason.empty() ? "no reason given" : reason);
    } else if (op == "resume") {
      RequireFull(access, op);
      engine_.Resume();
    } else {
      throw Refusal("unknown op \"" + op +
                    "\": one of register, ping, unregister, status, pause, resume");
    }
    return kSuccess;
  } catch (const Refusal& refusal) {
    return "{\"ok\":false,\"error\":" + Dump(refusal.what()) + "}";
  } catch (const std::exception& error) {
    return "{\"ok\":false,\"error\":" + Dump(std::string("not served: ") + error.what()) + "}";
  }
}

}  // namespace merloxd
