#include "SimWire.h"

#include <cstring>

namespace merlox::sim::wire {

Writer& Writer::U8(uint8_t value) {
  payload_.push_back(value);
  return *this;
}

Writer& Writer::U16(uint16_t value) {
  for (int i = 0; i < 2; ++i) payload_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return *this;
}

Writer& Writer::U32(uint32_t value) {
  for (int i = 0; i < 4; ++i) payload_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return *this;
}

Writer& Writer::U64(uint64_t value) {
  for (int i = 0; i < 8; ++i) payload_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return *this;
}

Writer& Writer::Bytes(const void* data, size_t size) {
  U32(static_cast<uint32_t>(size));
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (size != 0) payload_.insert(payload_.end(), bytes, bytes + size);
  return *this;
}

Writer& Writer::String(const std::string& text) { return Bytes(text.data(), text.size()); }

bool Reader::Take(size_t size) {
  if (failed_ || payload_.size() - offset_ < size) {
    failed_ = true;
    return false;
  }
  return true;
}

uint8_t Reader::U8() { return Take(1) ? payload_[offset_++] : 0; }

uint16_t Reader::U16() {
  if (!Take(2)) return 0;
  const uint16_t value = static_cast<uint16_t>(payload_[offset_] | (payload_[offset_ + 1] << 8));
  offset_ += 2;
  return value;
}

uint32_t Reader::U32() {
  if (!Take(4)) return 0;
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(payload_[offset_ + i]) << (8 * i);
  offset_ += 4;
  return value;
}

uint64_t Reader::U64() {
  if (!Take(8)) return 0;
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(payload_[offset_ + i]) << (8 * i);
  offset_ += 8;
  return value;
}

std::vector<uint8_t> Reader::Bytes(uint32_t limit) {
  const uint32_t size = U32();
  if (size > limit) failed_ = true;
  if (failed_ || !Take(size)) return {};
  std::vector<uint8_t> bytes(payload_.begin() + static_cast<std::ptrdiff_t>(offset_),
                             payload_.begin() + static_cast<std::ptrdiff_t>(offset_ + size));
  offset_ += size;
  return bytes;
}

std::string Reader::String(uint32_t limit) {
  const std::vector<uint8_t> bytes = Bytes(limit);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> EncodeHeader(uint16_t kind, uint32_t length) {
  Writer header;
  header.U32(kMagic).U16(kVersion).U16(kind).U32(length);
  return header.payload();
}

std::optional<std::string> CheckHeader(const uint8_t* header, uint16_t* kind, uint32_t* length) {
  const std::vector<uint8_t> bytes(header, header + kHeaderSize);
  Reader reader(bytes);
  const uint32_t magic = reader.U32();
  const uint16_t version = reader.U16();
  *kind = reader.U16();
  *length = reader.U32();
  if (magic != kMagic) return std::string("not a simulator message (bad magic)");
  if (version != kVersion) return "protocol version " + std::to_string(version) + " unknown";
  const uint16_t base = static_cast<uint16_t>(*kind & ~kReplyBit);
  if (base == 0 || base > static_cast<uint16_t>(Kind::kLast)) {
    return "unknown message kind " + std::to_string(*kind);
  }
  if (*length > kMaxPayload) return "payload of " + std::to_string(*length) + " bytes too large";
  return std::nullopt;
}

}  // namespace merlox::sim::wire
