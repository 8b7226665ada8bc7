#pragma once
// A command line run through the command interpreter (cmd.exe /c on
// Windows, /bin/sh -c elsewhere) as a child of this process, with a handle
// to wait for it with a deadline and to end it with its descendants.

#include "port/notcopyable.h"
#include "port/status.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Varnix::Port {

class StreamSocket;

// The variable that marks every process of a job, "JOB FOLDER": the job's id
// (unique across the node's runs) and the identity of the data folder of the
// node that started it (its device and inode, so that however the folder is
// spelled, through a link or with a trailing slash, it is the same one, and
// two folders are never taken for one). Descendants inherit it, also those
// that leave the process group or session, so a leftover can be told by it
// long after its node has gone. Set on POSIX only: on Windows the Job Object
// ends the tree with the node.
constexpr const char* jobMarkVariable = "VARNIX_DR_JOB";

// A window that a process of a renderer's tree shows on the desktop.
struct ShownWindow {
    // Tells this window from others while it is shown.
    std::uintptr_t id = 0;
    unsigned long processId = 0;
    // The program's file name, such as "3dsmaxcmd.exe"; empty when unknown.
    std::u16string program;
    std::u16string title;
    // The texts of its controls other than buttons, in their order, one line
    // each: what a message box or a dialog says.
    std::u16string text;
};

class ChildProcess : NotCopyable {
public:
    // Starts `command` through the command interpreter and returns at once.
    // The command is UTF-16, and the paths in it reach the interpreter as
    // the names they were found as (path.h). The system's reason when the
    // interpreter could not be started. With a `folder` (a node's data
    // folder) the tree carries the mark of a new job of that folder
    // (jobMarkVariable). Any thread.
    static Result<std::unique_ptr<ChildProcess>> start(const char16_t* command, const char16_t* folder = nullptr);

    // The interpreter's process id, as the system shows it. Any thread.
    std::int64_t processId() const;

    // The id of the job the tree is marked with; empty without a folder.
    const std::string& jobId() const { return job; }

    // True when the other end of `connection` (a loopback connection this
    // process accepted) is held by a process of this tree, or when the system
    // cannot tell who holds it. POSIX: by a descendant of this process, which
    // as their subreaper keeps every process the tree starts, whatever its
    // environment, session or group. Windows: by a process of the tree's Job
    // Object (without one: of the processes descended from the interpreter).
    // The owner's thread.
    bool holdsPeerOf(const StreamSocket& connection);

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

    // What the whole tree uses, read when asked. `cpuSeconds` only grows
    // while the tree lives (Windows: every process the job ever held;
    // POSIX: the living processes and the children they reaped, so a
    // process reaped by the node takes its seconds away). `memoryBytes` is
    // what the tree holds now: on Windows the private memory its processes
    // committed (what the Job Object charges; shared and mapped file pages
    // are not charged), on POSIX each process's proportional set size (a
    // page shared by n processes counts 1/n in each, so the tree's shared
    // pages count once; resident size where the system gives no PSS);
    // `peakMemoryBytes` the most it held (on POSIX: the most seen by these
    // calls). `memoryLimitReached` once the tree has run into the cap of
    // limitMemory. `known` is false when none of it could be read. On
    // Windows each call also keeps the processes that joined the tree since
    // the last one out of the system's power throttling (efficiency mode),
    // as start() does for the interpreter. The owner's thread.
    struct Usage {
        bool known = false;
        double cpuSeconds = 0;
        std::uint64_t memoryBytes = 0;
        std::uint64_t peakMemoryBytes = 0;
        bool memoryLimitReached = false;
    };
    Usage usage();

    // Caps the memory the whole tree may commit at `bytes`. True when the
    // system enforces the cap (the Job Object on Windows: an allocation past
    // it fails, and usage() reports it reached); false when it cannot, and
    // the caller must watch usage().memoryBytes itself (POSIX, and Windows
    // without a job of its own). The owner's thread, right after start.
    bool limitMemory(std::uint64_t bytes);

    // Empty, or why endTree cannot end the tree as a whole (Windows before
    // 8, where the node runs in a job that lets nothing leave it): then it
    // ends the processes it finds descended from the interpreter, and those
    // that outlive the node are not ended with it. For the log, once.
    const std::string& limitation() const;

    // The visible top-level windows that processes of the tree show: a
    // renderer run from the command line shows none, so these are its dialog
    // boxes, message boxes and crash reports, which wait for a click nobody
    // gives. Windows: the processes of the tree are the Job Object's (else
    // those descended from the interpreter). POSIX: always none, a renderer
    // there has no desktop the node looks into. The owner's thread.
    std::vector<ShownWindow> shownWindows();

private:
    struct System;
    explicit ChildProcess(std::unique_ptr<System> system);

    std::unique_ptr<System> system;
    int status = -1;
    std::string job;
};

// What a renderer's exit status says beyond its number: the crash code's
// name on Windows ("access violation" for 0xC0000005), the signal on POSIX
// (a status of 128 plus a signal, "SIGSEGV"); empty for a plain exit code.
// Any thread.
std::string exitStatusMeaning(int status);

// The value the renderer's program returned, as the signed number it wrote:
// Windows hands on all 32 bits (a -8 arrives as 0xFFFFFFF8, the int -8);
// POSIX keeps the low 8, so 193 to 255 (past the signals' 129 to 192) are
// -63 to -1. Any thread.
int returnedValue(int status);

// Ends what an earlier run of a node in `folder` left running: every process
// marked as a job of this folder (by its identity, however it was spelled),
// and every unmarked process whose working folder lies in it or that has a
// file there open for writing, which is what a renderer's helper that
// cleared its environment and writes there looks like. Never this process,
// its ancestors or another process of this program (the log's companion),
// nor a process marked as another folder's job. Only for a node that holds the
// folder and has not started a job yet. Returns how many processes it
// ended. Windows: 0, the Job Object ended the tree with the node that
// started it.
int endEarlierJobs(const char16_t* folder);

}  // namespace Varnix::Port
