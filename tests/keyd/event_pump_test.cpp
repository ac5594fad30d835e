// The event pump: delivery order, listeners registered twice or removed,
// no listener at all, and the bound on waiting messages.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cMiniClient.h"
#include "kmsg.h"
#include "logcapture.h"

namespace {

using Pump = cMiniClient::cEventPump;

// Records "name:tag-value" for every message; may hold each delivery a
// while, to show that the next message waits for it.
class Recorder : public cObjectListener {
 public:
  Recorder(std::string name, std::vector<std::string>& log, std::mutex& mutex)
      : mName(std::move(name)), mLog(log), mMutex(mutex) {}
  void onMessage(KMsg* msg) override {
    msg->gotoFirst();
    auto* tag = ktag_cast<KTagUInt32>(msg->getTag());
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mLog.push_back(mName + ":" + std::to_string(tag ? tag->getValue() : 999) + ":begin");
    }
    if (holdMs) std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    std::lock_guard<std::mutex> lock(mMutex);
    mLog.push_back(mName + ":" + std::to_string(tag ? tag->getValue() : 999) + ":end");
  }
  int holdMs = 0;

 private:
  std::string mName;
  std::vector<std::string>& mLog;
  std::mutex& mMutex;
};

KMsg* numbered(unsigned value) {
  auto* m = new KMsg(MSG_SET);
  m->addTag(KTagFactory::createKTag(TAG_KEY_SN, value));
  return m;
}

class EventPumpTest : public ::testing::Test {
 protected:
  bool waitForSize(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (log.size() >= n) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
  }
  testsupport::LogCapture capture;
  std::vector<std::string> log;
  std::mutex mutex;
};

TEST_F(EventPumpTest, MessagesReachEveryListenerInOrderOneAtATime) {
  Pump pump;
  Recorder a("a", log, mutex), b("b", log, mutex);
  a.holdMs = 50;
  pump.addListener(&a);
  pump.addListener(&b);
  pump.addListener(&a);  // registered twice: called twice, in both positions
  pump.postEvent(numbered(1));
  pump.postEvent(numbered(2));
  ASSERT_TRUE(waitForSize(12));
  const std::vector<std::string> expected = {
      "a:1:begin", "a:1:end", "b:1:begin", "b:1:end", "a:1:begin", "a:1:end",
      "a:2:begin", "a:2:end", "b:2:begin", "b:2:end", "a:2:begin", "a:2:end"};
  EXPECT_EQ(snapshot(), expected);
  EXPECT_EQ(capture.count("cMiniClient::cEventPump|pumping event"), 2);
}

TEST_F(EventPumpTest, RemovedListenersGetNothingAndTheOthersKeepTheirOrder) {
  Pump pump;
  Recorder a("a", log, mutex), b("b", log, mutex), c("c", log, mutex);
  for (auto* l : {&a, &b, &a, &c}) pump.addListener(l);
  pump.removeListener(&a);  // every registration of it
  pump.removeListener(&a);  // not registered any more: nothing changes
  pump.postEvent(numbered(7));
  ASSERT_TRUE(waitForSize(4));
  const std::vector<std::string> expected = {"b:7:begin", "b:7:end", "c:7:begin", "c:7:end"};
  EXPECT_EQ(snapshot(), expected);
}

TEST_F(EventPumpTest, WithoutListenersMessagesArePumpedAndReleased) {
  Pump pump;
  for (unsigned i = 0; i < 3; ++i) pump.postEvent(numbered(i));
  EXPECT_TRUE(capture.waitFor("cMiniClient::cEventPump|pumping event", 3, std::chrono::seconds(5)));
  EXPECT_EQ(pump.queued(), 0u);  // and ASan shows they were released
}

TEST_F(EventPumpTest, AFullQueueHoldsThePosterBackUntilThereIsRoom) {
  Pump pump;
  Recorder slow("s", log, mutex);
  slow.holdMs = 1;
  pump.addListener(&slow);
  const unsigned total = Pump::kQueueBound * 2;
  std::thread producer([&] {
    for (unsigned i = 0; i < total; ++i) pump.postEvent(numbered(i));
  });
  size_t highest = 0;
  while (snapshot().size() < 2 * total) {
    highest = std::max(highest, pump.queued());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  producer.join();
  EXPECT_LE(highest, Pump::kQueueBound);
  EXPECT_GT(pump.fullCount(), 0u);
  auto got = snapshot();
  for (unsigned i = 0; i < total; ++i) ASSERT_EQ(got[2 * i], "s:" + std::to_string(i) + ":begin");
}

}  // namespace
