// varnix-bench: measures the real node (varnix-node, driven by drmaster and
// the 3ds Max stand-in) next to plain baselines run on the same machine in
// the same run, and prints a table. Figures, not pass/fail: the exit status
// is 0 whenever every measurement could be taken. Linux only; needs an X
// display for the node. bench/run builds everything and calls it.

#include "FileWatch.h"
#include "Net.h"
#include "Process.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/inotify.h>
#include <sys/utsname.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace bench;

namespace {

// ---------------------------------------------------------------- helpers

struct Options {
    std::string bin;
    int reps = 7;
    // Where the work directory goes: a tmpfs when there is one with room, so
    // that no transfer waits for a disk that other programs also write to.
    std::string workParent;
    int idleSeconds = 60;
    int pings = 100;
    int ends = 100;
    int jobs = 100;           // tiny jobs for the node's own time per job
    int smallDumps = 100;     // small dumps for the pick-up latency
    int bogus = 20;
    int startups = 5;
    long long sceneBytes = 1ll << 30;
    int dumps = 8;
    std::string dumpSize = "2048x2730";  // about 64 MiB of float RGB EXR
    bool keep = false;
    // Which figures to take (all when empty): logsink, startup, transfers,
    // dumplatency, end, bogus, discovery, jobs, idle; "baselines" takes only
    // the transfer baselines.
    std::vector<std::string> only;
    bool wants(const std::string& name) const {
        return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
    }
};

std::mt19937 randomness(20261208);

void say(const std::string& text) {
    std::fprintf(stderr, "bench: %s\n", text.c_str());
}

pid_t runningNode = -1;  // stopped on the way out of a failed run

[[noreturn]] void die(const std::string& text) {
    std::fprintf(stderr, "bench: ERROR: %s\n", text.c_str());
    if (runningNode > 0) stop(runningNode, 5);
    std::exit(1);
}

double msSince(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Before each measured transfer: what other programs have written goes to
// the disk now rather than in the middle of the measurement.
void settle() { ::sync(); }

void sleepMs(double ms) { std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms)); }

double uniformMs(double low, double high) { return std::uniform_real_distribution<double>(low, high)(randomness); }

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Nearest rank: the smallest value that at least `p` percent of the values
// do not exceed.
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

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

void makeFile(const fs::path& path, long long size) {
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = char((i * 131 + 7) % 251);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) die("cannot write " + path.string());
    for (long long left = size; left > 0;) {
        size_t piece = size_t(std::min<long long>(left, block.size()));
        std::fwrite(block.data(), 1, piece, file);
        left -= piece;
    }
    std::fclose(file);
}

std::string loadAverage() {
    std::string text = readText("/proc/loadavg");
    std::istringstream in(text);
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// "median (lowest–highest)" of repeated figures, whole numbers.
std::string spread(const std::vector<double>& values) {
    if (values.size() < 2) return fmt(median(values), 0);
    return fmt(median(values), 0) + " (" + fmt(minimum(values), 0) + "–" + fmt(maximum(values), 0) + ")";
}

// "median (lowest–highest)" of ratios, two decimals.
std::string ratioSpread(const std::vector<double>& ratios) {
    if (ratios.size() < 2) return fmt(median(ratios), 2);
    return fmt(median(ratios), 2) + " (" + fmt(minimum(ratios), 2) + "–" + fmt(maximum(ratios), 2) + ")";
}

// "median / p99 / max" of latencies in ms.
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

// CPU seconds per GiB over repetitions of equal size: "mean (lowest–highest)".
// The mean is the CPU of all repetitions over all their bytes, so one
// repetition that met a busy moment weighs only its share.
std::string cpuSpread(const std::vector<double>& perGib) {
    if (perGib.size() < 2) return fmt(mean(perGib), 2);
    return fmt(mean(perGib), 2) + " (" + fmt(minimum(perGib), 2) + "–" + fmt(maximum(perGib), 2) + ")";
}

// "ratio of the means (lowest–highest ratio within a pair)".
std::string meanRatio(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> pairs = ratiosOf(a, b);
    std::string whole = mean(b) > 0 ? fmt(mean(a) / mean(b), 2) : "?";
    if (pairs.size() < 2) return whole;
    return whole + " (" + fmt(minimum(pairs), 2) + "–" + fmt(maximum(pairs), 2) + ")";
}

constexpr double gib = 1024.0 * 1024 * 1024;

// One run of dumps from their appearance in a directory to the receiver.
struct DumpRun {
    std::vector<Arrival> arrivals;  // each dump whole in the source directory
    std::vector<WriteSpan> spans;   // the receiver's file: created (size read) to closed
    double bytes = 0;
    double cpuSeconds = 0;          // of the relaying process
    double relayThreadCpu = 0;      // of the node's job thread alone
    // Seconds from each dump's appearance to the receiver's last byte, added up.
    double seconds() const {
        double t = 0;
        for (size_t i = 0; i < arrivals.size() && i < spans.size(); ++i)
            t += std::chrono::duration<double>(spans[i].closed - arrivals[i].when).count();
        return t;
    }
    // Milliseconds from each dump's appearance to its first bytes at the receiver.
    std::vector<double> firstByteMs() const {
        std::vector<double> ms;
        for (size_t i = 0; i < arrivals.size() && i < spans.size(); ++i)
            ms.push_back(std::chrono::duration<double, std::milli>(spans[i].firstWrite - arrivals[i].when).count());
        return ms;
    }
};

// ---------------------------------------------------------------- the table

struct Row {
    std::string figure, node, baseline, ratio, goal;
};

std::vector<Row> rows;

void addRow(Row row) {
    say("| " + row.figure + " | " + row.node + " | " + row.baseline + " | " + row.ratio + " |");
    rows.push_back(std::move(row));
}

// ---------------------------------------------------------------- the bench

class Bench {
public:
    explicit Bench(Options options) : opt(std::move(options)) {}
    int run();

private:
    void prepare();
    std::string installStub(const std::string& name, const std::string& behaviour);
    std::map<std::string, std::string> nodeEnv() const;

    // The node: started and probed until the master port greets.
    double startNode();
    void stopNode();
    double startGreeterBaseline();
    int logCount(const std::string& text);
    bool waitForLogCount(const std::string& text, int count, double seconds);

    // The seconds of the scene's write on the node's disk; `cpu` gets the
    // node's CPU seconds over the job.
    double nodeScene(const fs::path& scene, double* cpu = nullptr);
    // A drmaster job of the stand-in for `version`, which writes `count`
    // dumps; the stand-in keeps a copy of each in root/kept.
    DumpRun nodeDumps(const std::string& version, int count);
    // The plain relay (varnix-bench-transfer relay) of the same files,
    // written into its folder one by one `pauseMs` apart.
    DumpRun baselineRelay(const std::vector<fs::path>& sources, double pauseMs);
    std::vector<fs::path> keptDumps(double* bytes);
    // The raw receiver creates each file right after reading its size, like
    // drmaster; the primitives, like the node, create it before the size comes.
    // `cpu` gets the receiver's CPU seconds.
    std::vector<WriteSpan> baselineTransfer(const std::string& kind, const std::vector<fs::path>& files,
                                            FileWatch::Start start, double* cpu = nullptr);

    void benchLogSink();
    void benchStartupAndMemory();
    void benchTransfers();
    void benchDumpLatency();
    void benchJobs();
    void benchEnd();
    void benchBogus();
    void benchDiscovery();
    void benchIdle();

    Options opt;
    fs::path root, work, data, out, files;
    fs::path sceneBig, sceneSmall;
    std::string stubScene, stubDumps, stubEnd, stubSmall, stubTiny;
    pid_t nodePid = -1;
    int nodeRuns = 0;
    int transfers = 0;
    long smallSceneHwmKb = -1, bigSceneHwmKb = -1, idleRssKb = -1;
    std::vector<double> startupNode, startupBase;
    std::string workKind;  // "tmpfs" or "disk"
};

std::map<std::string, std::string> Bench::nodeEnv() const {
    return {{"VARNIX_REGISTRY", (root / "registry.reg").string()}, {"NO_AT_BRIDGE", "1"}};
}

std::string Bench::installStub(const std::string& name, const std::string& behaviour) {
    fs::path dir = root / "max" / name;
    fs::create_directories(dir);
    fs::copy_file(opt.bin + "/maxstub/3dsmaxcmd.exe", dir / "3dsmaxcmd.exe", fs::copy_options::overwrite_existing);
    writeText(dir / "maxstub-behaviour.txt", behaviour);
    return dir.string() + "/";
}

// A directory for the work files: the one asked for, else /dev/shm when it
// is a tmpfs with room for the scenes, the dumps and their copies, else /tmp.
std::string workParentFor(const Options& opt, std::string* kind) {
    auto isTmpfs = [](const std::string& dir, double* freeBytes) {
        struct statfs s {};
        if (statfs(dir.c_str(), &s) != 0) return false;
        *freeBytes = double(s.f_bavail) * double(s.f_bsize);
        return s.f_type == 0x01021994;  // TMPFS_MAGIC
    };
    double freeBytes = 0;
    if (!opt.workParent.empty()) {
        *kind = isTmpfs(opt.workParent, &freeBytes) ? "tmpfs" : "disk";
        return opt.workParent;
    }
    double needed = 3.0 * double(opt.sceneBytes) + 4.0 * gib;
    if (isTmpfs("/dev/shm", &freeBytes) && freeBytes > needed) {
        *kind = "tmpfs";
        return "/dev/shm";
    }
    *kind = isTmpfs("/tmp", &freeBytes) ? "tmpfs" : "disk";
    return "/tmp";
}

void Bench::prepare() {
    std::string parent = workParentFor(opt, &workKind);
    std::string name = parent + "/varnix-bench-XXXXXX";
    if (!mkdtemp(name.data())) die("cannot make a temporary directory in " + parent);
    root = name;
    work = root / "work";
    data = work / "drData";
    out = root / "out";
    files = root / "files";
    for (const auto& dir : {data, out, files}) fs::create_directories(dir);
    writeText(root / "registry.reg", "Windows Registry Editor Version 5.00\n\n");
    stubScene = installStub("scene", "dumps = 0\nend_wait_seconds = 60\nend_linger_ms = 0\n");
    // The stand-in keeps a copy of every dump before the node can see it, so
    // that the plain relay gets the very same files.
    std::string keep = "\nkeep_dumps_in = " + (root / "kept").string();
    stubDumps = installStub("dumps", "dumps = " + std::to_string(opt.dumps) +
                                         "\ndump_interval_ms = 1500\ndump_size = " + opt.dumpSize +
                                         "\nend_wait_seconds = 60\nend_linger_ms = 0" + keep + "\n");
    stubEnd = installStub("end", "dumps = 0\nhang_until_end = yes\nend_linger_ms = 60000\n");
    stubSmall = installStub("small", "dumps = " + std::to_string(opt.smallDumps) +
                                         "\ndump_interval_ms = 100\ndump_size = 64x64\nend_wait_seconds = 60\nend_linger_ms = 0" + keep + "\n");
    stubTiny = installStub("tiny", "dumps = 1\ndump_interval_ms = 0\ndump_size = 64x32\nend_wait_seconds = 0\nend_linger_ms = 0\n");
    writeText(data / "DrConfig.txt", "2012 " + stubSmall + "\n2013 " + stubTiny + "\n2014 " + stubScene + "\n2015 " +
                                         stubDumps + "\n2016 " + stubEnd + "\n");
    sceneBig = files / "scene_big.max";
    sceneSmall = files / "scene_1MiB.max";
    say("writing a " + grouped(double(opt.sceneBytes)) + "-byte scene in " + files.string());
    makeFile(sceneBig, opt.sceneBytes);
    makeFile(sceneSmall, 1 << 20);
}

double Bench::startNode() {
    ++nodeRuns;
    auto start = Clock::now();
    nodePid = spawn({opt.bin + "/varnix-node"}, work.string(), (root / ("node-" + std::to_string(nodeRuns) + ".out")).string(),
                 nodeEnv());
    runningNode = nodePid;
    while (msSince(start, Clock::now()) < 30000) {
        int fd = connectTcp(masterPort, 200);
        if (fd >= 0) {
            unsigned char greeting[4];
            bool greeted = readExact(fd, greeting, 4, 10000) && getLE32(greeting) == nodeGreeting;
            auto answered = Clock::now();
            close(fd);
            if (!greeted) die("the master port did not greet like a node");
            return msSince(start, answered);
        }
        bool ended = false;
        waitFor(nodePid, 0, &ended);
        if (ended) die("varnix-node ended during start-up; see " + root.string());
        sleepMs(1);
    }
    die("varnix-node did not answer on the master port within 30 s");
}

void Bench::stopNode() {
    if (nodePid <= 0) return;
    if (!stop(nodePid, 20)) say("varnix-node did not end within 20 s of SIGTERM; killed");
    nodePid = runningNode = -1;
}

double Bench::startGreeterBaseline() {
    auto start = Clock::now();
    pid_t greeter = spawn({opt.bin + "/varnix-bench-transfer", "greet", std::to_string(masterPort)}, root.string(),
                          (root / "greeter.out").string());
    while (msSince(start, Clock::now()) < 10000) {
        int fd = connectTcp(masterPort, 200);
        if (fd >= 0) {
            unsigned char greeting[4];
            bool greeted = readExact(fd, greeting, 4, 5000);
            auto answered = Clock::now();
            close(fd);
            waitFor(greeter, 5);
            if (!greeted) die("the greeter did not greet");
            return msSince(start, answered);
        }
        sleepMs(1);
    }
    stop(greeter, 1);
    die("the greeter did not start");
}

int Bench::logCount(const std::string& text) { return countOf(readText(data / "DrLog.txt"), text); }

bool Bench::waitForLogCount(const std::string& text, int count, double seconds) {
    auto start = Clock::now();
    while (msSince(start, Clock::now()) < seconds * 1000) {
        if (logCount(text) >= count) return true;
        sleepMs(50);
    }
    return false;
}

// One drmaster job with `scene`; the seconds from the scene's first bytes on
// the node's disk to the node closing the file.
double Bench::nodeScene(const fs::path& scene, double* cpu) {
    fs::remove(data / "received_scene.max");
    settle();
    double cpuBefore = cpuTickSeconds(nodePid);
    FileWatch watch(data.string(), [](const std::string& n) { return n == "received_scene.max"; }, 1);
    int ready = logCount("Ready for new connection");
    int code = bench::run({opt.bin + "/drmaster", "render", "--node", "127.0.0.1", "--version", "2014", "--frame", "1",
                    "--scene", scene.string(), "--out", out.string(), "--end-after-dumps", "0"},
                   root.string(), (root / "drmaster.out").string(), 600);
    auto spans = watch.wait(5);
    // This stand-in writes no dump, which drmaster reports as 11 (no image).
    if (code != 11) die("drmaster render (scene) failed with " + std::to_string(code) + "; see " + root.string());
    if (spans.size() != 1) die("the scene's write was not seen");
    waitForLogCount("Ready for new connection", ready + 1, 20);
    if (cpu) *cpu = cpuTickSeconds(nodePid) - cpuBefore;
    fs::remove(data / "received_scene.max");
    return spans[0].seconds();
}

DumpRun Bench::nodeDumps(const std::string& version, int count) {
    for (auto& entry : fs::directory_iterator(out)) fs::remove_all(entry.path());
    // drmaster creates each dump's file right after reading its size.
    FileWatch watch(out.string(), [](const std::string& n) {
        return n.size() > 5 && n.compare(n.size() - 5, 5, ".part") == 0;
    }, count, FileWatch::Start::creation);
    // The stand-in copies each dump into root/kept before writing it.
    fs::path kept = root / "kept";
    fs::remove_all(kept);
    fs::create_directories(kept);
    ArrivalWatch arrivals(data.string(), [](const std::string& n) { return n.rfind("dump", 0) == 0; });
    settle();
    int ready = logCount("Ready for new connection");
    double cpuBefore = cpuTickSeconds(nodePid);
    auto threadsBefore = threadCpuSeconds(nodePid);
    int code = bench::run({opt.bin + "/drmaster", "render", "--node", "127.0.0.1", "--version", version, "--frame", "1",
                    "--scene", sceneSmall.string(), "--out", out.string(), "--end-after-dumps",
                    std::to_string(count)},
                   root.string(), (root / "drmaster.out").string(), 600);
    DumpRun result;
    result.spans = watch.wait(5);
    result.arrivals = arrivals.stop();
    if (code != 0) die("drmaster render (dumps) failed with " + std::to_string(code) + "; see " + root.string());
    if (int(result.spans.size()) != count || int(result.arrivals.size()) != count)
        die("not every dump was seen (" + std::to_string(result.arrivals.size()) + " written, " +
            std::to_string(result.spans.size()) + " received of " + std::to_string(count) + ")");
    waitForLogCount("Ready for new connection", ready + 1, 20);
    result.cpuSeconds = cpuTickSeconds(nodePid) - cpuBefore;
    std::string perThread;
    for (const auto& [thread, seconds] : threadCpuSeconds(nodePid))
        if (threadsBefore.count(thread) && seconds - threadsBefore[thread] >= 0.005)
        {
            perThread += " " + thread + " " + fmt(seconds - threadsBefore[thread], 2);
            if (thread.find("MY_ServerThread") != std::string::npos) result.relayThreadCpu = seconds - threadsBefore[thread];
        }
    say("node CPU seconds by thread over the job:" + perThread);
    keptDumps(&result.bytes);
    return result;
}

std::vector<fs::path> Bench::keptDumps(double* bytes) {
    std::vector<fs::path> dumps;
    *bytes = 0;
    for (const auto& entry : fs::directory_iterator(root / "kept")) {
        dumps.push_back(entry.path());
        *bytes += double(fs::file_size(entry.path()));
    }
    std::sort(dumps.begin(), dumps.end());
    return dumps;
}

DumpRun Bench::baselineRelay(const std::vector<fs::path>& sources, double pauseMs) {
    fs::path from = root / "base-relay-data", to = root / "base-relay-out";
    for (const auto& dir : {from, to}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    int count = int(sources.size());
    FileWatch watch(to.string(), [](const std::string& n) { return n.rfind("received_", 0) == 0; }, count,
                    FileWatch::Start::creation);
    fs::path receiverOut = root / ("receiver-" + std::to_string(++transfers) + ".out");
    pid_t receiver = spawn({opt.bin + "/varnix-bench-transfer", "receive", "raw", to.string(), std::to_string(count),
                            "signals"},
                           root.string(), receiverOut.string());
    std::string port;
    for (int i = 0; i < 5000 && port.empty(); ++i) {
        std::string text = readText(receiverOut);
        if (text.rfind("port ", 0) == 0 && text.find('\n') != std::string::npos)
            port = text.substr(5, text.find('\n') - 5);
        else
            sleepMs(1);
    }
    if (port.empty()) die("the raw receiver did not start");
    fs::path relayOut = root / "relay.out";
    pid_t relay = spawn({opt.bin + "/varnix-bench-transfer", "relay", from.string(), port, std::to_string(count)},
                        root.string(), relayOut.string());
    for (int i = 0; i < 5000 && readText(relayOut).find("relaying") == std::string::npos; ++i) sleepMs(1);
    settle();
    DumpRun result;
    {
        ArrivalWatch arrivals(from.string(), [](const std::string& n) { return n.rfind("dump", 0) == 0; });
        // Written as the stand-in writes: under another name, then renamed.
        for (int k = 0; k < count; ++k) {
            if (k > 0) sleepMs(pauseMs);
            fs::path temporary = from / ("writing" + std::to_string(k) + ".tmp");
            // From memory, as the stand-in writes: the new file's pages are
            // in the cache, as the node's are.
            writeText(temporary, readText(sources[k]));
            fs::rename(temporary, from / ("dump" + std::to_string(k + 1) + ".exr"));
            result.bytes += double(fs::file_size(sources[k]));
        }
        result.spans = watch.wait(60);
        result.arrivals = arrivals.stop();
    }
    int relayed = waitFor(relay, 60, nullptr, &result.cpuSeconds);
    int received = waitFor(receiver, 60);
    if (relayed != 0 || received != 0 || int(result.spans.size()) != count || int(result.arrivals.size()) != count)
        die("the plain relay failed (relay " + std::to_string(relayed) + ", receiver " + std::to_string(received) +
            "); see " + root.string());
    fs::remove(receiverOut);
    return result;
}

std::vector<WriteSpan> Bench::baselineTransfer(const std::string& kind, const std::vector<fs::path>& sources,
                                               FileWatch::Start start, double* cpu) {
    fs::path dir = root / ("base-" + kind);
    fs::remove_all(dir);
    fs::create_directories(dir);
    FileWatch watch(dir.string(), [](const std::string& n) { return n.rfind("received_", 0) == 0; },
                    int(sources.size()), start);
    // A fresh name: the child truncates its output file only once it runs.
    fs::path receiverOut = root / ("receiver-" + std::to_string(++transfers) + ".out");
    pid_t receiver = spawn({opt.bin + "/varnix-bench-transfer", "receive", kind, dir.string(),
                            std::to_string(sources.size())},
                           root.string(), receiverOut.string());
    std::string port;
    for (int i = 0; i < 5000 && port.empty(); ++i) {
        std::string text = readText(receiverOut);
        if (text.rfind("port ", 0) == 0 && text.find('\n') != std::string::npos)
            port = text.substr(5, text.find('\n') - 5);
        else
            sleepMs(1);
    }
    if (port.empty()) die("the " + kind + " receiver did not start");
    // Files after the first come after a pause, as the stand-in's dumps do:
    // each moves on its own, not in a stream that keeps both cores busy.
    std::vector<std::string> argv{opt.bin + "/varnix-bench-transfer", "send", kind, port, "--pause-ms", "500"};
    for (const auto& source : sources) argv.push_back(source.string());
    settle();
    int sent = bench::run(argv, root.string(), (root / "sender.out").string(), 600);
    int received = waitFor(receiver, 60, nullptr, cpu);
    auto spans = watch.wait(5);
    if (sent != 0 || received != 0 || spans.size() != sources.size())
        die("the " + kind + " transfer failed (sender " + std::to_string(sent) + ", receiver " + std::to_string(received) + ", " + std::to_string(spans.size()) + " files seen); see " + root.string());
    fs::remove_all(dir);
    fs::remove(receiverOut);
    return spans;
}

double megabytesPerSecond(double bytes, double seconds) { return bytes / seconds / 1e6; }

// ---------------------------------------------------------------- figures

void Bench::benchLogSink() {
    say("log sink: 8 threads against the real log window, 4 pairs of 1 s");
    fs::path dir = root / "logsink";
    fs::create_directories(dir / "drData");
    writeText(dir / "drData" / "DrConfig.txt", "2014 " + stubScene + "\n");
    int code = bench::run({opt.bin + "/varnix-bench-logsink"}, dir.string(), (root / "logsink.out").string(), 120, nodeEnv());
    // One value per measurement, in the order taken.
    std::map<std::string, std::vector<double>> values;
    std::istringstream in(readText(root / "logsink.out"));
    std::string key;
    double value;
    while (in >> key) {
        if (in >> value) values[key].push_back(value);
        else in.clear(), in.ignore(1 << 20, '\n');
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

void Bench::benchTransfers() {
    // Without the node the dumps are files of the size the stand-in writes.
    const bool baselinesOnly = !opt.wants("transfers");
    std::vector<double> node, raw, prim, nodeCpu, rawCpu, primCpu;
    double bytes = double(opt.sceneBytes);
    // Round 0 warms up (the first transfer after a pause meets cold caches,
    // sockets and page allocation): taken like the others, then dropped.
    for (int rep = 0; rep <= opt.reps; ++rep) {
        const bool warmUp = rep == 0;
        say(warmUp ? std::string("scene download: warm-up round, not counted")
                   : "scene download " + std::to_string(rep) + " of " + std::to_string(opt.reps));
        double r = 0, p = 0, n = 0, rc = 0, pc = 0, nc = 0;
        // Each repetition starts with another of the three, so that none
        // always runs first or last; the ratios are taken within a repetition.
        for (int turn = 0; turn < 3; ++turn) {
            double cpu = 0;
            switch ((rep + turn) % 3) {
            case 0:
                r = megabytesPerSecond(
                    bytes, baselineTransfer("raw", {sceneBig}, FileWatch::Start::firstWrite, &cpu)[0].seconds());
                rc = cpu / (bytes / gib);
                break;
            case 1:
                p = megabytesPerSecond(
                    bytes, baselineTransfer("primitives", {sceneBig}, FileWatch::Start::firstWrite, &cpu)[0].seconds());
                pc = cpu / (bytes / gib);
                break;
            default:
                if (baselinesOnly) break;
                n = megabytesPerSecond(bytes, nodeScene(sceneBig, &cpu));
                nc = cpu / (bytes / gib);
            }
        }
        if (!baselinesOnly) bigSceneHwmKb = statusKb(nodePid, "VmHWM");
        say("scene MB/s: raw " + fmt(r, 0) + ", primitives " + fmt(p, 0) +
            (baselinesOnly ? std::string() : ", node " + fmt(n, 0)) + "; CPU s/GiB: raw " + fmt(rc, 2) +
            ", primitives " + fmt(pc, 2) + (baselinesOnly ? std::string() : ", node " + fmt(nc, 2)));
        if (warmUp) continue;
        raw.push_back(r), rawCpu.push_back(rc), prim.push_back(p), primCpu.push_back(pc);
        if (!baselinesOnly) node.push_back(n), nodeCpu.push_back(nc);
    }
    std::string what = grouped(bytes / (1 << 20)) + " MiB";
    std::string of = std::to_string(opt.reps);
    if (!baselinesOnly) {
        addRow({"Scene download " + what + ", drmaster → varnix-node (MB/s, median (range) of " + of + "; ratio per pair)",
                spread(node), spread(raw), ratioSpread(ratiosOf(node, raw)), "≥ 0.9"});
        addRow({"Scene download: CPU seconds per GiB of the receiving process (user + system; mean (range) of " + of +
                    "; ratio of the means (range per pair))",
                cpuSpread(nodeCpu), cpuSpread(rawCpu), meanRatio(nodeCpu, rawCpu), ""});
    }
    addRow({"Scene " + what + " through the node's receive/send primitives alone (MB/s; CPU s/GiB of the receiver)",
            spread(prim) + "; " + fmt(mean(primCpu), 2), spread(raw) + "; " + fmt(mean(rawCpu), 2),
            ratioSpread(ratiosOf(prim, raw)), ""});

    std::vector<double> dumpNode, dumpBase, dumpNodeCpu, dumpThreadCpu, dumpBaseCpu, firstNode, firstBase;
    double dumpBytes = 0;
    std::vector<fs::path> dumps;
    if (baselinesOnly) {
        fs::remove_all(root / "kept");
        fs::create_directories(root / "kept");
        for (int k = 1; k <= opt.dumps; ++k) makeFile(root / "kept" / ("dump" + std::to_string(k) + ".exr"), 67108864);
        dumps = keptDumps(&dumpBytes);
    }
    auto each = [&](const char* who, const DumpRun& run) {
        std::string text;
        for (size_t i = 0; i < run.arrivals.size() && i < run.spans.size(); ++i)
            text += " " + fmt(std::chrono::duration<double, std::milli>(run.spans[i].closed - run.arrivals[i].when).count(), 1);
        say(std::string(who) + ": ms per dump, appearance to last byte:" + text + "; CPU " + fmt(run.cpuSeconds, 2) + " s");
    };
    bool counted = false;
    auto baseline = [&] {
        DumpRun run = baselineRelay(dumps, 1000);
        each("plain relay", run);
        if (!counted) return;
        dumpBase.push_back(megabytesPerSecond(run.bytes, run.seconds()));
        dumpBaseCpu.push_back(run.cpuSeconds / (run.bytes / gib));
        for (double ms : run.firstByteMs()) firstBase.push_back(ms);
    };
    for (int rep = 0; rep <= opt.reps; ++rep) {
        counted = rep > 0;
        say(counted ? "dump relay " + std::to_string(rep) + " of " + std::to_string(opt.reps)
                    : std::string("dump relay: warm-up pair, not counted"));
        // Every other pair starts with the baseline, which then sends the
        // dumps of the node's previous run.
        bool baselineFirst = rep % 2 == 0 && !dumps.empty();
        if (baselineFirst) baseline();
        if (!baselinesOnly) {
            DumpRun run = nodeDumps("2015", opt.dumps);
            each("node", run);
            if (counted) {
                dumpNode.push_back(megabytesPerSecond(run.bytes, run.seconds()));
                dumpNodeCpu.push_back(run.cpuSeconds / (run.bytes / gib));
                dumpThreadCpu.push_back(run.relayThreadCpu / (run.bytes / gib));
                for (double ms : run.firstByteMs()) firstNode.push_back(ms);
            }
            dumps = keptDumps(&dumpBytes);
        }
        if (!baselineFirst) baseline();
    }
    std::string dumpWhat = std::to_string(opt.dumps) + " × " + fmt(dumpBytes / opt.dumps / (1 << 20), 1) + " MiB";
    if (!baselinesOnly) {
        addRow({"Dump relay " + dumpWhat + ", stand-in → varnix-node → drmaster, from each dump's appearance to "
                "its last byte on the master's disk (MB/s, median (range) of " + of + "; ratio per pair)",
                spread(dumpNode), spread(dumpBase), ratioSpread(ratiosOf(dumpNode, dumpBase)), "≥ 0.9"});
        addRow({"Dump relay: CPU seconds per GiB of the relaying process (user + system; mean (range) of " + of +
                    "; ratio of the means (range per pair)); the node's job thread alone",
                cpuSpread(dumpNodeCpu) + "; thread " + fmt(mean(dumpThreadCpu), 2), cpuSpread(dumpBaseCpu),
                meanRatio(dumpNodeCpu, dumpBaseCpu), ""});
        addRow({"Dump " + dumpWhat + ": appearance to first bytes at the master, median / p99 / max of " +
                std::to_string(firstNode.size()) + " (ms)", latencies(firstNode, 1), latencies(firstBase, 2), "",
                "p99 < 50"});
    } else {
        addRow({"Plain dump relay " + dumpWhat + " (MB/s; CPU s/GiB; first bytes median / p99 / max ms)", "",
                spread(dumpBase) + "; " + fmt(mean(dumpBaseCpu), 2) + "; " + latencies(firstBase, 2), "", ""});
    }

    double mib = 1024.0;
    if (smallSceneHwmKb > 0 && bigSceneHwmKb > 0)
        addRow({"Peak resident memory of the node after a 1 MiB scene / after the " + what + " scenes (MiB)",
            fmt(smallSceneHwmKb / mib, 1) + " / " + fmt(bigSceneHwmKb / mib, 1),
            "idle " + fmt(idleRssKb / mib, 1), "+" + fmt((bigSceneHwmKb - smallSceneHwmKb) * 1024.0 / 1e6, 2) + " MB",
            "difference < 8 MB"});
}

void Bench::benchDumpLatency() {
    say("dump pick-up: " + std::to_string(opt.smallDumps) + " small dumps, 100 ms apart");
    DumpRun node = nodeDumps("2012", opt.smallDumps);
    double bytes = 0;
    DumpRun base = baselineRelay(keptDumps(&bytes), 100);
    addRow({"Small dumps (" + std::to_string(opt.smallDumps) + " × " + grouped(bytes / opt.smallDumps) +
                " bytes, 100 ms apart): appearance to first bytes at the master, median / p99 / max (ms); all arrived",
            latencies(node.firstByteMs(), 1), latencies(base.firstByteMs(), 2), "", "p99 < 50"});
}

// Jobs of a tiny scene and one small dump, with the benchmark as the master:
// the node's own time before the renderer starts and after it ends.
void Bench::benchJobs() {
    say("per-job overhead: " + std::to_string(opt.jobs) + " tiny jobs");
    fs::path stubDir = root / "max" / "tiny";
    int watchFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(watchFd, stubDir.c_str(), IN_MODIFY | IN_CLOSE_WRITE);
    alignas(inotify_event) char buffer[4096];
    // The stand-in's record file: its first line is written as it starts,
    // and the file is closed as it exits.
    auto recordEvent = [&](std::uint32_t mask, Clock::time_point& when, int timeoutMs) {
        auto start = Clock::now();
        while (msSince(start, Clock::now()) < timeoutMs) {
            pollfd p{watchFd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            auto now = Clock::now();
            ssize_t got = read(watchFd, buffer, sizeof buffer);
            for (ssize_t at = 0; at < got;) {
                auto* event = reinterpret_cast<inotify_event*>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + event->len);
                if (event->len && std::string(event->name) == "maxstub-record.txt" && (event->mask & mask)) {
                    when = now;
                    return true;
                }
            }
        }
        return false;
    };
    std::vector<char> scene(1024, 'x');
    std::vector<double> before, after, whole;
    for (int job = 0; job < opt.jobs; ++job) {
        while (read(watchFd, buffer, sizeof buffer) > 0) {
        }
        auto connected = Clock::now();
        int fd = connectTcp(masterPort, 5000);
        unsigned char bytes[8];
        if (fd < 0 || !readExact(fd, bytes, 4, 10000)) die("no node greeting for a tiny job");
        putLE32(masterGreeting, bytes);
        writeAll(fd, bytes, 4);
        const char parameters[] = "2013 1";
        writeAll(fd, parameters, sizeof parameters);
        putLE32(std::uint32_t(scene.size()), bytes);
        writeAll(fd, bytes, 4);
        writeAll(fd, scene.data(), scene.size());
        Clock::time_point started, exited;
        if (!recordEvent(IN_MODIFY, started, 30000)) die("the stand-in of a tiny job did not start");
        if (!readExact(fd, bytes, 8, 30000)) die("no dump in a tiny job");
        std::vector<char> dump(getLE32(bytes + 4));
        if (!readExact(fd, dump.data(), dump.size(), 30000)) die("a cut dump in a tiny job");
        if (!recordEvent(IN_CLOSE_WRITE, exited, 30000)) die("the stand-in of a tiny job did not end");
        if (!waitForClose(fd, 30000)) die("the node did not close a tiny job");
        auto closed = Clock::now();
        close(fd);
        before.push_back(msSince(connected, started));
        after.push_back(msSince(exited, closed));
        whole.push_back(msSince(connected, closed));
    }
    close(watchFd);
    std::string of = std::to_string(opt.jobs);
    addRow({"Per job (tiny scene, one small dump): master connects → renderer starts, median / p99 / max of " + of +
                " (ms)", latencies(before, 1), "", "", ""});
    addRow({"Per job: renderer exits → node closes the master connection after \"Ready for new connection\", "
                "median / p99 / max (ms)", latencies(after, 1), "", "", ""});
    double overhead = median(before) + median(after);
    addRow({"Per job: whole tiny job, median (ms); node's own share of a 2 s frame (overhead / (overhead + 2 s))",
            fmt(median(whole), 0) + "; " + fmt(overhead / (overhead + 2000) * 100, 1) + " %", "", "", ""});
}

void Bench::benchEnd() {
    say("END latency: " + std::to_string(opt.ends) + " ENDs in one job");
    fs::path record = root / "max" / "end" / "maxstub-record.txt";
    int ready = logCount("Ready for new connection");
    int fd = connectTcp(masterPort, 5000);
    unsigned char bytes[4];
    if (fd < 0 || !readExact(fd, bytes, 4, 10000)) die("no node greeting for the END job");
    putLE32(masterGreeting, bytes);
    writeAll(fd, bytes, 4);
    const char parameters[] = "2016 0";
    writeAll(fd, parameters, sizeof parameters);  // with its NUL
    putLE32(0, bytes);
    writeAll(fd, bytes, 4);  // an empty scene

    auto start = Clock::now();
    while (countOf(readText(record), "data_directory") == 0) {
        if (msSince(start, Clock::now()) > 30000) die("the stand-in did not come online for the END job");
        sleepMs(10);
    }
    sleepMs(300);
    int watchFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(watchFd, record.parent_path().c_str(), IN_MODIFY);
    int seen = countOf(readText(record), "end_received");
    std::vector<double> latencies;
    alignas(inotify_event) char buffer[4096];
    for (int i = 0; i < opt.ends; ++i) {
        sleepMs(uniformMs(100, 400));
        while (read(watchFd, buffer, sizeof buffer) > 0) {
        }
        putLE32(endSignal, bytes);
        auto sent = Clock::now();
        writeAll(fd, bytes, 4);
        for (;;) {
            pollfd p{watchFd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) die("the stand-in did not report END " + std::to_string(i + 1));
            auto when = Clock::now();
            while (read(watchFd, buffer, sizeof buffer) > 0) {
            }
            int now = countOf(readText(record), "end_received");
            if (now > seen) {
                seen = now;
                latencies.push_back(msSince(sent, when));
                break;
            }
        }
    }
    close(watchFd);
    close(fd);
    if (!waitForLogCount("Ready for new connection", ready + 1, 30)) die("the END job did not end");

    // Baseline: the same signal through a plain relay thread on loopback.
    std::uint16_t port1 = 0, port2 = 0;
    int l1 = listenTcp(port1), l2 = listenTcp(port2);
    int master = connectTcp(port1, 1000), relayIn = accept(l1, nullptr, nullptr);
    int relayOut = connectTcp(port2, 1000), host = accept(l2, nullptr, nullptr);
    std::thread relay([&] {
        unsigned char b[4];
        while (readExact(relayIn, b, 4, 10000)) writeAll(relayOut, b, 4);
    });
    std::vector<double> base;
    for (int i = 0; i < opt.ends; ++i) {
        sleepMs(uniformMs(5, 20));
        putLE32(endSignal, bytes);
        auto sent = Clock::now();
        writeAll(master, bytes, 4);
        readExact(host, bytes, 4, 5000);
        base.push_back(msSince(sent, Clock::now()));
    }
    close(master);
    relay.join();
    for (int f : {l1, l2, relayIn, relayOut, host}) close(f);
    addRow({"END master → 3ds Max side, median / p99 / max of " + std::to_string(opt.ends) + " (ms)",
            ::latencies(latencies, 2), ::latencies(base, 3), "", "p99 < 10"});
}

void Bench::benchBogus() {
    say("bogus greetings: " + std::to_string(opt.bogus));
    auto probe = [&](std::uint16_t port) {
        auto start = Clock::now();
        int fd = connectTcp(port, 5000);
        unsigned char bytes[4];
        if (fd < 0 || !readExact(fd, bytes, 4, 10000)) die("no greeting for the bogus connection");
        putLE32(0x04030201, bytes);
        writeAll(fd, bytes, 4);
        if (!waitForClose(fd, 10000)) die("the bogus connection was not closed");
        auto closed = Clock::now();
        close(fd);
        return msSince(start, closed);
    };
    std::vector<double> node, base;
    int ready = logCount("Ready for new connection");
    for (int i = 0; i < opt.bogus; ++i) {
        node.push_back(probe(masterPort));
        sleepMs(20);
    }
    if (!waitForLogCount("Ready for new connection", ready + opt.bogus, 10))
        die("the node did not log every bogus connection");

    std::uint16_t port = 0;
    int listener = listenTcp(port);
    std::thread server([&] {
        for (int i = 0; i < opt.bogus; ++i) {
            int fd = accept(listener, nullptr, nullptr);
            unsigned char bytes[4];
            putLE32(nodeGreeting, bytes);
            writeAll(fd, bytes, 4);
            readExact(fd, bytes, 4, 5000);
            close(fd);
        }
    });
    for (int i = 0; i < opt.bogus; ++i) base.push_back(probe(port));
    server.join();
    close(listener);
    addRow({"Bogus 4-byte greeting: connect to \"Ready for new connection\" (the close), median / max (ms)",
            fmt(median(node), 2) + " / " + fmt(maximum(node), 2), fmt(median(base), 3) + " / " + fmt(maximum(base), 3),
            "", ""});
}

void Bench::benchDiscovery() {
    say("discovery: " + std::to_string(opt.pings) + " pings");
    auto ping = [&](std::uint16_t port, double maxPauseMs) {
        std::vector<double> latencies;
        std::uint16_t own = 0;
        int fd = bindUdp(own);
        unsigned char bytes[16];
        for (int i = 0; i < opt.pings; ++i) {
            sleepMs(uniformMs(0, maxPauseMs));
            while (recv(fd, bytes, sizeof bytes, MSG_DONTWAIT) > 0) {
            }
            putLE32(masterGreeting, bytes);
            auto sent = Clock::now();
            sendUdp(fd, port, bytes, 4);
            if (!waitReadable(fd, 3000)) die("no discovery reply");
            auto answered = Clock::now();
            if (recv(fd, bytes, sizeof bytes, 0) != 4 || getLE32(bytes) != nodeGreeting) die("a wrong discovery reply");
            latencies.push_back(msSince(sent, answered));
            sleepMs(20);  // the other three copies
        }
        close(fd);
        return latencies;
    };
    std::vector<double> node = ping(discoveryPort, 400);

    std::uint16_t port = 0;
    int echo = bindUdp(port);
    std::atomic<bool> stopEcho{false};
    std::thread server([&] {
        unsigned char bytes[16];
        while (!stopEcho) {
            if (!waitReadable(echo, 50)) continue;
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(echo, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n != 4) continue;
            putLE32(nodeGreeting, bytes);
            for (int k = 0; k < 4; ++k) sendto(echo, bytes, 4, 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
    std::vector<double> base = ping(port, 5);
    stopEcho = true;
    server.join();
    close(echo);
    addRow({"Discovery ping to first reply, median / p99 / max of " + std::to_string(opt.pings) + " (ms)",
            latencies(node, 2), latencies(base, 3), "", "p99 < 10"});
}

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

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value after " + a);
            return argv[++i];
        };
        if (a == "--bin") opt.bin = next();
        else if (a == "--reps") opt.reps = std::stoi(next());
        else if (a == "--idle-seconds") opt.idleSeconds = std::stoi(next());
        else if (a == "--scene-mib") opt.sceneBytes = std::stoll(next()) << 20;
        else if (a == "--work-dir") opt.workParent = next();
        else if (a == "--only") {
            std::istringstream list(next());
            for (std::string name; std::getline(list, name, ',');) opt.only.push_back(name);
        } else if (a == "--quick") {
            opt.reps = 1, opt.idleSeconds = 10, opt.pings = 20, opt.ends = 5, opt.bogus = 5, opt.startups = 2;
            opt.jobs = 10, opt.smallDumps = 20;
        } else if (a == "--keep") opt.keep = true;
        else die("unknown option " + a + " (options: --bin DIR --reps N --idle-seconds S --scene-mib M --work-dir DIR --quick --keep --only LIST)");
    }
    if (opt.bin.empty()) die("--bin DIR (the build's bin directory) is needed");
    opt.bin = fs::absolute(opt.bin).string();
    return Bench(opt).run();
}
