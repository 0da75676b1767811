// Host build only: what stands behind the Win32 calls that reach the cards'
// driver, the device-interface enumeration, the process token and the shutdown.
// On Windows those are the system's; on the host a driver fills this table (the
// simulator does, as soon as it is linked in). Without one, the host behaves like
// a machine on which the cards' driver is not installed.
#pragma once

#include "platform/HostWin32.h"

namespace merlox::host {

struct HostDriverTable {
  HDEVINFO(WINAPI* SetupDiGetClassDevsA)(const GUID*, PCSTR, HWND, DWORD);
  BOOL(WINAPI* SetupDiEnumDeviceInterfaces)
  (HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
  BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailA)
  (HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, LPDWORD,
   PSP_DEVINFO_DATA);
  BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO);
  HANDLE(WINAPI* CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* DeviceIoControl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  // Closes the driver's handles (devices, tokens); false for a handle it does not know.
  BOOL(WINAPI* CloseHandle)(HANDLE);
  BOOL(WINAPI* LookupPrivilegeValueA)(LPCSTR, LPCSTR, PLUID);
  BOOL(WINAPI* OpenProcessToken)(HANDLE, DWORD, PHANDLE);
  BOOL(WINAPI* AdjustTokenPrivileges)
  (HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD);
  BOOL(WINAPI* ExitWindowsEx)(UINT, DWORD);
};

// Puts a driver behind the seam (null: none). The table must outlive its use.
void SetHostDriver(const HostDriverTable* table);

}  // namespace merlox::host
