#include "node/WindowlessNode.h"

#include "core/Exception.h"
#include "node/DataFolder.h"
#include "node/NodeLife.h"
#include "port/service.h"
#include "port/socket.h"
#include "port/stopsignal.h"
#include "port/thread.h"

#include <cstdio>

namespace Varnix {

const char16_t* const serviceName = u"VarnixNode";
const char16_t* const serviceDisplayName = u"Varnix DR node";

namespace {

// Exit codes: a start the configuration's fatal error or an unopenable
// DrLog.txt stopped, a data folder another node holds, a service start from
// outside the service manager.
constexpr int startFailedStatus = 1;
constexpr int folderHeldStatus = 255;
constexpr int notUnderServiceManagerStatus = 2;

// While a service's stop waits for a job, the manager is told again this
// often that it goes on, each time allowing a little more than that.
constexpr unsigned stoppingReportMs = 2000;
constexpr unsigned stoppingWaitHintMs = 10000;

void say(const String& text) {
    String copy(text);
    std::fprintf(stderr, "%s\n", copy.toNarrow());
    std::fflush(stderr);
}

// The face of a node without a window: what a box would show goes to the
// standard error (it is in DrLog.txt as well), and stop requests from any
// thread are handed to the thread that owns the node's life.
class WindowlessFace : public NodeFace {
public:
    void showMessageBox(const String& text, const String& caption) override { say(caption + u": " + text); }

    // A stop request; any thread.
    void requestStop() {
        Port::MutexLock guard(lock);
        ++requests;
        wake.wakeAll();
    }
    // The end that leaves no time to wait (the system shuts down); any thread.
    void requestEndAtOnce() {
        Port::MutexLock guard(lock);
        endNow = true;
        wake.wakeAll();
    }

    // Starts the node and runs it until a stop has gone through; the exit
    // code. `stopping` is called every turn while a stop waits for a job.
    int serve(NodeLife& life, void (*started)(), void (*stopping)()) {
        try {
            life.start(*this);
        } catch (const Exception& error) {
            say(u"Varnix DR server cannot start: " + error.getMessage());
            return startFailedStatus;
        }
        if (life.startFailed()) {
            life.stop();
            return startFailedStatus;
        }
        started();
        int taken = 0;
        for (;;) {
            int asked;
            bool atOnce;
            {
                Port::MutexLock guard(lock);
                if (requests == taken && !endNow) wake.waitFor(lock, life.stopWaits() ? stoppingReportMs / 4 : 1000);
                asked = requests;
                atOnce = endNow;
            }
            if (atOnce) {
                life.endAtOnce();
                return 0;
            }
            // Each request as a close box would take it: the first waits for
            // the job, the second cuts it; the stop goes on once the job ends.
            bool goOn = true;
            for (; taken < asked && goOn; ++taken) goOn = life.requestStop();
            if (goOn && life.stopWaitOver()) goOn = life.requestStop();
            if (!goOn) {
                life.stop();
                return 0;
            }
            if (life.stopWaits()) stopping();
        }
    }

private:
    Port::Mutex lock;
    Port::ConditionVariable wake;
    int requests GUARDED_BY(lock) = 0;
    bool endNow GUARDED_BY(lock) = false;
};

ServiceSetup setupIn(const std::vector<std::u16string>& arguments, const char16_t* mode) {
    ServiceSetup setup;
    setup.dataDirectory =
        arguments.size() > 2 ? String(arguments[2].c_str()) + u"/drData/" : dataDirectoryOfWorkingDirectory();
    setup.mode = mode;
    return setup;
}

int folderHeld(const NodeLife& life) {
    say(u"A Varnix DR node is already running in this data folder: " + life.dataDirectory());
    return folderHeldStatus;
}

void nothing() {}

WindowlessFace* signalledFace = nullptr;
void tellSignalledFace(void*) { signalledFace->requestStop(); }

int runHeadless(const std::vector<std::u16string>& arguments) {
    WindowlessFace face;
    signalledFace = &face;
    Port::watchStopRequests();
    if (!Port::notifyStopRequests(&tellSignalledFace, nullptr)) {
        say(u"Cannot watch for stop signals: no thread could be made");
        return startFailedStatus;
    }
    NodeLife life(setupIn(arguments, u"headless, no window"));
    int status = life.claimDataFolder() ? face.serve(life, &nothing, &nothing) : folderHeld(life);
    Port::notifyStopRequests(nullptr, nullptr);
    return status;
}

// The service manager's side: controls come on its thread, the node's life
// runs on the service's.
class NodeService : public Port::ServiceBody {
public:
    explicit NodeService(const std::vector<std::u16string>& arguments) : arguments(arguments) {}

    int run() override {
        NodeLife life(setupIn(arguments, u"Windows service VarnixNode, no window"));
        if (!life.claimDataFolder()) return folderHeld(life);
        return face.serve(life, &Port::reportServiceRunning, [] { Port::reportServiceStopping(stoppingWaitHintMs); });
    }

    void control(Port::ServiceControl what) override {
        if (what == Port::ServiceControl::shutdown)
            face.requestEndAtOnce();
        else
            face.requestStop();
    }

private:
    const std::vector<std::u16string>& arguments;
    WindowlessFace face;
};

}  // namespace

bool runWithoutWindow(const std::vector<std::u16string>& arguments, int& status) {
    if (arguments.size() < 2 || (arguments[1] != u"--no-window" && arguments[1] != u"--service")) return false;
    // Its result is not examined: a failure shows where sockets are used.
    (void)Port::initializeSockets();
    if (arguments[1] == u"--no-window") {
        status = runHeadless(arguments);
        return true;
    }
    if (arguments[1] == u"--service") {
        NodeService service(arguments);
        if (Port::runAsService(serviceName, service)) {
            status = 0;
        } else {
            say(u"--service is the start of the Windows service " + String(serviceName) +
                u": the service manager runs it (net start " + String(serviceName) + u")");
            status = notUnderServiceManagerStatus;
        }
        return true;
    }
    return false;
}

}  // namespace Varnix
