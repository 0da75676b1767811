#include "SimRemoteDriver.h"

#include <cstring>

#include "SimDriver.h"
#include "SimRemoteCalls.h"
#include "SimSystem.h"
#include "SimWin32Api.h"
#include "platform/CallerMemory.h"

namespace merlox::sim {
namespace {

using wire::Kind;
using wire::Reader;
using wire::Writer;

// A device-information buffer the simulator takes; the library's are far smaller.
constexpr DWORD kMaxDetailSize = 65536;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Sends the request; the reply's reader, or nothing (last error set) when the
// simulator did not answer.
struct Reply {
  std::vector<uint8_t> payload;
  Reader reader{payload};
};

std::unique_ptr<Reply> Call(RemoteClient& client, Kind kind, const Writer& request) {
  auto payload = client.Call(kind, request.payload());
  if (!payload) {
    SetLastError(kSimulatorGone);
    return nullptr;
  }
  auto reply = std::make_unique<Reply>();
  reply->payload = std::move(*payload);
  return reply;
}

// The common ending of a reply: success, or failure with the simulator's error.
BOOL Outcome(bool ok, uint32_t error, bool wellFormed) {
  if (!wellFormed) return Fail(kSimulatorGone);
  return ok ? TRUE : Fail(error);
}

}  // namespace

RemoteClient& SharedSimulator() {
  // Never destroyed: a library thread may still call through it while static
  // destructors run.
  static RemoteClient* client = new RemoteClient;
  return *client;
}

HDEVINFO WINAPI RemoteSetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                           DWORD Flags) {
  Writer request;
  request.U8(ClassGuid != nullptr ? 1 : 0)
      .Bytes(ClassGuid, ClassGuid != nullptr ? sizeof(GUID) : 0);
  request.U8(Enumerator != nullptr ? 1 : 0).String(Enumerator != nullptr ? Enumerator : "");
  request.U8(hwndParent != nullptr ? 1 : 0).U32(Flags);
  auto reply = Call(SharedSimulator(), Kind::kGetClassDevs, request);
  if (!reply) return INVALID_HANDLE_VALUE;
  const uint64_t set = reply->reader.U64();
  if (!reply->reader.ok()) {
    SetLastError(kSimulatorGone);
    return INVALID_HANDLE_VALUE;
  }
  return reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(set));
}

BOOL WINAPI RemoteSetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData,
                                              const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                              PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  Writer request;
  request.U64(reinterpret_cast<uintptr_t>(DeviceInfoSet)).U8(DeviceInfoData != nullptr ? 1 : 0);
  request.U8(InterfaceClassGuid != nullptr ? 1 : 0)
      .Bytes(InterfaceClassGuid, InterfaceClassGuid != nullptr ? sizeof(GUID) : 0);
  request.U32(MemberIndex).U8(DeviceInterfaceData != nullptr ? 1 : 0);
  request.Bytes(DeviceInterfaceData,
                DeviceInterfaceData != nullptr ? sizeof(SP_DEVICE_INTERFACE_DATA) : 0);
  auto reply = Call(SharedSimulator(), Kind::kEnumInterfaces, request);
  if (!reply) return FALSE;
  const bool ok = reply->reader.U8() != 0;
  const uint32_t error = reply->reader.U32();
  const std::vector<uint8_t> data = reply->reader.Bytes(sizeof(SP_DEVICE_INTERFACE_DATA));
  const bool wellFormed = reply->reader.ok();
  if (wellFormed && DeviceInterfaceData != nullptr && data.size() == sizeof(*DeviceInterfaceData)) {
    std::memcpy(DeviceInterfaceData, data.data(), data.size());
  }
  return Outcome(ok, error, wellFormed);
}

BOOL WINAPI RemoteSetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  if (DeviceInterfaceDetailDataSize > kMaxDetailSize) return Fail(ERROR_INVALID_PARAMETER);
  Writer request;
  request.U64(reinterpret_cast<uintptr_t>(DeviceInfoSet))
      .U8(DeviceInterfaceData != nullptr ? 1 : 0);
  request.Bytes(DeviceInterfaceData,
                DeviceInterfaceData != nullptr ? sizeof(SP_DEVICE_INTERFACE_DATA) : 0);
  uint32_t cbSize = 0;
  if (DeviceInterfaceDetailData != nullptr) std::memcpy(&cbSize, DeviceInterfaceDetailData, 4);
  request.U8(DeviceInterfaceDetailData != nullptr ? 1 : 0).U32(cbSize);
  request.U32(DeviceInterfaceDetailDataSize).U8(RequiredSize != nullptr ? 1 : 0);
  request.U32(RequiredSize != nullptr ? *RequiredSize : 0).U8(DeviceInfoData != nullptr ? 1 : 0);
  auto reply = Call(SharedSimulator(), Kind::kInterfaceDetail, request);
  if (!reply) return FALSE;
  const bool ok = reply->reader.U8() != 0;
  const uint32_t error = reply->reader.U32();
  const uint32_t required = reply->reader.U32();
  const std::vector<uint8_t> detail = reply->reader.Bytes(kMaxDetailSize);
  const bool wellFormed = reply->reader.ok() && detail.size() <= DeviceInterfaceDetailDataSize;
  if (wellFormed && RequiredSize != nullptr) *RequiredSize = required;
  if (wellFormed && DeviceInterfaceDetailData != nullptr && !detail.empty()) {
    std::memcpy(DeviceInterfaceDetailData, detail.data(), detail.size());
  }
  return Outcome(ok, error, wellFormed);
}

BOOL WINAPI RemoteSetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  Writer request;
  request.U64(reinterpret_cast<uintptr_t>(DeviceInfoSet));
  auto reply = Call(SharedSimulator(), Kind::kDestroyInfoList, request);
  if (!reply) return FALSE;
  const bool ok = reply->reader.U8() != 0;
  const uint32_t error = reply->reader.U32();
  return Outcome(ok, error, reply->reader.ok());
}

HANDLE WINAPI RemoteCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                HANDLE hTemplateFile) {
  return RemoteCreateFile(SharedSimulator(), lpFileName, dwDesiredAccess, dwShareMode,
                          lpSecurityAttributes, dwCreationDisposition, dwFlagsAndAttributes,
                          hTemplateFile);
}

HANDLE RemoteCreateFile(RemoteClient& client, LPCSTR lpFileName, DWORD dwDesiredAccess,
                        DWORD dwShareMode, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                        DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                        HANDLE hTemplateFile) {
  Writer request;
  request.String(lpFileName != nullptr ? lpFileName : "").U8(lpFileName != nullptr ? 1 : 0);
  request.U32(dwDesiredAccess).U32(dwShareMode).U8(lpSecurityAttributes != nullptr ? 1 : 0);
  request.U32(dwCreationDisposition).U32(dwFlagsAndAttributes);
  request.U8(hTemplateFile != nullptr ? 1 : 0);
  auto reply = Call(client, Kind::kCreateFile, request);
  if (!reply) return INVALID_HANDLE_VALUE;
  const bool ok = reply->reader.U8() != 0;
  const uint32_t error = reply->reader.U32();
  const uint64_t handle = reply->reader.U64();
  if (!Outcome(ok, error, reply->reader.ok())) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}

BOOL WINAPI RemoteDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                  DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                  LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  return RemoteDeviceRequest(SharedSimulator(), hDevice, dwIoControlCode, lpInBuffer, nInBufferSize,
                             lpOutBuffer, nOutBufferSize, lpBytesReturned, lpOverlapped);
}

BOOL RemoteDeviceRequest(RemoteClient& client, HANDLE hDevice, DWORD dwIoControlCode,
                         LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                         DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  RemoteIoControl call;
  call.handle = reinterpret_cast<uintptr_t>(hDevice);
  call.code = dwIoControlCode;
  call.inSize = nInBufferSize;
  call.outSize = nOutBufferSize;
  const bool same = lpInBuffer != nullptr && lpInBuffer == lpOutBuffer;
  call.flags = static_cast<uint8_t>((lpInBuffer ? RemoteIoControl::kInput : 0) |
                                    (lpOutBuffer ? RemoteIoControl::kOutput : 0) |
                                    (same ? RemoteIoControl::kSameBuffer : 0) |
                                    (lpOverlapped ? RemoteIoControl::kOverlapped : 0) |
                                    (lpBytesReturned ? RemoteIoControl::kBytesReturned : 0));
  if (nInBufferSize > RemoteIoControl::kMaxBuffer || nOutBufferSize > RemoteIoControl::kMaxBuffer) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // The caller's buffers are read as the driver would read user memory.
  if (lpInBuffer != nullptr) {
    call.input.resize(nInBufferSize);
    if (!CopyFromCaller(call.input.data(), lpInBuffer, nInBufferSize)) return Fail(ERROR_NOACCESS);
  }
  if (lpOutBuffer != nullptr && !same) {
    call.output.resize(nOutBufferSize);
    if (!CopyFromCaller(call.output.data(), lpOutBuffer, nOutBufferSize)) {
      return Fail(ERROR_NOACCESS);
    }
  }
  Writer request;
  call.Write(request);
  auto reply = Call(client, Kind::kIoControl, request);
  if (!reply) return FALSE;
  const RemoteIoResult result = RemoteIoResult::Read(reply->reader);
  const bool wellFormed = reply->reader.ok() && result.output.size() <= nOutBufferSize;
  if (!wellFormed) return Fail(kSimulatorGone);
  if (lpOutBuffer != nullptr && !result.output.empty() &&
      !CopyToCaller(lpOutBuffer, result.output.data(), result.output.size())) {
    return Fail(ERROR_NOACCESS);
  }
  if (lpBytesReturned != nullptr) *lpBytesReturned = result.bytesReturned;
  return Outcome(result.ok, result.error, true);
}

BOOL WINAPI RemoteCloseHandle(HANDLE hObject) {
  if (System::IsTokenHandle(hObject)) return System::Instance().CloseToken(hObject);
  if (!Driver::IsDeviceHandle(hObject)) return SimCloseHandle(hObject);
  return RemoteClose(SharedSimulator(), hObject);
}

BOOL RemoteClose(RemoteClient& client, HANDLE hObject) {
  Writer request;
  request.U64(reinterpret_cast<uintptr_t>(hObject));
  auto reply = Call(client, Kind::kCloseHandle, request);
  if (!reply) return FALSE;
  const bool ok = reply->reader.U8() != 0;
  const uint32_t error = reply->reader.U32();
  return Outcome(ok, error, reply->reader.ok());
}

BOOL WINAPI RemoteExitWindowsEx(UINT uFlags, DWORD dwReason) {
  Writer request;
  request.U32(uFlags).U32(dwReason);
  auto reply = Call(SharedSimulator(), Kind::kExitWindows, request);
  if (!reply) return FALSE;
  const bool ok = reply->reader.U8() != 0;
  const uint32_t error = reply->reader.U32();
  return Outcome(ok, error, reply->reader.ok());
}

}  // namespace merlox::sim
