#include "Stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <thread>

namespace bench {

namespace {

std::mt19937 randomness(20261208);

}  // namespace

double msSince(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void sleepMs(double ms) { std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms)); }

double uniformMs(double low, double high) { return std::uniform_real_distribution<double>(low, high)(randomness); }

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = size_t(std::ceil(p / 100 * double(values.size())));
    return values[rank == 0 ? 0 : rank - 1];
}

double maximum(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

double minimum(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

std::string fmt(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string grouped(double value) {
    std::string digits = fmt(value, 0), out;
    int n = 0;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (n && n % 3 == 0 && *it != '-') out.insert(out.begin(), ',');
        out.insert(out.begin(), *it);
        ++n;
    }
    return out;
}

std::string spread(const std::vector<double>& values) {
    if (values.size() < 2) return fmt(median(values), 0);
    return fmt(median(values), 0) + " (" + fmt(minimum(values), 0) + "–" + fmt(maximum(values), 0) + ")";
}

std::string ratioSpread(const std::vector<double>& ratios) {
    if (ratios.size() < 2) return fmt(median(ratios), 2);
    return fmt(median(ratios), 2) + " (" + fmt(minimum(ratios), 2) + "–" + fmt(maximum(ratios), 2) + ")";
}

std::string latencies(const std::vector<double>& ms, int decimals) {
    return fmt(median(ms), decimals) + " / " + fmt(percentile(ms, 99), decimals) + " / " + fmt(maximum(ms), decimals);
}

std::vector<double> ratiosOf(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) r.push_back(a[i] / b[i]);
    return r;
}

double mean(const std::vector<double>& values) {
    if (values.empty()) return 0;
    double sum = 0;
    for (double v : values) sum += v;
    return sum / double(values.size());
}

std::string cpuSpread(const std::vector<double>& perGib) {
    if (perGib.size() < 2) return fmt(mean(perGib), 2);
    return fmt(mean(perGib), 2) + " (" + fmt(minimum(perGib), 2) + "–" + fmt(maximum(perGib), 2) + ")";
}

std::string meanRatio(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> pairs = ratiosOf(a, b);
    std::string whole = mean(b) > 0 ? fmt(mean(a) / mean(b), 2) : "?";
    if (pairs.size() < 2) return whole;
    return whole + " (" + fmt(minimum(pairs), 2) + "–" + fmt(maximum(pairs), 2) + ")";
}

double megabytesPerSecond(double bytes, double seconds) { return bytes / seconds / 1e6; }

}  // namespace bench
