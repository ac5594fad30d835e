// The interval timers with real POSIX timers: expiry, restart, the odd
// intervals, and destruction while an expiry is still running.
#include "Timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool becomesTrue(const cDustyTimer& t, milliseconds within) {
  const auto deadline = Clock::now() + within;
  while (!t.getPingDue() && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  return t.getPingDue();
}

TEST(TimerTest, ExpiryRaisesTheFlagUntilClearedAndRestartPostponesIt) {
  cDustyTimer t(1);
  auto started = Clock::now();
  t.start();
  EXPECT_FALSE(t.getPingDue());
  ASSERT_TRUE(becomesTrue(t, milliseconds(3000)));
  EXPECT_GE(Clock::now() - started, milliseconds(900));
  std::this_thread::sleep_for(milliseconds(2100));
  EXPECT_TRUE(t.getPingDue()) << "several expiries leave it simply true";
  t.setPingDue(false);
  EXPECT_FALSE(t.getPingDue());
  ASSERT_TRUE(becomesTrue(t, milliseconds(3000)));

  t.setPingDue(false);  // just after an expiry: restarted late in the interval
  std::this_thread::sleep_for(milliseconds(600));
  started = Clock::now();
  t.restart();
  ASSERT_TRUE(becomesTrue(t, milliseconds(3000)));
  EXPECT_GE(Clock::now() - started, milliseconds(900)) << "restart gives a full interval";
}

TEST(TimerTest, StoppedTimersAndIntervalsOfZeroOrLessNeverExpire) {
  cDustyTimer zero(0), negative(-5), t(1);
  zero.start();
  negative.start();
  t.stop();     // never started: nothing happens
  t.restart();  // on a stopped timer: as start()
  ASSERT_TRUE(becomesTrue(t, milliseconds(3000)));
  t.stop();
  t.stop();
  t.setPingDue(false);
  EXPECT_FALSE(becomesTrue(t, milliseconds(1500)));
  EXPECT_FALSE(zero.getPingDue());
  EXPECT_FALSE(negative.getPingDue());
}

// An expiry that takes a while, to catch a destructor that returns while
// expired() still runs on the object.
class SlowTimer : public Timer {
 public:
  SlowTimer(std::atomic<int>& entered, std::atomic<int>& left)
      : Timer(1), mEntered(entered), mLeft(left) {}
  ~SlowTimer() override { stopAndDrain(); }
  void expired() override {
    ++mEntered;
    std::this_thread::sleep_for(milliseconds(300));
    ++mLeft;
  }

 private:
  std::atomic<int>& mEntered;
  std::atomic<int>& mLeft;
};

TEST(TimerTest, DestructionWaitsForAnExpiryInFlight) {
  std::atomic<int> entered{0}, left{0};
  {
    SlowTimer t(entered, left);
    t.start();
    const auto deadline = Clock::now() + milliseconds(3000);
    while (entered == 0 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
    ASSERT_EQ(entered.load(), 1);
  }
  EXPECT_EQ(left.load(), 1);
  std::this_thread::sleep_for(milliseconds(1200));
  EXPECT_EQ(entered.load(), 1) << "an expiry reached a destroyed timer";
}

}  // namespace
