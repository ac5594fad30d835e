// Timer: one periodic POSIX timer whose expiries arrive on short-lived
// detached threads as calls of expired(). cDustyTimer, the ping timer,
// raises an atomic ping-due flag at every expiry.
//
// Ownership: the owner of a Timer owns its platform record (TimerImpl).
// Threads: start/stop/restart are called from one thread at a time (set-up
// on the main thread, later the event pump thread); expired() runs on a new
// notification thread for each expiry, never on the owner's thread.
#ifndef CORE_TIMER_H
#define CORE_TIMER_H

#include <atomic>
#include <memory>

struct TimerImpl;

class Timer {
 public:
  // interval: the delay to the first expiry and the period, in seconds.
  // Nothing is armed yet. An interval of 0 never expires (arming with zero
  // disarms); a negative one fails to arm and never expires either. A timer
  // that cannot be created or armed logs why at error level (category
  // "Timer").
  explicit Timer(int interval);
  virtual ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Creates the POSIX timer and arms it: first expiry after the interval,
  // then every interval. On an armed timer it re-arms (as restart()).
  void start();
  // Disarms and deletes the POSIX timer; nothing when there is none.
  void stop();
  // stop() then start(): the next expiry is a full interval from now.
  void restart();
  // Runs once for each expiry, on a notification thread.
  virtual void expired() {}

  int getInterval() const { return mInterval; }
  bool isArmed() const;

 protected:
  // Stops the timer and waits until no expired() call is running on it any
  // more; afterwards no expiry reaches this object. A derived class calls it
  // first in its destructor so that no expiry runs into a half-destroyed
  // object.
  void stopAndDrain();

 private:
  int mInterval;
  std::unique_ptr<TimerImpl> mImpl;
};

// The ping timer: every expiry marks a keep-alive ping as due; the owner
// clears the flag once it has sent one.
class cDustyTimer : public Timer {
 public:
  explicit cDustyTimer(int interval) : Timer(interval) {}
  ~cDustyTimer() override;

  void expired() override { mPingDue.store(true); }
  bool getPingDue() const { return mPingDue.load(); }
  void setPingDue(bool due) { mPingDue.store(due); }

 private:
  std::atomic<bool> mPingDue{false};
};

#endif  // CORE_TIMER_H
