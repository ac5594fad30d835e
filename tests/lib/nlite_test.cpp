// The bus client library against a real nembad on ephemeral loopback ports:
// exact topics, whole messages, the payload bound, publications queued while
// the bus daemon is down, and clients that carry on across its restart.
#include "nlite.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "child.h"

namespace {

using namespace testsupport;
constexpr int kWaitMs = 10000;

// nembad on the given ports (0: ephemeral ones), and the ports it bound.
struct Bus {
  explicit Bus(int channelerPort = 0, int broadcasterPort = 0)
      : proc(Child::start({programPath("nembad"), "--channeler-port",
                           std::to_string(channelerPort), "--broadcaster-port",
                           std::to_string(broadcasterPort)})) {
    auto line = proc ? proc->waitForLine("nembad: channeler", kWaitMs) : std::nullopt;
    if (line)
      std::sscanf(line->c_str(), "nembad: channeler 127.0.0.1:%d broadcaster 127.0.0.1:%d",
                  &channeler, &broadcaster);
  }
  // Its exit status after the signal.
  int stop(int sig) {
    proc->signal(sig);
    return proc->wait(kWaitMs).value_or(-1);
  }
  std::unique_ptr<Child> proc;
  int channeler = 0, broadcaster = 0;
};

// The next message as "topic|app|kind|payload", or "none" after kWaitMs.
std::string next(nlite::Client& c) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  for (; std::chrono::steady_clock::now() < deadline; c.waitReadable(50))
    if (nlite::Message* m = c.receive())
      return std::string(m->topic()) + "|" + (m->appId() ? m->appId() : "-") + "|" +
             std::to_string(m->kind()) + "|" + std::string(m->buffer(), m->bufferSize());
  return "none";
}

const char* gReleased = nullptr;
void release(const char* buffer) { gReleased = buffer; }

TEST(Nlite, WholeMessagesOnExactTopicsUpToThePayloadBound) {
  Bus bus;
  ASSERT_GT(bus.broadcaster, 0);
  const char* topics[] = {"TransGlam"};
  nlite::Client sub("receiver", bus.channeler, bus.broadcaster, topics, 1);
  nlite::Client pub("MetaGlam", bus.channeler, bus.broadcaster, nullptr, 0);
  nlite::Client anonymous(nullptr, bus.channeler, bus.broadcaster, nullptr, 0);
  for (auto* c : {&sub, &pub, &anonymous}) ASSERT_TRUE(c->waitConnected(kWaitMs));
  const std::string bytes("a\0b\xff\0", 5);
  EXPECT_EQ(pub.send("x", 1, 2, "TransGlamX", nullptr), 0);  // not subscribed
  EXPECT_EQ(pub.send(bytes.data(), 5, -5, "TransGlam", nullptr), 0);
  EXPECT_EQ(next(sub), "TransGlam|MetaGlam|-5|" + bytes);
  // Another sender (order holds per sender), used from another thread.
  std::thread([&] { EXPECT_EQ(anonymous.send("{}", 2, 2, "TransGlam", nullptr), 0); }).join();
  EXPECT_EQ(next(sub), "TransGlam|-|2|{}");
  const std::string big(nlite::kMaxPayload + 1, 'z');
  EXPECT_NE(pub.send(big.data(), nlite::kMaxPayload + 1, 2, "TransGlam", release), 0);
  EXPECT_EQ(gReleased, big.data()) << "the callback is called on a refusal too";
  EXPECT_EQ(pub.send(big.data(), nlite::kMaxPayload, 2, "TransGlam", nullptr), 0);
  EXPECT_EQ(next(sub), "TransGlam|MetaGlam|2|" + big.substr(1));
}

TEST(Nlite, QueuesWhileTheBusDaemonIsDownAndCarriesOnAcrossItsRestart) {
  Bus first;
  ASSERT_GT(first.broadcaster, 0);
  const int ch = first.channeler, br = first.broadcaster;
  EXPECT_EQ(first.stop(SIGTERM), 0) << "nembad on SIGTERM";
  {  // publications wait up to the bound
    nlite::Client lonely("lonely", ch, br, nullptr, 0);
    lonely.setLinger(0);
    int queued = 0;
    while (queued <= nlite::kSendQueueBound && lonely.send("q", 1, 2, "Q", nullptr) == 0) ++queued;
    EXPECT_EQ(queued, nlite::kSendQueueBound);
  }
  // A child publishes while the bus daemon is down and stops: the subscriber
  // below surely subscribes before the publication can arrive. (This process
  // holds no client while it forks.)
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int rc;
    {  // its destruction waits for the publication to drain
      nlite::Client early("early", ch, br, nullptr, 0);
      early.setLinger(kWaitMs);
      rc = early.send("sent while down", 15, 2, "Seq", nullptr);
      ::raise(SIGSTOP);
    }
    ::_exit(rc == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, WUNTRACED), pid);
  ASSERT_TRUE(WIFSTOPPED(status));
  Bus bus(ch, br);
  ASSERT_EQ(bus.broadcaster, br);
  const char* topics[] = {"Seq"};
  nlite::Client sub("receiver", 0, br, topics, 1);
  nlite::Client pub("sender", ch, 0, nullptr, 0);
  ASSERT_TRUE(sub.waitConnected(kWaitMs) && pub.waitConnected(kWaitMs));
  ::kill(pid, SIGCONT);
  EXPECT_EQ(next(sub), "Seq|early|2|sent while down");
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);
  // Publishes numbered messages until one numbered `from` or later arrives
  // (the ones sent while the clients reconnect may be lost).
  int seq = 0;
  auto arrives = [&](int from) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (; std::chrono::steady_clock::now() < deadline; sub.waitReadable(20)) {
      const std::string text = std::to_string(seq++);
      EXPECT_EQ(pub.send(text.data(), static_cast<unsigned>(text.size()), 2, "Seq", nullptr), 0);
      while (nlite::Message* m = sub.receive())
        if (std::stoi(std::string(m->buffer(), m->bufferSize())) >= from) return true;
    }
    return false;
  };
  ASSERT_TRUE(arrives(0));
  EXPECT_EQ(bus.stop(SIGINT), 0) << "nembad on SIGINT";
  Bus again(ch, br);
  ASSERT_EQ(again.channeler, ch);
  EXPECT_TRUE(arrives(seq)) << "nothing arrived after the restart";
}

}  // namespace
