#include "ImportPatch.h"

#include <cstdint>
#include <cstring>

#include "SimRemoteDriver.h"
#include "SimSystem.h"
#include "SimWin32Api.h"

namespace merlox::sim {
namespace {

// Module names in import descriptors are ASCII; the loader matches them without
// regard to case, and so must we ("KERNEL32.dll" as the linker writes it).
bool SameDllName(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a;
    char y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

const IMAGE_NT_HEADERS* NtHeaders(const uint8_t* base) {
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return nullptr;
  // Only a module of this process's own width has the thunk layout used below.
  if (nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) return nullptr;
  return nt;
}

// The IAT slot through which the module calls functionName of the descriptor's
// DLL, or null. The names are in the import name table (OriginalFirstThunk): the
// IAT itself was overwritten with addresses when the module was bound.
void** FindSlot(uint8_t* base, const IMAGE_IMPORT_DESCRIPTOR& descriptor,
                const char* functionName) {
  if (descriptor.OriginalFirstThunk == 0 || descriptor.FirstThunk == 0) return nullptr;
  const auto* names =
      reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor.OriginalFirstThunk);
  auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor.FirstThunk);
  for (size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
    if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
    const auto* byName =
        reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
    if (std::strcmp(reinterpret_cast<const char*>(byName->Name), functionName) == 0) {
      return reinterpret_cast<void**>(&addresses[i].u1.Function);
    }
  }
  return nullptr;
}

void** FindImportSlot(HMODULE module, const char* dllName, const char* functionName) {
  auto* base = reinterpret_cast<uint8_t*>(module);
  if (base == nullptr || dllName == nullptr || functionName == nullptr) return nullptr;
  const IMAGE_NT_HEADERS* nt = NtHeaders(base);
  if (nt == nullptr) return nullptr;
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0 || directory.Size == 0) return nullptr;
  const auto* descriptor =
      reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
  for (; descriptor->Name != 0; ++descriptor) {
    if (!SameDllName(reinterpret_cast<const char*>(base + descriptor->Name), dllName)) continue;
    if (void** slot = FindSlot(base, *descriptor, functionName)) return slot;
  }
  return nullptr;
}

}  // namespace

void* PatchImport(HMODULE module, const char* dllName, const char* functionName,
                  void* replacement) {
  void** slot = FindImportSlot(module, dllName, functionName);
  if (slot == nullptr) return nullptr;
  // The IAT may sit in a read-only section once the loader has bound it.
  DWORD protection = 0;
  if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection)) return nullptr;
  // One atomic store: a thread calling through the slot meanwhile gets either
  // function, never half of each address.
  void* previous = InterlockedExchangePointer(slot, replacement);
  DWORD ignored = 0;
  VirtualProtect(slot, sizeof(*slot), protection, &ignored);
  return previous;
}

const std::vector<DriverImport>& DriverImports() {
  static const std::vector<DriverImport> imports = {
      {"SETUPAPI.dll", "SetupDiGetClassDevsA", reinterpret_cast<void*>(&SimSetupDiGetClassDevsA)},
      {"SETUPAPI.dll", "SetupDiEnumDeviceInterfaces",
       reinterpret_cast<void*>(&SimSetupDiEnumDeviceInterfaces)},
      {"SETUPAPI.dll", "SetupDiGetDeviceInterfaceDetailA",
       reinterpret_cast<void*>(&SimSetupDiGetDeviceInterfaceDetailA)},
      {"SETUPAPI.dll", "SetupDiDestroyDeviceInfoList",
       reinterpret_cast<void*>(&SimSetupDiDestroyDeviceInfoList)},
      {"KERNEL32.dll", "CreateFileA", reinterpret_cast<void*>(&SimCreateFileA)},
      {"KERNEL32.dll", "DeviceIoControl", reinterpret_cast<void*>(&SimDeviceIoControl)},
      {"KERNEL32.dll", "CloseHandle", reinterpret_cast<void*>(&SimCloseHandle)},
  };
  return imports;
}

const std::vector<DriverImport>& ShutdownImports() {
  static const std::vector<DriverImport> imports = {
      {"USER32.dll", "ExitWindowsEx", reinterpret_cast<void*>(&SimExitWindowsEx)},
      {"ADVAPI32.dll", "LookupPrivilegeValueA", reinterpret_cast<void*>(&SimLookupPrivilegeValueA)},
      {"ADVAPI32.dll", "OpenProcessToken", reinterpret_cast<void*>(&SimOpenProcessToken)},
      {"ADVAPI32.dll", "AdjustTokenPrivileges", reinterpret_cast<void*>(&SimAdjustTokenPrivileges)},
  };
  return imports;
}

namespace {

// The set with the stand-ins of the named functions replaced.
std::vector<DriverImport> Replaced(const std::vector<DriverImport>& imports,
                                   const std::vector<std::pair<const char*, void*>>& replacements) {
  std::vector<DriverImport> replaced = imports;
  for (DriverImport& import : replaced) {
    for (const auto& [name, simulated] : replacements) {
      if (std::strcmp(import.functionName, name) == 0) import.simulated = simulated;
    }
  }
  return replaced;
}

}  // namespace

const std::vector<DriverImport>& SharedDriverImports() {
  static const std::vector<DriverImport> imports = Replaced(
      DriverImports(),
      {{"SetupDiGetClassDevsA", reinterpret_cast<void*>(&RemoteSetupDiGetClassDevsA)},
       {"SetupDiEnumDeviceInterfaces", reinterpret_cast<void*>(&RemoteSetupDiEnumDeviceInterfaces)},
       {"SetupDiGetDeviceInterfaceDetailA",
        reinterpret_cast<void*>(&RemoteSetupDiGetDeviceInterfaceDetailA)},
       {"SetupDiDestroyDeviceInfoList",
        reinterpret_cast<void*>(&RemoteSetupDiDestroyDeviceInfoList)},
       {"CreateFileA", reinterpret_cast<void*>(&RemoteCreateFileA)},
       {"DeviceIoControl", reinterpret_cast<void*>(&RemoteDeviceIoControl)},
       {"CloseHandle", reinterpret_cast<void*>(&RemoteCloseHandle)}});
  return imports;
}

const std::vector<DriverImport>& SharedShutdownImports() {
  static const std::vector<DriverImport> imports = Replaced(
      ShutdownImports(), {{"ExitWindowsEx", reinterpret_cast<void*>(&RemoteExitWindowsEx)}});
  return imports;
}

bool ImportRedirect::Attach(HMODULE module) {
  if (module_ != nullptr) return module_ == module;
  // Every slot is located before any is written, so a module that lacks one of the
  // imports is never left half redirected.
  const std::vector<DriverImport>& imports = *imports_;
  for (const DriverImport& import : imports) {
    if (FindImportSlot(module, import.dllName, import.functionName) == nullptr) return false;
  }
  module_ = module;
  originals_.assign(imports.size(), nullptr);
  for (size_t i = 0; i < imports.size(); ++i) {
    originals_[i] =
        PatchImport(module, imports[i].dllName, imports[i].functionName, imports[i].simulated);
    if (originals_[i] == nullptr) {
      // The page protection could not be changed: undo what was done.
      Detach();
      return false;
    }
  }
  return true;
}

bool ImportRedirect::Retarget(const std::vector<DriverImport>& imports) {
  if (module_ == nullptr || imports.size() != imports_->size()) return false;
  for (size_t i = 0; i < imports.size(); ++i) {
    if (std::strcmp(imports[i].functionName, (*imports_)[i].functionName) != 0) return false;
  }
  for (const DriverImport& import : imports) {
    PatchImport(module_, import.dllName, import.functionName, import.simulated);
  }
  imports_ = &imports;
  return true;
}

void ImportRedirect::Detach() {
  if (module_ == nullptr) return;
  const std::vector<DriverImport>& imports = *imports_;
  for (size_t i = 0; i < imports.size(); ++i) {
    if (originals_[i] != nullptr) {
      PatchImport(module_, imports[i].dllName, imports[i].functionName, originals_[i]);
    }
  }
  Forget();
}

void ImportRedirect::Forget() {
  originals_.clear();
  module_ = nullptr;
  imports_ = attaching_;
}

}  // namespace merlox::sim
