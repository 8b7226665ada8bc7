// The order of the figures and the table.
#include "Bench.h"

#include "Net.h"
#include "Process.h"
#include "Report.h"
#include "Stats.h"
#include "WorkFiles.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

namespace bench {

int Bench::run() {
    std::string loadBefore = loadAverage();
    prepare();
    say("work directory " + root.string());
    if (opt.wants("logsink")) benchLogSink();
    if (opt.wants("startup")) benchStartupAndMemory();
    bool nodeNeeded = false;
    for (const char* name : {"transfers", "dumplatency", "jobs", "end", "bogus", "discovery", "idle"})
        nodeNeeded |= opt.wants(name);
    if (nodeNeeded && nodePid < 0) startNode();
    if (opt.wants("transfers")) {
        // One process, so that the two peaks differ only by the scene: a
        // 1 MiB job first, then the large ones.
        sleepMs(1000);
        idleRssKb = statusKb(nodePid, "VmRSS");
        say("memory: a 1 MiB scene");
        nodeScene(sceneSmall);
        smallSceneHwmKb = statusKb(nodePid, "VmHWM");
    }
    if (opt.wants("transfers") || opt.wants("baselines")) benchTransfers();
    if (opt.wants("dumplatency")) benchDumpLatency();
    if (opt.wants("pile")) benchPile();
    if (opt.wants("jobs")) benchJobs();
    if (opt.wants("end")) benchEnd();
    if (opt.wants("bogus")) benchBogus();
    if (opt.wants("discovery")) benchDiscovery();
    if (opt.wants("idle")) benchIdle();
    stopNode();
    std::string loadAfter = loadAverage();

    utsname u{};
    uname(&u);
    std::string cpu = "?";
    std::istringstream cpuinfo(readText("/proc/cpuinfo"));
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    std::printf("Machine: %ld × %s, %s %s, %.1f GiB RAM; load average before %s, after %s; work files on %s\n\n",
                sysconf(_SC_NPROCESSORS_ONLN), cpu.c_str(), u.sysname, u.release,
                double(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE) / (1 << 30), loadBefore.c_str(),
                loadAfter.c_str(), (workKind + " (" + root.parent_path().string() + ")").c_str());
    std::printf("| Figure | Node | Baseline | Node / baseline | Goal |\n|---|---|---|---|---|\n");
    for (const auto& row : rows)
        std::printf("| %s | %s | %s | %s | %s |\n", row.figure.c_str(), row.node.c_str(), row.baseline.c_str(),
                    row.ratio.c_str(), row.goal.c_str());
    std::fflush(stdout);
    if (!opt.keep) fs::remove_all(root);
    return 0;
}

}  // namespace bench
