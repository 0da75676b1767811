// The shared simulator's side of the driver calls: each request is read whole and
// checked before the simulated driver sees it, then executed there as the calling
// process made it, with buffers of the sizes the process gave.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "SimDriver.h"
#include "SimRemoteCalls.h"
#include "SimServer.h"
#include "SimSystem.h"

namespace merlox::sim {
namespace {

using wire::Reader;
using wire::Writer;

// A device-information buffer is small; anything larger is refused.
constexpr uint32_t kMaxDetailSize = 65536;

std::vector<uint8_t> Status(BOOL ok) {
  Writer out;
  out.U8(ok ? 1 : 0).U32(ok ? 0 : GetLastError());
  return out.payload();
}

std::vector<uint8_t> Refused(DWORD error) {
  Writer out;
  out.U8(0).U32(error);
  return out.payload();
}

}  // namespace

std::optional<std::vector<uint8_t>> Server::AnswerDriverCall(uint64_t session, wire::Kind kind,
                                                             Reader& in) {
  Driver& driver = Driver::Instance();
  switch (kind) {
    case wire::Kind::kGetClassDevs: {
      const bool guidGiven = in.U8() != 0;
      const std::vector<uint8_t> guidBytes = in.Bytes(sizeof(GUID));
      const bool enumeratorGiven = in.U8() != 0;
      const std::string enumerator = in.String();
      const bool parentGiven = in.U8() != 0;
      const uint32_t flags = in.U32();
      if (!in.ok() || (guidGiven && guidBytes.size() != sizeof(GUID))) return std::nullopt;
      GUID guid{};
      if (guidGiven) std::memcpy(&guid, guidBytes.data(), sizeof(GUID));
      StandIn window;
      HDEVINFO set = driver.GetClassDevs(
          guidGiven ? &guid : nullptr, enumeratorGiven ? enumerator.c_str() : nullptr,
          window.As<std::remove_pointer_t<HWND>>(parentGiven), flags);
      Track(session, &Session::infoSets, reinterpret_cast<uintptr_t>(set), true);
      Writer out;
      out.U64(reinterpret_cast<uintptr_t>(set));
      return out.payload();
    }
    case wire::Kind::kEnumInterfaces: {
      const uint64_t set = in.U64();
      const bool infoGiven = in.U8() != 0;
      const bool guidGiven = in.U8() != 0;
      const std::vector<uint8_t> guidBytes = in.Bytes(sizeof(GUID));
      const uint32_t index = in.U32();
      const bool dataGiven = in.U8() != 0;
      const std::vector<uint8_t> dataBytes = in.Bytes(sizeof(SP_DEVICE_INTERFACE_DATA));
      if (!in.ok() || (guidGiven && guidBytes.size() != sizeof(GUID)) ||
          (dataGiven && dataBytes.size() != sizeof(SP_DEVICE_INTERFACE_DATA))) {
        return std::nullopt;
      }
      if (!OwnsInfoSet(session, set)) return Refused(ERROR_INVALID_HANDLE);
      GUID guid{};
      if (guidGiven) std::memcpy(&guid, guidBytes.data(), sizeof(GUID));
      SP_DEVICE_INTERFACE_DATA data{};
      if (dataGiven) std::memcpy(&data, dataBytes.data(), sizeof(data));
      StandIn info;
      const BOOL ok = driver.EnumDeviceInterfaces(
          reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(set)),
          info.As<SP_DEVINFO_DATA>(infoGiven), guidGiven ? &guid : nullptr, index,
          dataGiven ? &data : nullptr);
      std::vector<uint8_t> reply = Status(ok);
      Writer tail;
      tail.Bytes(&data, dataGiven ? sizeof(data) : 0);
      reply.insert(reply.end(), tail.payload().begin(), tail.payload().end());
      return reply;
    }
    case wire::Kind::kInterfaceDetail: {
      const uint64_t set = in.U64();
      const bool dataGiven = in.U8() != 0;
      const std::vector<uint8_t> dataBytes = in.Bytes(sizeof(SP_DEVICE_INTERFACE_DATA));
      const bool detailGiven = in.U8() != 0;
      const uint32_t cbSize = in.U32();
      const uint32_t detailSize = in.U32();
      const bool requiredGiven = in.U8() != 0;
      // The caller's count as it was: the driver leaves it alone on some failures.
      DWORD required = in.U32();
      const bool infoGiven = in.U8() != 0;
      if (!in.ok() || (dataGiven && dataBytes.size() != sizeof(SP_DEVICE_INTERFACE_DATA)) ||
          detailSize > kMaxDetailSize) {
        return std::nullopt;
      }
      if (!OwnsInfoSet(session, set)) return Refused(ERROR_INVALID_HANDLE);
      SP_DEVICE_INTERFACE_DATA data{};
      if (dataGiven) std::memcpy(&data, dataBytes.data(), sizeof(data));
      std::vector<uint8_t> detail(std::max<size_t>(detailSize, 8));
      std::memcpy(detail.data(), &cbSize, sizeof(cbSize));
      StandIn info;
      const BOOL ok = driver.GetDeviceInterfaceDetail(
          reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(set)), dataGiven ? &data : nullptr,
          detailGiven ? reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail.data())
                      : nullptr,
          detailSize, requiredGiven ? &required : nullptr, info.As<SP_DEVINFO_DATA>(infoGiven));
      std::vector<uint8_t> reply = Status(ok);
      Writer tail;
      tail.U32(required).Bytes(detail.data(), ok && detailGiven ? detailSize : 0);
      reply.insert(reply.end(), tail.payload().begin(), tail.payload().end());
      return reply;
    }
    case wire::Kind::kDestroyInfoList: {
      const uint64_t set = in.U64();
      if (!in.ok()) return std::nullopt;
      if (!OwnsInfoSet(session, set)) return Refused(ERROR_INVALID_HANDLE);
      Track(session, &Session::infoSets, static_cast<uintptr_t>(set), false);
      return Status(
          driver.DestroyDeviceInfoList(reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(set))));
    }
    case wire::Kind::kCreateFile: {
      const std::string path = in.String();
      const bool pathGiven = in.U8() != 0;
      const uint32_t access = in.U32();
      const uint32_t share = in.U32();
      const bool securityGiven = in.U8() != 0;
      const uint32_t disposition = in.U32();
      const uint32_t flags = in.U32();
      const bool templateGiven = in.U8() != 0;
      if (!in.ok()) return std::nullopt;
      StandIn security;
      StandIn templateFile;
      HANDLE handle = driver.CreateFile(pathGiven ? path.c_str() : nullptr, access, share,
                                        security.As<SECURITY_ATTRIBUTES>(securityGiven),
                                        disposition, flags, templateFile.As<void>(templateGiven));
      const bool ok = handle != INVALID_HANDLE_VALUE;
      Writer out;
      out.U8(ok ? 1 : 0).U32(ok ? 0 : GetLastError()).U64(reinterpret_cast<uintptr_t>(handle));
      if (ok) Track(session, &Session::handles, reinterpret_cast<uintptr_t>(handle), true);
      return out.payload();
    }
    case wire::Kind::kIoControl: {
      const RemoteIoControl request = RemoteIoControl::Read(in);
      if (!in.ok() || !request.Consistent()) return std::nullopt;
      // Another process's handle value is not a handle in this one.
      if (!OwnsHandle(session, request.handle)) {
        return RemoteIoControl::Refusal(ERROR_INVALID_HANDLE);
      }
      return request.Execute(driver);
    }
    case wire::Kind::kCloseHandle: {
      const uint64_t handle = in.U64();
      if (!in.ok()) return std::nullopt;
      if (!OwnsHandle(session, handle)) return Refused(ERROR_INVALID_HANDLE);
      Track(session, &Session::handles, static_cast<uintptr_t>(handle), false);
      return Status(driver.Close(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle))));
    }
    case wire::Kind::kExitWindows: {
      const uint32_t flags = in.U32();
      const uint32_t reason = in.U32();
      if (!in.ok()) return std::nullopt;
      const BOOL ok = System::Instance().RequestExit(flags, reason);
      SimEvent event;
      event.kind = SimEvent::Kind::kShutdown;
      event.flags = flags;
      event.reason = reason;
      events_.Record(std::move(event));
      return Status(ok);
    }
    default:
      return std::nullopt;
  }
}

}  // namespace merlox::sim
