// Runs a program inside a Job Object that lets nothing break away from it,
// as the Task Scheduler runs a task on Windows 7, where a process belongs to
// one job at most: the node's own job for its renderer cannot be had there.
//
// Usage: in-job PROGRAM [ARGUMENT...]   (VARNIX_TEST_REFUSE_OWN_JOB=1 in the
// environment also makes the node's own job for its renderer fail, as it
// does there; Wine nests jobs as Windows 8 does.)   Exit status: the program's; 120 when
// it could not be started in the job.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 120;
    // The rest of the command line as it came, after this program's name.
    const wchar_t* rest = GetCommandLineW();
    bool quoted = false;
    for (; *rest != L'\0' && (quoted || (*rest != L' ' && *rest != L'\t')); ++rest)
        if (*rest == L'"') quoted = !quoted;
    while (*rest == L' ' || *rest == L'\t') ++rest;
    std::wstring line(rest);
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (job == nullptr || !CreateProcessW(argv[1], &line[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                          nullptr, &startup, &process))
        return 120;
    if (!AssignProcessToJobObject(job, process.hProcess)) {
        TerminateProcess(process.hProcess, 120);
        return 120;
    }
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 120;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}
