// The interval timers with real POSIX timers: expiry after the interval,
// restart giving a full one, timers that never expire, and destruction
// waiting for an expiry in flight.
#include "Timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Records when each expiry begins; each then takes `hold` and counts in `left`.
class Recorder : public Timer {
 public:
  explicit Recorder(int interval, Clock::duration hold = {}, std::atomic<int>* left = nullptr)
      : Timer(interval), mHold(hold), mLeft(left) {}
  ~Recorder() override { stopAndDrain(); }
  void expired() override {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mTimes.push_back(Clock::now());
    }
    mCond.notify_all();
    std::this_thread::sleep_for(mHold);
    if (mLeft) ++*mLeft;
  }
  // When expiry n (from 1) began, waiting up to 10 s for it.
  std::optional<Clock::time_point> expiry(size_t n) {
    std::unique_lock<std::mutex> lock(mMutex);
    if (!mCond.wait_for(lock, 10s, [&] { return mTimes.size() >= n; })) return std::nullopt;
    return mTimes[n - 1];
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mTimes.size();
  }

 private:
  const Clock::duration mHold;
  std::atomic<int>* const mLeft;
  std::mutex mMutex;
  std::condition_variable mCond;
  std::vector<Clock::time_point> mTimes;
};

TEST(TimerTest, ExpiresAfterTheIntervalAndRestartGivesAFullOne) {
  Recorder t(1), zero(0), negative(-5), stopped(1);
  zero.start();
  negative.start();
  stopped.start();
  stopped.stop();
  const auto started = Clock::now();
  t.start();
  const auto first = t.expiry(1);
  ASSERT_TRUE(first);
  EXPECT_GE(*first - started, 990ms);
  std::this_thread::sleep_until(*first + 500ms);  // restarted half way through the interval
  const auto restarted = Clock::now();
  t.restart();
  const auto second = t.expiry(2);
  ASSERT_TRUE(second);
  EXPECT_GE(*second - restarted, 990ms) << "restart gives a full interval";
  // Over 1.5 s have passed: none of these ever expires.
  EXPECT_EQ(zero.count() + negative.count() + stopped.count(), 0u);
}

TEST(TimerTest, DestructionWaitsForAnExpiryInFlight) {
  std::atomic<int> left{0};
  {
    Recorder t(1, 300ms, &left);
    t.start();
    ASSERT_TRUE(t.expiry(1));
  }
  EXPECT_EQ(left, 1) << "the timer went while expired() still ran on it";
}

}  // namespace
