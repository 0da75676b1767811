// Who may change what the guard runs, judged on security descriptors made from SDDL
// (Wine keeps descriptors as written but does not enforce all of them, so the rules
// are shown on the descriptors themselves); and the control pipe's access list,
// read back from a pipe made with it.
// Usage: merloxd_security_test
#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <optional>
#include <string>

#include "platform/WindowsSecurity.h"

namespace {

int failures = 0;

void Expect(bool condition, const std::string& what) {
  std::printf("%s: %s\n", condition ? "ok" : "FAILED", what.c_str());
  if (!condition) ++failures;
}

std::optional<std::string> Judge(const char* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return "(SDDL not taken)";
  }
  std::optional<std::string> who = merloxd::WritableByOthers(descriptor);
  LocalFree(descriptor);
  return who;
}

void CheckDescriptors() {
  const struct {
    const char* sddl;
    const char* writer;  // a part of who else may write, or null for nobody
  } cases[] = {
      {"O:SYG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)", nullptr},
      {"O:BAG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFX;;;BU)", nullptr},
      {"O:SYG:SYD:P(A;OICIIO;FA;;;BU)(A;;FA;;;SY)", nullptr},  // inherit-only: not this file
      {"O:SYG:SYD:P(D;;FA;;;WD)(A;;FA;;;SY)", nullptr},        // a denial grants nothing
      {"O:SYG:SYD:P(A;;FA;;;SY)(A;;0x120116;;;BU)", "Users"},  // write data
      {"O:SYG:SYD:P(A;;GA;;;WD)", "Everyone"},
      {"O:SYG:SYD:P(A;;SD;;;AU)", "Authenticated Users"},  // delete: replace it
      {"O:SYG:SYD:P(A;;WD;;;BU)", "Users"},                // change its permissions
      {"O:BUG:SYD:P(A;;FA;;;SY)", "(its owner)"},          // an owner may change the list
  };
  for (const auto& c : cases) {
    const std::optional<std::string> who = Judge(c.sddl);
    const bool right =
        c.writer == nullptr ? !who.has_value() : who && who->find(c.writer) != std::string::npos;
    Expect(right, std::string(c.sddl) + " -> " + (who ? *who : "only SYSTEM and Administrators"));
  }
  // No access list at all lets everyone do everything (SDDL's NO_ACCESS_CONTROL is
  // not read the same by every implementation, so the descriptor is made directly).
  SECURITY_DESCRIPTOR open;
  BYTE system[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(system);
  InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
  CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size);
  SetSecurityDescriptorOwner(&open, system, FALSE);
  SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
  const std::optional<std::string> who = merloxd::WritableByOthers(&open);
  Expect(who == "Everyone (it has no access list)",
         "no access list -> " + who.value_or("only SYSTEM and Administrators"));
}

// The entries of a descriptor's access list as "type:mask:SID", in their order.
std::string Entries(PSECURITY_DESCRIPTOR descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || acl == nullptr) {
    return "(no access list)";
  }
  std::string entries;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* entry = nullptr;
    GetAce(acl, i, &entry);
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    char* sid = nullptr;
    ConvertSidToStringSidA(&allowed->SidStart, &sid);
    char text[160];
    std::snprintf(text, sizeof(text), "%s%u:0x%08lX:%s", entries.empty() ? "" : " ",
                  static_cast<unsigned>(allowed->Header.AceType),
                  static_cast<unsigned long>(allowed->Mask), sid != nullptr ? sid : "?");
    if (sid != nullptr) LocalFree(sid);
    entries += text;
  }
  return entries;
}

void CheckPipe() {
  const std::string sddl = merloxd::ControlPipeSddl("S-1-5-32-545", "");
  Expect(sddl == "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;S-1-5-32-545)", "pipe SDDL " + sddl);
  Expect(merloxd::ControlPipeSddl("", "S-1-5-21-1-2-3-1001") ==
             "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;S-1-5-21-1-2-3-1001)",
         "a console guard's own account may do everything");
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                       nullptr);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  const HANDLE pipe = CreateNamedPipeA("\\\\.\\pipe\\merloxd-security-test", PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_BYTE, 1, 512, 512, 0, &attributes);
  LocalFree(descriptor);
  Expect(pipe != INVALID_HANDLE_VALUE, "a pipe made with it");
  if (pipe == INVALID_HANDLE_VALUE) return;
  PSECURITY_DESCRIPTOR readBack = nullptr;
  const DWORD error = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                      nullptr, nullptr, nullptr, &readBack);
  const std::string back = error == ERROR_SUCCESS ? Entries(readBack) : "(unreadable)";
  // Allowed (0): everything for SYSTEM and Administrators, read and write for Users.
  Expect(back == "0:0x10000000:S-1-5-18 0:0x10000000:S-1-5-32-544 0:0xC0000000:S-1-5-32-545",
         "the pipe's access list: " + back);
  if (readBack != nullptr) LocalFree(readBack);
  CloseHandle(pipe);
}

// A file an administrator made belongs to that administrator: safe, since an
// administrator could change it anyway. Under Wine every file belongs to the user
// running it, who is an administrator there.
void CheckOwnFiles() {
  char path[MAX_PATH];
  GetTempPathA(sizeof(path), path);
  const std::string file = std::string(path) + "merloxd-security-test.toml";
  const HANDLE made = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  CloseHandle(made);
  const auto unsafe = merloxd::CheckOnlyAdministratorsWrite(file);
  Expect(!unsafe, "a file an administrator made: " +
                      (unsafe ? unsafe->path + " by " + unsafe->who : std::string("safe")));
  DeleteFileA(file.c_str());
}

void CheckPrograms() {
  char system[MAX_PATH];
  GetSystemDirectoryA(system, sizeof(system));
  const std::string cmd = merloxd::ProgramOf("cmd /c exit 0");
  Expect(_stricmp(cmd.c_str(), (std::string(system) + "\\cmd.exe").c_str()) == 0,
         "cmd /c exit 0 runs " + cmd);
  const std::string quoted = merloxd::ProgramOf("\"" + std::string(system) + "\\cmd.exe\" /c dir");
  Expect(_stricmp(quoted.c_str(), (std::string(system) + "\\cmd.exe").c_str()) == 0,
         "a quoted path runs " + quoted);
  Expect(merloxd::ProgramOf("no-such-program --flag").empty(), "a program not found");
}

}  // namespace

int main() {
  CheckDescriptors();
  CheckPipe();
  CheckPrograms();
  CheckOwnFiles();
  std::printf(failures == 0 ? "security: ok\n" : "%d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
