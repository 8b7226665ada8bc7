// The idle node's CPU.
#include "Bench.h"

#include "Net.h"
#include "Process.h"
#include "Report.h"
#include "Stats.h"
#include "WorkFiles.h"

namespace bench {

void Bench::benchIdle() {
    say("idle CPU over " + std::to_string(opt.idleSeconds) + " s");
    sleepMs(2000);
    auto threadsBefore = threadCpuSeconds(nodePid);
    double before = cpuSeconds(nodePid), ticksBefore = cpuTickSeconds(nodePid);
    auto start = Clock::now();
    sleepMs(opt.idleSeconds * 1000.0);
    double after = cpuSeconds(nodePid), ticksAfter = cpuTickSeconds(nodePid);
    double elapsed = msSince(start, Clock::now()) / 1000;
    for (const auto& [thread, seconds] : threadCpuSeconds(nodePid))
        if (threadsBefore.count(thread))
            say("idle: thread " + thread + ": " + fmt((seconds - threadsBefore[thread]) * 1000, 1) + " ms");
    double percent = (after - before) / elapsed * 100;
    say("idle: " + fmt(after - before, 4) + " s by the scheduler, " + fmt(ticksAfter - ticksBefore, 2) +
        " s by clock ticks");
    addRow({"Idle node: CPU time over " + std::to_string(opt.idleSeconds) + " s (% of one core)", fmt(percent, 3), "",
            "", "< 0.5"});
}

}  // namespace bench
