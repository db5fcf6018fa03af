// Thread-safety annotations: `GUARDED_BY(mutex_)` on a member says which
// mutex guards it. Clang checks them with -Wthread-safety; other compilers
// read them as documentation.
#pragma once

#if defined(__clang__)
#define PALLIX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PALLIX_THREAD_ANNOTATION(x)
#endif

#define GUARDED_BY(x) PALLIX_THREAD_ANNOTATION(guarded_by(x))
