#include "port/process.h"

#include "port/path_win32.h"
#include "port/systemerror_win32.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <vector>

namespace Varnix::Port {

namespace {

// What system() runs: the interpreter named by COMSPEC, else cmd.exe.
std::wstring interpreter() {
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"COMSPEC", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return L"cmd.exe";
    return std::wstring(path, length);
}

DWORD activeProcesses(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr))
        return 0;
    return accounting.ActiveProcesses;
}

}  // namespace

struct ChildProcess::System {
    HANDLE process = nullptr;
    // Holds the interpreter and everything it starts, however detached;
    // closing the last handle ends them all, even when the node is ended.
    HANDLE job = nullptr;
    std::mutex lock;
};

ChildProcess::ChildProcess(std::unique_ptr<System> system) : system(std::move(system)) {}

std::unique_ptr<ChildProcess> ChildProcess::start(const char16_t* command, std::string& why, const char16_t* folder) {
    // UTF-16 all the way: a path outside the ANSI code page still names its file.
    std::wstring shell = interpreter();
    std::wstring line = L"cmd.exe /c " + std::wstring(systemPath(command));
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(L'\0');

    auto system = std::make_unique<System>();
    system->job = CreateJobObjectW(nullptr, nullptr);
    if (system->job == nullptr) {
        why = systemErrorText(GetLastError());
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(system->job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // No console window on the desktop (the output goes to MaxLog.txt), and
    // none of the node's handles: a renderer left running must not hold
    // DrLog.txt or a socket of the node. Suspended until it is in the job,
    // so that nothing it starts escapes.
    if (!CreateProcessW(shell.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &info)) {
        why = systemErrorText(GetLastError());
        CloseHandle(system->job);
        return nullptr;
    }
    if (!AssignProcessToJobObject(system->job, info.hProcess)) {
        why = systemErrorText(GetLastError());
        TerminateProcess(info.hProcess, 1);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        CloseHandle(system->job);
        return nullptr;
    }
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    system->process = info.hProcess;
    auto child = std::unique_ptr<ChildProcess>(new ChildProcess(std::move(system)));
    // No mark in the environment: the Job Object already ends the tree with
    // the node. The id still tells the job apart for its caller.
    static std::atomic<unsigned> jobsMade{0};
    if (folder != nullptr) child->job = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++jobsMade);
    return child;
}

ChildProcess::~ChildProcess() {
    endTree();
    CloseHandle(system->process);
    CloseHandle(system->job);
}

bool ChildProcess::wait(int milliseconds) {
    DWORD waited = WaitForSingleObject(system->process, milliseconds < 0 ? INFINITE : DWORD(milliseconds));
    if (waited != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    status = GetExitCodeProcess(system->process, &code) ? int(code) : -1;
    return true;
}

int ChildProcess::endTree() {
    std::lock_guard<std::mutex> guard(system->lock);
    DWORD count = activeProcesses(system->job);
    if (count == 0) return 0;
    TerminateJobObject(system->job, 1);
    // Termination is asynchronous: the tree is gone once the job counts none.
    for (int round = 0; round < 200 && activeProcesses(system->job) > 0; ++round) Sleep(10);
    return int(count);
}

}  // namespace Varnix::Port

namespace Varnix::Port {

// The Job Object of each job ended its tree when the node that held it
// ended, however it ended: nothing of an earlier run is left to find.
int endEarlierJobs(const char16_t*) { return 0; }

// The system tells a socket's owning process only through tables this layer
// does not read: it cannot tell, and so never refuses a connection.
PeerJob loopbackPeerJob(const StreamSocket&, const char16_t*, const std::string&) { return PeerJob::unknown; }

}  // namespace Varnix::Port
