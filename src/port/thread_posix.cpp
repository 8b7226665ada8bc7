#include "port/thread.h"
#include "port/thread_hook.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <new>

namespace Varnix::Port {
namespace {

struct PosixThread {
    pthread_t id;
    ThreadRoutine routine;
    void* parameter;
    // The handle and the running thread each hold one: a handle closed
    // while the thread still starts must not take the routine from under it.
    std::atomic<int> holders{2};
    bool joined = false;
};

void release(PosixThread* thread) {
    if (--thread->holders == 0) delete thread;
}

// noexcept: an exception escaping the routine ends the process right here,
// the same way on every platform.
extern "C" void* threadStart(void* argument) noexcept {
    PosixThread* thread = static_cast<PosixThread*>(argument);
    thread->routine(thread->parameter);
    release(thread);
    return nullptr;
}

// The system object that a Mutex or a ConditionVariable keeps in its storage.
template <typename Object, std::size_t size>
Object* objectIn(unsigned char (&storage)[size]) {
    static_assert(size >= sizeof(Object), "storage too small for the system object");
    return reinterpret_cast<Object*>(storage);
}

template <std::size_t size>
pthread_mutex_t* mutexOf(unsigned char (&storage)[size]) {
    return objectIn<pthread_mutex_t>(storage);
}

template <std::size_t size>
pthread_cond_t* conditionOf(unsigned char (&storage)[size]) {
    return objectIn<pthread_cond_t>(storage);
}

// Made once and kept for the process: every Mutex is recursive, as a
// critical section is.
struct RecursiveMutexAttributes {
    pthread_mutexattr_t value;
    RecursiveMutexAttributes() {
        pthread_mutexattr_init(&value);
        pthread_mutexattr_settype(&value, PTHREAD_MUTEX_RECURSIVE);
    }
};

// Made once and kept for the process: timed waits measure against the
// monotonic clock, so a change of the wall clock neither ends nor stretches
// them.
struct MonotonicConditionAttributes {
    pthread_condattr_t value;
    MonotonicConditionAttributes() {
        pthread_condattr_init(&value);
        pthread_condattr_setclock(&value, CLOCK_MONOTONIC);
    }
};

}  // namespace

ThreadHandle createThread(ThreadRoutine routine, void* parameter, int stackSize) {
    if (threadCreationRefusedForTests()) return nullptr;
    PosixThread* thread = new (std::nothrow) PosixThread{};
    if (thread == nullptr) return nullptr;
    thread->routine = routine;
    thread->parameter = parameter;

    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        delete thread;
        return nullptr;
    }
    size_t size = stackSize > 0 ? static_cast<size_t>(stackSize) : 0;
    if (size > 0 && size < static_cast<size_t>(PTHREAD_STACK_MIN)) size = PTHREAD_STACK_MIN;
    if (size > 0) pthread_attr_setstacksize(&attributes, size);
    int result = pthread_create(&thread->id, &attributes, threadStart, thread);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void joinThread(ThreadHandle handle) {
    if (handle != nullptr) {
        pthread_join(static_cast<PosixThread*>(handle)->id, nullptr);
        static_cast<PosixThread*>(handle)->joined = true;
    }
}

void closeThread(ThreadHandle handle) {
    if (handle == nullptr) return;
    PosixThread* thread = static_cast<PosixThread*>(handle);
    // A thread left to run on alone frees its own resources when it ends.
    if (!thread->joined) pthread_detach(thread->id);
    release(thread);
}

void nameThread(ThreadHandle handle, const char* name) {
    if (handle == nullptr || name == nullptr) return;
    // Linux takes at most 15 bytes; cut on a UTF-8 character boundary.
    char shortName[16];
    size_t length = std::strlen(name);
    if (length > 15) {
        length = 15;
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
    }
    std::memcpy(shortName, name, length);
    shortName[length] = '\0';
    pthread_setname_np(static_cast<PosixThread*>(handle)->id, shortName);
}

bool currentThreadName(char* buffer, int size) {
    return size > 0 && pthread_getname_np(pthread_self(), buffer, static_cast<size_t>(size)) == 0;
}

Mutex::Mutex() {
    static const RecursiveMutexAttributes recursive;
    pthread_mutex_init(mutexOf(storage), &recursive.value);
}

Mutex::~Mutex() { pthread_mutex_destroy(mutexOf(storage)); }

void Mutex::lock() { pthread_mutex_lock(mutexOf(storage)); }

void Mutex::unlock() { pthread_mutex_unlock(mutexOf(storage)); }

ConditionVariable::ConditionVariable() {
    static const MonotonicConditionAttributes monotonic;
    pthread_cond_init(conditionOf(storage), &monotonic.value);
}

ConditionVariable::~ConditionVariable() { pthread_cond_destroy(conditionOf(storage)); }

void ConditionVariable::wait(Mutex& mutex) { pthread_cond_wait(conditionOf(storage), mutexOf(mutex.storage)); }

void ConditionVariable::waitFor(Mutex& mutex, unsigned long milliseconds) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(conditionOf(storage), mutexOf(mutex.storage), &deadline);
}

void ConditionVariable::wakeAll() { pthread_cond_broadcast(conditionOf(storage)); }

void ConditionVariable::wakeOne() { pthread_cond_signal(conditionOf(storage)); }

}  // namespace Varnix::Port
