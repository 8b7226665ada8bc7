#pragma once

#include "core/String.h"
#include "port/thread.h"

#include <atomic>
#include <cstdint>

namespace Varnix {

// The text of the most recent task failure of any StandbyThread; written
// only by the failing worker, just before the process ends.
extern String lastTaskFailure;

// Announces `name` (narrow, NUL-terminated) for `thread` to debuggers and the
// system's thread list. No visible effect otherwise. Any thread.
void setThreadName(Port::ThreadHandle thread, const char* name);

// A named worker thread that runs one handed-over task at a time. The thread
// is created by the first execute and lives until destruction. A task that
// lets a std::exception escape shows its text under "WTF" and ends the
// process. execute, isBusy, waitIdle and the destructor may be called from
// any thread but the worker itself.
class StandbyThread {
public:
    using Task = void (*)(void* taskData);

    // No thread yet.
    StandbyThread();
    // Waits until idle, then stops and joins the thread. A task that never
    // returns by itself must be stopped by its owner first.
    ~StandbyThread();
    StandbyThread(const StandbyThread&) = delete;
    StandbyThread& operator=(const StandbyThread&) = delete;

    // Hands `task(taskData)` to the worker; waits while an earlier task runs
    // and returns once the worker has taken the new one. `taskData` stays the
    // caller's and must live until isBusy() is false. Throws Exception with
    // code Exception::threadCreationCode, having run nothing, when the
    // thread cannot be created (a later call tries again).
    void execute(Task task, void* taskData);

    // True from the return of execute until the task function returns.
    // Lock-free; any thread.
    bool isBusy() const noexcept { return task.load() != nullptr; }

    // Returns when no task is running.
    void waitIdle();

    // Written by the owner before the first execute; later changes do not
    // reach a running thread.
    String name;
    std::int32_t stackSize;

private:
    static void workerRoutine(void* self);
    // The worker holds taskLock for its whole life except while asleep,
    // and lets go of it on the way out: more than the analysis can follow.
    void runTasks() NO_THREAD_SAFETY_ANALYSIS;

    Port::ConditionVariable wakeCondition;
    Port::Mutex taskLock ACQUIRED_AFTER(callLock);  // held by the worker except while asleep
    std::atomic<std::int64_t> acknowledged;
    Port::ThreadHandle threadHandle GUARDED_BY(callLock);
    std::atomic<Task> task;  // null: no task held
    void* taskData GUARDED_BY(taskLock);
    bool started GUARDED_BY(callLock);
    bool stopping GUARDED_BY(taskLock);  // tells a stop from a spurious wake
    Port::Mutex callLock;                // serialises hand-offs and destruction
};

}  // namespace Varnix
