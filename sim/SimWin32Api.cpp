#include "SimWin32Api.h"

#include "SimDriver.h"
#include "SimSystem.h"

namespace merlox::sim {

HDEVINFO WINAPI SimSetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                        DWORD Flags) {
  return Driver::Instance().GetClassDevs(ClassGuid, Enumerator, hwndParent, Flags);
}

BOOL WINAPI SimSetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                           PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  return Driver::Instance().EnumDeviceInterfaces(DeviceInfoSet, DeviceInfoData, InterfaceClassGuid,
                                                 MemberIndex, DeviceInterfaceData);
}

BOOL WINAPI SimSetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  return Driver::Instance().GetDeviceInterfaceDetail(
      DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize,
      RequiredSize, DeviceInfoData);
}

BOOL WINAPI SimSetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  return Driver::Instance().DestroyDeviceInfoList(DeviceInfoSet);
}

HANDLE WINAPI SimCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                             LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                             DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                             HANDLE hTemplateFile) {
  return Driver::Instance().CreateFile(lpFileName, dwDesiredAccess, dwShareMode,
                                       lpSecurityAttributes, dwCreationDisposition,
                                       dwFlagsAndAttributes, hTemplateFile);
}

BOOL WINAPI SimDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                               DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                               LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  return Driver::Instance().IoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize,
                                      lpOutBuffer, nOutBufferSize, lpBytesReturned, lpOverlapped);
}

BOOL WINAPI SimCloseHandle(HANDLE hObject) {
  if (Driver::IsDeviceHandle(hObject)) return Driver::Instance().Close(hObject);
  if (System::IsTokenHandle(hObject)) return System::Instance().CloseToken(hObject);
#ifdef _WIN32
  return CloseHandle(hObject);
#else
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
#endif
}

}  // namespace merlox::sim
