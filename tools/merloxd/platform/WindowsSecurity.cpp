#include "platform/WindowsSecurity.h"

#include <aclapi.h>
#include <lm.h>
#include <sddl.h>

#include <memory>

namespace merloxd {
namespace {

constexpr const char* kTrustedSids[] = {
    "S-1-5-18",      // SYSTEM
    "S-1-5-32-544",  // Administrators
    // TrustedInstaller, which owns Windows's own programs.
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
};

constexpr ACCESS_MASK kChanging = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                  FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER |
                                  GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "an unknown account";
  std::string result(text);
  LocalFree(text);
  return result;
}

// Whether the account is a user in the local Administrators group: an administrator
// who owns a file can change it anyway.
bool AdministratorAccount(PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD nameLength = 256;
  DWORD domainLength = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use) ||
      use != SidTypeUser) {
    return false;
  }
  // The group's name as this machine spells it (it is translated).
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(administrators);
  wchar_t groupName[256];
  wchar_t groupDomain[256];
  DWORD groupLength = 256;
  DWORD groupDomainLength = 256;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
      !LookupAccountSidW(nullptr, administrators, groupName, &groupLength, groupDomain,
                         &groupDomainLength, &use)) {
    return false;
  }
  LPBYTE buffer = nullptr;
  DWORD read = 0;
  DWORD total = 0;
  if (NetUserGetLocalGroups(nullptr, name, 0, LG_INCLUDE_INDIRECT, &buffer, MAX_PREFERRED_LENGTH,
                            &read, &total) != NERR_Success) {
    return false;
  }
  bool member = false;
  const auto* groups = reinterpret_cast<LOCALGROUP_USERS_INFO_0*>(buffer);
  for (DWORD i = 0; i < read && !member; ++i)
    member = _wcsicmp(groups[i].lgrui0_name, groupName) == 0;
  NetApiBufferFree(buffer);
  return member;
}

bool Trusted(PSID sid) {
  const std::string text = SidText(sid);
  for (const char* trusted : kTrustedSids) {
    if (text == trusted) return true;
  }
  return AdministratorAccount(sid);
}

// DOMAIN\name when Windows knows the account, else its SID.
std::string Describe(PSID sid) {
  char name[256];
  char domain[256];
  DWORD nameLength = sizeof(name);
  DWORD domainLength = sizeof(domain);
  SID_NAME_USE use;
  if (LookupAccountSidA(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
    return domainLength > 0 ? std::string(domain) + "\\" + name : std::string(name);
  }
  return SidText(sid);
}

std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos || slash == 0) return "";
  // "C:\" stays itself: the drive's root is the last to look at.
  if (slash == 2 && path[1] == ':') return path.substr(0, 3) == path ? "" : path.substr(0, 3);
  return path.substr(0, slash);
}

}  // namespace

std::optional<std::string> WritableByOthers(PSECURITY_DESCRIPTOR descriptor) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner != nullptr &&
      !Trusted(owner)) {
    return Describe(owner) + " (its owner)";
  }
  BOOL present = FALSE;
  PACL acl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted))
    return "an unreadable access list";
  if (!present || acl == nullptr) return std::string("Everyone (it has no access list)");
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(acl, i, &entry)) continue;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    // Entries for what is made inside a folder do not apply to the folder itself.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
      continue;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID trustee = &allowed->SidStart;
    if ((allowed->Mask & kChanging) != 0 && !Trusted(trustee)) return Describe(trustee);
  }
  return std::nullopt;
}

std::optional<UnsafePath> CheckOnlyAdministratorsWrite(const std::string& path) {
  for (std::string current = path; !current.empty(); current = Parent(current)) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetNamedSecurityInfoA(
        current.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
      return UnsafePath{current, "whoever may: its permissions cannot be read (error " +
                                     std::to_string(error) + ")"};
    }
    const std::optional<std::string> who = WritableByOthers(descriptor);
    LocalFree(descriptor);
    if (who) return UnsafePath{current, *who};
    // The file and the folder it is in; further up, a folder that others may write
    // to could still not replace this one without the right to delete it.
    if (current != path) break;
  }
  return std::nullopt;
}

std::string ProgramOf(const std::string& commandLine) {
  size_t start = commandLine.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  std::string word;
  if (commandLine[start] == '"') {
    const size_t end = commandLine.find('"', start + 1);
    word = commandLine.substr(start + 1,
                              end == std::string::npos ? std::string::npos : end - start - 1);
  } else {
    word = commandLine.substr(start, commandLine.find_first_of(" \t", start) - start);
  }
  char found[MAX_PATH];
  char* name = nullptr;
  const DWORD length = SearchPathA(nullptr, word.c_str(), ".exe", sizeof(found), found, &name);
  return length > 0 && length < sizeof(found) ? std::string(found, length) : "";
}

std::string ControlPipeSddl(const std::string& heartbeatGroupSid, const std::string& extraFullSid) {
  // Protected (P): nothing is inherited from elsewhere. GA for the administrators,
  // GRGW for the heartbeat group: enough to open the pipe both ways.
  std::string sddl = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
  if (!extraFullSid.empty()) sddl += "(A;;GA;;;" + extraFullSid + ")";
  if (!heartbeatGroupSid.empty()) sddl += "(A;;GRGW;;;" + heartbeatGroupSid + ")";
  return sddl;
}

std::string SidOfAccount(const std::string& name) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidLength = sizeof(sid);
  char domain[256];
  DWORD domainLength = sizeof(domain);
  SID_NAME_USE use;
  if (!LookupAccountNameA(nullptr, name.c_str(), sid, &sidLength, domain, &domainLength, &use)) {
    return "";
  }
  return SidText(sid);
}

}  // namespace merloxd
