// Host build only: puts the simulated driver and system behind the library's
// Win32 seam as soon as the simulator is linked into a program, so that every
// host program (tests, tools, examples, the bindings' shared library) talks to
// simulated cards.
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

struct Connect {
  Connect() { host::SetHostDriver(&kSimulatorDriver); }
};
const Connect kConnected;

}  // namespace
}  // namespace merlox::sim
