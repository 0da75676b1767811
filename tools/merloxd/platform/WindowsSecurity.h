// Windows only: who may change what the guard runs, and who may talk to it. The
// guard runs as the system; a file it reads its orders from, or a program it runs,
// that anyone else can change would let that person run code as the system.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace merloxd {

// Whom, besides SYSTEM, Administrators, TrustedInstaller and the users who are
// administrators, the descriptor lets change the object: its owner, or a trustee with a write,
// delete or permissions right. "Everyone" for a descriptor without an access list. Nothing when no
// one.
std::optional<std::string> WritableByOthers(PSECURITY_DESCRIPTOR descriptor);

struct UnsafePath {
  std::string path;  // the file, or the folder it is in
  std::string who;   // who else can change it, or why that cannot be told
};

// The same for a file or directory by its path, and for the folder it is in (who
// can write there can put another file in its place). Nothing when only they can.
std::optional<UnsafePath> CheckOnlyAdministratorsWrite(const std::string& path);

// The program a command line starts, as Windows would find it: the first word,
// quoted or not, looked for in the PATH when it has no folder. "" when not found.
std::string ProgramOf(const std::string& commandLine);

// The control pipe's access list, in SDDL: SYSTEM and Administrators may do
// everything, members of the heartbeat group (a SID, "" for none) read and write
// (heartbeats and the status; the server decides what each may ask), and nobody
// else connects. extraFullSid: the account running a console guard, "" for none.
std::string ControlPipeSddl(const std::string& heartbeatGroupSid, const std::string& extraFullSid);

// The SID of a local group or account by name, in SDDL form; "" when none.
std::string SidOfAccount(const std::string& name);

}  // namespace merloxd
