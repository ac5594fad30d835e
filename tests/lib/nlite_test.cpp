// The bus client library against a real nembad on ephemeral loopback ports:
// exact topics, whole messages, the payload bound, queueing, restarts.
#include "nlite.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "child.h"

namespace {

using namespace testsupport;
constexpr int kWaitMs = 10000;

// nembad on the given ports (0: ephemeral ones) and the ports it bound.
struct Bus {
  explicit Bus(int ch = 0, int br = 0)
      : proc(Child::start({programPath("nembad"), "--channeler-port", std::to_string(ch),
                           "--broadcaster-port", std::to_string(br)})) {
    auto line = proc->waitForLine("nembad: channeler", kWaitMs).value_or("");
    std::sscanf(line.c_str(), "nembad: channeler 127.0.0.1:%d broadcaster 127.0.0.1:%d", &ch, &br);
    channeler = ch, broadcaster = br;
  }
  std::unique_ptr<Child> proc;
  int channeler, broadcaster;
};

// The next message as "topic|app|kind|payload", or "none" after kWaitMs.
std::string next(nlite::Client& c) {
  for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
       std::chrono::steady_clock::now() < end; c.waitReadable(50))
    if (nlite::Message* m = c.receive())
      return std::string(m->topic()) + "|" + (m->appId() ? m->appId() : "-") + "|" +
             std::to_string(m->kind()) + "|" + std::string(m->buffer(), m->bufferSize());
  return "none";
}

TEST(Nlite, WholeMessagesOnExactTopicsUpToThePayloadBound) {
  Bus bus;
  const char* topics[] = {"TransGlam"};
  nlite::Client sub("receiver", bus.channeler, bus.broadcaster, topics, 1);
  nlite::Client pub("MetaGlam", bus.channeler, bus.broadcaster, nullptr, 0);
  ASSERT_TRUE(sub.waitConnected(kWaitMs) && pub.waitConnected(kWaitMs));
  const std::string bytes("a\0b\xff\0", 5), big(nlite::kMaxPayload + 1, 'z');
  EXPECT_EQ(pub.send("x", 1, 2, "TransGlamX", nullptr), 0);  // not subscribed
  EXPECT_EQ(pub.send(bytes.data(), 5, -5, "TransGlam", nullptr), 0);
  EXPECT_EQ(next(sub), "TransGlam|MetaGlam|-5|" + bytes);
  EXPECT_NE(pub.send(big.data(), nlite::kMaxPayload + 1, 2, "TransGlam", nullptr), 0);
  EXPECT_EQ(pub.send(big.data(), nlite::kMaxPayload, 2, "TransGlam", nullptr), 0);
  EXPECT_EQ(next(sub), "TransGlam|MetaGlam|2|" + big.substr(1));
}

TEST(Nlite, QueuesWhileTheBusDaemonIsDownAndCarriesOnAcrossItsRestart) {
  Bus bus;
  const int ch = bus.channeler, br = bus.broadcaster;
  bus.proc->signal(SIGTERM);
  ASSERT_EQ(bus.proc->wait(kWaitMs), 0) << "nembad on SIGTERM";
  // A child publishes while the bus daemon is down and stops, so the
  // subscriber below surely subscribes before the publication can arrive.
  // (This process holds no client while it forks.)
  const pid_t pid = ::fork();
  if (pid == 0) {
    auto early = std::make_unique<nlite::Client>("early", ch, br, nullptr, 0);
    early->setLinger(kWaitMs);
    const int rc = early->send("sent while down", 15, 2, "Seq", nullptr);
    ::raise(SIGSTOP);
    early.reset();  // lets the publication drain
    ::_exit(rc);
  }
  int status = 0;
  ASSERT_TRUE(::waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status));
  bus = Bus(ch, br);
  const char* topics[] = {"Seq"};
  nlite::Client sub("receiver", 0, br, topics, 1), pub("sender", ch, 0, nullptr, 0);
  ASSERT_TRUE(sub.waitConnected(kWaitMs) && pub.waitConnected(kWaitMs));
  ::kill(pid, SIGCONT);
  EXPECT_EQ(next(sub), "Seq|early|2|sent while down");
  EXPECT_TRUE(::waitpid(pid, &status, 0) == pid && status == 0);
  EXPECT_EQ(pub.send("before", 6, 2, "Seq", nullptr), 0);
  EXPECT_EQ(next(sub), "Seq|sender|2|before");
  bus.proc->signal(SIGINT);
  EXPECT_EQ(bus.proc->wait(kWaitMs), 0) << "nembad on SIGINT";
  bus = Bus(ch, br);
  // Publishes until one arrives: those sent while the clients reconnect may be lost.
  bool arrived = false;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
       !arrived && std::chrono::steady_clock::now() < end; arrived = sub.receive() != nullptr) {
    EXPECT_EQ(pub.send("after", 5, 2, "Seq", nullptr), 0);
    sub.waitReadable(20);
  }
  EXPECT_TRUE(arrived) << "nothing arrived after the restart";
}

}  // namespace
