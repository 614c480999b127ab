// Lock contracts that Clang's thread-safety analysis checks (-Wthread-safety).
// Other compilers see empty macros. The macros name the lock a field is read
// and written under (DV_GUARDED_BY), the lock a function expects its caller to
// hold (DV_REQUIRES) or to not hold (DV_EXCLUDES), and what a lock type or
// scoped guard does (DV_CAPABILITY, DV_SCOPED_CAPABILITY, DV_ACQUIRE,
// DV_RELEASE). DV_NO_THREAD_SAFETY_ANALYSIS marks a function whose locking the
// analysis cannot follow; each use says why in place.
#pragma once

#if defined(__clang__)
#define DV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define DV_THREAD_ANNOTATION(x)
#endif

#define DV_CAPABILITY(x) DV_THREAD_ANNOTATION(capability(x))
#define DV_SCOPED_CAPABILITY DV_THREAD_ANNOTATION(scoped_lockable)
#define DV_GUARDED_BY(x) DV_THREAD_ANNOTATION(guarded_by(x))
#define DV_PT_GUARDED_BY(x) DV_THREAD_ANNOTATION(pt_guarded_by(x))
#define DV_REQUIRES(...) DV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define DV_ACQUIRE(...) DV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define DV_TRY_ACQUIRE(...) DV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define DV_RELEASE(...) DV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define DV_EXCLUDES(...) DV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define DV_RETURN_CAPABILITY(x) DV_THREAD_ANNOTATION(lock_returned(x))
#define DV_NO_THREAD_SAFETY_ANALYSIS DV_THREAD_ANNOTATION(no_thread_safety_analysis)
