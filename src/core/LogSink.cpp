#include "core/LogSink.h"

#include "core/Exception.h"
#include "core/LogLine.h"
#include "core/misc/multithreading/StandbyThread.h"
#include "core/Str.h"
#include "port/clock.h"
#include "port/localtime.h"
#include "port/textfile.h"

#include <algorithm>

namespace Varnix {

namespace {

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

LogSink::LogSink(std::int64_t rotateBytes) : rotateBytes(rotateBytes) {}

LogSink::~LogSink() { close(); }

void LogSink::log(const char16_t* text) {
    std::u16string line = cutLongText(text);
    {
        Port::MutexLock guard(logLock);
        // The clock is read under the lock so that lines stay in time order.
        Port::LocalTime when = Port::localTimeNow();
        bool write = repeats.admit(line, Port::elapsedMilliseconds(), repeatCount);
        if (!repeatCount.empty()) appendLogLine(pendingText, when, repeatCount.c_str());
        if (write) appendLogLine(pendingText, when, line.c_str());
        // Written or counted, the line gives the writer something to do.
        if (!writerIdle.exchange(false)) return;
    }
    Port::MutexLock guard(stopLock);
    stopWake.wakeAll();
}

bool LogSink::idleUntilLogged() {
    Port::MutexLock guard(logLock);
    if (pendingText.length() > 0 || repeats.counting()) return false;
    writerIdle = true;
    return true;
}

void LogSink::appendRepeatCount(bool closing) {
    repeats.collectDue(Port::elapsedMilliseconds(), closing, repeatCount);
    if (repeatCount.empty()) return;
    appendLogLine(pendingText, Port::localTimeNow(), repeatCount.c_str());
}

void LogSink::open(const String& logPath) {
    {
        Port::MutexLock guard(writeLock);
        String name(logPath);
        if (!logFile.open(name.wideCString()).isOk()) {
            Exception error = Exception::fileError(logPath);
            if (!Port::isSymbolicLink(name.wideCString())) throw error;
            throw Exception(
                error.getMessage() + String(": it is a symbolic link, and the node never writes through one"),
                error.getCode());
        }
        path = logPath;
    }
    writer = Port::createThread(&LogSink::writerLoop, this, 0x100000);
    if (writer == nullptr) {
        Port::MutexLock guard(writeLock);
        logFile.close();
        path.clear();
        throw Exception(u"Cannot start the log writer thread", Exception::threadCreationCode);
    }
    setThreadName(writer, "MY_LogWriter");
}

void LogSink::writerLoop(void* self) {
    auto* sink = static_cast<LogSink*>(self);
    long long next = Port::elapsedMilliseconds() + flushPeriodMs;
    for (;;) {
        // A quiet node costs no wake-ups: with nothing to write and no count
        // to fall due the writer sleeps until a line comes, then gives the
        // lines after it one period to join it.
        bool idle = sink->idleUntilLogged();
        {
            Port::MutexLock guard(sink->stopLock);
            for (;;) {
                if (sink->stopping) return;
                if (idle && sink->writerIdle) {
                    sink->stopWake.wait(sink->stopLock);
                    continue;
                }
                long long now = Port::elapsedMilliseconds();
                if (idle) {
                    idle = false;
                    next = now + flushPeriodMs;
                }
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
        if (pendingText.length() == 0 || path.length() == 0) return;
        // Only the text changes hands under the lock: a slow disk must not
        // hold up the threads that log.
        pendingText.swap(flushingText);
    }
    writeToFile();
    flushingText.clear();
}

std::u16string LogSink::fileName(int old) const {
    std::u16string name(String(path).wideCString());
    if (old == 0) return name;
    std::size_t dot = name.rfind(u'.');
    if (dot == std::u16string::npos || name.find(u'/', dot) != std::u16string::npos ||
        name.find(u'\\', dot) != std::u16string::npos)
        dot = name.size();
    std::string number = std::to_string(old);
    return name.substr(0, dot) + u"." + std::u16string(number.begin(), number.end()) + name.substr(dot);
}

void LogSink::rotate() {
    logFile.close();
    for (int old = keptOldFiles - 1; old >= 1; --old)
        Port::renameReplacing(fileName(old).c_str(), fileName(old + 1).c_str());
    // When another program keeps the file from being renamed, it grows on.
    if (!Port::renameReplacing(fileName(0).c_str(), fileName(1).c_str())) rotationFailed = true;
}

String LogSink::noticeLine(const std::u16string& text) const {
    String line;
    appendLogLine(line, Port::localTimeNow(), text.c_str());
    return line;
}

void LogSink::writeToFile() {
    std::u16string name = fileName(0);
    // Deleted, renamed away or replaced: the log goes on under its name.
    if (logFile.isOpen() && !logFile.isStillAt(name.c_str())) logFile.close();
    if (logFile.isOpen() && !rotationFailed && logFile.size() >= rotateBytes) rotate();
    Port::Status opened;
    if (!logFile.isOpen()) opened = logFile.open(name.c_str());

    String text;
    String lossNotice;
    if (lostLines > 0)
        lossNotice = noticeLine(Str::getFormatted(lostLines).wideCString() +
                                std::u16string(u" lines could not be written to DrLog.txt (") + wide(lostWhy) +
                                u") and are lost");
    text.append(lossNotice);
    text.append(flushingText);
    bool written = false;
    std::string why = opened.text();
    if (logFile.isOpen()) {
        const char* bytes = text.toNarrow();
        Port::Status appended = logFile.append(bytes, std::size_t(text.narrowLength() - 1));
        written = appended.isOk();
        why = appended.text();
    }
    std::uint64_t lines = std::uint64_t(
        std::count(flushingText.wideCString(), flushingText.wideCString() + flushingText.length(), u'\n'));
    bool firstWaiting = false;
    {
        Port::MutexLock guard(logLock);
        bool nothingWaited = writtenText.length() == 0;
        if (written) {
            lostLines = 0;
            writtenText.append(lossNotice);
            writtenText.append(flushingText);
        } else {
            writtenText.append(flushingText);
            if (lostLines == 0)
                writtenText.append(noticeLine(u"Cannot write to DrLog.txt (" + wide(why) +
                                              u"): log lines are lost until it can be written again"));
            lostLines += lines;
            linesLostInAll += lines;
            lostWhy = why;
        }
        firstWaiting = nothingWaited && writtenText.length() > 0;
    }
    if (firstWaiting) tellWritten();
}

void LogSink::tellWritten() {
    Port::MutexLock guard(notifyLock);
    if (writtenNotify != nullptr) writtenNotify(writtenContext);
}

void LogSink::notifyWritten(void (*notify)(void* context), void* context) {
    Port::MutexLock guard(notifyLock);
    writtenNotify = notify;
    writtenContext = context;
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
    path.clear();
}

void LogSink::takeWritten(String& into) {
    Port::MutexLock guard(logLock);
    into.append(writtenText);
    writtenText.clear();
}

}  // namespace Varnix
