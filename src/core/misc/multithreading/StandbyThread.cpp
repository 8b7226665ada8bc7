#include "core/misc/multithreading/StandbyThread.h"

#include "core/Exception.h"
#include "port/failure.h"

#include <exception>
#include <new>

namespace Varnix {

String lastTaskFailure;

void setThreadName(Port::ThreadHandle thread, const char* name) { Port::nameThread(thread, name); }

StandbyThread::StandbyThread()
    : name(u"_VARNIX_standbyThread"),
      stackSize(5242880),
      acknowledged(0),
      threadHandle(nullptr),
      task(nullptr),
      taskData(nullptr),
      started(false),
      stopping(false) {}

StandbyThread::~StandbyThread() {
    waitIdle();
    Port::MutexLock call(callLock);
    if (started) {
        {
            Port::MutexLock lock(taskLock);
            task = nullptr;
            stopping = true;
        }
        wakeCondition.wakeAll();
        Port::joinThread(threadHandle);
        Port::closeThread(threadHandle);
        threadHandle = nullptr;
        started = false;
    }
}

void StandbyThread::execute(Task newTask, void* newTaskData) {
    Port::MutexLock call(callLock);
    if (!started) {
        acknowledged = 0;
        threadHandle = Port::createThread(&StandbyThread::workerRoutine, this, stackSize);
        if (threadHandle == nullptr) {
            // Waiting for an acknowledgement here would spin forever.
            throw Exception("Cannot create thread '" + name + String("'"), Exception::threadCreationCode);
        }
        while (acknowledged.load() == 0) {
        }
        // The worker holds taskLock until it sleeps: once we get it, it sleeps.
        taskLock.lock();
        taskLock.unlock();
        setThreadName(threadHandle, name.toNarrow());
        started = true;
    }
    {
        Port::MutexLock lock(taskLock);  // waits for a running task
        taskData = newTaskData;
        task = newTask;
        acknowledged = 0;
    }
    wakeCondition.wakeAll();
    while (acknowledged.load() == 0) {
    }
}

void StandbyThread::waitIdle() {
    taskLock.lock();
    taskLock.unlock();
}

void StandbyThread::workerRoutine(void* self) { static_cast<StandbyThread*>(self)->runTasks(); }

void StandbyThread::runTasks() {
    taskLock.lock();
    acknowledged = 1;
    try {
        for (;;) {
            // A wake without a task and without a stop is spurious: sleep on.
            do {
                wakeCondition.wait(taskLock);
            } while (task.load() == nullptr && !stopping);
            acknowledged = 1;
            Task current = task.load();
            if (current == nullptr) {
                taskLock.unlock();
                return;
            }
            current(taskData);
            taskData = nullptr;
            task = nullptr;
        }
    } catch (const std::exception& failure) {
        // libstdc++ names an allocation failure "std::bad_alloc"; the text
        // the user sees is the same on every platform.
        const char* text = dynamic_cast<const std::bad_alloc*>(&failure) != nullptr ? "bad allocation" : failure.what();
        lastTaskFailure = String(text);
        Port::showTaskFailure(lastTaskFailure.wideCString(), u"WTF");
        throw Exception(String("STOP@..\\VarnixCore\\misc\\multithreading\\StandbyThread(46)"),
                        Exception::taskFailureCode);
    }
}

}  // namespace Varnix
