// Start-up to the master port's greeting.
#include "Bench.h"

#include "Net.h"
#include "Process.h"
#include "Report.h"
#include "Stats.h"
#include "WorkFiles.h"

namespace bench {

void Bench::benchStartupAndMemory() {
    for (int i = 0; i < opt.startups; ++i) {
        say("start-up " + std::to_string(i + 1) + " of " + std::to_string(opt.startups));
        startupBase.push_back(startGreeterBaseline());
        startupNode.push_back(startNode());
        if (i + 1 < opt.startups) stopNode();
    }
    addRow({"Start-up: process start to the master port greeting, median / max of " + std::to_string(opt.startups) +
                " (ms)",
            fmt(median(startupNode), 0) + " / " + fmt(maximum(startupNode), 0),
            fmt(median(startupBase), 1) + " / " + fmt(maximum(startupBase), 1), "", "< 500"});
}

}  // namespace bench
