// Windows only: points a loaded module's imports somewhere else by rewriting its
// import address table. MERLOX.dll reaches SetupAPI and the cards' driver only
// through its imports, so redirecting a handful of them puts the shipped DLL, not a
// rebuilt copy of it, in front of the simulated driver.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>

namespace merlox::sim {

// Replaces the address that `module` calls for `functionName` imported by name
// from `dllName` (compared without regard to case, e.g. "kernel32.dll") with
// `replacement`, and returns the address it held before, so that the caller can
// put it back with a second call. Returns null, changing nothing, when the module
// has no such import. Every import descriptor of that DLL is searched, so a module
// whose linker split one DLL's imports into several descriptors is served too.
void* PatchImport(HMODULE module, const char* dllName, const char* functionName, void* replacement);

// One import of MERLOX.dll that reaches the system's SetupAPI or the cards'
// driver, and the simulator function that stands in for it.
struct DriverImport {
  const char* dllName;
  const char* functionName;
  void* simulated;
};

inline constexpr std::size_t kDriverImportCount = 7;
const std::array<DriverImport, kDriverImportCount>& DriverImports();

// Redirects every driver-facing import of a loaded MERLOX.dll to the simulator and
// restores the originals on Detach or destruction. Attach is all or nothing: if the
// module lacks one of the imports, it is left exactly as it was.
class DriverRedirect {
 public:
  DriverRedirect() = default;
  ~DriverRedirect() { Detach(); }
  DriverRedirect(const DriverRedirect&) = delete;
  DriverRedirect& operator=(const DriverRedirect&) = delete;

  // Returns false when the module lacks an import or another module is already
  // attached to this object.
  bool Attach(HMODULE module);
  void Detach();
  bool attached() const { return module_ != nullptr; }

 private:
  HMODULE module_ = nullptr;
  std::array<void*, kDriverImportCount> originals_{};
};

}  // namespace merlox::sim
