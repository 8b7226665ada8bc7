#include "node/DumpRelay.h"

#include "config/DevelopmentMode.h"
#include "core/Str.h"
#include "node/LinkPrimitives.h"
#include "node/Signals.h"
#include "port/clock.h"
#include "port/files.h"

#include <cstdint>
#include <set>
#include <string>

using Varnix::String;

namespace {

// Numbers the development copies of all jobs of one run: 1, 2, 3, ...
std::int32_t developmentCopyCounter = 0;

const unsigned long deletionPollMs = 200;
// A dump that still exists this long after its deletion is given up on, so
// a locked or write-protected file cannot hang the job's thread.
const long long deletionGiveUpMs = 10000;

bool endsWithExr(const char16_t* name) {
    std::size_t length = 0;
    while (name[length]) ++length;
    if (length < 4) return false;
    const char16_t* tail = name + length - 4;
    return tail[0] == u'.' && tail[1] == u'e' && tail[2] == u'x' && tail[3] == u'r';
}

// Dumps given up on since the last purge. Skipping them lets the dumps behind
// a file that cannot be deleted still reach the master, and keeps a stuck
// dump from being sent again on every pass. The job's thread only.
std::set<std::u16string> givenUpDumps;

}  // namespace

String findDumpFile(const String& dataDirectory) {
    String pattern = dataDirectory + u"/dump*";
    for (Varnix::Port::FileSearch search(pattern.wideCString()); search.hasEntry(); search.next()) {
        if (search.isDirectory() || !endsWithExr(search.name())) continue;
        String path = dataDirectory + u"/" + String(search.name());
        if (givenUpDumps.count(path.wideCString())) continue;
        return path;
    }
    return String();
}

bool deleteDumpFile(const String& dumpPath, Varnix::NodeWindow* window) {
    String path = dumpPath;
    Varnix::Port::deleteFile(path.wideCString());
    window->log((u"Removed file: " + path).wideCString());
    long long start = Varnix::Port::elapsedMilliseconds();
    // A file still open elsewhere stays visible until its last handle closes.
    while (Varnix::Port::isRegularFile(path.toNarrow())) {
        if (Varnix::Port::elapsedMilliseconds() - start >= deletionGiveUpMs) {
            window->log((u"Could not delete file, leaving it in place: " + path).wideCString());
            givenUpDumps.insert(path.wideCString());
            return false;
        }
        window->log((u"Waiting for file deletion: " + path).wideCString());
        Varnix::Port::sleepMilliseconds(deletionPollMs);
        Varnix::Port::deleteFile(path.wideCString());
    }
    return true;
}

void purgeDumpFiles(const String& dataDirectory, Varnix::NodeWindow* window) {
    givenUpDumps.clear();  // each job tries the stuck files once more
    for (;;) {
        String path = findDumpFile(dataDirectory);
        // A file that cannot be deleted would be found again for ever.
        if (path.isEmpty() || !deleteDumpFile(path, window)) return;
    }
}

void relayDumpFiles(Varnix::Port::StreamSocket* master, const String& dataDirectory, Varnix::NodeWindow* window) {
    for (;;) {
        String path = findDumpFile(dataDirectory);
        if (path.isEmpty()) return;
        long long start = Varnix::Port::elapsedMilliseconds();

        std::int32_t size = Varnix::getFileSize(path);
        window->log((u"Started EXR dump (" + Varnix::Str::getFormatted(std::uint64_t(std::int64_t(size))) +
                     u" bytes, filename: " + path + u")")
                        .wideCString());
        // Without a size there is no file frame to follow a signal; sending
        // the signal alone would desynchronise the master's stream.
        if (size < 0) {
            window->log(u"Sending file to remote side failed: 1");
            return;
        }
        if (Varnix::writeSignal(master, Varnix::fileDumpSignal, 10) != 0) {
            window->log(u"File dump signal write failed: 1");
            return;
        }
        int sent = Varnix::sendFile(master, path);
        if (sent != 0) {
            window->log((u"Sending file to remote side failed: " + Varnix::Str::toString(sent)).wideCString());
            return;
        }
        long long seconds = (Varnix::Port::elapsedMilliseconds() - start) / 1000;
        window->log((u"Finished EXR dump after " + Varnix::Str::toString(int(seconds)) + u" s").wideCString());

        if (isDevelopmentMode()) {
            ++developmentCopyCounter;
            String copy = String(Varnix::Port::developmentDumpCopyPrefix()) +
                          Varnix::Str::toString(int(developmentCopyCounter)) + u".exr";
            Varnix::Port::copyFile(path.wideCString(), copy.wideCString());
        }
        // A dump that cannot be deleted ends the pass; the next one finds it again.
        if (!deleteDumpFile(path, window)) return;
    }
}
