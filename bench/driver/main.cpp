// varnix-bench: measures the real node (varnix-node, driven by drmaster and
// the 3ds Max stand-in) next to plain baselines run on the same machine in
// the same run, and prints a table. Figures, not pass/fail: the exit status
// is 0 whenever every measurement could be taken. Linux only; needs an X
// display for the node. bench/run builds everything and calls it.

#include "Bench.h"
#include "Report.h"

#include <filesystem>
#include <sstream>
#include <string>

using namespace bench;

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value after " + a);
            return argv[++i];
        };
        if (a == "--bin")
            opt.bin = next();
        else if (a == "--reps")
            opt.reps = std::stoi(next());
        else if (a == "--idle-seconds")
            opt.idleSeconds = std::stoi(next());
        else if (a == "--scene-mib")
            opt.sceneBytes = std::stoll(next()) << 20;
        else if (a == "--work-dir")
            opt.workParent = next();
        else if (a == "--only") {
            std::istringstream list(next());
            for (std::string name; std::getline(list, name, ',');) opt.only.push_back(name);
        } else if (a == "--quick") {
            opt.reps = 1, opt.idleSeconds = 10, opt.pings = 20, opt.ends = 5, opt.bogus = 5, opt.startups = 2;
            opt.jobs = 10, opt.smallDumps = 20;
        } else if (a == "--keep")
            opt.keep = true;
        else if (a == "--no-pin")
            opt.pin = false;
        else
            die("unknown option " + a +
                " (options: --bin DIR --reps N --idle-seconds S --scene-mib M --work-dir DIR --quick --keep --no-pin --only LIST)");
    }
    if (opt.bin.empty()) die("--bin DIR (the build's bin directory) is needed");
    opt.bin = fs::absolute(opt.bin).string();
    return Bench(opt).run();
}
