// Windows only: points a loaded module's imports somewhere else by rewriting its
// import address table. MERLOX.dll reaches SetupAPI and the cards' driver only
// through its imports, so redirecting a handful of them puts the shipped DLL, not a
// rebuilt copy of it, in front of the simulated driver.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

namespace merlox::sim {

// Replaces the address that `module` calls for `functionName` imported by name
// from `dllName` (compared without regard to case, e.g. "kernel32.dll") with
// `replacement`, and returns the address it held before, so that the caller can
// put it back with a second call. Returns null, changing nothing, when the module
// has no such import. Every import descriptor of that DLL is searched, so a module
// whose linker split one DLL's imports into several descriptors is served too.
void* PatchImport(HMODULE module, const char* dllName, const char* functionName, void* replacement);

// One import of MERLOX.dll and the simulator function that stands in for it.
struct DriverImport {
  const char* dllName;
  const char* functionName;
  void* simulated;
};

// The imports that reach the system's SetupAPI or the cards' driver.
const std::vector<DriverImport>& DriverImports();
// The imports that shut Windows down or restart it, and the privilege steps before
// them: redirected, they only record what they were asked (sim/SimSystem.h).
const std::vector<DriverImport>& ShutdownImports();
// The same imports, for a process that uses a shared simulator (merloxsim serve):
// the driver calls go to it over its pipe (sim/SimRemoteDriver.h), and so does the
// shutdown, which it records with its time; the privilege steps stay with this
// process's recorder, as they concern its own token.
const std::vector<DriverImport>& SharedDriverImports();
const std::vector<DriverImport>& SharedShutdownImports();

// Redirects a set of imports of a loaded module to the simulator and restores the
// originals on Detach or destruction. Attach is all or nothing: if the module lacks
// one of the imports, it is left exactly as it was.
class ImportRedirect {
 public:
  explicit ImportRedirect(const std::vector<DriverImport>& imports)
      : attaching_(&imports), imports_(&imports) {}
  ~ImportRedirect() { Detach(); }
  ImportRedirect(const ImportRedirect&) = delete;
  ImportRedirect& operator=(const ImportRedirect&) = delete;

  // Returns false when the module lacks an import or another module is already
  // attached to this object.
  bool Attach(HMODULE module);
  // Points the attached module's imports at another set of stand-ins for the same
  // functions, in the same order, each slot in one store; Detach still puts the
  // originals back. False, changing nothing, when not attached or the set differs.
  bool Retarget(const std::vector<DriverImport>& imports);
  void Detach();
  // Drops the record of a module that has been unloaded meanwhile: there is
  // nothing left to restore, and its memory must not be written. The next Attach
  // puts in the stand-ins given at construction again.
  void Forget();
  bool attached() const { return module_ != nullptr; }

 private:
  const std::vector<DriverImport>* const attaching_;  // the stand-ins Attach puts in
  const std::vector<DriverImport>* imports_;          // the stand-ins the slots hold now
  HMODULE module_ = nullptr;
  std::vector<void*> originals_;
};

class DriverRedirect : public ImportRedirect {
 public:
  DriverRedirect() : ImportRedirect(DriverImports()) {}
};

class ShutdownRedirect : public ImportRedirect {
 public:
  ShutdownRedirect() : ImportRedirect(ShutdownImports()) {}
};

}  // namespace merlox::sim
