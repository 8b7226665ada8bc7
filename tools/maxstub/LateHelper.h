#pragma once

#include <string>

namespace Varnix::Peer {

// The first argument that makes the stand-in a late helper instead of a
// renderer: "--late-dump DIRECTORY MILLISECONDS".
constexpr const char* lateDumpOption = "--late-dump";

// Starts this executable again as a helper detached from the stand-in (its
// own session, as daemons do), which writes "dump99.exr" into `directory`
// after `delayMs`, as a renderer's leftover helper would. False when it could
// not be started.
bool startLateHelper(const std::string& directory, int delayMs);

// With `argv` as main got it: runs this executable again in place with an
// empty environment, unless the environment is empty already (POSIX; on
// Windows nothing: no mark is kept there). Returns only when it does not.
void dropEnvironment(char** argv);

// The helper's part: waits, then writes the dump (renamed into place).
// Returns the exit status.
int runLateHelper(const std::string& directory, int delayMs);

}  // namespace Varnix::Peer
