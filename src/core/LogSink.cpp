#include "core/LogSink.h"

#include "core/Exception.h"
#include "core/LogLine.h"
#include "core/misc/multithreading/StandbyThread.h"
#include "port/clock.h"
#include "port/localtime.h"

namespace Varnix {

LogSink::LogSink() = default;

LogSink::~LogSink() { close(); }

void LogSink::log(const char16_t* text) {
    std::u16string line = cutLongText(text);
    Port::MutexLock guard(logLock);
    // The clock is read under the lock so that lines stay in time order.
    Port::LocalTime when = Port::localTimeNow();
    bool write = repeats.admit(line, Port::elapsedMilliseconds(), repeatCount);
    if (!repeatCount.empty()) appendLogLine(pendingText, when, repeatCount.c_str());
    if (write) appendLogLine(pendingText, when, line.c_str());
}

void LogSink::appendRepeatCount(bool closing) {
    repeats.collectDue(Port::elapsedMilliseconds(), closing, repeatCount);
    if (repeatCount.empty()) return;
    appendLogLine(pendingText, Port::localTimeNow(), repeatCount.c_str());
}

void LogSink::open(const String& path) {
    {
        Port::MutexLock guard(writeLock);
        logFile.openAppend(path);
    }
    writer = Port::createThread(&LogSink::writerLoop, this, 0x100000);
    if (writer == nullptr) {
        Port::MutexLock guard(writeLock);
        logFile.close();
        throw Exception(u"Cannot start the log writer thread", Exception::threadCreationCode);
    }
    setThreadName(writer, "MY_LogWriter");
}

void LogSink::writerLoop(void* self) {
    auto* sink = static_cast<LogSink*>(self);
    long long next = Port::elapsedMilliseconds() + flushPeriodMs;
    for (;;) {
        {
            Port::MutexLock guard(sink->stopLock);
            for (;;) {
                if (sink->stopping) return;
                long long now = Port::elapsedMilliseconds();
                if (now >= next) break;
                sink->stopWake.waitFor(sink->stopLock, static_cast<unsigned long>(next - now));
            }
        }
        sink->flush();
        // A steady beat; after a stall it goes on from now, without catching up.
        next += flushPeriodMs;
        long long now = Port::elapsedMilliseconds();
        if (next <= now) next = now + flushPeriodMs;
    }
}

void LogSink::flush(bool closing) {
    Port::MutexLock writing(writeLock);
    {
        Port::MutexLock guard(logLock);
        appendRepeatCount(closing);
        // Before the file is open the text stays pending for the first write.
        if (pendingText.length() == 0 || !logFile.isOpen()) return;
        // Only the text changes hands under the lock: a slow disk must not
        // hold up the threads that log.
        pendingText.swap(flushingText);
    }
    logFile << flushingText;
    logFile.flush();
    {
        Port::MutexLock guard(logLock);
        writtenText.append(flushingText);
    }
    flushingText.clear();
}

void LogSink::close() {
    if (writer != nullptr) {
        {
            Port::MutexLock guard(stopLock);
            stopping = true;
            stopWake.wakeAll();
        }
        Port::joinThread(writer);
        Port::closeThread(writer);
        writer = nullptr;
    }
    flush(true);
    Port::MutexLock writing(writeLock);
    logFile.close();
}

void LogSink::takeWritten(String& into) {
    Port::MutexLock guard(logLock);
    into.append(writtenText);
    writtenText.clear();
}

}  // namespace Varnix
