// What discovery needs of SetupAPI beyond the calls themselves: the device
// interface class the cards' driver publishes and the enumeration flags.
#pragma once

#include "platform/Win32.h"

namespace merlox {

// {D52D27E3-CF76-25EB-72EA-596F2234C0E1}
inline const GUID kCardInterfaceClass = {
    0xD52D27E3, 0xCF76, 0x25EB, {0x72, 0xEA, 0x59, 0x6F, 0x22, 0x34, 0xC0, 0xE1}};

constexpr DWORD kInterfaceEnumFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

// cbSize of SP_DEVICE_INTERFACE_DATA and of the fixed part of
// SP_DEVICE_INTERFACE_DETAIL_DATA_A on 64-bit Windows.
constexpr DWORD kInterfaceDataSize = 32;
constexpr DWORD kInterfaceDetailFixedSize = 8;
constexpr size_t kInterfaceDetailPathOffset = 4;

}  // namespace merlox
