#include "node/NodeLife.h"

#include "config/StatusHttpAddress.h"
#include "core/InputTextFile.h"
#include "node/DataFolder.h"
#include "node/StartupReport.h"
#include "port/files.h"
#include "port/clock.h"
#include "port/folderlock.h"

#include <string>

namespace Varnix {

namespace {

ServiceSetup setupOfWorkingDirectory() {
    ServiceSetup setup;
    setup.dataDirectory = dataDirectoryOfWorkingDirectory();
    return setup;
}

String lockName(const String& dataDirectory) { return dataDirectory + u"DrNode.lock"; }

}  // namespace

NodeLife::NodeLife() : NodeLife(setupOfWorkingDirectory()) {}

NodeLife::NodeLife(const ServiceSetup& given) : setup(given) {
    // The jobs tell their stages to whoever asks the owner.
    setup.state = &board;
    setup.log = &sink;
    setup.betweenJobs = [this] { keepDataFolder(); };
}

void NodeLife::keepDataFolder() {
    if (!folderLock || folderLock->state() != Port::FolderLock::State::held) return;
    // An admin who deletes drData and makes it again (or replaces the lock
    // file) would otherwise let a second node into the folder.
    Port::FolderLock::State now = folderLock->renew();
    if (now == Port::FolderLock::State::heldElsewhere)
        log(u"Another process took " + lockName(setup.dataDirectory) +
            u" while the data folder was made again: this node no longer keeps a second one out");
}

NodeLife::~NodeLife() {
    stop();
    sink.close();
}

bool NodeLife::claimDataFolder() {
    Port::makeDirectory(setup.dataDirectory.wideCString());
    String name = lockName(setup.dataDirectory);
    folderLock = std::make_unique<Port::FolderLock>(name.wideCString());
    return folderLock->state() != Port::FolderLock::State::heldElsewhere;
}

std::uint32_t NodeLife::dataFolderHolder() const {
    String name = lockName(setup.dataDirectory);
    return Port::FolderLock::holderProcessId(name.wideCString());
}

namespace {

// True when the log at `path` holds lines and its last is not the stop's:
// the run that wrote it was killed, crashed or lost its machine.
bool endedUncleanly(const String& path) {
    if (!Port::isRegularFile(String(path).wideCString())) return false;
    String line, last;
    try {
        InputTextFile file(path);
        while (!file.atEnd()) {
            file.readLine(line);
            if (!line.isEmpty()) last = line;
        }
    } catch (...) {
        return false;
    }
    std::u16string text(last.wideCString());
    const std::u16string tail = std::u16string(u"   ") + stoppedMessage;
    return !text.empty() &&
           (text.size() < tail.size() || text.compare(text.size() - tail.size(), tail.size(), tail) != 0);
}

}  // namespace

void NodeLife::start(NodeFace& startingFace) {
    face = &startingFace;
    bool unclean = endedUncleanly(setup.dataDirectory + String(u"DrLog.txt"));
    log(u"DR server started");
    if (unclean)
        log(u"WARNING: The earlier run of the node in " + setup.dataDirectory +
            u" ended without \"DR server stopped\": it was killed, crashed or lost its machine");
    service = std::make_unique<RenderService>(this, setup);
    for (const StartupFailure& failure : service->startupFailures) {
        // In the log too: a box on a farm machine may be seen by nobody.
        log(failure.text);
        face->showMessageBox(failure.text, failure.caption);
    }
    logStartupReport(this, *service);
    startStatusHttp();
    try {
        sink.open(setup.dataDirectory + String(u"DrLog.txt"));
    } catch (...) {
        // The service's threads log into the sink, whose owner may go next.
        stop();
        throw;
    }
}

bool NodeLife::requestStop() {
    board.setStopRequested();
    if (service && service->requestStop()) {
        if (waitingForJob) service->cutRunningJob();
        waitingForJob = true;
        // The waiting line is shown now, not at the sink's next beat.
        sink.flush();
        return true;
    }
    waitingForJob = false;
    return false;
}

void NodeLife::startStatusHttp() {
    String text = readStatusHttpAddress();
    if (text.length() == 0) return;
    std::string address;
    int port = 0;
    const std::string narrow = text.toNarrow();
    if (!parseHttpAddress(narrow, address, port)) {
        log(u"WARNING: statusHttpAddress \"" + text +
            u"\" is not ADDRESS:PORT (such as 0.0.0.0:19670): "
            u"/metrics and /status are not served");
        return;
    }
    const StatusSource& source = service->statusSource();
    statusHttp = std::make_unique<StatusHttpServer>(
        [&source] { return nodeMetrics(source, String(VARNIX_VERSION_TEXT).toNarrow()); },
        [&source] { return statusJson(source); });
    if (statusHttp->start(address, port)) {
        log(u"Status over HTTP on " + text + u" (/metrics, /status)");
    } else {
        statusHttp.reset();
        log(u"WARNING: cannot serve /metrics and /status on " + text +
            u": the port is taken, or the address is not this machine's");
    }
}

void NodeLife::stop() {
    board.setStopRequested();
    waitingForJob = false;
    statusHttp.reset();
    if (service) {
        service.reset();
        // Its threads have ended: nothing is lost from here on.
        log(stoppedMessage);
    }
    // The last lines of a run say why it ended: written now instead of at a
    // beat of the sink that may not come.
    sink.flush(true);
}

void NodeLife::endAtOnce() {
    board.setStopRequested();
    if (service && service->requestStop()) service->cutRunningJob();
    stop();
    sink.close();
}

void NodeLife::log(const char16_t* text) {
    sink.log(text);
    board.noteLogLine(text);
}

void NodeLife::showMessageBox(const String& text, const String& caption) {
    if (face != nullptr) face->showMessageBox(text, caption);
}

}  // namespace Varnix
