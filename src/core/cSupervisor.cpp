// cSupervisor: readiness, watchdog and status for the service manager, and
// the thread that does the work of SIGHUP and SIGUSR1.
#include "cSupervisor.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kmsgBroker.h"

namespace {

using Clock = std::chrono::steady_clock;

// The longest poll when an eventfd is missing.
constexpr int kFallbackMs = 500;

// Written by signal handlers, taken by the supervisor's thread.
std::atomic<int> gEvents{0};
std::atomic<int> gWakeFd{-1};
std::atomic<bool> gStoppingSent{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal events must be signal-safe");

void drain(int fd) {
  uint64_t count;
  if (fd >= 0) (void)!::read(fd, &count, sizeof count);
}

int msUntil(Clock::time_point when, Clock::time_point now) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
  return static_cast<int>(std::max<long long>(0, ms));
}

}  // namespace

cSupervisor::cSupervisor(Hooks hooks) : cKlog("keyDTranslator"), mHooks(std::move(hooks)) {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) mTick = std::chrono::microseconds(usec / 2);
  mStatusWanted = std::getenv("NOTIFY_SOCKET") != nullptr;
  mStatusSent = mHooks.status();  // went with "READY=1"
  mQuitFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (mQuitFd < 0) error("Could not create the service thread's stop eventfd: %s", std::strerror(errno));
  mBeatsMoved = mPassesMoved = Clock::now();
  if (mTick.count() > 0) mHooks.postHeartbeat();
  mThread = std::thread([this] {
    pthread_setname_np(pthread_self(), "keyd-service");
    loop();
  });
}

cSupervisor::~cSupervisor() {
  mQuit.store(true);
  const uint64_t one = 1;
  if (mQuitFd >= 0) (void)!::write(mQuitFd, &one, sizeof one);
  if (mThread.joinable()) mThread.join();
  if (mQuitFd >= 0) ::close(mQuitFd);
}

int cSupervisor::prepare() {
  if (gWakeFd.load() >= 0) return 0;
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return errno;
  gWakeFd.store(fd);  // never closed: a handler may write it at any time
  return 0;
}

void cSupervisor::raise(int events) {
  const int saved = errno;
  gEvents.fetch_or(events);
  const int fd = gWakeFd.load();
  const uint64_t one = 1;
  if (fd >= 0) (void)!::write(fd, &one, sizeof one);
  errno = saved;
}

void cSupervisor::notify(const std::string& state) {
  const int result = sd_notify(0, state.c_str());
  if (result < 0) {
    static const cKlog log("keyDTranslator");
    log.debug("Service manager notification %.*s failed: %s",
              static_cast<int>(state.find('\n')), state.c_str(), std::strerror(-result));
  }
}

void cSupervisor::stopping() {
  if (!gStoppingSent.exchange(true)) notify("STOPPING=1");
}

void cSupervisor::loop() {
  Clock::time_point nextTick = Clock::now() + mTick;
  Clock::time_point nextStatus = Clock::now() + kStatusPeriod;
  for (;;) {
    const Clock::time_point now = Clock::now();
    int timeoutMs = -1;
    if (mTick.count() > 0) timeoutMs = msUntil(nextTick, now);
    if (mStatusWanted) {
      const int statusMs = msUntil(nextStatus, now);
      timeoutMs = timeoutMs < 0 ? statusMs : std::min(timeoutMs, statusMs);
    }
    // Without one of the eventfds, signals and the stop are looked for often.
    if (gWakeFd.load() < 0 || mQuitFd < 0)
      timeoutMs = timeoutMs < 0 ? kFallbackMs : std::min(timeoutMs, kFallbackMs);
    pollfd fds[2] = {{gWakeFd.load(), POLLIN, 0}, {mQuitFd, POLLIN, 0}};
    ::poll(fds, 2, timeoutMs);  // EINTR: a signal came to this thread; look below
    if (mQuit.load()) return;
    drain(fds[0].fd);
    const int events = gEvents.exchange(0);
    if (gStopRequested.load() != 0) stopping();
    if (events & kReload) mHooks.reload();
    if (events & kStats) mHooks.stats();
    const Clock::time_point after = Clock::now();
    if (mTick.count() > 0 && after >= nextTick) {
      watchdog(after);
      nextTick = after + mTick;
    }
    if (mStatusWanted && after >= nextStatus) {
      if (std::string status = mHooks.status(); status != mStatusSent) {
        notify("STATUS=" + status);
        mStatusSent = std::move(status);
      }
      nextStatus = after + kStatusPeriod;
    }
  }
}

// Pings when the pump has handled a heartbeat and the bus loop has
// completed a pass within the window; either stuck (a handler that does not
// return, a standard output nobody reads) and the pings stop, so the
// service manager restarts the daemon.
void cSupervisor::watchdog(Clock::time_point now) {
  const Clock::duration window = std::max<Clock::duration>(mTick, kLeastWindow);
  const unsigned long beats = mHooks.heartbeats();
  const unsigned long passes = mHooks.passes();
  if (beats != mBeatsSeen) {
    mBeatsSeen = beats;
    mBeatsMoved = now;
  }
  if (passes != mPassesSeen) {
    mPassesSeen = passes;
    mPassesMoved = now;
  }
  mHooks.postHeartbeat();  // for the next look; the pump keeps at most one waiting
  if (now - mBeatsMoved < window && now - mPassesMoved < window) notify("WATCHDOG=1");
}
