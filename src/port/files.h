#pragma once
// Files and directories, as the render node needs them. Paths are in the
// one form of path.h (NUL-terminated UTF-16).
// All functions may be called from any thread and never throw.

#include "port/notcopyable.h"
#include "port/status.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Varnix::Port {

// The process's working directory, as the system names it (path.h); empty
// when the system cannot tell.
std::u16string workingDirectory();

// Creates one directory. False when it could not be made, including when it
// already exists.
bool makeDirectory(const char16_t* path);

// True when the path names an existing regular file (a pending deletion
// still counts as existing until its last handle is closed).
bool isRegularFile(const char16_t* path);

// The size in bytes of an existing regular file; -1 when it cannot be read
// (missing, a directory, a symbolic link, no access). Reads attributes only.
std::int64_t fileSize(const char16_t* path);

// Deletes a file. False when the file could not be deleted.
bool deleteFile(const char16_t* path);

// Copies a regular file, replacing `to` when it exists. Neither path is
// followed through a symbolic link: a link at `from` fails the copy, a link
// at `to` is removed and `to` created anew (exclusively). False on any
// failure.
bool copyFile(const char16_t* from, const char16_t* to);

// Ok when `path` can be opened for appending, as the command interpreter's
// ">>" opens it (created when missing, then closed); otherwise the system's
// reason.
Status canAppendTo(const char16_t* path);

// Where development builds keep numbered copies of relayed dumps: the copy
// number n goes to prefix + n + ".exr". Static text, never null.
const char16_t* developmentDumpCopyPrefix();

// A file opened for reading its bytes out, as a dump is before the master
// hears of it. Opening never blocks: anything but a regular file (a FIFO, a
// device) is refused before it is opened for reading. The size is that of
// the opened file. Closed by close() or the destructor. One thread.
class InputFile : NotCopyable {
public:
    enum class Status {
        opened,      // size() and read() work
        gone,        // no entry of that name (any more)
        busy,        // held by another program that shares no reading (Windows); try later
        notRegular,  // a FIFO, a device, a directory
        noTarget,    // an entry whose file cannot be found: a link that leads nowhere
        unreadable,  // no read access, or another failure: failure() tells
        link         // a symbolic link (any reparse point on Windows): never followed
    };

    explicit InputFile(const char16_t* path);
    ~InputFile();

    Status status() const { return state; }
    // The size of the opened file in bytes; -1 unless opened.
    std::int64_t size() const { return bytes; }
    // Which file was opened, whatever its name is now: equal for two opens
    // of the same file (device and inode; volume and file index on
    // Windows), 0 and 0 unless opened.
    struct Identity {
        std::uint64_t volume = 0;
        std::uint64_t index = 0;
        bool operator==(const Identity& other) const { return volume == other.volume && index == other.index; }
        bool operator!=(const Identity& other) const { return !(*this == other); }
    };
    Identity identity() const { return id; }
    // The system's code and words when a call of the system failed the open
    // (always for `unreadable`); ok when opened, and when this layer refused
    // the file itself (a link, not a regular file).
    const Port::Status& failure() const { return why; }

    // Reads up to `count` bytes at the current position: the count read, 0 at
    // the end of the file, -1 on a read error or when not opened.
    long long read(void* buffer, std::size_t count);

    // Reads up to `count` bytes at `offset` without moving the position
    // that read() uses: the count read, 0 at or past the end, -1 on a read
    // error or when not opened.
    long long readAt(std::int64_t offset, void* buffer, std::size_t count);

    // Closes the file; later reads fail. Nothing when not open.
    void close();

    // The system's handle (-1 unless opened), for the socket layer's send
    // straight from the file (socket.h: WriteFile); not for other use.
    std::intptr_t nativeHandle() const { return handle; }

private:
    Status state = Status::unreadable;
    std::int64_t bytes = -1;
    Identity id;
    std::intptr_t handle = -1;
    Port::Status why;
};

// A wildcard search of one directory: the pattern is a directory path
// followed by a last component holding '*' and '?' (case-insensitive on
// Windows, case-sensitive elsewhere). Entries come in the order the system
// yields them. The search is closed by the destructor. One thread only.
class FileSearch : NotCopyable {
public:
    explicit FileSearch(const char16_t* pattern);
    ~FileSearch();

    // True while an entry is current; false once the entries have run out
    // or when the search could not be started.
    bool hasEntry() const;
    // The current entry's name (no directory), UTF-16, valid until next().
    const char16_t* name() const;
    // True when the current entry is a directory.
    bool isDirectory() const;
    // Moves to the next matching entry, or ends the search.
    void next();

private:
    struct State;
    State* state;
};

// Bytes free to this user on the disk that holds `folder`; -1 when it
// cannot be told. May block on a slow or network disk: not for a thread
// that must answer at once.
std::int64_t freeSpaceBytes(const char16_t* folder);

}  // namespace Varnix::Port
