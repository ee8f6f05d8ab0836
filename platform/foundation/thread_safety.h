// Lock rules the compiler checks. Under clang with -Wthread-safety, touching a member marked
// GUARDED_BY(m) without holding `m` is a warning (an error in the thread-safety build); under g++
// the macros are empty and the types below are plain mutexes.
//
// How to use it for state shared between threads:
//   platform::Mutex mutex_;                          // instead of std::mutex
//   int count_ GUARDED_BY(mutex_) = 0;               // read or written only with mutex_ held
//   void bumpLocked() REQUIRES(mutex_);              // callers hold mutex_
//   void bump() EXCLUDES(mutex_) {                   // callers must not hold it
//     platform::MutexLock lock(mutex_);              // instead of std::lock_guard / unique_lock
//     bumpLocked();
//   }
//   platform::ConditionVariable changed_;            // waits on a MutexLock
//   while (count_ == 0) changed_.wait(lock);         // loop in the locked function itself: the
//                                                    // analysis does not look into lambdas
// A recursive mutex (what an object's @synchronized becomes) is RecursiveMutex with
// RecursiveMutexLock; a read-mostly table can use SharedMutex with WriterLock and ReaderLock.
// Code the analysis cannot follow (a lock handed between functions in ways it cannot see) is
// marked NO_THREAD_SAFETY_ANALYSIS, with a comment saying why it is safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define FOCUS_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define FOCUS_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) FOCUS_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY FOCUS_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) FOCUS_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) FOCUS_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) FOCUS_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) FOCUS_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) FOCUS_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) FOCUS_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) FOCUS_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) FOCUS_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) FOCUS_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) FOCUS_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) FOCUS_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS FOCUS_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace platform {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

class CAPABILITY("mutex") RecursiveMutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

 private:
  std::recursive_mutex m_;
};

// Many readers or one writer: writers take it with ScopedLock, readers with ReaderLock.
class CAPABILITY("mutex") SharedMutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { m_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { m_.unlock_shared(); }

 private:
  std::shared_mutex m_;
};

// Holds a mutex for its scope; unlock() and lock() let go and take it again inside the scope.
template <class M>
class SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(M& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~ScopedLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

  void unlock() RELEASE() {
    mutex_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }
  M& mutex() const { return mutex_; }

 private:
  M& mutex_;
  bool held_ = true;
};

using MutexLock = ScopedLock<Mutex>;
using RecursiveMutexLock = ScopedLock<RecursiveMutex>;
using WriterLock = ScopedLock<SharedMutex>;

// Holds a SharedMutex for reading for its scope.
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) { mutex_.lock_shared(); }
  ~ReaderLock() RELEASE() { mutex_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mutex_;
};

// A condition variable over Mutex. Waits return on a notify or spuriously, so callers loop on
// their condition.
class ConditionVariable {
 public:
  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

  void wait(MutexLock& lock) {
    std::unique_lock<std::mutex> native(lock.mutex().native(), std::adopt_lock);
    cv_.wait(native);
    native.release();
  }
  // False when the time-out passed.
  template <class Rep, class Period>
  bool waitFor(MutexLock& lock, const std::chrono::duration<Rep, Period>& timeout) {
    std::unique_lock<std::mutex> native(lock.mutex().native(), std::adopt_lock);
    const bool notified = cv_.wait_for(native, timeout) == std::cv_status::no_timeout;
    native.release();
    return notified;
  }
  template <class Clock, class Duration>
  bool waitUntil(MutexLock& lock, const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock<std::mutex> native(lock.mutex().native(), std::adopt_lock);
    const bool notified = cv_.wait_until(native, deadline) == std::cv_status::no_timeout;
    native.release();
    return notified;
  }

 private:
  std::condition_variable cv_;
};

// A value any thread may replace or copy, for process-wide settings installed by one layer and
// read by another's workers. Keep one in storage that is never destroyed (a function-local
// `static auto* const s = new ExitSafeValue<T>`): a worker may still copy it while the process
// exits.
template <class T>
class ExitSafeValue {
 public:
  T get() const {
    ScopedLock<Mutex> lock(mutex_);
    return value_;
  }
  void set(T value) {
    ScopedLock<Mutex> lock(mutex_);
    value_ = std::move(value);
  }

 private:
  mutable Mutex mutex_;
  T value_ GUARDED_BY(mutex_);
};

}  // namespace platform
