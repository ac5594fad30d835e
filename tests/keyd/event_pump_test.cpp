// The event pump: delivery order, listeners registered twice or removed,
// no listener at all, and the bound on waiting messages.
#include <gtest/gtest.h>

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
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

std::mutex gMutex;
Lines gLog;  // what the recorders saw, guarded by gMutex

void record(const std::string& entry) {
  std::lock_guard<std::mutex> lock(gMutex);
  gLog.push_back(entry);
}

// The entries so far, once there are at least n (or after 5 s).
Lines entries(size_t n = 0) {
  for (int i = 0;; ++i, std::this_thread::sleep_for(milliseconds(5))) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gLog.size() >= n || i == 1000) return gLog;
  }
}

// Logs "name:number:begin" and "name:number:end" around a hold of holdMs.
struct Recorder : cObjectListener {
  Recorder(const char* n, int hold = 0) : name(n), holdMs(hold) {}
  void onMessage(KMsg* msg) override {
    const auto* sn = ktag_cast<KTagUInt32>(msg->tags().at(0).get());
    const std::string entry = name + std::to_string(sn ? sn->getValue() : 999);
    record(entry + ":begin");
    std::this_thread::sleep_for(milliseconds(holdMs));
    record(entry + ":end");
  }
  const std::string name;
  const int holdMs;
};

KMsg* numbered(unsigned value) {
  auto* m = new KMsg(MSG_SET);
  m->addTag(KTagFactory::createKTag(TAG_KEY_SN, value));
  return m;
}

class EventPumpTest : public ::testing::Test {
 protected:
  void SetUp() override { gLog.clear(); }
  testsupport::LogCapture capture;
};

TEST_F(EventPumpTest, EachMessageReachesEveryRegistrationBeforeTheNextOne) {
  Pump pump;
  Recorder a("a", 50), b("b"), c("c");
  for (auto* l : {&a, &b, &a}) pump.addListener(l);  // a twice: called twice, in both places
  pump.postEvent(numbered(1));
  pump.postEvent(numbered(2));
  EXPECT_EQ(entries(12), (Lines{"a1:begin", "a1:end", "b1:begin", "b1:end", "a1:begin", "a1:end",
                                "a2:begin", "a2:end", "b2:begin", "b2:end", "a2:begin", "a2:end"}));
  EXPECT_EQ(capture.count("cMiniClient::cEventPump|pumping event"), 2);

  pump.removeListener(&c);  // never registered: nothing changes
  pump.addListener(&c);
  pump.removeListener(&a);  // every registration of it
  pump.postEvent(numbered(3));
  const Lines all = entries(16);
  EXPECT_EQ(Lines(all.begin() + 12, all.end()),
            (Lines{"b3:begin", "b3:end", "c3:begin", "c3:end"}));
}

TEST_F(EventPumpTest, WithoutListenersMessagesArePumpedAndReleased) {
  Pump pump;
  for (unsigned i = 0; i < 3; ++i) pump.postEvent(numbered(i));
  EXPECT_TRUE(capture.waitFor("cMiniClient::cEventPump|pumping event", 3, std::chrono::seconds(5)));
  EXPECT_EQ(pump.queued(), 0u);  // and ASan shows they were released
}

TEST_F(EventPumpTest, AFullQueueHoldsThePosterBackUntilThereIsRoom) {
  Pump pump;
  Recorder slow("s", 1);
  pump.addListener(&slow);
  const unsigned total = Pump::kQueueBound * 2;
  std::thread producer([&] {
    for (unsigned i = 0; i < total; ++i) pump.postEvent(numbered(i));
  });
  size_t highest = 0;
  for (size_t n = 0; n < 2 * total; n = entries().size()) {
    highest = std::max(highest, pump.queued());
    std::this_thread::sleep_for(milliseconds(1));
  }
  producer.join();
  EXPECT_LE(highest, Pump::kQueueBound);
  EXPECT_GT(pump.fullCount(), 0u);
  const Lines got = entries();
  for (unsigned i = 0; i < total; ++i) ASSERT_EQ(got[2 * i], "s" + std::to_string(i) + ":begin");
}

}  // namespace
