#include "SimRemoteCalls.h"

#include <algorithm>

#include "SimDriver.h"

namespace merlox::sim {

void RemoteIoControl::Write(wire::Writer& out) const {
  out.U64(handle).U32(code).U32(inSize).U32(outSize).U8(flags);
  out.Bytes(input.data(), input.size()).Bytes(output.data(), output.size());
}

RemoteIoControl RemoteIoControl::Read(wire::Reader& in) {
  RemoteIoControl request;
  request.handle = in.U64();
  request.code = in.U32();
  request.inSize = in.U32();
  request.outSize = in.U32();
  request.flags = in.U8();
  request.input = in.Bytes(kMaxBuffer);
  request.output = in.Bytes(kMaxBuffer);
  return request;
}

bool RemoteIoControl::Consistent() const {
  const bool hasInput = flags & kInput;
  const bool hasOutput = flags & kOutput;
  const bool same = flags & kSameBuffer;
  if (flags >= 32 || (same && !(hasInput && hasOutput))) return false;
  if (inSize > kMaxBuffer || outSize > kMaxBuffer) return false;
  if (input.size() != (hasInput ? inSize : 0)) return false;
  return output.size() == (hasOutput && !same ? outSize : 0);
}

std::vector<uint8_t> RemoteIoControl::Execute(Driver& driver) const {
  // Never an empty vector's null data(): a given buffer is a pointer, even of size 0.
  const bool same = flags & kSameBuffer;
  std::vector<uint8_t> in = input;
  in.resize(std::max<size_t>({in.size(), same ? outSize : 0u, 1u}));
  std::vector<uint8_t> out = output;
  out.resize(std::max<size_t>(out.size(), 1));
  void* inBuffer = (flags & kInput) ? in.data() : nullptr;
  void* outBuffer = same ? in.data() : (flags & kOutput) ? out.data() : nullptr;
  DWORD count = 0;
  StandIn overlapped;
  const BOOL ok =
      driver.IoControl(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)), code, inBuffer,
                       inSize, outBuffer, outSize, (flags & kBytesReturned) ? &count : nullptr,
                       overlapped.As<OVERLAPPED>((flags & kOverlapped) != 0));
  const DWORD error = ok ? 0 : GetLastError();
  wire::Writer reply;
  reply.U8(ok ? 1 : 0).U32(error).U32(count);
  reply.Bytes(outBuffer, outBuffer != nullptr ? outSize : 0);
  return reply.payload();
}

std::vector<uint8_t> RemoteIoControl::Refusal(uint32_t error) {
  wire::Writer reply;
  reply.U8(0).U32(error).U32(0).Bytes(nullptr, 0);
  return reply.payload();
}

RemoteIoResult RemoteIoResult::Read(wire::Reader& in) {
  RemoteIoResult result;
  result.ok = in.U8() != 0;
  result.error = in.U32();
  result.bytesReturned = in.U32();
  result.output = in.Bytes(RemoteIoControl::kMaxBuffer);
  return result;
}

}  // namespace merlox::sim
