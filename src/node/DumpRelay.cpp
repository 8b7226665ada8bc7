#include "node/DumpRelay.h"

#include "config/DevelopmentMode.h"
#include "core/Str.h"
#include "node/ExrLayout.h"
#include "node/HostListener.h"
#include "node/LinkPrimitives.h"
#include "node/NodeState.h"
#include "node/Protocol.h"
#include "node/RenderJob.h"
#include "port/clock.h"
#include "port/dirwatch.h"
#include "port/files.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <unordered_set>
#include <string>
#include <vector>

namespace Varnix {

using Port::InputFile;

namespace {

const unsigned long deletionPollMs = 200;
// A dump that still exists this long after its deletion is given up on, so
// a locked or write-protected file cannot hang the job's thread.
const long long deletionGiveUpMs = 10000;

// A master that has taken nothing for this long while a dump waited is gone.
const long long masterStallGiveUpMs = fileSendTimeoutSeconds * 1000LL;

bool endsWithExr(const char16_t* name) {
    std::size_t length = 0;
    while (name[length]) ++length;
    if (length < 4) return false;
    const char16_t* tail = name + length - 4;
    return tail[0] == u'.' && tail[1] == u'e' && tail[2] == u'x' && tail[3] == u'r';
}

using PathSet = std::unordered_set<std::u16string>;

// The first dump file of the directory listing that is not in `skipped`.
String nextDumpFile(const String& dataDirectory, const PathSet& skipped) {
    String pattern = dataDirectory + u"/dump*";
    for (Port::FileSearch search(pattern.wideCString()); search.hasEntry(); search.next()) {
        if (search.isDirectory() || !endsWithExr(search.name())) continue;
        String path = dataDirectory + u"/" + String(search.name());
        if (skipped.count(path.wideCString())) continue;
        return path;
    }
    return String();
}

// Every dump file of one directory listing that is not in `skipped`, in the
// order the search yields them. One listing serves a whole round of dumps,
// so a dump costs the same however many wait beside it.
std::vector<String> listDumpFiles(const String& dataDirectory, const PathSet& skipped) {
    std::vector<String> found;
    String pattern = dataDirectory + u"/dump*";
    for (Port::FileSearch search(pattern.wideCString()); search.hasEntry(); search.next()) {
        if (search.isDirectory() || !endsWithExr(search.name())) continue;
        String path = dataDirectory + u"/" + String(search.name());
        if (!skipped.count(path.wideCString())) found.push_back(path);
    }
    return found;
}

// True, with the reason in `why`, when a dump can never be sent as it is
// and is to be given up on; false when it opened and fits a frame, went, or
// is still held by the renderer.
bool unsendable(const InputFile& file, String& why) {
    switch (file.status()) {
    case InputFile::Status::opened:
        if (file.size() <= maxFrameFileBytes) return false;
        // maxFrameFileBytes, grouped in full (getFormatted would say "2,147 M").
        why = u"larger than 2,147,483,647 bytes";
        break;
    case InputFile::Status::gone:
    case InputFile::Status::busy: return false;
    case InputFile::Status::notRegular: why = u"not a regular file"; break;
    case InputFile::Status::noTarget: why = u"no such file"; break;
    case InputFile::Status::link: why = u"a symbolic link, not sent"; break;
    case InputFile::Status::unreadable: why = u"cannot be read: " + String(file.failure().text().c_str()); break;
    }
    return true;
}

// The file's EXR layout, read through its own handle (the position that
// the frame's send uses stays where it is).
ExrLayout layoutOf(InputFile& file) {
    return checkExrLayout(file.size(), [&file](std::int64_t offset, void* buffer, std::size_t count) {
        return file.readAt(offset, buffer, count);
    });
}

// "the master took nothing for N s", for a wait of `seconds`.
String tookNothingFor(int seconds) { return u"the master took nothing for " + Str::toString(seconds) + u" s"; }

String whyCut(Port::FileSendEnd end) {
    switch (end) {
    case Port::FileSendEnd::timedOut: return tookNothingFor(fileSendTimeoutSeconds);
    case Port::FileSendEnd::fileShrank: return u"the file shrank while it was read";
    case Port::FileSendEnd::fileReadFailed: return u"the file could not be read";
    default: return u"the connection failed";
    }
}

// A frame that was begun and cannot be completed leaves the master reading
// whatever comes next as the rest of it: only closing the connection keeps
// a corrupt image from being saved.
void closeMaster(Port::StreamSocket* master, LogTarget* window, const String& why) {
    window->log(u"Closing master connection: " + why);
    master->Destroy();
}

}  // namespace

String DumpRelay::findDumpFile(const String& dataDirectory) const { return nextDumpFile(dataDirectory, givenUpDumps); }

bool DumpRelay::deleteDumpFile(const String& dumpPath, LogTarget* window) {
    String path = dumpPath;
    Port::deleteFile(path.wideCString());
    window->log(u"Removed file: " + path);
    long long start = Port::elapsedMilliseconds();
    // A file still open elsewhere stays visible until its last handle closes.
    while (Port::isRegularFile(path.wideCString())) {
        if (Port::elapsedMilliseconds() - start >= deletionGiveUpMs) {
            window->log(u"Could not delete file, leaving it in place: " + path);
            givenUpDumps.insert(path.wideCString());
            return false;
        }
        window->log(u"Waiting for file deletion: " + path);
        Port::sleepMilliseconds(deletionPollMs);
        Port::deleteFile(path.wideCString());
    }
    return true;
}

void DumpRelay::purgeDumpFiles(const String& dataDirectory, LogTarget* window) {
    givenUpDumps.clear();  // each job tries the stuck files once more
    stalledSince = -1;
    heldBackCut = false;
    // Each file once per purge: one that cannot be deleted is given up on,
    // and one that comes back under the same name waits for the next purge.
    // Files written while one listing is worked through are in the next.
    PathSet met;
    std::vector<String> round;
    std::size_t next = 0;
    for (;;) {
        if (next == round.size()) {
            round = listDumpFiles(dataDirectory, met);
            next = 0;
        }
        if (round.empty()) return;
        String path = round[next++];
        met.insert(path.wideCString());
        deleteDumpFile(path, window);
    }
}

int DumpRelay::relayDumpFiles(Port::StreamSocket* master, const String& dataDirectory, LogTarget* window) {
    int relayed = 0;
    // Given up on, or left for the next pass (held by the renderer, gone).
    PathSet skipped = givenUpDumps;
    // The dumps of one listing in its order, then those of a new listing
    // (the ones that came meanwhile), until a listing finds none.
    std::vector<String> round;
    std::size_t next = 0;
    for (;;) {
        if (next == round.size()) {
            round = listDumpFiles(dataDirectory, skipped);
            next = 0;
        }
        if (round.empty()) return relayed;
        String path = round[next++];
        // Each file once per pass, whatever becomes of it: nothing can keep
        // a pass going (a name the system would not take back as found was
        // met again and again), and a dump that reappears under a name
        // already sent waits for the next pass.
        skipped.insert(path.wideCString());
        long long start = Port::elapsedMilliseconds();

        // Opened before anything is announced, so that no signal goes out
        // without the frame behind it.
        InputFile file(path.wideCString());
        if (file.status() == InputFile::Status::gone || file.status() == InputFile::Status::busy) {
            skipped.insert(path.wideCString());
            continue;
        }
        bool opened = file.status() == InputFile::Status::opened;
        // A dump whose data runs past the end of its file is being written
        // in place, or was cut short for good (a full disk): either way it
        // is not announced as a whole dump. It waits, unlogged, for a later
        // pass; reportCutDumps names it once the renderer is gone.
        if (opened && layoutOf(file).verdict == ExrLayout::Verdict::cut) {
            heldBackCut = true;
            continue;
        }
        std::int32_t size = !opened ? getFileSize(path)
                            : file.size() <= std::numeric_limits<std::int32_t>::max()
                                ? static_cast<std::int32_t>(file.size())
                                : -1;
        window->log(u"Started EXR dump (" + Str::getFormatted(std::uint64_t(std::int64_t(size))) +
                    u" bytes, filename: " + path + u")");
        String why;
        if (unsendable(file, why)) {
            window->log(u"Sending file to remote side failed: 1");
            window->log(u"Could not send file, leaving it in place: " + path + u" (" + why + u")");
            givenUpDumps.insert(path.wideCString());
            skipped.insert(path.wideCString());
            continue;
        }

        if (writeSignal(master, fileDumpSignal, dumpSignalTimeoutSeconds) != 0) {
            window->log(u"File dump signal write failed: 1");
            if (!isUsable(master)) return relayed;
            if (master->LastWriteCount() > 0) {
                closeMaster(master, window,
                            u"a dump was cut short (" + tookNothingFor(dumpSignalTimeoutSeconds) + u")");
                return relayed;
            }
            // Nothing went out: the master is still in step, and the dump
            // waits for a later pass, unless the master has been taking
            // nothing for so long that it must be gone.
            long long now = Port::elapsedMilliseconds();
            if (stalledSince < 0) stalledSince = now - dumpSignalTimeoutSeconds * 1000LL;
            if (now - stalledSince >= masterStallGiveUpMs)
                closeMaster(master, window, tookNothingFor(fileSendTimeoutSeconds));
            return relayed;
        }
        stalledSince = -1;
        Port::FileSendEnd end = sendFileFrame(master, file);
        file.close();
        if (end != Port::FileSendEnd::sent) {
            window->log(u"Sending file to remote side failed: 1");
            closeMaster(master, window, u"a dump was cut short (" + whyCut(end) + u")");
            return relayed;
        }
        ++relayed;
        if (state != nullptr) state->dumpSent(std::uint64_t(std::max<std::int32_t>(size, 0)));
        ++sentTotal;
        long long seconds = (Port::elapsedMilliseconds() - start) / 1000;
        window->log(u"Finished EXR dump after " + Str::toString(int(seconds)) + u" s");

        if (isDevelopmentMode()) {
            ++developmentCopyCounter;
            String copy =
                String(Port::developmentDumpCopyPrefix()) + Str::toString(int(developmentCopyCounter)) + u".exr";
            Port::copyFile(path.wideCString(), copy.wideCString());
        }
        // A dump that cannot be deleted is given up on; the others go on.
        if (!deleteDumpFile(path, window)) skipped.insert(path.wideCString());
    }
}

int DumpRelay::reportCutDumps(const String& dataDirectory, LogTarget* window) {
    int reported = 0;
    for (const String& path : listDumpFiles(dataDirectory, givenUpDumps)) {
        InputFile file(String(path).wideCString());
        if (file.status() != InputFile::Status::opened) continue;
        ExrLayout layout = layoutOf(file);
        if (layout.verdict != ExrLayout::Verdict::cut) continue;
        window->log(u"Dump cut short, not sent: " + path + u" (" + Str::getFormatted(std::uint64_t(file.size())) +
                    u" bytes; it lacks " + String(layout.lacks.c_str()) + u")");
        givenUpDumps.insert(String(path).wideCString());
        ++reported;
    }
    return reported;
}

int DumpRelay::relayWhileBothConnected(const RelayInputs& inputs) {
    Port::StreamSocket* master = inputs.master;
    HostListener& host = *inputs.host;
    const JobCut* cut = inputs.cut;
    LogTarget* window = inputs.window;
    int relayed = 0;
    // An END may come in pieces across turns.
    PartialSignal ownSignal;
    PartialSignal* fromMaster = inputs.fromMaster != nullptr ? inputs.fromMaster : &ownSignal;
    // Woken by a finished dump, a byte from the master or 3ds Max going away;
    // the poll period is only the longest pause.
    String directory = inputs.dataDirectory;
    Port::DirectoryWatch dumps(directory.wideCString());
    while (isUsable(master) && host.hasConnection() && host.connectionUsable() && !(cut != nullptr && cut->isCut())) {
        relayed += relayDumpFiles(master, inputs.dataDirectory, window);
        bool endForwarded = false;
        if (fromMaster->poll(master) == endSignal) {
            window->log(u"Got END signal from remote side, forwarding to 3dsmax");
            host.sendEnd();
            endForwarded = true;
        }
        if (inputs.goOn && !inputs.goOn(endForwarded)) break;
        Port::waitForActivity(&dumps, master, host.connection(), inputs.pollMilliseconds);
    }
    return relayed;
}

}  // namespace Varnix
