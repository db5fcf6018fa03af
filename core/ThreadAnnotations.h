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

#define CAPABILITY(x) PALLIX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY PALLIX_THREAD_ANNOTATION(scoped_lockable)
#define ACQUIRE(...) PALLIX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) PALLIX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) PALLIX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define REQUIRES(...) PALLIX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) PALLIX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS PALLIX_THREAD_ANNOTATION(no_thread_safety_analysis)

#include <mutex>

namespace pallix {

// A std::mutex that clang's analysis knows as a capability, so GUARDED_BY
// members are checked (style_thread_safety_test builds with -Wthread-safety).
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope. lock() and unlock() let a
// std::condition_variable_any wait on it.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() {
    if (locked_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() ACQUIRE() {
    mutex_.lock();
    locked_ = true;
  }
  void unlock() RELEASE() {
    mutex_.unlock();
    locked_ = false;
  }

 private:
  Mutex& mutex_;
  bool locked_ = true;
};

}  // namespace pallix
