// Host build only: puts the simulated driver and system behind the library's
// Win32 seam as soon as the simulator is linked into a program, so that every
// host program (tests, tools, examples, the bindings' shared library) talks to
// simulated cards; a program may point it at a shared simulator instead.
#include "SimHostSeam.h"

#include "SimRemoteDriver.h"
#include "SimSystem.h"
#include "SimWin32Api.h"
#include "platform/HostDriver.h"

namespace merlox::sim {
namespace {

constexpr host::HostDriverTable kSimulatorDriver = {SimSetupDiGetClassDevsA,
                                                    SimSetupDiEnumDeviceInterfaces,
                                                    SimSetupDiGetDeviceInterfaceDetailA,
                                                    SimSetupDiDestroyDeviceInfoList,
                                                    SimCreateFileA,
                                                    SimDeviceIoControl,
                                                    SimCloseHandle,
                                                    SimLookupPrivilegeValueA,
                                                    SimOpenProcessToken,
                                                    SimAdjustTokenPrivileges,
                                                    SimExitWindowsEx};

// The privilege steps stay with the process's own recorder: they are the
// process's token, and only the shutdown itself reaches the machine.
constexpr host::HostDriverTable kSharedDriver = {RemoteSetupDiGetClassDevsA,
                                                 RemoteSetupDiEnumDeviceInterfaces,
                                                 RemoteSetupDiGetDeviceInterfaceDetailA,
                                                 RemoteSetupDiDestroyDeviceInfoList,
                                                 RemoteCreateFileA,
                                                 RemoteDeviceIoControl,
                                                 RemoteCloseHandle,
                                                 SimLookupPrivilegeValueA,
                                                 SimOpenProcessToken,
                                                 SimAdjustTokenPrivileges,
                                                 RemoteExitWindowsEx};

struct Connect {
  Connect() { host::SetHostDriver(&kSimulatorDriver); }
};
const Connect kConnected;

}  // namespace

uint32_t UseSharedSimulator(const std::string& name) {
  const uint32_t status = SharedSimulator().Connect(name);
  if (status == 0) host::SetHostDriver(&kSharedDriver);
  return status;
}

void UseInProcessSimulator() {
  host::SetHostDriver(&kSimulatorDriver);
  SharedSimulator().Disconnect();
}

}  // namespace merlox::sim
