// The driver calls of a process that uses a shared simulator: each has the
// signature of the Win32 call it stands in for and forwards it to the simulator,
// where the simulated driver serves it. The privilege steps before a shutdown are
// checked here, by the process's own recorder; the shutdown itself is recorded by
// the simulator, with its time.
#pragma once

#include <string>

#include "SimRemoteClient.h"
#include "platform/Win32.h"

namespace merlox::sim {

// The process's connection to its shared simulator.
RemoteClient& SharedSimulator();

// The last-error value of a call the simulator could not answer: it is gone, as a
// card pulled from its socket is.
constexpr DWORD kSimulatorGone = ERROR_DEVICE_NOT_CONNECTED;

HDEVINFO WINAPI RemoteSetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                           DWORD Flags);
BOOL WINAPI RemoteSetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData,
                                              const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                              PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL WINAPI RemoteSetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI RemoteSetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
HANDLE WINAPI RemoteCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                HANDLE hTemplateFile);
BOOL WINAPI RemoteDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                  DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                  LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL WINAPI RemoteCloseHandle(HANDLE hObject);
BOOL WINAPI RemoteExitWindowsEx(UINT uFlags, DWORD dwReason);

// The same calls on a connection of one's own: what another process would send.
HANDLE RemoteCreateFile(RemoteClient& client, LPCSTR lpFileName, DWORD dwDesiredAccess,
                        DWORD dwShareMode, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                        DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                        HANDLE hTemplateFile);
BOOL RemoteDeviceRequest(RemoteClient& client, HANDLE hDevice, DWORD dwIoControlCode,
                         LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                         DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL RemoteClose(RemoteClient& client, HANDLE hObject);

}  // namespace merlox::sim
