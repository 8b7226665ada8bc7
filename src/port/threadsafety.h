#pragma once

// Thread rules the compiler checks: clang's thread-safety analysis
// (-Wthread-safety, an error in the clang builds) reads these marks and
// rejects code that touches guarded state without its lock, or calls a
// function without the lock it requires. Other compilers ignore them.

#if defined(__clang__)
#define VARNIX_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define VARNIX_THREAD_ATTRIBUTE(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(name) VARNIX_THREAD_ATTRIBUTE(capability(name))
// A type that holds a lock for its own life (a scope guard).
#define SCOPED_CAPABILITY VARNIX_THREAD_ATTRIBUTE(scoped_lockable)
// A member read or written only with `lock` held.
#define GUARDED_BY(lock) VARNIX_THREAD_ATTRIBUTE(guarded_by(lock))
// A pointer whose target is read or written only with `lock` held.
#define PT_GUARDED_BY(lock) VARNIX_THREAD_ATTRIBUTE(pt_guarded_by(lock))
// A function called only with the locks held (and leaving them held).
#define REQUIRES(...) VARNIX_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
// A function called only without the locks (it takes them itself).
#define EXCLUDES(...) VARNIX_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// A function that takes, or lets go of, the locks (itself: none given).
#define ACQUIRE(...) VARNIX_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VARNIX_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
// Lock order: this lock is taken after (before) the ones named.
#define ACQUIRED_AFTER(...) VARNIX_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) VARNIX_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
// A function the analysis cannot follow (a lock handed between threads);
// say why where it is used.
#define NO_THREAD_SAFETY_ANALYSIS VARNIX_THREAD_ATTRIBUTE(no_thread_safety_analysis)
