#pragma once

#include "core/LogRepeats.h"
#include "core/LogTarget.h"
#include "core/String.h"
#include "port/appendfile.h"
#include "port/notcopyable.h"
#include "port/thread.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace Varnix {

// The log every part of the node writes to: each call becomes one
// timestamped line, collected in memory; a thread of the sink's own moves
// what was collected into DrLog.txt every flushPeriodMs, so that a busy or
// waiting window never holds lines back. The window shows what was written
// by taking it (takeWritten) on a timer of its own. A text longer than
// maxLogTextUnits is cut with a mark; a run of identical lines is counted
// instead (LogRepeats) and the count written as a line of its own.
//
// The file is never lost silently: a write that fails (a full disk) leaves
// no part of a line behind, the window is told once, and once the file can
// be written again its first line says how many lines were lost. A file
// deleted, renamed away or replaced while the node runs is opened again
// under its name; one grown past the rotation size is renamed to
// "DrLog.1.txt" (the older ones to "DrLog.2.txt", "DrLog.3.txt"; the oldest
// goes) and a new one started.
class LogSink : Port::NotCopyable {
public:
    // How often collected lines reach the file: twice a second, so that a
    // busy node writes in batches, not line by line.
    static constexpr int flushPeriodMs = 500;

    // Size from which the file is rotated, and old files kept.
    static constexpr std::int64_t defaultRotateBytes = 64LL << 20;
    static constexpr int keptOldFiles = 3;

    // Collecting, no file yet: lines wait for the first write after open.
    explicit LogSink(std::int64_t rotateBytes = defaultRotateBytes);
    // close(), then the text not taken is dropped.
    ~LogSink();

    // One line. Any thread, at any time; waits only for the lock that other
    // loggers and the writer hold briefly (never while the file is written).
    // Throws std::bad_alloc only when memory runs out.
    void log(const char16_t* text);

    // Opens `path` for appending (Exception::fileError when it cannot, never
    // through a symbolic link) and starts the writer thread. Once.
    void open(const String& path);

    // Writes everything collected to the file now (when open) and keeps it
    // for the window; `closing` also writes every count not yet written.
    // Any thread.
    void flush(bool closing = false);

    // A last flush with every count, then stops the writer and closes the
    // file; lines logged later wait in memory. Safe to repeat. Not from the
    // writer thread.
    void close();

    // Appends the text flushed since the last call to `into`: the lines,
    // whether or not the file took them, and the sink's own notices of
    // lines lost. Any thread (the window, when told there is some).
    void takeWritten(String& into);

    // Who is told that written text waits to be taken: `notify(context)` is
    // called, on whichever thread flushed, once each time text comes where
    // none was waiting, so a window that takes it only then is woken at most
    // once per flush and never while the node is quiet. Null: nobody. Any
    // thread; once this returns, the previous one is no longer being called.
    void notifyWritten(void (*notify)(void* context), void* context);

    // Lines DrLog.txt did not take since the sink was made, also those whose
    // loss a later line already told of. Lock-free; any thread.
    std::uint64_t linesLost() const { return linesLostInAll.load(); }

private:
    static void writerLoop(void* self);
    // Appends the repeat count due by now (all when `closing`) to
    // pendingText.
    void appendRepeatCount(bool closing) REQUIRES(logLock);
    // Writes flushingText to the file: opens it again when it went, rotates
    // it, tells of lines lost before.
    void writeToFile() REQUIRES(writeLock);
    // Calls notifyWritten's receiver, if any. Caller holds no lock but
    // possibly writeLock.
    void tellWritten() EXCLUDES(logLock, notifyLock);
    // True when nothing is collected and no repeat count can fall due: the
    // writer may sleep until a line comes. Marks the writer idle then.
    bool idleUntilLogged();
    // The file at `path`, or one of the old ones.
    std::u16string fileName(int old) const REQUIRES(writeLock);
    void rotate() REQUIRES(writeLock);
    // A stamped line of the sink's own for the file and the window.
    String noticeLine(const std::u16string& text) const;

    Port::Mutex logLock ACQUIRED_AFTER(writeLock);
    String pendingText GUARDED_BY(logLock);
    LogRepeats repeats GUARDED_BY(logLock);
    std::u16string repeatCount GUARDED_BY(logLock);
    // Written to the file, not yet taken by the window.
    String writtenText GUARDED_BY(logLock);
    // Set (under logLock) by a writer with nothing to write; the next line
    // clears it and wakes the writer.
    std::atomic<bool> writerIdle{false};

    // notifyWritten's receiver; notifyLock is held while it is called and
    // taken after writeLock, never with logLock.
    Port::Mutex notifyLock ACQUIRED_AFTER(writeLock);
    void (*writtenNotify)(void*) GUARDED_BY(notifyLock) = nullptr;
    void* writtenContext GUARDED_BY(notifyLock) = nullptr;

    // Guards what follows up to the writer: one flush at a time, so lines
    // keep their order; taken before logLock, never after it.
    Port::Mutex writeLock;
    Port::AppendFile logFile GUARDED_BY(writeLock);
    String path GUARDED_BY(writeLock);
    std::int64_t rotateBytes;
    // A rotation failed (another program holds the file): not tried again.
    bool rotationFailed GUARDED_BY(writeLock) = false;
    String flushingText GUARDED_BY(writeLock);
    // Lines the file did not take since it last did, and the reason.
    std::uint64_t lostLines GUARDED_BY(writeLock) = 0;
    std::string lostWhy GUARDED_BY(writeLock);
    std::atomic<std::uint64_t> linesLostInAll{0};

    // The writer thread and its stop flag (guarded by stopLock).
    Port::Mutex stopLock;
    Port::ConditionVariable stopWake;
    bool stopping GUARDED_BY(stopLock) = false;
    Port::ThreadHandle writer = nullptr;
};

}  // namespace Varnix
