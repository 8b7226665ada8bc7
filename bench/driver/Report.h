#pragma once
// What the benchmark says: progress on standard error, the table's rows, and
// the way out of a run that cannot go on.

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// A progress line on standard error.
void say(const std::string& text);

// The node of the run, stopped by die(); -1 when none runs.
extern pid_t runningNode;

// Says what went wrong, stops the node and ends the benchmark with status 1.
[[noreturn]] void die(const std::string& text);

struct Row {
    std::string figure, node, baseline, ratio, goal;
};

// The table so far, in the order taken.
extern std::vector<Row> rows;

// Adds a row and says it at once.
void addRow(Row row);

}  // namespace bench
