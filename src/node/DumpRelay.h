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
// ".exr", not a directory, and not given up on (deletion failed) since the
// last purge. Empty when there is none or the search fails.
Varnix::String findDumpFile(const Varnix::String& dataDirectory);

// Deletes the file and waits until it is gone, retrying the deletion. True
// once it is gone; after 10 s it gives up with a log line naming the file,
// leaves it in place and returns false.
bool deleteDumpFile(const Varnix::String& dumpPath, Varnix::NodeWindow* window);

// Forgets the dumps given up on, then deletes dump files until none is
// found, or one cannot be deleted.
void purgeDumpFiles(const Varnix::String& dataDirectory, Varnix::NodeWindow* window);

// Sends every dump file to the master (signal, then file frame) and deletes
// it, until none is left or a transfer fails; failures are logged and the
// failed file stays for a later pass. The socket stays owned by the caller.
void relayDumpFiles(Varnix::Port::StreamSocket* master, const Varnix::String& dataDirectory,
                    Varnix::NodeWindow* window);
