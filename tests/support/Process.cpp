#include "support/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

namespace VarnixTest {

namespace {

using Clock = std::chrono::steady_clock;

std::string wholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string temporaryFile(const char* prefix) {
    std::string name = std::string("/tmp/") + prefix + "-XXXXXX";
    int fd = mkstemp(&name[0]);
    if (fd >= 0) close(fd);
    return name;
}

}  // namespace

pid_t spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::string& output,
            const std::map<std::string, std::string>& env, const std::string& errors) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int errFd = errors.empty() ? fd : open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int nul = open("/dev/null", O_RDONLY);
    if (fd >= 0) dup2(fd, 1);
    if (errFd >= 0) dup2(errFd, 2);
    if (nul >= 0) dup2(nul, 0);
    for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

bool waitUntilEnded(pid_t pid, double seconds) {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int waitFor(pid_t pid, double seconds, bool* ended) {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            if (ended) *ended = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (Clock::now() >= deadline) {
            if (ended) *ended = false;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void killGroup(pid_t pid) {
    kill(-pid, SIGKILL);
    waitFor(pid, 10);
}

bool stop(pid_t pid, double graceSeconds) {
    kill(pid, SIGTERM);
    bool ended = false;
    waitFor(pid, graceSeconds, &ended);
    if (ended)
        kill(-pid, SIGKILL);
    else
        killGroup(pid);
    return ended;
}

ProcessResult runProgram(const std::vector<std::string>& argv, const std::string& cwd, double seconds, bool apart,
                         const std::map<std::string, std::string>& env) {
    std::string outName = temporaryFile("varnix-test-out");
    std::string errName = apart ? temporaryFile("varnix-test-err") : std::string();
    ProcessResult result;
    pid_t pid = spawn(argv, cwd, outName, env, errName);
    bool ended = false;
    result.exitCode = pid > 0 ? waitFor(pid, seconds, &ended) : -1;
    if (pid > 0 && !ended) {
        killGroup(pid);
        result.timedOut = true;
        result.exitCode = -1;
    }
    result.output = wholeFile(outName);
    unlink(outName.c_str());
    if (apart) {
        result.errors = wholeFile(errName);
        unlink(errName.c_str());
    }
    return result;
}

}  // namespace VarnixTest
