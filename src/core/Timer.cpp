// Timer and cDustyTimer: POSIX interval timers whose expiries reach their
// object through a registry of live timers (an emulation under ThreadSanitizer).
#include "Timer.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "cKlog.h"
#include "ksync.h"

namespace {

// Where a timer that cannot be created, armed or disarmed says so.
const cKlog& timerLog() {
  static const cKlog log("Timer");
  return log;
}

// Live timers by id. A notification thread carries the timer's id, never a
// pointer, and looks it up here: a thread that the system starts late, after
// the timer was stopped and destroyed, finds nothing and does nothing. Ids
// are never reused.
struct Registration {
  Timer* timer;
  int inFlight;  // expired() calls running now
};

struct Registry {
  ksync::Mutex mutex;  // taken by notification threads and by timer owners
  std::condition_variable idle;
  std::unordered_map<uint64_t, Registration> live GUARDED_BY(mutex);
  uint64_t nextId GUARDED_BY(mutex) = 1;
};

Registry& registry() {
  static Registry* r = new Registry();  // outlives every timer thread
  return *r;
}

void timerNotify(union sigval value) {
  const auto id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value.sival_ptr));
  Registry& r = registry();
  Timer* timer;
  {
    ksync::MutexLock lock(r.mutex);
    auto it = r.live.find(id);
    if (it == r.live.end()) return;
    ++it->second.inFlight;
    timer = it->second.timer;
  }
  timer->expired();
  {
    ksync::MutexLock lock(r.mutex);
    auto it = r.live.find(id);
    if (it != r.live.end()) --it->second.inFlight;
  }
  r.idle.notify_all();
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer cannot follow the threads that glibc starts for
// SIGEV_THREAD timers (it crashes in them), so its build keeps the same
// behaviour with a thread of its own: an expiry every interval, each on a
// new detached thread; an interval of 0 or less never expires.
#define KEYD_TIMER_EMULATED 1
#include <condition_variable>
#include <thread>
#endif

// The timer's platform record.
struct TimerImpl {
  Timer* owner;
  std::optional<timer_t> timerId;  // present while a POSIX timer exists
  pthread_attr_t attributes;       // detached, for every notification thread
  sigevent request;
  uint64_t id;
#ifdef KEYD_TIMER_EMULATED
  std::thread ticker;
  ksync::Mutex tickerMutex;
  std::condition_variable tickerStop;
  bool ticking GUARDED_BY(tickerMutex) = false;
#endif
};

Timer::Timer(int interval) : mInterval(interval), mImpl(std::make_unique<TimerImpl>()) {
  mImpl->owner = this;
  pthread_attr_init(&mImpl->attributes);
  pthread_attr_setdetachstate(&mImpl->attributes, PTHREAD_CREATE_DETACHED);
  Registry& r = registry();
  {
    ksync::MutexLock lock(r.mutex);
    mImpl->id = r.nextId++;
    r.live.emplace(mImpl->id, Registration{this, 0});
  }
  std::memset(&mImpl->request, 0, sizeof mImpl->request);
  mImpl->request.sigev_notify = SIGEV_THREAD;
  mImpl->request.sigev_value.sival_ptr = reinterpret_cast<void*>(static_cast<uintptr_t>(mImpl->id));
  mImpl->request.sigev_notify_function = timerNotify;
  mImpl->request.sigev_notify_attributes = &mImpl->attributes;
}

Timer::~Timer() {
  stopAndDrain();
  pthread_attr_destroy(&mImpl->attributes);
}

#ifdef KEYD_TIMER_EMULATED
void Timer::start() {
  if (mImpl->timerId) stop();
  mImpl->timerId = timer_t{};
  // As the POSIX timer would: a negative interval cannot be armed.
  if (mInterval < 0)
    timerLog().error("timer_settime failed (interval %d s): %s", mInterval, std::strerror(EINVAL));
  if (mInterval <= 0) return;
  {
    ksync::MutexLock lock(mImpl->tickerMutex);
    mImpl->ticking = true;
  }
  mImpl->ticker = std::thread([impl = mImpl.get(), interval = mInterval] {
    ksync::MutexLock lock(impl->tickerMutex);
    for (;;) {
      const auto next = std::chrono::steady_clock::now() + std::chrono::seconds(interval);
      while (impl->ticking && lock.waitUntil(impl->tickerStop, next) == std::cv_status::no_timeout) {
      }
      if (!impl->ticking) return;
      union sigval value;
      value.sival_ptr = reinterpret_cast<void*>(static_cast<uintptr_t>(impl->id));
      std::thread([value] { timerNotify(value); }).detach();
    }
  });
}

void Timer::stop() {
  if (!mImpl->timerId) return;
  {
    ksync::MutexLock lock(mImpl->tickerMutex);
    mImpl->ticking = false;
  }
  mImpl->tickerStop.notify_all();
  if (mImpl->ticker.joinable()) mImpl->ticker.join();
  mImpl->timerId.reset();
}
#else
void Timer::start() {
  if (mImpl->timerId) stop();
  timer_t id;
  // A timer that cannot be created or armed never expires; the error is in
  // the log.
  if (timer_create(CLOCK_REALTIME, &mImpl->request, &id) != 0) {
    timerLog().error("timer_create failed (interval %d s): %s", mInterval, std::strerror(errno));
    return;
  }
  mImpl->timerId = id;
  itimerspec setting{};
  setting.it_value.tv_sec = mInterval;
  setting.it_interval.tv_sec = mInterval;
  if (timer_settime(id, 0, &setting, nullptr) != 0)
    timerLog().error("timer_settime failed (interval %d s): %s", mInterval, std::strerror(errno));
}

void Timer::stop() {
  if (!mImpl->timerId) return;
  itimerspec zero{};
  // Deleting the timer below disarms it all the same.
  if (timer_settime(*mImpl->timerId, 0, &zero, nullptr) != 0)
    timerLog().error("timer_settime failed (disarming, interval %d s): %s", mInterval,
                     std::strerror(errno));
  timer_delete(*mImpl->timerId);
  mImpl->timerId.reset();
}
#endif

void Timer::restart() {
  stop();
  start();
}

bool Timer::isArmed() const { return mImpl->timerId.has_value(); }

void Timer::stopAndDrain() {
  stop();
  Registry& r = registry();
  ksync::MutexLock lock(r.mutex);
  auto it = r.live.find(mImpl->id);
  if (it == r.live.end()) return;
  while (r.live.at(mImpl->id).inFlight != 0) lock.wait(r.idle);
  r.live.erase(mImpl->id);
}

cDustyTimer::~cDustyTimer() { stopAndDrain(); }
