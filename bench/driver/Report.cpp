#include "Report.h"

#include "Process.h"

#include <cstdio>
#include <cstdlib>

namespace bench {

void say(const std::string& text) { std::fprintf(stderr, "bench: %s\n", text.c_str()); }

pid_t runningNode = -1;

[[noreturn]] void die(const std::string& text) {
    std::fprintf(stderr, "bench: ERROR: %s\n", text.c_str());
    if (runningNode > 0) stop(runningNode, 5);
    std::exit(1);
}

std::vector<Row> rows;

void addRow(Row row) {
    say("| " + row.figure + " | " + row.node + " | " + row.baseline + " | " + row.ratio + " |");
    rows.push_back(std::move(row));
}

}  // namespace bench
