#pragma once
// The relay of the EXR image dumps that 3ds Max writes into the data
// directory: each dump*.exr goes to the master after a file-dump signal and
// is then deleted.

#include "core/LogTarget.h"
#include "core/String.h"
#include "node/Protocol.h"

#include <cstdint>
#include <functional>
#include <unordered_set>
#include <string>

namespace Varnix {

class HostListener;
class JobCut;
class NodeStateBoard;
class PartialSignal;
namespace Port {
class StreamSocket;
}  // namespace Port

// What the relay loop works with; everything it points to outlives the loop.
struct RelayInputs {
    Port::StreamSocket* master;
    HostListener* host;
    // Where 3ds Max writes its dumps.
    String dataDirectory;
    LogTarget* window;
    // The longest pause between two turns: every wake-up the loop waits for
    // comes sooner.
    int pollMilliseconds = Varnix::pollMilliseconds;
    // The loop ends once it is cut; none when null.
    const JobCut* cut = nullptr;
    // Keeps the part of an END that came before the loop; none when null.
    PartialSignal* fromMaster = nullptr;
    // Asked every turn, told whether an END went to 3ds Max in it: the loop
    // ends when it says no. Empty: go on.
    std::function<bool(bool endForwarded)> goOn = {};
};

// What the relay remembers from one job to the next: the dumps given up on,
// how long the master has taken nothing, the development copies' numbers.
// The render service owns one; all of it runs on the job's thread
// (serverThread), which is also the thread that may call every member.
class DumpRelay {
public:
    DumpRelay() = default;
    DumpRelay(const DumpRelay&) = delete;
    DumpRelay& operator=(const DumpRelay&) = delete;

    // The path (data directory + "/" + name) of the first dump file that the
    // directory search yields: a name matching "dump*", ending exactly in
    // ".exr", not a directory, and not given up on (it could not be deleted
    // or sent) since the last purge. Empty when there is none or the search
    // fails.
    String findDumpFile(const String& dataDirectory) const;

    // Deletes the file and waits until it is gone, retrying the deletion.
    // True once it is gone; after 10 s it gives up with a log line naming the
    // file, leaves it in place and returns false.
    bool deleteDumpFile(const String& dumpPath, LogTarget* window);

    // Forgets the dumps given up on, then deletes every dump file it can. One
    // that cannot be deleted is given up on and skipped, so that none of the
    // others stays behind for the next master.
    void purgeDumpFiles(const String& dataDirectory, LogTarget* window);

    // Sends every dump file to the master (signal, then file frame) and
    // deletes it, until none is left or the master cannot take more. A dump
    // that cannot be sent (not a regular file, unreadable, too large for a
    // frame) is given up on with a log line and the others still go. Once any
    // byte of a dump's signal or frame has gone out and the frame cannot be
    // completed, the master connection is closed (logged): the master could
    // not tell the rest of the stream from the rest of that dump. So is a
    // master that has taken nothing for 60 s. Returns the number of dumps
    // sent whole. The socket stays owned by the caller. A dump whose EXR
    // data runs past the end of its file (ExrLayout) is never sent: it is
    // left, without a line, for a later pass.
    int relayDumpFiles(Port::StreamSocket* master, const String& dataDirectory, LogTarget* window);

    // True when a pass since the last purge left a dump because its EXR
    // data ran past the end of its file.
    bool heldBackCutDumps() const { return heldBackCut; }

    // For after the renderer has gone: logs each dump still cut ("Dump cut
    // short, not sent: " + path, its size and what it lacks), gives it up
    // and returns how many there were.
    int reportCutDumps(const String& dataDirectory, LogTarget* window);

    // Told of each dump sent whole and its size; none when null. Set before
    // the first job.
    NodeStateBoard* state = nullptr;

    // The relay loop: while the master and the 3ds Max side both keep their
    // connections, sends every dump to the master (relayDumpFiles) and
    // forwards each END to 3ds Max. Wakes on a dump finished in the data
    // directory, a byte or the close from the master, and the 3ds Max side's
    // close. Returns, with the number of dumps relayed, when either side is
    // gone, once cut, or when `goOn` says no.
    int relayWhileBothConnected(const RelayInputs& inputs);

    // Dumps sent whole since the relay was made: a job sees its renderer's
    // progress in it.
    std::uint64_t sentInAll() const { return sentTotal; }

private:
    // Hashed: a lookup costs the same however many dumps are in it.
    using PathSet = std::unordered_set<std::u16string>;

    // Dumps given up on since the last purge: they could not be deleted or
    // sent. Skipping them lets the dumps behind them still reach the master,
    // and keeps a stuck dump from being tried again on every pass.
    PathSet givenUpDumps;
    // Since when file-dump signals have found no room on the master
    // connection (-1: the last one went out).
    long long stalledSince = -1;
    bool heldBackCut = false;  // see heldBackCutDumps
    // Numbers the development copies of all jobs of one run: 1, 2, 3, ...
    std::int32_t developmentCopyCounter = 0;
    std::uint64_t sentTotal = 0;
};

}  // namespace Varnix
