#pragma once

// Waking on events instead of polling: a watch on one directory for files
// finished in it, and a wait over that watch and a connection's sockets with
// a time-out, so a caller answers at once and polls only as a fallback.

#include "port/notcopyable.h"

#include <cstdint>

namespace Varnix::Port {

class StreamSocket;

// Watches one directory for files finished in it: closed after writing, or
// renamed or moved into it. A file only created is not reported, so a writer
// that is still writing does not wake the watcher. On Windows the system does
// not tell these apart: any change of a name or of a write time counts.
// Changes are only noted, never named: the caller scans the directory itself.
// One user thread at a time; never throws.
class DirectoryWatch : NotCopyable {
public:
    // Starts watching the directory at `path` (path.h). IsOk() is false when
    // the system refuses (missing directory, no watches left); waits then see
    // only their sockets and the time-out.
    explicit DirectoryWatch(const char16_t* path);
    ~DirectoryWatch();

    bool IsOk() const;

    // The system's handle, for waitForActivity; not for other use.
    std::intptr_t nativeHandle() const { return handle; }

private:
    std::intptr_t handle;
};

// What ended a wait; more than one may be true, none after the time-out.
struct Activity {
    bool directoryChanged = false;  // the watch saw a finished file since the last wait
    bool readable = false;          // `incoming` has a byte to read, or its connection ended
    bool closed = false;            // `closing` has no connection any more
    bool any() const { return directoryChanged || readable || closed; }
};

// Waits at most `milliseconds` (0: only looks) until `watch` sees a finished
// file, `incoming` has a byte or its end to read, or `closing`'s connection
// is over (IsClosed(); bytes that its peer sends do not end the wait). Null or
// unusable arguments are left out. The watch's pending changes are taken:
// each is reported once. Unread bytes keep `incoming` readable, so a caller
// that does not read them is woken again at once. The thread that uses the
// sockets and the watch.
Activity waitForActivity(DirectoryWatch* watch, StreamSocket* incoming, StreamSocket* closing, int milliseconds);

}  // namespace Varnix::Port
