// What the guard answers on its control channel: one JSON object a line each way.
//
//   {"op":"register","name":"app","timeout_ms":10000}   an application's heartbeat
//   {"op":"ping","name":"app"}
//   {"op":"unregister","name":"app"}
//   {"op":"status"}                                     how the guard stands
//   {"op":"pause","duration_ms":600000,"reason":"..."}  feed regardless of the checks
//   {"op":"resume"}
//
// Every answer is {"ok":true,...} or {"ok":false,"error":"why"}. A line that is not
// such an object, or is too long, is answered with an error like any other mistake:
// nothing a client sends can stop the engine.
#pragma once

#include <cstddef>
#include <string>

namespace merloxd {

class Engine;

// What a connection may do. Applications only send heartbeats and read; pausing the
// guard is for administrators.
enum class ControlAccess { kHeartbeats, kFull };

constexpr size_t kMaximumControlLine = 4096;
constexpr size_t kMaximumReasonLength = 200;

class ControlProtocol {
 public:
  explicit ControlProtocol(Engine& engine) : engine_(engine) {}

  // The answer to one line (without its newline), itself without a newline.
  std::string Answer(const std::string& line, ControlAccess access);

 private:
  Engine& engine_;
};

}  // namespace merloxd
