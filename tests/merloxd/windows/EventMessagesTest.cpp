// Every event ID the guard reports resolves to its text through the message table
// in merloxd.exe, as Event Viewer resolves it, with each insertion string in place.
// Usage: merloxd_events_test PATH\TO\merloxd.exe
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "EventIds.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: merloxd_events_test PATH\\TO\\merloxd.exe\n");
    return 2;
  }
  const HMODULE module =
      LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) {
    std::printf("FAILED: %s cannot be loaded (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  int failures = 0;
  for (const merloxd::EventKind& kind : merloxd::kEventKinds) {
    const std::vector<std::string> strings = {"<first>", "<second>", "<third>"};
    const char* arguments[3] = {strings[0].c_str(), strings[1].c_str(), strings[2].c_str()};
    char text[2048] = "";
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
        merloxd::MessageId(kind.id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
        sizeof(text), reinterpret_cast<va_list*>(const_cast<char**>(arguments)));
    const std::string message(text, length);
    bool right = length > 0;
    for (size_t i = 0; i < 3; ++i) {
      const bool present = message.find(strings[i]) != std::string::npos;
      right = right && present == (i < kind.strings);
    }
    right = right && message.find('%') == std::string::npos;
    std::printf("%s event %u: %s", right ? "ok" : "FAILED", static_cast<unsigned>(kind.id),
                length > 0 ? text : "(no text)\n");
    failures += right ? 0 : 1;
  }
  FreeLibrary(module);
  std::printf(failures == 0 ? "every event has its text: ok\n" : "%d events without their text\n",
              failures);
  return failures == 0 ? 0 : 1;
}
