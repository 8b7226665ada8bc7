#pragma once
// A command line run through the command interpreter (cmd.exe /c on
// Windows, /bin/sh -c elsewhere) as a child of this process, with a handle
// to wait for it with a deadline and to end it with its descendants.

#include "port/notcopyable.h"

#include <memory>
#include <string>

namespace Varnix::Port {

class ChildProcess : NotCopyable {
public:
    // Starts `command` through the command interpreter and returns at once.
    // The command is UTF-16, and the paths in it reach the interpreter as
    // the names they were found as (path.h). Null, with the system's reason in
    // `why`, when the interpreter could not be started. Any thread.
    static std::unique_ptr<ChildProcess> start(const char16_t* command, std::string& why);

    // Ends whatever is left of the tree (endTree) and releases the handle.
    // The owner's thread.
    ~ChildProcess();

    // Waits at most `milliseconds` (negative: without a limit) for the
    // interpreter to exit. True once it has exited; exitStatus() then holds
    // its status. The owner's thread only.
    bool wait(int milliseconds);

    // The interpreter's exit status once wait() has returned true: its exit
    // code, or on POSIX 128 plus the signal that ended it.
    int exitStatus() const { return status; }

    // Ends the interpreter and every process descended from it that still
    // runs, also those that left its process group or session. Returns how
    // many processes it ended (0 when none was left). Any thread, also while
    // the owner waits.
    int endTree();

private:
    struct System;
    explicit ChildProcess(std::unique_ptr<System> system);

    std::unique_ptr<System> system;
    int status = -1;
};

}  // namespace Varnix::Port
