#pragma once
// Numbers of the benchmark: statistics over repeated measurements and the
// way the table writes them.

#include <chrono>
#include <string>
#include <vector>

namespace bench {

constexpr double gib = 1024.0 * 1024 * 1024;

double msSince(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to);
void sleepMs(double ms);
// A pseudo-random pause length, the same series in every run.
double uniformMs(double low, double high);

double median(std::vector<double> values);
// Nearest rank: the smallest value that at least `p` percent of the values
// do not exceed.
double percentile(std::vector<double> values, double p);
double maximum(const std::vector<double>& values);
double minimum(const std::vector<double>& values);
double mean(const std::vector<double>& values);
double megabytesPerSecond(double bytes, double seconds);
// a[i] / b[i] for each pair.
std::vector<double> ratiosOf(const std::vector<double>& a, const std::vector<double>& b);

std::string fmt(double value, int decimals);
// Whole number with thousands separated by commas.
std::string grouped(double value);
// "median (lowest–highest)" of repeated figures, whole numbers.
std::string spread(const std::vector<double>& values);
// "median (lowest–highest)" of ratios, two decimals.
std::string ratioSpread(const std::vector<double>& ratios);
// "median / p99 / max" of latencies in ms.
std::string latencies(const std::vector<double>& ms, int decimals);
// CPU seconds per GiB over repetitions of equal size: "mean (lowest–highest)".
// The mean is the CPU of all repetitions over all their bytes, so one
// repetition that met a busy moment weighs only its share.
std::string cpuSpread(const std::vector<double>& perGib);
// "ratio of the means (lowest–highest ratio within a pair)".
std::string meanRatio(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace bench
