// ksync: a mutex and its scoped lock that clang's thread-safety analysis
// (-Wthread-safety) understands, and the annotations that say which mutex
// guards which member (GUARDED_BY), which a function needs held (REQUIRES)
// and which it takes itself (EXCLUDES). Under GCC the annotations are empty
// and the types are std::mutex and std::unique_lock with other names.
//
// Ownership: a Mutex belongs to the object whose members it guards; a
// MutexLock borrows it for its scope. Threads: any; the Mutex is what
// orders them.
#ifndef KSYNC_KSYNC_H
#define KSYNC_KSYNC_H

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KSYNC_ATTRIBUTE(x) __attribute__((x))
#else
#define KSYNC_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) KSYNC_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY KSYNC_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) KSYNC_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) KSYNC_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) KSYNC_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KSYNC_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KSYNC_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KSYNC_ATTRIBUTE(release_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) KSYNC_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KSYNC_ATTRIBUTE(no_thread_safety_analysis)

namespace ksync {

// std::mutex, named for the analysis.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mMutex.lock(); }
  void unlock() RELEASE() { mMutex.unlock(); }
  // For a condition variable's wait, through MutexLock only.
  std::mutex& native() RETURN_CAPABILITY(this) { return mMutex; }

 private:
  std::mutex mMutex;
};

// Holds a Mutex for its scope; a condition variable waits on it.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mLock(mutex.native()) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Lets go of the mutex before the scope ends (for a call that must not
  // run under it), and takes it again.
  void unlock() RELEASE() { mLock.unlock(); }
  void lock() ACQUIRE() { mLock.lock(); }

  // Waits on `cond` (the mutex is released while waiting and held again
  // when it returns, as the analysis assumes throughout).
  void wait(std::condition_variable& cond) { cond.wait(mLock); }
  template <class Predicate>
  void wait(std::condition_variable& cond, Predicate ready) {
    cond.wait(mLock, ready);
  }
  template <class Clock, class Duration>
  std::cv_status waitUntil(std::condition_variable& cond,
                           const std::chrono::time_point<Clock, Duration>& deadline) {
    return cond.wait_until(mLock, deadline);
  }
  template <class Clock, class Duration, class Predicate>
  bool waitUntil(std::condition_variable& cond,
                 const std::chrono::time_point<Clock, Duration>& deadline, Predicate ready) {
    return cond.wait_until(mLock, deadline, ready);
  }

 private:
  std::unique_lock<std::mutex> mLock;
};

}  // namespace ksync

#endif  // KSYNC_KSYNC_H
