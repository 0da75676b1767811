// Redirecting a loaded module's imports through its import address table.
#include "ImportPatch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "MerloxDll.h"

namespace merlox::sim {
namespace {

void* SystemFunction(const char* dll, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(dll), name));
}

// What the module's slot for an import holds now, read by swapping a marker in and
// the value straight back.
void* ImportSlot(HMODULE module, const char* dll, const char* name) {
  static int marker;
  void* value = PatchImport(module, dll, name, &marker);
  if (value != nullptr) {
    EXPECT_EQ(PatchImport(module, dll, name, value), &marker);
  }
  return value;
}

DWORD WINAPI FakeProcessId() { return 0x4D58; }

// The address of an imported function counts as constant to the optimiser, which
// may reuse one it loaded from the slot earlier in the same function; a call made
// in a function of its own loads it afresh.
[[gnu::noinline]] DWORD ProcessIdThroughImport() { return GetCurrentProcessId(); }

TEST(ImportPatchTest, RedirectsCallsThroughTheSlotUntilRestored) {
  HMODULE self = GetModuleHandleW(nullptr);
  const DWORD realId = ProcessIdThroughImport();
  ASSERT_NE(realId, 0x4D58u);

  void* previous = PatchImport(self, "KERNEL32.dll", "GetCurrentProcessId",
                               reinterpret_cast<void*>(&FakeProcessId));
  ASSERT_NE(previous, nullptr);
  EXPECT_EQ(previous, SystemFunction("kernel32.dll", "GetCurrentProcessId"));
  EXPECT_EQ(ProcessIdThroughImport(), 0x4D58u) << "this module's calls go through its own slot";

  EXPECT_EQ(PatchImport(self, "KERNEL32.dll", "GetCurrentProcessId", previous),
            reinterpret_cast<void*>(&FakeProcessId));
  EXPECT_EQ(ProcessIdThroughImport(), realId);
}

TEST(ImportPatchTest, FindsOnlyWhatTheModuleImportsByThatName) {
  const test::MerloxDll& dll = test::MerloxDll::Get();
  ASSERT_EQ(dll.error(), "");
  HMODULE merlox = dll.module();
  void* const deviceIoControl = SystemFunction("kernel32.dll", "DeviceIoControl");
  ASSERT_NE(deviceIoControl, nullptr);

  // DLL names are matched as the loader matches them, without regard to case.
  for (const char* name : {"KERNEL32.dll", "kernel32.dll", "Kernel32.DLL"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ImportSlot(merlox, name, "DeviceIoControl"), deviceIoControl);
  }

  struct Case {
    const char* what;
    HMODULE module;
    const char* dll;
    const char* function;
  };
  const Case absent[] = {
      {"a function the module does not import", merlox, "KERNEL32.dll", "CreateFileW"},
      {"a function name in another case", merlox, "KERNEL32.dll", "deviceiocontrol"},
      {"a function imported from another DLL", merlox, "SETUPAPI.dll", "DeviceIoControl"},
      {"a DLL the module does not import", merlox, "USER32.dll", "DeviceIoControl"},
      {"a DLL name that is only a prefix", merlox, "KERNEL32", "DeviceIoControl"},
      {"no module", nullptr, "KERNEL32.dll", "DeviceIoControl"},
  };
  for (const Case& c : absent) {
    SCOPED_TRACE(c.what);
    int replacement = 0;
    EXPECT_EQ(PatchImport(c.module, c.dll, c.function, &replacement), nullptr);
  }
  EXPECT_EQ(ImportSlot(merlox, "KERNEL32.dll", "DeviceIoControl"), deviceIoControl)
      << "a failed search changes nothing";
}

TEST(DriverRedirectTest, AttachRedirectsEveryDriverImportAndDetachRestoresThem) {
  const test::MerloxDll& dll = test::MerloxDll::Get();
  ASSERT_EQ(dll.error(), "");
  HMODULE merlox = dll.module();

  std::vector<void*> originals;
  for (const DriverImport& import : DriverImports()) {
    originals.push_back(ImportSlot(merlox, import.dllName, import.functionName));
    EXPECT_EQ(originals.back(), SystemFunction(import.dllName, import.functionName))
        << import.functionName;
  }
  {
    DriverRedirect redirect;
    ASSERT_TRUE(redirect.Attach(merlox));
    EXPECT_TRUE(redirect.Attach(merlox)) << "attaching again to the same module is harmless";
    EXPECT_FALSE(redirect.Attach(GetModuleHandleW(nullptr))) << "one module per redirect";
    for (const DriverImport& import : DriverImports()) {
      EXPECT_EQ(ImportSlot(merlox, import.dllName, import.functionName), import.simulated)
          << import.functionName;
    }
  }  // the destructor detaches
  for (size_t i = 0; i < DriverImports().size(); ++i) {
    const DriverImport& import = DriverImports()[i];
    EXPECT_EQ(ImportSlot(merlox, import.dllName, import.functionName), originals[i])
        << import.functionName;
  }
}

// A module that lacks some of the imports is left exactly as it was: this test
// program imports CloseHandle but nothing from SetupAPI.
TEST(DriverRedirectTest, AttachToAModuleWithoutTheImportsChangesNothing) {
  HMODULE self = GetModuleHandleW(nullptr);
  void* const closeHandle = ImportSlot(self, "KERNEL32.dll", "CloseHandle");
  ASSERT_NE(closeHandle, nullptr);

  DriverRedirect redirect;
  EXPECT_FALSE(redirect.Attach(self));
  EXPECT_FALSE(redirect.attached());
  EXPECT_EQ(ImportSlot(self, "KERNEL32.dll", "CloseHandle"), closeHandle);
}

}  // namespace
}  // namespace merlox::sim
