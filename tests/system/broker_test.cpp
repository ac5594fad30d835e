// The broker in this process, in the test's sandbox: signal chaining to the
// handlers installed before it; lock lookups on the main thread racing the
// pump thread's replacement of the site summary (ThreadSanitizer watches
// that one); the watchdog when a listener holds the event pump; the two
// renderings of a key.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "cKey.h"
#include "cLock.h"
#include "kmsgBroker.h"
#include "kmsg_json.h"
#include "system.h"

namespace {

std::atomic<int> gPlainGot{0}, gInfoGot{0}, gInfoSigno{0};
std::atomic<bool> gInfoHadContext{false};
void plainHandler(int sig) { gPlainGot = sig; }
void infoHandler(int sig, siginfo_t* info, void* context) {
  gInfoGot = sig;
  gInfoSigno = info ? info->si_signo : -1;
  gInfoHadContext = context != nullptr;
}

TEST(Broker, ChainsToThePreviousHandlersButNeverToItself) {
  testsupport::Site site("", "INFO");
  struct sigaction plain {}, withInfo {};
  plain.sa_handler = plainHandler;
  withInfo.sa_sigaction = infoHandler;
  withInfo.sa_flags = SA_SIGINFO;
  ASSERT_EQ(sigaction(SIGINT, &plain, nullptr), 0);
  ASSERT_EQ(sigaction(SIGTERM, &withInfo, nullptr), 0);
  testing::internal::CaptureStdout();
  kmsgBroker broker;
  testing::internal::GetCapturedStdout();
  // A second broker, as fixtures make, finds the first one's handler.
  kmsgBroker second;
  for (int round = 0; round < 2; ++round) {
    gStopRequested = 0;
    ASSERT_EQ(raise(SIGINT), 0);
    EXPECT_EQ(gPlainGot.exchange(0), SIGINT);
    ASSERT_EQ(gStopRequested.load(), 1);  // (else the run below would not return)
    gStopRequested = 0;
    ASSERT_EQ(raise(SIGTERM), 0);
    EXPECT_EQ(gInfoGot.exchange(0), SIGTERM);
    EXPECT_EQ(gInfoSigno.load(), SIGTERM) << "the previous handler got no siginfo";
    EXPECT_TRUE(gInfoHadContext.load());
    ASSERT_EQ(gStopRequested.load(), 1);
  }
  second.run();  // the stop came before the first iteration: returns at once
}

TEST(Broker, LockLookupsRaceSummaryReplacements) {
  testsupport::Site site("", "INFO");
  site.startBus();
  site.subscribe();
  kmsgBroker broker;
  const std::string locks[] = {"0102030405", "0504030201"};
  std::atomic<bool> done{false};
  std::thread pump([&] {
    for (unsigned i = 0; i < 400; ++i) {
      // Alternating configurations, each a change; every fourth one is also
      // a reply that takes its only lock out of the adopted key.
      std::string report =
          R"({"id":0,"tags":[{"id":0,"type":"u32","value":1},{"id":1,"type":"str","value":"b"},)"
          R"({"id":8,"type":"str","value":"s"},{"id":35,"type":"str","value":"n"},)"
          R"({"id":36,"type":"u16","value":1},{"id":32,"type":"u32","value":)" +
          std::to_string(i) + R"(},{"id":19,"type":"bytes","value":")" + locks[i % 2] + "\"}";
      if (i % 4 == 1)
        report += R"(,{"id":20,"type":"str","value":"x"},{"id":23,"type":"str","value":"y"},)"
                  R"({"id":24,"type":"u32","value":1})";
      const auto datagram = kmsgjson::datagramOf(report + "]}");
      std::unique_ptr<KMsg> msg(KMsg::parseMsg(datagram.data(), static_cast<unsigned short>(datagram.size())));
      broker.onMessage(msg.get());
    }
    done = true;
  });
  const std::string unlock = R"({"command":"UNLOCK","RFID":"4328719365","state":"s"})";
  int handled = 0;
  for (; !done; ++handled) broker.handleJSON_message(unlock.data(), unlock.size());
  pump.join();
  EXPECT_GT(handled, 0);
  for (int n = 0; n < 500; ++n)  // 400 "site_info" and 100 "update_lock"
    ASSERT_TRUE(site.publication()) << "publication " << n;
}

// A listener after the broker's that holds the event pump while `held`.
struct Holder : cObjectListener {
  void onMessage(KMsg*) override {
    std::unique_lock<std::mutex> lock(mutex);
    entered = true;
    changed.notify_all();
    changed.wait(lock, [this] { return !held; });
  }
  // Waits until the pump is inside onMessage.
  bool waitEntered() {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(testsupport::kWaitMs), [this] { return entered; });
  }
  void set(bool hold) {
    std::lock_guard<std::mutex> lock(mutex);
    held = hold;
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false, entered = false;
};

// The service manager's watchdog pings while the pump delivers; none while
// a listener holds the pump (the bus loop still runs); pings again once it
// lets go; then the stop.
TEST(Broker, TheWatchdogPingsStopWhileAListenerHoldsTheEventPump) {
  testsupport::Site site("", "INFO");
  site.openKey();
  testsupport::NotifySocket manager("/etc/ram/notify");
  setenv("NOTIFY_SOCKET", "/etc/ram/notify", 1);
  setenv("WATCHDOG_USEC", "2000000", 1);  // a look each second, pings within 3 s of progress
  Holder holder;  // outlives the broker's pump
  kmsgBroker broker;
  broker.miniClient().addListener(&holder);
  ASSERT_EQ(manager.receive().value_or("").rfind("READY=1", 0), 0u);
  ASSERT_TRUE(site.key->receive(testsupport::kWaitMs)) << "no keep-alive";
  std::thread loop([&] { broker.run(); });
  EXPECT_EQ(manager.next(), "WATCHDOG=1");
  holder.set(true);
  site.report(R"({"id":0,"tags":[{"id":12,"type":"u8","value":40}]})");
  EXPECT_TRUE(holder.waitEntered());
  EXPECT_TRUE(manager.pingsStop()) << "the pings went on while the pump was held";
  holder.set(false);
  EXPECT_EQ(manager.next(), "WATCHDOG=1");
  gStopRequested = 1;
  loop.join();
  EXPECT_EQ(manager.afterPings(), "STOPPING=1");
}

// jansson's document of a key, dumped, and the text the key writes itself
// are the same text, whatever its texts hold: plain, UTF-8, escaped
// characters, bytes that are not UTF-8 (repaired), none.
TEST(Site, BothRenderingsOfAKeyAreTheSameText) {
  const char* texts[] = {nullptr, "", "box-1", "Schl\xc3\xbcssel \"Nord\"", "sw\\2.0\t\n\x01", "sw\xff", "\x7f"};
  const size_t n = std::size(texts);
  for (size_t i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    cKey key;
    key.setKeyBoxN(texts[i]);
    key.setKeySW(texts[(i + 1) % n]);
    key.setServName(texts[(i + 3) % n]);
    key.setKeySN(i % 2 ? 4660 : 0);
    key.setServPort(i % 2 ? 0 : 8080);
    key.setTransactionCnt(static_cast<int32_t>(i));
    auto locks = std::make_unique<LockList>();
    for (unsigned char l = 0; l < i % 3; ++l) {
      const unsigned char tag[5] = {0, 0, 0, 1, l};
      locks->push_back(std::make_unique<cLock>());
      locks->back()->setRFtag(tag);
      locks->back()->setIntValStr(std::to_string(256 + l).c_str());
    }
    key.setLockList(std::move(locks));
    std::string direct;
    ASSERT_TRUE(key.appendJSON(direct));
    EXPECT_EQ(jsonDump(key.toJSON().get(), 0), direct);
  }
}

}  // namespace
