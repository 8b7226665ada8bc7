#include "node/NodeState.h"

#include "port/clock.h"

#include <algorithm>

namespace Varnix {

NodeStateBoard::NodeStateBoard() : startedMs(Port::elapsedMilliseconds()), stageSinceMs(startedMs) {}

NodeState NodeStateBoard::read() const {
    NodeState state;
    read(state);
    return state;
}

void NodeStateBoard::read(NodeState& state) const {
    Port::MutexLock guard(lock);
    state.stopRequested = stopRequested;
    state.stage = stopRequested && jobStage == NodeStage::idle ? NodeStage::stopping : jobStage;
    state.startedMs = startedMs;
    state.stageSinceMs = stageSinceMs;
    state.job = job;
    state.lastJob = lastJob;
    state.counts = counts;
    state.lastWarning = lastWarning;
}

void NodeStateBoard::setJobStage(NodeStage stage) {
    long long now = Port::elapsedMilliseconds();
    Port::MutexLock guard(lock);
    changed();
    if (jobStage != stage) stageSinceMs = now;
    jobStage = stage;
}

void NodeStateBoard::setStopRequested() {
    long long now = Port::elapsedMilliseconds();
    Port::MutexLock guard(lock);
    changed();
    // Stopping begins now when no job runs; otherwise when the job ends.
    if (!stopRequested && jobStage == NodeStage::idle) stageSinceMs = now;
    stopRequested = true;
}

void NodeStateBoard::beginJob(const std::u16string& master) {
    JobDetails details;
    details.master = master;
    details.startedMs = Port::elapsedMilliseconds();
    Port::MutexLock guard(lock);
    changed();
    job = std::move(details);
}

void NodeStateBoard::setJobRequest(int maxVersion, int frame) {
    Port::MutexLock guard(lock);
    changed();
    if (!job) return;
    job->maxVersion = maxVersion;
    job->frame = frame;
}

void NodeStateBoard::setRendererPid(std::int64_t pid) {
    Port::MutexLock guard(lock);
    changed();
    if (!job) return;
    job->rendererPid = pid;
}

void NodeStateBoard::rendererRendering() {
    long long now = Port::elapsedMilliseconds();
    Port::MutexLock guard(lock);
    changed();
    if (job) job->lastActivityMs = now;
}

void NodeStateBoard::dumpSent(std::uint64_t bytes) {
    long long now = Port::elapsedMilliseconds();
    Port::MutexLock guard(lock);
    changed();
    ++counts.dumpsSent;
    counts.bytesSent += bytes;
    if (!job) return;
    ++job->dumpsSent;
    job->bytesSent += bytes;
    job->lastActivityMs = now;
}

void NodeStateBoard::setRendererUsage(double cpuSeconds, double memoryMb, long long lastActivityMs) {
    Port::MutexLock guard(lock);
    changed();
    if (!job) return;
    job->rendererCpuSeconds = cpuSeconds;
    job->rendererMemoryMb = memoryMb;
    if (lastActivityMs >= 0) job->lastActivityMs = std::max(job->lastActivityMs, lastActivityMs);
}

void NodeStateBoard::setDialog(const RendererDialog& dialog) {
    RendererDialog copy = dialog;
    Port::MutexLock guard(lock);
    changed();
    if (job) job->dialog = std::move(copy);
}

void NodeStateBoard::clearDialog() {
    Port::MutexLock guard(lock);
    changed();
    if (job) job->dialog.reset();
}

void NodeStateBoard::endJob(JobOutcome outcome, const std::u16string& why, std::optional<int> rendererExit) {
    LastJob last{outcome, why, rendererExit, Port::elapsedMilliseconds()};
    Port::MutexLock guard(lock);
    changed();
    lastJob = std::move(last);
    job.reset();
    // Idle with the job's end, never a job's stage without its job.
    if (jobStage != NodeStage::idle) stageSinceMs = lastJob.endedMs;
    jobStage = NodeStage::idle;
    switch (outcome) {
    case JobOutcome::served: ++counts.served; break;
    case JobOutcome::refused: ++counts.refused; break;
    case JobOutcome::cut: ++counts.cut; break;
    case JobOutcome::failed: ++counts.failed; break;
    case JobOutcome::limit: ++counts.limitsReached; break;
    case JobOutcome::none: break;
    }
    if (!rendererExit) return;
    for (auto& seen : counts.rendererExits) {
        if (seen.first == *rendererExit) {
            ++seen.second;
            return;
        }
    }
    // Bounded: a renderer's exit codes could be anything.
    if (counts.rendererExits.size() < JobCounts::maxExitStatuses) counts.rendererExits.emplace_back(*rendererExit, 1);
}

void NodeStateBoard::countRefusal() {
    Port::MutexLock guard(lock);
    changed();
    ++counts.refused;
}

void NodeStateBoard::noteLogLine(const char16_t* text) {
    static constexpr char16_t mark[] = u"WARNING";
    for (std::size_t i = 0; i + 1 < sizeof mark / sizeof mark[0]; ++i)
        if (text[i] != mark[i]) return;
    // As long as a log line may be, and no longer.
    std::u16string line(text, std::min(std::char_traits<char16_t>::length(text), maxWarningUnits));
    Port::MutexLock guard(lock);
    changed();
    lastWarning.swap(line);
}

const char* outcomeName(JobOutcome outcome) {
    switch (outcome) {
    case JobOutcome::served: return "served";
    case JobOutcome::refused: return "refused";
    case JobOutcome::cut: return "cut";
    case JobOutcome::failed: return "failed";
    case JobOutcome::limit: return "limit";
    case JobOutcome::none: break;
    }
    return "";
}

const char* stageName(NodeStage stage) {
    switch (stage) {
    case NodeStage::idle: return "idle";
    case NodeStage::receivingScene: return "receiving_scene";
    case NodeStage::waitingForHost: return "waiting_for_3dsmax";
    case NodeStage::rendering: return "rendering";
    case NodeStage::finishing: return "finishing";
    case NodeStage::stopping: return "stopping";
    }
    return "";
}

}  // namespace Varnix
