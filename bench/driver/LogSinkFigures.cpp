// The log sink under eight threads.
#include "Bench.h"

#include "Net.h"
#include "Process.h"
#include "Report.h"
#include "Stats.h"
#include "WorkFiles.h"

#include <sstream>

namespace bench {

void Bench::benchLogSink() {
    say("log sink: 8 threads against the real log window, 4 pairs of 1 s");
    fs::path dir = root / "logsink";
    fs::create_directories(dir / "drData");
    writeText(dir / "drData" / "DrConfig.txt", "2014 " + stubScene + "\n");
    int code =
        bench::run({opt.bin + "/varnix-bench-logsink"}, dir.string(), (root / "logsink.out").string(), 120, nodeEnv());
    // One value per measurement, in the order taken.
    std::map<std::string, std::vector<double>> values;
    std::istringstream in(readText(root / "logsink.out"));
    std::string key;
    double value;
    while (in >> key) {
        if (in >> value)
            values[key].push_back(value);
        else
            in.clear(), in.ignore(1 << 20, '\n');
    }
    auto& node = values["node_lines_per_second"];
    auto& base = values["baseline_lines_per_second"];
    if (code != 0 || node.empty() || node.size() != base.size())
        die("varnix-bench-logsink failed; see " + (root / "logsink.out").string());
    auto med = [&](const char* name, int decimals) { return fmt(median(values[name]), decimals); };
    std::string of = std::to_string(node.size());
    addRow({"Log sink: lines per second, 8 threads for 1 s, flush timer running (median of " + of +
                " pairs; ratio per pair)",
            grouped(median(node)), grouped(median(base)), ratioSpread(ratiosOf(node, base)), "≥ 200,000"});
    addRow({"Log sink: time of one log call, p50 / p99 (medians over the pairs) / max (µs)",
            med("node_p50_us", 2) + " / " + med("node_p99_us", 2) + " / " + fmt(maximum(values["node_max_us"]), 0),
            med("baseline_p50_us", 2) + " / " + med("baseline_p99_us", 2) + " / " +
                fmt(maximum(values["baseline_max_us"]), 0),
            "", "p99 < 50"});
}

}  // namespace bench
