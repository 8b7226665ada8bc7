#pragma once

#include "port/notcopyable.h"
#include "port/threadsafety.h"

// Operating-system threads and the locks around them.

namespace Varnix::Port {

// One started thread; null means "no thread". Owned by whoever created it
// and released with closeThread.
using ThreadHandle = void*;

// The function a new thread runs with its one untyped argument. An exception
// that escapes it is not caught: the process ends.
using ThreadRoutine = void (*)(void* parameter);

// Starts routine(parameter) at once on a new thread whose initial stack is
// `stackSize` bytes. Returns null, and starts nothing, when the thread cannot
// be created. Any thread.
ThreadHandle createThread(ThreadRoutine routine, void* parameter, int stackSize);

// Test hook: the next `successes` creations work as usual and every one
// after them fails as if the system had refused it, until a negative count
// (the start-up state) turns it off. Lets tests reach start-up failures that a real
// system shows only when it is out of memory or threads. Any thread.
void failThreadCreationAfter(int successes);

// Waits without a time limit until the thread has ended. Not from the thread
// itself.
void joinThread(ThreadHandle thread);

// Releases the handle (after joinThread, or to let the thread run on alone).
void closeThread(ThreadHandle thread);

// Gives the thread a name for debuggers (NUL-terminated narrow text). Never
// fails visibly: without a debugger or where the system refuses the name,
// nothing happens. Any thread.
void nameThread(ThreadHandle thread, const char* name);

// Copies the calling thread's name as the system keeps it into `buffer` of
// `size` bytes. False where the system keeps no name it can give back (the
// Windows debugger convention): then `buffer` is left untouched.
bool currentThreadName(char* buffer, int size);

// Recursive mutual exclusion (a Windows critical section). Not copyable.
class CAPABILITY("mutex") Mutex : NotCopyable {
public:
    Mutex();
    ~Mutex();

    void lock() ACQUIRE();
    void unlock() RELEASE();

private:
    friend class ConditionVariable;
    alignas(void*) unsigned char storage[64];
};

// Holds a Mutex for one scope.
class SCOPED_CAPABILITY MutexLock : NotCopyable {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex(mutex) { mutex.lock(); }
    ~MutexLock() RELEASE() { mutex.unlock(); }

private:
    Mutex& mutex;
};

// Condition variable used with a Mutex held exactly once by the waiter.
// Waits may return without a wake (callers re-check their condition).
class ConditionVariable : NotCopyable {
public:
    ConditionVariable();
    ~ConditionVariable();

    // Releases `mutex`, sleeps without a time limit, takes `mutex` again.
    void wait(Mutex& mutex) REQUIRES(mutex);
    // Like wait, but returns after at most `milliseconds` as well.
    void waitFor(Mutex& mutex, unsigned long milliseconds) REQUIRES(mutex);
    void wakeAll();
    void wakeOne();

private:
    alignas(void*) unsigned char storage[64];
};

}  // namespace Varnix::Port
