#include "SimRemoteClient.h"

#include <chrono>
#include <random>

#include "platform/Win32.h"

namespace merlox::sim {
namespace {

// Idle connections kept for later requests; more are closed after use.
constexpr size_t kKeptIdle = 8;

uint64_t NewSessionId() {
  std::random_device random;
  const auto now =
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return (static_cast<uint64_t>(random()) << 32 ^ random()) ^ now;
}

}  // namespace

RemoteClient::RemoteClient() : session_(NewSessionId()) {}

RemoteClient::~RemoteClient() { Disconnect(); }

uint32_t RemoteClient::Connect(const std::string& name) {
  Disconnect();
  {
    SimLock lock(mutex_);
    name_ = name;
  }
  uint32_t error = 0;
  std::unique_ptr<Channel> lifeline = Open(true, &error);
  if (!lifeline) return error;
  SimLock lock(mutex_);
  lifeline_ = std::move(lifeline);
  return 0;
}

void RemoteClient::Disconnect() {
  std::unique_ptr<Channel> lifeline;
  std::vector<std::unique_ptr<Channel>> idle;
  {
    SimLock lock(mutex_);
    lifeline = std::move(lifeline_);
    idle.swap(idle_);
  }
}

bool RemoteClient::Connected() const {
  SimLock lock(mutex_);
  return lifeline_ != nullptr;
}

std::string RemoteClient::Name() const {
  SimLock lock(mutex_);
  return name_;
}

std::unique_ptr<Channel> RemoteClient::Open(bool lifeline, uint32_t* error) {
  std::unique_ptr<Channel> channel = ConnectToSimulator(Name(), error);
  if (!channel) return nullptr;
  wire::Writer hello;
  hello.U64(session_).U8(lifeline ? 1 : 0);
  const auto kind = static_cast<uint16_t>(wire::Kind::kHello);
  std::string problem;
  std::optional<wire::Message> reply;
  if (WriteMessage(*channel, kind, hello.payload())) reply = ReadMessage(*channel, &problem);
  if (!reply || reply->kind != (kind | wire::kReplyBit)) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  return channel;
}

std::unique_ptr<Channel> RemoteClient::Take() {
  {
    SimLock lock(mutex_);
    if (lifeline_ == nullptr) return nullptr;
    if (!idle_.empty()) {
      std::unique_ptr<Channel> channel = std::move(idle_.back());
      idle_.pop_back();
      return channel;
    }
  }
  uint32_t error = 0;
  return Open(false, &error);
}

void RemoteClient::Give(std::unique_ptr<Channel> channel) {
  SimLock lock(mutex_);
  if (lifeline_ != nullptr && idle_.size() < kKeptIdle) idle_.push_back(std::move(channel));
}

std::optional<std::vector<uint8_t>> RemoteClient::Call(wire::Kind kind,
                                                       const std::vector<uint8_t>& payload) {
  std::unique_ptr<Channel> channel = Take();
  if (!channel) return std::nullopt;
  const auto code = static_cast<uint16_t>(kind);
  if (!WriteMessage(*channel, code, payload)) return std::nullopt;
  std::string problem;
  std::optional<wire::Message> reply = ReadMessage(*channel, &problem);
  if (!reply || reply->kind != (code | wire::kReplyBit)) return std::nullopt;
  Give(std::move(channel));
  return std::move(reply->payload);
}

}  // namespace merlox::sim
