#include "SimChannel.h"

namespace merlox::sim {

bool ValidSimulatorName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '-' && c != '_') return false;
  }
  return true;
}

bool WriteMessage(Channel& channel, uint16_t kind, const std::vector<uint8_t>& payload) {
  if (payload.size() > wire::kMaxPayload) return false;
  // One block, so that a message is never interleaved with another writer's.
  std::vector<uint8_t> message = wire::EncodeHeader(kind, static_cast<uint32_t>(payload.size()));
  message.insert(message.end(), payload.begin(), payload.end());
  return channel.Send(message.data(), message.size());
}

std::optional<wire::Message> ReadMessage(Channel& channel, std::string* problem) {
  problem->clear();
  uint8_t header[wire::kHeaderSize];
  if (!channel.Receive(header, sizeof(header))) return std::nullopt;
  wire::Message message;
  uint32_t length = 0;
  if (auto wrong = wire::CheckHeader(header, &message.kind, &length)) {
    *problem = *wrong;
    return std::nullopt;
  }
  message.payload.resize(length);
  if (length != 0 && !channel.Receive(message.payload.data(), length)) {
    *problem = "message cut short";
    return std::nullopt;
  }
  return message;
}

}  // namespace merlox::sim
