// The broker in this process, in a sandbox of its own: signal chaining to a
// previously installed handler, and a stop requested during set-up.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>

#include "kmsgBroker.h"

namespace {

std::atomic<int> gPreviousGot{0};
void previousHandler(int sig) { gPreviousGot.store(sig); }

TEST(BrokerSignalTest, APreviousHandlerIsCalledThenTheLoopNeverRuns) {
  struct sigaction sa {};
  sa.sa_handler = previousHandler;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGINT, &sa, nullptr), 0);
  testing::internal::CaptureStdout();
  kmsgBroker broker;
  EXPECT_EQ(gStopRequested.load(), 0);
  ASSERT_EQ(raise(SIGINT), 0);
  EXPECT_EQ(gPreviousGot.load(), SIGINT);
  EXPECT_EQ(gStopRequested.load(), 1);
  broker.run();  // returns at once: the stop came before the first iteration
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to load input file /etc/ram/keyd-translator.conf\n"
            "Failed to load input file /etc/ram/nembad.conf\n");

  // SIGTERM had the default disposition: it only sets the flag.
  gStopRequested.store(0);
  ASSERT_EQ(raise(SIGTERM), 0);
  EXPECT_EQ(gStopRequested.load(), 1);
  EXPECT_EQ(gPreviousGot.load(), SIGINT);
}

}  // namespace
