#pragma once

#include "core/LogRepeats.h"
#include "core/NodeWindow.h"
#include "core/OutputTextFile.h"
#include "core/String.h"
#include "port/notcopyable.h"
#include "port/thread.h"

#include <string>

namespace Varnix {

// The log every part of the node writes to: each call becomes one
// timestamped line, collected in memory; a thread of the sink's own moves
// what was collected into DrLog.txt every flushPeriodMs, so that a busy or
// waiting window never holds lines back. The window shows what was written
// by taking it (takeWritten) on a timer of its own. A text longer than
// maxLogTextUnits is cut with a mark; a run of identical lines is counted
// instead (LogRepeats) and the count written as a line of its own.
class LogSink : Port::NotCopyable {
public:
    // How often collected lines reach the file: twice a second, so that a
    // busy node writes in batches, not line by line.
    static constexpr int flushPeriodMs = 500;

    // Collecting, no file yet: lines wait for the first write after open.
    LogSink();
    // close(), then the text not taken is dropped.
    ~LogSink();

    // One line. Any thread, at any time; waits only for the lock that other
    // loggers and the writer hold briefly (never while the file is written).
    // Throws std::bad_alloc only when memory runs out.
    void log(const char16_t* text);

    // Opens `path` for appending (Exception::fileError when it cannot, as
    // OutputTextFile::openAppend) and starts the writer thread. Once.
    void open(const String& path);

    // Writes everything collected to the file now (when open) and keeps it
    // for the window; `closing` also writes every count not yet written.
    // Any thread.
    void flush(bool closing = false);

    // A last flush with every count, then stops the writer and closes the
    // file; lines logged later wait in memory. Safe to repeat. Not from the
    // writer thread.
    void close();

    // Appends the text written to the file since the last call to `into`.
    // Any thread (the window's timer).
    void takeWritten(String& into);

private:
    static void writerLoop(void* self);
    // Appends the repeat count due by now (all when `closing`) to
    // pendingText. Caller holds logLock.
    void appendRepeatCount(bool closing);

    // Guards pendingText, repeats, repeatCount and writtenText.
    Port::Mutex logLock;
    String pendingText;
    LogRepeats repeats;
    std::u16string repeatCount;
    // Written to the file, not yet taken by the window.
    String writtenText;

    // Guards the file and flushingText: one flush at a time, so lines keep
    // their order; taken before logLock, never after it.
    Port::Mutex writeLock;
    OutputTextFile logFile;
    String flushingText;

    // The writer thread and its stop flag (guarded by stopLock).
    Port::Mutex stopLock;
    Port::ConditionVariable stopWake;
    bool stopping = false;
    Port::ThreadHandle writer = nullptr;
};

}  // namespace Varnix
