// Figure 6 on Windows, measured under Wine: WDG_Pet through the shipped MERLOX.dll,
// timed call by call, first with its imports redirected to the simulator in this
// process, then to a shared simulator whose server runs on a thread of this
// process: the same named pipe, framing and server thread a second process would
// use. Wine's pipes are served by its wineserver, so the figure says how the pipe
// path behaves, not what Windows itself would take.
//
//   merlox_wine_roundtrip [--quick]   (scripts/bench.sh runs it through scripts/wine-run.sh)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ImportPatch.h"
#include "MedianCallTime.h"
#include "SimDriver.h"
#include "SimRemoteDriver.h"
#include "SimServer.h"
#include "Threads.h"
#include "merlox.h"

namespace {

using merlox::sim::Driver;

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "merlox_wine_roundtrip: %s\n", why.c_str());
  std::exit(1);
}

template <class F>
F Operation(HMODULE module, const char* name) {
  const auto function =
      reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
  if (function == nullptr) Fail(std::string("MERLOX.dll lacks ") + name);
  return function;
}

HMODULE LoadMerloxDll() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dllPath(path, length);
  dllPath.erase(dllPath.find_last_of(L"\\/") + 1);
  HMODULE module = LoadLibraryW((dllPath + L"MERLOX.dll").c_str());
  if (module == nullptr) Fail("cannot load MERLOX.dll from beside the program");
  return module;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int calls = quick ? 200 : 20000;
  HMODULE module = LoadMerloxDll();
  const auto getNumCards = Operation<decltype(&::GetNumCards)>(module, "GetNumCards");
  const auto pet = Operation<decltype(&::WDG_Pet)>(module, "WDG_Pet");
  const auto closeAll = Operation<decltype(&::MERLOX_CloseAll)>(module, "MERLOX_CloseAll");
  const auto timePets = [&](int batch) {
    if (getNumCards() != 1) Fail("the simulated card did not open");
    return merlox::bench::MedianMicroseconds(
        calls,
        [&] {
          if (pet(0) != 0) Fail("WDG_Pet failed");
        },
        batch);
  };

  merlox::sim::DriverRedirect redirect;
  if (!redirect.Attach(module)) Fail("cannot redirect MERLOX.dll's driver imports");
  Driver::Instance().SetRequestLog(false);
  merlox::sim::CardConfig config;
  config.productId = 0x8080;
  Driver::Instance().Plug(config);
  // A call in the process takes less than the clock's step: timed 100 at a time.
  const double inProcess = timePets(100);
  closeAll();
  Driver::Instance().Reset();
  Driver::Instance().SetRequestLog(false);

  merlox::sim::Server server;
  std::string problem;
  const std::string name = "bench-" + std::to_string(GetCurrentProcessId());
  if (!server.Start(name, 1, &problem)) Fail(problem);
  merlox::tools::Thread serving;
  if (!serving.Start([&server] { server.Run(); })) Fail("cannot start the server's thread");
  if (merlox::sim::SharedSimulator().Connect(name) != 0)
    Fail("the shared simulator did not answer");
  redirect.Retarget(merlox::sim::SharedDriverImports());
  const double shared = timePets(1);
  closeAll();
  redirect.Retarget(merlox::sim::DriverImports());
  merlox::sim::SharedSimulator().Disconnect();
  server.Stop();
  serving.Join();
  redirect.Detach();

  std::printf(
      "6. WDG_Pet through a shared simulator (merloxsim serve), measured under Wine, median of "
      "%d calls (goal < 100 us)\n   shared %.1f us, in-process %.2f us\n",
      calls, shared, inProcess);
  return 0;
}
