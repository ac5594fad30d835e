// The broker in this process, in the test's sandbox: signal chaining to the
// handlers installed before it, and lock lookups on the main thread racing
// the pump thread's replacement of the site summary (ThreadSanitizer
// watches that one).
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <thread>

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

}  // namespace
