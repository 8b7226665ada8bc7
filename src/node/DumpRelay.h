#pragma once
// The relay of the EXR image dumps that 3ds Max writes into the data
// directory: each dump*.exr goes to the master after a file-dump signal and
// is then deleted. All four run on the job's thread (serverThread).

#include "core/NodeWindow.h"
#include "core/String.h"

namespace Varnix::Port {
class StreamSocket;
}

// The path (data directory + "/" + name) of the first dump file that the
// directory search yields: a name matching "dump*", ending exactly in
// ".exr", not a directory, and not given up on (it could not be deleted or
// sent) since the last purge. Empty when there is none or the search fails.
Varnix::String findDumpFile(const Varnix::String& dataDirectory);

// Deletes the file and waits until it is gone, retrying the deletion. True
// once it is gone; after 10 s it gives up with a log line naming the file,
// leaves it in place and returns false.
bool deleteDumpFile(const Varnix::String& dumpPath, Varnix::NodeWindow* window);

// Forgets the dumps given up on, then deletes every dump file it can. One
// that cannot be deleted is given up on and skipped, so that none of the
// others stays behind for the next master.
void purgeDumpFiles(const Varnix::String& dataDirectory, Varnix::NodeWindow* window);

// Sends every dump file to the master (signal, then file frame) and deletes
// it, until none is left or the master cannot take more. A dump that cannot
// be sent (not a regular file, unreadable, too large for a frame) is given up
// on with a log line and the others still go. Once any byte of a dump's
// signal or frame has gone out and the frame cannot be completed, the master
// connection is closed (logged): the master could not tell the rest of the
// stream from the rest of that dump. So is a master that has taken nothing
// for 60 s. Returns the number of dumps sent whole. The socket stays owned by
// the caller. The job's thread only.
int relayDumpFiles(Varnix::Port::StreamSocket* master, const Varnix::String& dataDirectory,
                   Varnix::NodeWindow* window);
