// The run-time binding of WinUSB.dll. Every transfer goes through the cards' own
// driver; the entry points are looked up at start-up and kept for reference only.
#pragma once

#include "platform/Win32.h"

namespace merlox {

struct TWinUsbBindings {
  bool bLoaded = false;
  FARPROC Initialize = nullptr;
  FARPROC Free = nullptr;
  FARPROC ControlTransfer = nullptr;
  FARPROC GetDescriptor = nullptr;
  FARPROC QueryInterfaceSettings = nullptr;
  FARPROC QueryPipe = nullptr;
  FARPROC WritePipe = nullptr;
  FARPROC ReadPipe = nullptr;
};

// Loads WinUSB.dll and looks its eight entry points up; a missing library or entry
// point is simply recorded as absent.
void BindWinUsb();
void UnbindWinUsb();
TWinUsbBindings WinUsbBindings();

}  // namespace merlox
