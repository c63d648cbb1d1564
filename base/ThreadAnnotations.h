#pragma once

// The lock discipline, written where the compiler can check it: clang's thread-safety analysis
// (-Wthread-safety, the tsa preset) warns of a member marked GUARDED_BY a mutex that is touched
// without the mutex held, of a function marked REQUIRES a mutex that is called without it, and of
// a lock taken and not let go of on some path. For g++, which has no such analysis, every macro is
// empty.
//
// The mutexes the analysis knows are the classes marked CAPABILITY: fp::Mutex (base/Mutex.h) and
// the driver's CameraMutex. A function whose locking the analysis cannot follow (a lock held from
// one call to the next, or lent to another thread) is marked NO_THREAD_SAFETY_ANALYSIS, with a
// comment saying why.

#if defined(__clang__)
#define FP_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define FP_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks.
#define CAPABILITY(name) FP_THREAD_ANNOTATION(capability(name))
// A class whose objects hold a lock from their construction to their destruction.
#define SCOPED_CAPABILITY FP_THREAD_ANNOTATION(scoped_lockable)

// A member read and written only with the lock held; PT_GUARDED_BY: what a pointer points to.
#define GUARDED_BY(lock) FP_THREAD_ANNOTATION(guarded_by(lock))
#define PT_GUARDED_BY(lock) FP_THREAD_ANNOTATION(pt_guarded_by(lock))

// Locks taken before or after this one, when a thread holds both.
#define ACQUIRED_BEFORE(...) FP_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) FP_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// The caller holds the locks when it calls the function, and still holds them when it returns.
#define REQUIRES(...) FP_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) FP_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The caller does not hold the locks: the function takes them itself.
#define EXCLUDES(...) FP_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// The function takes the locks (the object itself when none is named) and returns holding them.
#define ACQUIRE(...) FP_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) FP_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
// The function lets go of locks the caller holds.
#define RELEASE(...) FP_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) FP_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
// The function holds the locks on return when it returns `result` (true, say), and else not.
#define TRY_ACQUIRE(...) FP_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// The function returns only when the calling thread holds the lock.
#define ASSERT_CAPABILITY(lock) FP_THREAD_ANNOTATION(assert_capability(lock))
// The function returns a reference to the lock named.
#define RETURN_CAPABILITY(lock) FP_THREAD_ANNOTATION(lock_returned(lock))

// The function's body is not analysed; its annotations still bind its callers.
#define NO_THREAD_SAFETY_ANALYSIS FP_THREAD_ANNOTATION(no_thread_safety_analysis)
