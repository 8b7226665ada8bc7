#pragma once
// The node's life without any window: what a front end (the log window, a
// console or service host, a test) starts, stops and reads.

#include "core/LogSink.h"
#include "core/LogTarget.h"
#include "core/String.h"
#include "node/NodeState.h"
#include "node/RenderService.h"
#include "node/StatusHttp.h"

#include <cstdint>
#include <memory>

namespace Varnix {

namespace Port {
class FolderLock;
}

// What a front end does for the node's owner.
class NodeFace {
public:
    virtual ~NodeFace() = default;
    // Shows a start-up failure, already logged, and returns once the admin
    // has seen it; a face with nobody to show it to returns at once. The
    // thread that called NodeLife::start.
    virtual void showMessageBox(const String& text, const String& caption) = 0;
};

// The owner of one node's life: its data folder and the lock that keeps a
// second node out of it, the log sink every part writes to, the render
// service, the start order and its report, the stop policy, and the state
// it publishes. Start and stop belong to one thread, the face's (the GUI
// thread in the program); log() and state() to any thread.
class NodeLife : public LogTarget, Port::NotCopyable {
public:
    // The node of the working directory: drData under it, the fixed ports.
    NodeLife();
    // The node of `setup`'s data folder and ports (0: any free one).
    explicit NodeLife(const ServiceSetup& setup);
    // stop(), then the log sink's last write; the folder lock goes last.
    ~NodeLife() override;

    // One node per data folder: makes the folder and locks it for the
    // owner's life. False when another process holds it: nothing else is
    // done, and dataFolderHolder() names it. A lock file that cannot be made
    // (no rights in drData) does not stop the node: DrLog.txt then fails to
    // open and says why. Before start().
    bool claimDataFolder();
    // The process id the data folder's holder wrote; 0 when none is known.
    std::uint32_t dataFolderHolder() const;
    // Ends in a slash.
    const String& dataDirectory() const { return setup.dataDirectory; }

    // The start, in this order: "DR server started"; the render service;
    // each start-up failure logged, then shown through `face`; the start-up
    // report; DrLog.txt opened in the data folder. Throws Exception when
    // DrLog.txt cannot be opened or a worker thread cannot be made, having
    // stopped whatever had started. Once; `face` outlives the start.
    void start(NodeFace& face);
    // The configuration's fatal error stopped the start: nothing serves
    // masters, and the node is to stop once the admin has seen why.
    bool startFailed() const { return service && service->startFailed; }

    // A stop request (close box, "Quit", a stop signal, a service manager).
    // True when the stop has to wait for a running job, which the first
    // request lets run on and the second cuts short; the request is then to
    // be repeated once stopWaitOver(). False when nothing is to be waited
    // for: stop() goes on. Any number of times.
    bool requestStop();
    // A stop waits for a job that runs.
    bool stopWaits() const { return waitingForJob; }
    // The job a stop waited for has ended.
    bool stopWaitOver() const { return waitingForJob && service && !service->jobInProgress(); }
    // Deletes the render service, which waits without a time limit for its
    // threads and a running job; logs "DR server stopped", the last line,
    // and writes every pending line. Harmless to repeat.
    void stop();
    // The end that leaves no time to wait (the desktop session's end, the
    // display gone): cuts the running job (its renderer's tree ends), stops
    // as stop() does, "DR server stopped" last, and closes the log, since
    // the process may end the moment this returns.
    void endAtOnce();

    // One line into the log sink. Any thread.
    void log(const char16_t* text) override;
    using LogTarget::log;
    // Through the face, once started; nothing before.
    void showMessageBox(const String& text, const String& caption) override;

    // The sink, for the face that shows what it wrote (takeWritten,
    // notifyWritten) and closes it when it goes.
    LogSink& logSink() { return sink; }
    // The service while it runs (from start() until stop()); null outside.
    const RenderService* renderService() const { return service.get(); }
    // What the node is doing now. Any thread.
    NodeState state() const { return board.read(); }

private:
    // Takes the data folder's lock again when its file was deleted or
    // replaced. The accept loop's thread, between jobs; the lock is not
    // touched by any other thread while the service runs.
    void keepDataFolder();

    ServiceSetup setup;
    NodeStateBoard board;
    std::unique_ptr<Port::FolderLock> folderLock;
    // Declared before the service, which logs into it: outlives it.
    LogSink sink;
    std::unique_ptr<RenderService> service;
    NodeFace* face = nullptr;
    // A stop waits for the running job; the next request cuts it.
    bool waitingForJob = false;
    // /metrics and /status, when the admin set "statusHttpAddress"; reads
    // only the board. From start() until stop().
    std::unique_ptr<StatusHttpServer> statusHttp;
    void startStatusHttp();
};

}  // namespace Varnix
