// The messages between a shared simulator (merloxsim serve) and the processes that
// use its cards. Every message is a fixed 12-byte header (magic, version, kind,
// payload length, little-endian) and a payload of at most kMaxPayload bytes; a
// reply has the kind of its request with kReplyBit set. Anything else is refused:
// the other side is another process, possibly a broken or hostile one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace merlox::sim::wire {

constexpr uint32_t kMagic = 0x5053584D;  // "MXSP"
constexpr uint16_t kVersion = 1;
constexpr size_t kHeaderSize = 12;
// The largest transfer the library makes is far below this; a bulk buffer larger
// than this is refused by the client before anything is sent.
constexpr uint32_t kMaxPayload = (1u << 20) + 256;
constexpr uint16_t kReplyBit = 0x8000;

enum class Kind : uint16_t {
  // A connection's first message: the process's session id, and whether the
  // connection is the session's lifeline (it carries no requests; when it closes,
  // the process is gone).
  kHello = 1,
  // The driver's faces, one per Win32 call the library makes.
  kGetClassDevs,
  kEnumInterfaces,
  kInterfaceDetail,
  kDestroyInfoList,
  kCreateFile,
  kIoControl,
  kCloseHandle,
  kExitWindows,
  // Driving the simulator (merloxctl sim).
  kPlug,
  kUnplug,
  kReplug,
  kSetInputs,
  kSetSensors,
  kSetSerial,
  kExpire,
  kAdvance,
  kState,
  kLog,
  kLast = kLog,
};

// A payload being written: little-endian fields, strings and byte blocks with a
// 32-bit length in front.
class Writer {
 public:
  Writer& U8(uint8_t value);
  Writer& U16(uint16_t value);
  Writer& U32(uint32_t value);
  Writer& U64(uint64_t value);
  Writer& Bytes(const void* data, size_t size);
  Writer& String(const std::string& text);
  const std::vector<uint8_t>& payload() const { return payload_; }

 private:
  std::vector<uint8_t> payload_;
};

// A payload being read. A read beyond the end, or a length beyond what is left,
// marks the reader failed and yields zeros: the caller checks ok() once at the end.
class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& payload) : payload_(payload) {}
  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  uint64_t U64();
  std::vector<uint8_t> Bytes(uint32_t limit = kMaxPayload);
  std::string String(uint32_t limit = 4096);
  // Every byte was read and none was missing.
  bool ok() const { return !failed_ && offset_ == payload_.size(); }

 private:
  bool Take(size_t size);

  const std::vector<uint8_t>& payload_;
  size_t offset_ = 0;
  bool failed_ = false;
};

struct Message {
  uint16_t kind = 0;
  std::vector<uint8_t> payload;
};

std::vector<uint8_t> EncodeHeader(uint16_t kind, uint32_t length);
// Checks a received header; returns what is wrong with it, or nothing.
std::optional<std::string> CheckHeader(const uint8_t* header, uint16_t* kind, uint32_t* length);

}  // namespace merlox::sim::wire
