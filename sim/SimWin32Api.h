// The simulated driver behind the Win32 calls the library makes to reach cards.
// Each function has the signature of the Win32 call it stands in for: the host
// build's Win32 seam calls them, and on Windows a test or an application redirects
// MERLOX.dll's imports to them.
#pragma once

#include "platform/Win32.h"

namespace merlox::sim {

HDEVINFO WINAPI SimSetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                        DWORD Flags);
BOOL WINAPI SimSetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                           PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL WINAPI SimSetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SimSetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
HANDLE WINAPI SimCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                             LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                             DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                             HANDLE hTemplateFile);
BOOL WINAPI SimDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                               DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                               LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
// Closes a simulated device handle; any other handle goes to the system's CloseHandle
// on Windows (on the host, the seam keeps its own objects apart).
BOOL WINAPI SimCloseHandle(HANDLE hObject);

}  // namespace merlox::sim
