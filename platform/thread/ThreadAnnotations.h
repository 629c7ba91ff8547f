// Annotations for clang's thread-safety analysis (-Wthread-safety): a field
// names the mutex that guards it, a function the mutex it needs or takes.
// Other compilers see nothing. The clang build of CI turns every finding
// into an error, so a field read outside its lock does not build there.
#pragma once

#if defined(__clang__)
#define NRV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define NRV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) NRV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY NRV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) NRV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) NRV_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) NRV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) NRV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) NRV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) NRV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) NRV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) NRV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) NRV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) NRV_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS NRV_THREAD_ANNOTATION(no_thread_safety_analysis)
