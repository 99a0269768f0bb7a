#pragma once
// Thread-safety annotations: which mutex guards a member, which lock a
// function needs. Clang's -Wthread-safety checks them (make build-tsa), so a
// member read without its lock, or a lock taken and not released, no longer
// compiles there. Other compilers see nothing. Use them with CheckedMutex;
// Poco's and the standard library's mutexes carry no annotations.

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

// On a class: it is a lock (a capability) or a scoped holder of one.
#define CAPABILITY(name) THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
// On data: read or written only while the mutex is held (PT_: the pointee).
#define GUARDED_BY(m) THREAD_ANNOTATION(guarded_by(m))
#define PT_GUARDED_BY(m) THREAD_ANNOTATION(pt_guarded_by(m))
// On a mutex: the lock order.
#define ACQUIRED_BEFORE(...) THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// On functions: the caller holds the lock / must not hold it; the function
// takes, releases or tries to take it.
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The same for a lock held for reading (shared with other readers).
#define REQUIRES_SHARED(...) THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(m) THREAD_ANNOTATION(lock_returned(m))
// For the rare function whose locking the analysis cannot follow; say why
// beside it.
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)
