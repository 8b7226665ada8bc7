#pragma once
// One node per data folder: an exclusive lock on a file in it, held for the
// node's life. The system lets go of it when the process ends, however it
// ends, so a crashed node never keeps the next one out.

#include "port/notcopyable.h"

#include <cstdint>

namespace Varnix::Port {

class FolderLock : NotCopyable {
public:
    enum class State {
        held,           // this process holds it
        heldElsewhere,  // another process holds it
        unavailable     // the file could not be made or opened (no rights...)
    };

    // Opens or creates the file at `path` (path.h) and locks it
    // without waiting; when it gets the lock, writes this process's id into
    // it. Neither the handle nor the lock is inherited by child processes.
    // GUI thread; never throws.
    explicit FolderLock(const char16_t* path);
    // Lets go of the lock and closes the file (which stays).
    ~FolderLock();

    State state() const { return current; }

    // The process id the holder wrote into the file at `path`; 0 when none
    // can be read. Any thread.
    static std::uint32_t holderProcessId(const char16_t* path);

private:
    State current = State::unavailable;
    std::intptr_t handle = -1;
};

// Restores and raises the top-level window titled `title` (NUL-terminated
// UTF-16) of the process `processId`, so that an admin who starts a node
// twice sees the one that runs. Windows only; nothing elsewhere, where the
// desktop decides what comes forward. GUI thread; never fails.
void bringWindowForward(std::uint32_t processId, const char16_t* title);

}  // namespace Varnix::Port
