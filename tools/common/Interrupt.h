// Ctrl+C for the tools that go on until the operator stops them. From CatchInterrupt
// on, Ctrl+C (a console control handler on Windows; SIGINT and SIGTERM elsewhere)
// sets a flag instead of ending the process, so that the program can end its waits,
// leave the card as it should be, and exit cleanly.
#pragma once

namespace merlox::tools {

void CatchInterrupt();
bool Interrupted();
// Blocks until Ctrl+C (or RequestInterrupt), without polling.
void WaitForInterrupt();
// What Ctrl+C does, for a program that runs a tool's commands in its own process
// (the tests); ClearInterrupt makes the next command go on again.
void RequestInterrupt();
void ClearInterrupt();

}  // namespace merlox::tools
