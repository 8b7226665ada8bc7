#pragma once
// One node per data folder: an exclusive lock on a file in it, held for the
// node's life. The system lets go of it when the process ends, however it
// ends, so a crashed node never keeps the next one out.

#include "port/notcopyable.h"

#include <cstdint>
#include <string>

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

    // Keeps the lock on the file now at the path: when the one held is no
    // longer there (deleted or replaced, drData removed and made again), the
    // file at the path is opened or created again and locked, and the old
    // one let go of, so that a second node cannot take the remade folder.
    // Returns the state after it: `heldElsewhere` when another process took
    // the new file first. Nothing changes while the path cannot be opened
    // (the folder is gone): the old lock is kept. On Windows the folder
    // cannot be removed while the lock file is open; a lock file deleted or
    // replaced is renewed the same way. The owner's thread; never throws.
    State renew();

    // The process id the holder wrote into the file at `path`; 0 when none
    // can be read. Any thread.
    static std::uint32_t holderProcessId(const char16_t* path);

private:
    // Opens or creates the file at `path` and locks it; on success the
    // process id is written into it and the handle returned, else -1 with
    // `why` telling what kept it.
    static std::intptr_t lockFile(const std::u16string& path, State& why);

    std::u16string path;
    State current = State::unavailable;
    std::intptr_t handle = -1;
};

// Restores and raises the top-level window titled `title` (NUL-terminated
// UTF-16) of the process `processId`, so that an admin who starts a node
// twice sees the one that runs. Windows only; nothing elsewhere, where the
// desktop decides what comes forward. GUI thread; never fails.
void bringWindowForward(std::uint32_t processId, const char16_t* title);

// The session of another logon that the process `processId` runs in (its
// Windows session id), or -1 when it runs in this process's session or its
// session cannot be told (always -1 off Windows).
long otherSessionOf(std::uint32_t processId);

}  // namespace Varnix::Port
