#include "port/process.h"

// Before any header that brings windows.h: the socket declarations.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "port/path_win32.h"
#include "port/socket.h"
#include "port/systemerror_win32.h"

#include <windows.h>

#include <iphlpapi.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <set>
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

// Wine nests jobs as Windows 8 does, so the install test sets
// VARNIX_TEST_REFUSE_OWN_JOB to take the path of Windows 7 there.
BOOL assignToJob(HANDLE job, HANDLE process) {
    if (GetEnvironmentVariableW(L"VARNIX_TEST_REFUSE_OWN_JOB", nullptr, 0) > 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return AssignProcessToJobObject(job, process);
}

ULONGLONG creationTime(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return ULONGLONG(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

// Every process of the system; empty when they cannot be listed.
std::vector<PROCESSENTRY32W> processSnapshot() {
    std::vector<PROCESSENTRY32W> all;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return all;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        all.push_back(entry);
    CloseHandle(snapshot);
    return all;
}

// The processes of `all` descended from the process `root` (born
// `rootCreated`), found by their parents' ids, `root` first; a process older
// than the one whose id it names as its parent is not its child (the id was
// used again).
std::vector<DWORD> descendants(DWORD root, ULONGLONG rootCreated, const std::vector<PROCESSENTRY32W>& all) {
    std::vector<DWORD> tree{root};
    std::vector<ULONGLONG> born{rootCreated};
    // Parents before children, however the snapshot orders them.
    for (std::size_t known = 0; known < tree.size(); ++known) {
        for (const PROCESSENTRY32W& candidate : all) {
            if (candidate.th32ParentProcessID != tree[known] || candidate.th32ProcessID == tree[known]) continue;
            HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, candidate.th32ProcessID);
            if (process == nullptr) continue;
            ULONGLONG created = creationTime(process);
            CloseHandle(process);
            if (created < born[known]) continue;
            tree.push_back(candidate.th32ProcessID);
            born.push_back(created);
        }
    }
    return tree;
}

// Ends the process `rootProcess` (id `root`) and every process descended
// from it. Returns how many it ended.
int endDescendants(HANDLE rootProcess, DWORD root, ULONGLONG rootCreated) {
    std::vector<DWORD> tree = descendants(root, rootCreated, processSnapshot());
    int ended = 0;
    if (WaitForSingleObject(rootProcess, 0) == WAIT_TIMEOUT && TerminateProcess(rootProcess, 1)) {
        WaitForSingleObject(rootProcess, 2000);
        ++ended;
    }
    for (std::size_t i = 1; i < tree.size(); ++i) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, tree[i]);
        if (process == nullptr) continue;
        if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT && TerminateProcess(process, 1)) {
            WaitForSingleObject(process, 2000);
            ++ended;
        }
        CloseHandle(process);
    }
    return ended;
}

// The ids of the processes in `job`; false when the system cannot list them.
bool jobProcessIds(HANDLE job, std::vector<DWORD>& ids) {
    constexpr DWORD most = 1024;
    std::vector<unsigned char> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + most * sizeof(ULONG_PTR));
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, list, DWORD(buffer.size()), nullptr)) return false;
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) ids.push_back(DWORD(list->ProcessIdList[i]));
    return true;
}

// A control's or window's text, cut at a length no log line needs.
std::u16string windowText(HWND window) {
    wchar_t text[1024];
    int length = GetWindowTextW(window, text, int(sizeof text / sizeof text[0]));
    return std::u16string(reinterpret_cast<const char16_t*>(text), length > 0 ? std::size_t(length) : 0);
}

struct WindowSearch {
    const std::vector<DWORD>* tree;
    std::vector<ShownWindow>* found;
};

BOOL CALLBACK addControlText(HWND control, LPARAM into) {
    wchar_t type[32] = {};
    GetClassNameW(control, type, 32);
    // The buttons are the answers, not what the box says.
    if (!IsWindowVisible(control) || lstrcmpiW(type, L"Button") == 0) return TRUE;
    std::u16string text = windowText(control);
    if (text.empty()) return TRUE;
    std::u16string& all = *reinterpret_cast<std::u16string*>(into);
    if (!all.empty()) all += u'\n';
    all += text;
    // Enough for any box a person could read.
    return all.size() < 4096;
}

BOOL CALLBACK addIfShownByTree(HWND window, LPARAM into) {
    WindowSearch& search = *reinterpret_cast<WindowSearch*>(into);
    if (!IsWindowVisible(window)) return TRUE;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    const std::vector<DWORD>& tree = *search.tree;
    if (std::find(tree.begin(), tree.end(), process) == tree.end()) return TRUE;
    ShownWindow shown;
    shown.id = reinterpret_cast<std::uintptr_t>(window);
    shown.processId = process;
    shown.title = windowText(window);
    EnumChildWindows(window, addControlText, reinterpret_cast<LPARAM>(&shown.text));
    search.found->push_back(std::move(shown));
    return TRUE;
}

}  // namespace

struct ChildProcess::System {
    HANDLE process = nullptr;
    // Holds the interpreter and everything it starts, however detached;
    // closing the last handle ends them all, even when the node is ended.
    // Null when the node's own job allows none of its own (see start).
    HANDLE job = nullptr;
    DWORD processId = 0;
    ULONGLONG created = 0;
    // Told of the job's events; the memory cap's among them.
    HANDLE events = nullptr;
    bool memoryLimitReached = false;
    std::string limitation;
    std::mutex lock;
    // The tree's processes already kept out of power throttling.
    std::set<DWORD> fullSpeed;
};

namespace {

// Windows 10 and 11 slow down ("efficiency mode", EcoQoS) processes that
// have no window in the foreground, which is every renderer the node
// starts: opting out keeps a frame at full speed on a machine nobody uses.
// The setting is per process, so each process of the tree gets it.
void keepFullSpeed(HANDLE process) {
    PROCESS_POWER_THROTTLING_STATE state = {};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED;
    state.StateMask = 0;
    SetProcessInformation(process, ProcessPowerThrottling, &state, sizeof state);
}

// Every process of the job not yet kept out of throttling.
void keepTreeFullSpeed(HANDLE job, std::set<DWORD>& done) {
    if (job == nullptr) return;
    std::vector<char> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + 1024 * sizeof(ULONG_PTR));
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, list, DWORD(buffer.size()), nullptr)) return;
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) {
        DWORD id = DWORD(list->ProcessIdList[i]);
        if (!done.insert(id).second) continue;
        HANDLE process = OpenProcess(PROCESS_SET_INFORMATION, FALSE, id);
        if (process == nullptr) continue;
        keepFullSpeed(process);
        CloseHandle(process);
    }
}

}  // namespace

ChildProcess::ChildProcess(std::unique_ptr<System> system) : system(std::move(system)) {}

Result<std::unique_ptr<ChildProcess>> ChildProcess::start(const char16_t* command, const char16_t* folder) {
    // UTF-16 all the way: a path outside the ANSI code page still names its file.
    std::wstring shell = interpreter();
    std::wstring line = L"cmd.exe /c " + std::wstring(systemPath(command));
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(L'\0');

    auto system = std::make_unique<System>();
    system->job = CreateJobObjectW(nullptr, nullptr);
    if (system->job == nullptr) return Status::fromSystem(int(GetLastError()));
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
    // Before Windows 8 a process belongs to one job at most, and the Task
    // Scheduler runs the logon task (the keeper, the node) in a job of its
    // own: the interpreter asks to leave that job, which the job may refuse.
    const DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
    BOOL created = CreateProcessW(shell.c_str(), mutableLine.data(), nullptr, nullptr, FALSE,
                                  flags | CREATE_BREAKAWAY_FROM_JOB, nullptr, nullptr, &startup, &info);
    if (!created && GetLastError() == ERROR_ACCESS_DENIED)
        created = CreateProcessW(shell.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                                 &startup, &info);
    if (!created) {
        Status why = Status::fromSystem(int(GetLastError()));
        CloseHandle(system->job);
        return why;
    }
    if (!assignToJob(system->job, info.hProcess)) {
        // Still in a job that allows neither leaving nor a second one: the
        // tree is found and ended process by process, and ends with the node
        // only where the outer job ends its processes.
        system->limitation = "the renderer cannot have a job object of its own (" + systemErrorText(GetLastError()) +
                             "): its processes are ended one by one";
        CloseHandle(system->job);
        system->job = nullptr;
    }
    system->processId = info.dwProcessId;
    system->created = creationTime(info.hProcess);
    keepFullSpeed(info.hProcess);
    system->fullSpeed.insert(info.dwProcessId);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    system->process = info.hProcess;
    auto child = std::unique_ptr<ChildProcess>(new ChildProcess(std::move(system)));
    // No mark in the environment: the Job Object already ends the tree with
    // the node. The id still tells the job apart for its caller.
    static std::atomic<unsigned> jobsMade{0};
    if (folder != nullptr) child->job = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++jobsMade);
    return {std::move(child)};
}

const std::string& ChildProcess::limitation() const { return system->limitation; }

std::int64_t ChildProcess::processId() const { return system->processId; }

ChildProcess::~ChildProcess() {
    endTree();
    if (system->events != nullptr) CloseHandle(system->events);
    CloseHandle(system->process);
    if (system->job != nullptr) CloseHandle(system->job);
}

bool ChildProcess::wait(int milliseconds) {
    DWORD waited = WaitForSingleObject(system->process, milliseconds < 0 ? INFINITE : DWORD(milliseconds));
    if (waited != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    status = GetExitCodeProcess(system->process, &code) ? int(code) : -1;
    return true;
}

ChildProcess::Usage ChildProcess::usage() {
    Usage usage;
    if (system->job == nullptr) {
        // Without a job of its own only the interpreter can be read.
        FILETIME created, exited, kernel, user;
        PROCESS_MEMORY_COUNTERS_EX memory = {};
        if (GetProcessTimes(system->process, &created, &exited, &kernel, &user)) {
            usage.known = true;
            ULONGLONG ticks = (ULONGLONG(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime) +
                              (ULONGLONG(user.dwHighDateTime) << 32 | user.dwLowDateTime);
            usage.cpuSeconds = double(ticks) / 1e7;
        }
        if (GetProcessMemoryInfo(system->process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
            usage.memoryBytes = memory.PrivateUsage;
            usage.peakMemoryBytes = memory.PeakPagefileUsage;
        }
        return usage;
    }
    JOBOBJECT_BASIC_AND_IO_ACCOUNTING_INFORMATION accounting = {};
    if (QueryInformationJobObject(system->job, JobObjectBasicAndIoAccountingInformation, &accounting, sizeof accounting,
                                  nullptr)) {
        usage.known = true;
        // 100 ns units, of every process the job ever held.
        usage.cpuSeconds =
            double(accounting.BasicInfo.TotalUserTime.QuadPart + accounting.BasicInfo.TotalKernelTime.QuadPart) / 1e7;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    if (QueryInformationJobObject(system->job, JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr))
        usage.peakMemoryBytes = limits.PeakJobMemoryUsed;
    // The job's current commit: the sum over its processes.
    std::vector<char> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + 1024 * sizeof(ULONG_PTR));
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
    if (QueryInformationJobObject(system->job, JobObjectBasicProcessIdList, list, DWORD(buffer.size()), nullptr)) {
        for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) {
            HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(list->ProcessIdList[i]));
            if (process == nullptr) continue;
            PROCESS_MEMORY_COUNTERS_EX memory = {};
            if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory))
                usage.memoryBytes += memory.PrivateUsage;
            CloseHandle(process);
        }
    }
    // The system posts the cap's event once an allocation runs into it.
    if (system->events != nullptr) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED detail = nullptr;
        while (GetQueuedCompletionStatus(system->events, &message, &key, &detail, 0))
            if (message == JOB_OBJECT_MSG_JOB_MEMORY_LIMIT) system->memoryLimitReached = true;
    }
    usage.memoryLimitReached = system->memoryLimitReached;
    keepTreeFullSpeed(system->job, system->fullSpeed);
    return usage;
}

bool ChildProcess::limitMemory(std::uint64_t bytes) {
    if (system->job == nullptr) return false;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    if (!QueryInformationJobObject(system->job, JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr))
        return false;
    limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_JOB_MEMORY;
    limits.JobMemoryLimit = SIZE_T(bytes);
    if (!SetInformationJobObject(system->job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) return false;
    // Without the port the cap still holds; only its event is not seen, and
    // the peak tells it instead.
    system->events = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (system->events != nullptr) {
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT port = {};
        port.CompletionKey = system->job;
        port.CompletionPort = system->events;
        if (!SetInformationJobObject(system->job, JobObjectAssociateCompletionPortInformation, &port, sizeof port)) {
            CloseHandle(system->events);
            system->events = nullptr;
        }
    }
    return true;
}

std::vector<ShownWindow> ChildProcess::shownWindows() {
    std::vector<PROCESSENTRY32W> all = processSnapshot();
    std::vector<DWORD> tree;
    // The job holds every process of the tree, also those whose parents
    // ended; the snapshot names their programs.
    if (system->job == nullptr || !jobProcessIds(system->job, tree) || tree.empty())
        tree = descendants(system->processId, system->created, all);
    std::vector<ShownWindow> found;
    WindowSearch search{&tree, &found};
    EnumWindows(addIfShownByTree, reinterpret_cast<LPARAM>(&search));
    for (ShownWindow& window : found) {
        for (const PROCESSENTRY32W& entry : all) {
            if (entry.th32ProcessID == window.processId)
                window.program = reinterpret_cast<const char16_t*>(entry.szExeFile);
        }
    }
    return found;
}

int ChildProcess::endTree() {
    std::lock_guard<std::mutex> guard(system->lock);
    if (system->job == nullptr) return endDescendants(system->process, system->processId, system->created);
    DWORD count = activeProcesses(system->job);
    if (count == 0) return 0;
    TerminateJobObject(system->job, 1);
    // Termination is asynchronous: the tree is gone once the job counts none.
    for (int round = 0; round < 200 && activeProcesses(system->job) > 0; ++round) Sleep(10);
    return int(count);
}

}  // namespace Varnix::Port

namespace Varnix::Port {

std::string exitStatusMeaning(int status) {
    // The codes a crashed program leaves as its exit code.
    struct {
        DWORD code;
        const char* name;
    } static const crashes[] = {
        {0xC0000005, "access violation"},
        {0xC0000017, "out of memory"},
        {0xC000001D, "illegal instruction"},
        {0xC0000025, "noncontinuable exception"},
        {0xC000008C, "array bounds exceeded"},
        {0xC0000094, "integer division by zero"},
        {0xC0000095, "integer overflow"},
        {0xC00000FD, "stack overflow"},
        {0xC0000135, "DLL not found"},
        {0xC0000139, "entry point not found"},
        {0xC0000142, "DLL initialization failed"},
        {0xC0000374, "heap corruption"},
        {0xC0000409, "stack buffer overrun"},
        {0xC000013A, "ended by Ctrl+C"},
        {0x80000003, "breakpoint"},
        {0xE06D7363, "unhandled C++ exception"},
    };
    DWORD code = DWORD(status);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
    for (const auto& crash : crashes)
        if (crash.code == code) return std::string(hex) + ", " + crash.name;
    // Any other NTSTATUS error is still a crash, if an unnamed one.
    if ((code & 0xF0000000u) == 0xC0000000u) return std::string(hex) + ", a crash";
    return {};
}

int returnedValue(int status) { return status; }

// The Job Object of each job ended its tree when the node that held it
// ended, however it ended: nothing of an earlier run is left to find (but
// where the node had none of its own, Windows 7 in a job: see start).
int endEarlierJobs(const char16_t*) { return 0; }

namespace {

// The id of the process that owns the other end of `connection`, a loopback
// connection of this process, by the system's table of TCP connections; 0
// when it is not found there.
DWORD peerProcessId(const StreamSocket& connection) {
    sockaddr_in local = {}, peer = {};
    int localSize = sizeof local, peerSize = sizeof peer;
    SOCKET socket = SOCKET(connection.nativeHandle());
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 || local.sin_family != AF_INET)
        return 0;
    std::vector<unsigned char> buffer;
    DWORD size = 0;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.resize(size + 4096);
        size = DWORD(buffer.size());
        result = GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    }
    if (result != NO_ERROR) return 0;
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    // The peer's row has our ends the other way round; ports in network order.
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = table->table[i];
        if (row.dwLocalAddr == peer.sin_addr.s_addr && u_short(row.dwLocalPort) == peer.sin_port &&
            row.dwRemoteAddr == local.sin_addr.s_addr && u_short(row.dwRemotePort) == local.sin_port)
            return row.dwOwningPid;
    }
    return 0;
}

}  // namespace

bool ChildProcess::holdsPeerOf(const StreamSocket& connection) {
    DWORD owner = peerProcessId(connection);
    if (owner == 0) return true;
    if (system->job != nullptr) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner);
        BOOL inJob = FALSE;
        BOOL asked = process != nullptr && IsProcessInJob(process, system->job, &inJob);
        if (process != nullptr) CloseHandle(process);
        if (asked && inJob) return true;
    }
    // Without a job of its own, or where the system does not say (Wine
    // answers no for the job's own children), the interpreter's tree.
    std::vector<DWORD> tree = descendants(system->processId, system->created, processSnapshot());
    return std::find(tree.begin(), tree.end(), owner) != tree.end();
}

}  // namespace Varnix::Port
