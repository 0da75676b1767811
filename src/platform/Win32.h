// The Win32 seam. Every library source includes this header and calls the Win32
// functions by their own names. On Windows these are the real ones; on the host build
// they come from HostWin32, which serves the driver-facing calls from the simulator.
// This header and the files in src/platform are the only places that know which
// build is being compiled.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>
// Wide string literal for the W calls (WCHAR is wchar_t on Windows).
#define MERLOX_WIDE(s) L##s
#else
#include "platform/HostWin32.h"
#define MERLOX_WIDE(s) u##s
#endif
