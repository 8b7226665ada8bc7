#include "port/thread.h"
#include "port/thread_hook.h"

#include <windows.h>

#include <atomic>
#include <new>

namespace Varnix::Port {
namespace {

struct Win32Thread {
    HANDLE handle;
    ThreadRoutine routine;
    void* parameter;
    // The handle and the running thread each hold one: a handle closed
    // while the thread still starts must not take the routine from under it.
    std::atomic<int> holders{2};
};

void release(Win32Thread* thread) {
    if (--thread->holders == 0) delete thread;
}

// noexcept: an exception escaping the routine ends the process right here.
DWORD WINAPI threadStart(LPVOID argument) noexcept {
    Win32Thread* thread = static_cast<Win32Thread*>(argument);
    thread->routine(thread->parameter);
    release(thread);
    return 0;
}

constexpr DWORD threadNameException = 0x406D1388;

// Stands in for the structured exception guard around the naming exception:
// with a debugger attached the debugger sees the exception first and takes
// the name; without one this handler lets the caller continue.
LONG CALLBACK continueAfterThreadName(PEXCEPTION_POINTERS pointers) {
    if (pointers->ExceptionRecord->ExceptionCode == threadNameException) return EXCEPTION_CONTINUE_EXECUTION;
    return EXCEPTION_CONTINUE_SEARCH;
}

#pragma pack(push, 8)
struct ThreadNameInfo {
    DWORD type;   // 0x1000
    LPCSTR name;  // narrow, NUL-terminated
    DWORD threadId;
    DWORD flags;  // 0
};
#pragma pack(pop)

CRITICAL_SECTION* sectionOf(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }

CONDITION_VARIABLE* conditionOf(unsigned char* storage) { return reinterpret_cast<CONDITION_VARIABLE*>(storage); }

}  // namespace

ThreadHandle createThread(ThreadRoutine routine, void* parameter, int stackSize) {
    if (threadCreationRefusedForTests()) return nullptr;
    Win32Thread* thread = new (std::nothrow) Win32Thread{};
    if (thread == nullptr) return nullptr;
    thread->routine = routine;
    thread->parameter = parameter;
    thread->handle =
        CreateThread(nullptr, static_cast<SIZE_T>(stackSize > 0 ? stackSize : 0), threadStart, thread, 0, nullptr);
    if (thread->handle == nullptr) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void joinThread(ThreadHandle handle) {
    if (handle != nullptr) WaitForSingleObject(static_cast<Win32Thread*>(handle)->handle, INFINITE);
}

void closeThread(ThreadHandle handle) {
    if (handle == nullptr) return;
    Win32Thread* thread = static_cast<Win32Thread*>(handle);
    CloseHandle(thread->handle);
    release(thread);
}

void nameThread(ThreadHandle handle, const char* name) {
    if (handle == nullptr || name == nullptr) return;
    ThreadNameInfo info;
    info.type = 0x1000;
    info.name = name;
    info.threadId = GetThreadId(static_cast<Win32Thread*>(handle)->handle);
    info.flags = 0;
    PVOID guard = AddVectoredExceptionHandler(1, continueAfterThreadName);
    RaiseException(threadNameException, 0, sizeof(info) / sizeof(ULONG_PTR), reinterpret_cast<const ULONG_PTR*>(&info));
    if (guard != nullptr) RemoveVectoredExceptionHandler(guard);
}

bool currentThreadName(char*, int) {
    // The debugger convention leaves nothing behind to read.
    return false;
}

Mutex::Mutex() {
    static_assert(sizeof(storage) >= sizeof(CRITICAL_SECTION), "Mutex storage too small");
    InitializeCriticalSection(sectionOf(storage));
}

Mutex::~Mutex() { DeleteCriticalSection(sectionOf(storage)); }

void Mutex::lock() { EnterCriticalSection(sectionOf(storage)); }

void Mutex::unlock() { LeaveCriticalSection(sectionOf(storage)); }

ConditionVariable::ConditionVariable() {
    static_assert(sizeof(storage) >= sizeof(CONDITION_VARIABLE), "condition storage too small");
    InitializeConditionVariable(conditionOf(storage));
}

ConditionVariable::~ConditionVariable() = default;

void ConditionVariable::wait(Mutex& mutex) {
    SleepConditionVariableCS(conditionOf(storage), sectionOf(mutex.storage), INFINITE);
}

void ConditionVariable::waitFor(Mutex& mutex, unsigned long milliseconds) {
    SleepConditionVariableCS(conditionOf(storage), sectionOf(mutex.storage), static_cast<DWORD>(milliseconds));
}

void ConditionVariable::wakeAll() { WakeAllConditionVariable(conditionOf(storage)); }

void ConditionVariable::wakeOne() { WakeConditionVariable(conditionOf(storage)); }

}  // namespace Varnix::Port
