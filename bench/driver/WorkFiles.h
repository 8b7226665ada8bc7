#pragma once
// Small file chores of the benchmark. Failures to write end the run (die).

#include <filesystem>
#include <string>

namespace bench {

// The whole file, or "" when it cannot be read.
std::string readText(const std::filesystem::path& path);
void writeText(const std::filesystem::path& path, const std::string& text);
// How often `what` occurs in `text`.
int countOf(const std::string& text, const std::string& what);
// A file of `size` bytes of a fixed pattern.
void makeFile(const std::filesystem::path& path, long long size);
// The three load averages of /proc/loadavg.
std::string loadAverage();
// Before each measured transfer: what other programs have written goes to
// the disk now rather than in the middle of the measurement.
void settle();

}  // namespace bench
