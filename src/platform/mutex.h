// A mutex that Clang's thread-safety analysis understands, with its scoped lock and a condition
// variable. Members a mutex guards are marked GUARDED_BY(mutex), and functions that must be
// called with it held REQUIRES(mutex): a build with -Wthread-safety then refuses code that
// touches them without the lock. Other compilers see plain std::mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QF_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QF_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QF_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QF_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QF_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QF_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) QF_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QF_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) QF_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QF_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QF_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS QF_THREAD_ANNOTATION(no_thread_safety_analysis)

class CondVar;

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  /// Tells the analysis the caller holds this mutex where it cannot see it (a callback).
  void assert_held() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mutex_;
};

/// Holds `mutex` for its scope; may be released early and taken again.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RELEASE() {
    mutex_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

 private:
  Mutex& mutex_;
  bool held_ = true;
};

/// A condition variable used with a Mutex the caller holds.
class CondVar {
 public:
  explicit CondVar(Mutex& mutex) : mutex_(mutex) {}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  /// Releases the mutex while it waits; holds it again on return.
  void wait() REQUIRES(mutex_) {
    std::unique_lock lock(mutex_.mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  /// As wait(), for at most `timeout`. Returns false when the time ran out.
  template <typename Rep, typename Period>
  bool wait_for(std::chrono::duration<Rep, Period> timeout) REQUIRES(mutex_) {
    std::unique_lock lock(mutex_.mutex_, std::adopt_lock);
    const bool woken = cv_.wait_for(lock, timeout) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  /// wait() and wait_for() for a caller that names the mutex (the one this was made with), so
  /// that the analysis sees it held: it cannot tell that this one's own reference is the same.
  void wait(Mutex& mutex) REQUIRES(mutex) {
    mutex.assert_held();
    wait_held();
  }
  template <typename Rep, typename Period>
  bool wait_for(Mutex& mutex, std::chrono::duration<Rep, Period> timeout) REQUIRES(mutex) {
    mutex.assert_held();
    return wait_for_held(timeout);
  }
  void signal() { cv_.notify_one(); }
  void signal_all() { cv_.notify_all(); }

 private:
  // The callers above hold mutex_ by another name.
  void wait_held() NO_THREAD_SAFETY_ANALYSIS { wait(); }
  template <typename Rep, typename Period>
  bool wait_for_held(std::chrono::duration<Rep, Period> timeout) NO_THREAD_SAFETY_ANALYSIS {
    return wait_for(timeout);
  }

  Mutex& mutex_;
  std::condition_variable cv_;
};
