// The bus client library, the bus daemon and the nlite tool, tested against
// a real nembad on loopback ports.
#include "nlite.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "child.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWaitMs = 10000;

// A running nembad and the ports it bound.
struct Bus {
  std::unique_ptr<Child> proc;
  int channeler = 0;
  int broadcaster = 0;
};

Bus startBus(int channeler = 0, int broadcaster = 0) {
  Bus bus;
  bus.proc = Child::start({programPath("nembad"), "--channeler-port", std::to_string(channeler),
                           "--broadcaster-port", std::to_string(broadcaster)});
  auto line = bus.proc ? bus.proc->waitForLine("nembad: channeler", kWaitMs) : std::nullopt;
  if (line)
    std::sscanf(line->c_str(), "nembad: channeler 127.0.0.1:%d broadcaster 127.0.0.1:%d",
                &bus.channeler, &bus.broadcaster);
  return bus;
}

// The next message within kWaitMs, or null.
nlite::Message* next(nlite::Client& c) {
  for (const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
       Clock::now() < deadline; c.waitReadable(50))
    if (nlite::Message* m = c.receive()) return m;
  return nullptr;
}

std::string payload(const nlite::Message* m) {
  return m ? std::string(m->buffer(), m->bufferSize()) : "<no message>";
}

const char* gCallbackBuffer = nullptr;
void remember(const char* buffer) { gCallbackBuffer = buffer; }

}  // namespace

TEST(NliteClient, DeliversWholeMessagesOnExactTopicsOnly) {
  Bus bus = startBus();
  ASSERT_GT(bus.broadcaster, 0);
  const char* topics[] = {"TransGlam"};
  nlite::Client sub("receiver", bus.channeler, bus.broadcaster, topics, 1);
  nlite::Client pub("MetaGlam", bus.channeler, bus.broadcaster, nullptr, 0);
  nlite::Client anonymous(nullptr, bus.channeler, bus.broadcaster, nullptr, 0);
  for (auto* c : {&sub, &pub, &anonymous}) ASSERT_TRUE(c->waitConnected(kWaitMs));
  EXPECT_EQ(sub.receive(), nullptr);  // idle: returns at once with nothing

  const std::string bytes("a\0b\xff\0", 5);
  EXPECT_EQ(pub.send("x", 1, 2, "TransGlamX", nullptr), 0);
  EXPECT_EQ(pub.send("x", 1, 2, "Trans", nullptr), 0);
  EXPECT_EQ(pub.send(bytes.data(), 5, -5, "TransGlam", remember), 0);
  EXPECT_EQ(gCallbackBuffer, bytes.data()) << "the callback gets the sent buffer";
  nlite::Message* m = next(sub);
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(m->topic(), "TransGlam");
  EXPECT_STREQ(m->appId(), "MetaGlam");
  EXPECT_EQ(m->kind(), -5);
  EXPECT_EQ(payload(m), bytes);
  // Order holds per sender only, so the second sender goes after; it is
  // used from another thread than its constructor's, as the translator does.
  std::thread([&] { EXPECT_EQ(anonymous.send("{}", 2, 2, "TransGlam", nullptr), 0); }).join();
  m = next(sub);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->appId(), nullptr);
  EXPECT_EQ(payload(m), "{}");

  // The largest payload passes; one byte more is refused, the callback
  // still called.
  std::string big(nlite::kMaxPayload + 1, 'z');
  EXPECT_NE(pub.send(big.data(), nlite::kMaxPayload + 1, 2, "TransGlam", remember), 0);
  EXPECT_EQ(gCallbackBuffer, big.data());
  EXPECT_EQ(pub.send(big.data(), nlite::kMaxPayload, 2, "TransGlam", nullptr), 0);
  EXPECT_EQ(payload(next(sub)).size(), nlite::kMaxPayload);
  EXPECT_EQ(sub.receive(), nullptr);
}

TEST(NliteClient, QueuesBoundedWhileTheBusDaemonIsDown) {
  const int channeler = freeTcpPort(), broadcaster = freeTcpPort();
  {
    nlite::Client lonely("lonely", channeler, broadcaster, nullptr, 0);
    lonely.setLinger(0);
    int queued = 0;
    while (queued <= nlite::kSendQueueBound && lonely.send("q", 1, 2, "Q", nullptr) == 0) ++queued;
    EXPECT_EQ(queued, nlite::kSendQueueBound);
  }
  // The publisher runs in a child stopped right after sending, so the
  // subscriber below is surely subscribed before the message can arrive.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int rc;
    {
      nlite::Client early("early", channeler, broadcaster, nullptr, 0);
      early.setLinger(kWaitMs);
      rc = early.send("sent before", 11, 2, "Early", nullptr);
      ::raise(SIGSTOP);
    }
    ::_exit(rc == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, WUNTRACED), pid);
  ASSERT_TRUE(WIFSTOPPED(status));
  Bus bus = startBus(channeler, broadcaster);
  ASSERT_EQ(bus.broadcaster, broadcaster);
  const char* topics[] = {"Early"};
  nlite::Client sub("receiver", 0, broadcaster, topics, 1);
  ASSERT_TRUE(sub.waitConnected(kWaitMs));
  ::kill(pid, SIGCONT);
  EXPECT_EQ(payload(next(sub)), "sent before");
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(NliteClient, KeepsPublishingAcrossARestartOfTheBusDaemon) {
  Bus bus = startBus();
  ASSERT_GT(bus.broadcaster, 0);
  const int channeler = bus.channeler, broadcaster = bus.broadcaster;
  const char* topics[] = {"Seq"};
  nlite::Client sub("receiver", channeler, broadcaster, topics, 1);
  nlite::Client pub("sender", channeler, broadcaster, nullptr, 0);
  ASSERT_TRUE(sub.waitConnected(kWaitMs) && pub.waitConnected(kWaitMs));
  int seq = 0;
  // Publishes numbered messages until one numbered from `first` on arrives.
  auto publishUntilSeen = [&](int first) {
    for (const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
         Clock::now() < deadline; sub.waitReadable(20)) {
      const std::string text = std::to_string(seq++);
      EXPECT_EQ(pub.send(text.data(), static_cast<unsigned>(text.size()), 2, "Seq", nullptr), 0);
      while (nlite::Message* m = sub.receive())
        if (std::stoi(payload(m)) >= first) return true;
    }
    return false;
  };
  ASSERT_TRUE(publishUntilSeen(0));
  bus.proc->signal(SIGTERM);
  EXPECT_EQ(bus.proc->wait(kWaitMs), 0) << "nembad on SIGTERM";
  const int restartedAt = seq;
  bus = startBus(channeler, broadcaster);
  ASSERT_EQ(bus.channeler, channeler);
  EXPECT_TRUE(publishUntilSeen(restartedAt)) << "nothing arrived after the restart";
  bus.proc->signal(SIGINT);
  EXPECT_EQ(bus.proc->wait(kWaitMs), 0) << "nembad on SIGINT";
}

TEST(NliteTool, PublishesAndPrintsJsonLines) {
  Bus bus = startBus();
  ASSERT_GT(bus.broadcaster, 0);
  auto sub = Child::start({programPath("nlite"), "sub", "--broadcaster-port",
                           std::to_string(bus.broadcaster), "--count", "4", "--timeout", "30",
                           "--ready", "Cli", "Other"});
  ASSERT_TRUE(sub);
  std::string err;
  for (const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
       err.find("nlite: ready\n") == std::string::npos && Clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(10)))
    err += sub->drainStderr();
  ASSERT_NE(err.find("nlite: ready\n"), std::string::npos);

  const std::string channeler = std::to_string(bus.channeler);
  auto one = Child::start({programPath("nlite"), "pub", "--channeler-port", channeler, "--app",
                           "tester", "--kind", "7", "Cli", "say \"hi\"\xff"});
  ASSERT_TRUE(one);
  EXPECT_EQ(one->wait(kWaitMs), 0);
  auto lines = Child::start(
      {programPath("nlite"), "pub", "--channeler-port", channeler, "--app", "", "Other", "-"});
  ASSERT_TRUE(lines);
  lines->writeStdin("one\ntwo\nthree\n");
  lines->closeStdin();
  EXPECT_EQ(lines->wait(kWaitMs), 0);

  ASSERT_EQ(sub->wait(kWaitMs), 0);
  EXPECT_EQ(
      sub->readRemainingLines(1000),
      (std::vector<std::string>{R"({"topic":"Cli","app":"tester","kind":7,"payload":"say \"hi\")"
                                "\xEF\xBF\xBD\"}",
                                R"({"topic":"Other","app":null,"kind":2,"payload":"one"})",
                                R"({"topic":"Other","app":null,"kind":2,"payload":"two"})",
                                R"({"topic":"Other","app":null,"kind":2,"payload":"three"})"}));
}
