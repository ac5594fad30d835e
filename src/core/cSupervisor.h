// cSupervisor: the translator's side of the service manager and of the
// operator's signals. It pings the service manager's watchdog while both
// the bus loop and the event pump make progress, keeps the service's
// one-line status fresh, tells it when a stop begins, and does the work of
// SIGHUP (log reload) and SIGUSR1 (counters) on a thread of its own: the
// signal handler only records the event and wakes that thread.
//
// Ownership: the broker's run loop owns it for the length of the loop; it
// owns its thread and that thread's stop descriptor. The process-wide
// signal events (raise) and their wake-up descriptor outlive it.
// Threads: constructed and destroyed on the main thread; its thread
// "keyd-service" calls every hook. raise() may run in a signal handler on
// any thread; notify() on any thread.
#ifndef CORE_CSUPERVISOR_H
#define CORE_CSUPERVISOR_H

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "cKlog.h"

class cSupervisor : public cKlog {
 public:
  // What the supervisor asks of the daemon; each is called on its thread.
  struct Hooks {
    std::function<void()> postHeartbeat;        // queue a heartbeat on the event pump
    std::function<unsigned long()> heartbeats;  // heartbeats the pump has handled
    std::function<unsigned long()> passes;      // passes the bus loop has completed
    std::function<std::string()> status;        // the one-line summary
    std::function<void()> reload;               // the work of SIGHUP
    std::function<void()> stats;                // the work of SIGUSR1
  };
  // Signal events, bits of raise().
  enum Event : int { kReload = 1, kStats = 2, kStop = 4 };

  // The status is sent again at most this often.
  static constexpr std::chrono::seconds kStatusPeriod{10};
  // A progress counter counts as moving when it moved within the last
  // half watchdog interval, or within this long when that is shorter (the
  // bus loop completes a pass a little more than once a second).
  static constexpr std::chrono::seconds kLeastWindow{3};

  // Starts the thread; the watchdog when WATCHDOG_USEC asks for it.
  explicit cSupervisor(Hooks hooks);
  ~cSupervisor();  // stops and joins the thread
  cSupervisor(const cSupervisor&) = delete;
  cSupervisor& operator=(const cSupervisor&) = delete;

  // Sends "STOPPING=1" the first time it is called in the process.
  static void stopping();

  // Makes the process-wide wake-up descriptor of raise(); called during
  // set-up before a handler can raise. Returns 0, or the errno of the
  // failure (then signal work waits for the thread's next timed wake-up).
  static int prepare();
  // Records signal events and wakes the thread. Async-signal-safe.
  static void raise(int events);
  // Sends state lines to the service manager when NOTIFY_SOCKET names one;
  // otherwise, or when it cannot be reached, nothing happens.
  static void notify(const std::string& state);

 private:
  void loop();
  void watchdog(std::chrono::steady_clock::time_point now);

  Hooks mHooks;
  std::chrono::steady_clock::duration mTick{};  // half the watchdog interval; 0: no watchdog
  bool mStatusWanted = false;
  int mQuitFd = -1;
  std::atomic<bool> mQuit{false};
  // Thread only: the counters as last seen, and when each last moved.
  unsigned long mBeatsSeen = 0, mPassesSeen = 0;
  std::chrono::steady_clock::time_point mBeatsMoved, mPassesMoved;
  std::string mStatusSent;
  std::thread mThread;  // last member: started once everything else exists
};

#endif  // CORE_CSUPERVISOR_H
