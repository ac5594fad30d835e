// The interval timers with real POSIX timers: expiry, restart, the odd
// intervals, and destruction while an expiry is still running.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Timer.h"

namespace {

using Clock = std::chrono::steady_clock;

bool becomesTrue(const cDustyTimer& t, std::chrono::milliseconds within) {
  const auto deadline = Clock::now() + within;
  while (Clock::now() < deadline) {
    if (t.getPingDue()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return t.getPingDue();
}

TEST(TimerTest, ExpiryRaisesTheFlagUntilTheOwnerClearsIt) {
  cDustyTimer t(1);
  EXPECT_FALSE(t.getPingDue());
  const auto started = Clock::now();
  t.start();
  ASSERT_TRUE(becomesTrue(t, std::chrono::seconds(3)));
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(900));
  // Several expiries without clearing leave it simply true.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_TRUE(t.getPingDue());
  t.setPingDue(false);
  EXPECT_FALSE(t.getPingDue());
  EXPECT_TRUE(becomesTrue(t, std::chrono::seconds(3)));
}

TEST(TimerTest, RestartPostponesTheNextExpiryByAFullInterval) {
  cDustyTimer t(2);
  t.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto restarted = Clock::now();
  t.restart();
  ASSERT_TRUE(becomesTrue(t, std::chrono::seconds(4)));
  EXPECT_GE(Clock::now() - restarted, std::chrono::milliseconds(1900));
}

TEST(TimerTest, ZeroAndNegativeIntervalsNeverExpire) {
  cDustyTimer zero(0), negative(-5);
  zero.start();
  negative.start();
  EXPECT_FALSE(becomesTrue(zero, std::chrono::milliseconds(1500)));
  EXPECT_FALSE(negative.getPingDue());
}

TEST(TimerTest, StopAndRestartOnAStoppedTimer) {
  cDustyTimer t(1);
  t.stop();  // never started: nothing happens
  EXPECT_FALSE(t.isArmed());
  t.restart();  // behaves as start()
  EXPECT_TRUE(t.isArmed());
  ASSERT_TRUE(becomesTrue(t, std::chrono::seconds(3)));
  t.stop();
  t.stop();
  EXPECT_FALSE(t.isArmed());
  t.setPingDue(false);
  EXPECT_FALSE(becomesTrue(t, std::chrono::milliseconds(1500)));
}

// A timer whose expiry takes a while, to catch a destructor that returns
// while expired() still runs on the object.
class SlowTimer : public Timer {
 public:
  SlowTimer(std::atomic<int>& entered, std::atomic<int>& left)
      : Timer(1), mEntered(entered), mLeft(left) {}
  ~SlowTimer() override { stopAndDrain(); }
  void expired() override {
    ++mEntered;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
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
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (entered.load() == 0 && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(entered.load(), 1);
  }
  EXPECT_EQ(left.load(), entered.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(entered.load(), 1) << "an expiry reached a destroyed timer";
}

}  // namespace
