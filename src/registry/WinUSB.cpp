#include "registry/WinUSB.h"

namespace merlox {
namespace {

// Written only by the start-up and the unload, which the start lock serialises.
TWinUsbBindings Bindings;

}  // namespace

void BindWinUsb() {
  Bindings = TWinUsbBindings{};
  HMODULE module = LoadLibraryW(MERLOX_WIDE("WinUSB.dll"));
  if (module == nullptr || module == INVALID_HANDLE_VALUE) return;
  FARPROC* const slots[] = {&Bindings.Initialize,
                            &Bindings.Free,
                            &Bindings.ControlTransfer,
                            &Bindings.GetDescriptor,
                            &Bindings.QueryInterfaceSettings,
                            &Bindings.QueryPipe,
                            &Bindings.WritePipe,
                            &Bindings.ReadPipe};
  const char* const names[] = {"WinUsb_Initialize",
                               "WinUsb_Free",
                               "WinUsb_ControlTransfer",
                               "WinUsb_GetDescriptor",
                               "WinUsb_QueryInterfaceSettings",
                               "WinUsb_QueryPipe",
                               "WinUsb_WritePipe",
                               "WinUsb_ReadPipe"};
  for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i) {
    *slots[i] = GetProcAddress(module, names[i]);
  }
  Bindings.bLoaded = true;
}

// WinUSB.dll itself is never freed: only the record of it is dropped.
void UnbindWinUsb() { Bindings = TWinUsbBindings{}; }

TWinUsbBindings WinUsbBindings() { return Bindings; }

}  // namespace merlox
