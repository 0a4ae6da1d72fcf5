// Clang thread-safety annotations. They document the lock that guards a member
// and the order locks nest in; under clang -Wthread-safety they are checked.
#pragma once

#if defined(__clang__)
#define TMS_TSA(x) __attribute__((x))
#else
#define TMS_TSA(x)
#endif

#define CAPABILITY(x) TMS_TSA(capability(x))
#define SCOPED_CAPABILITY TMS_TSA(scoped_lockable)
#define GUARDED_BY(x) TMS_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) TMS_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TMS_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TMS_TSA(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TMS_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TMS_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TMS_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TMS_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TMS_TSA(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS TMS_TSA(no_thread_safety_analysis)
