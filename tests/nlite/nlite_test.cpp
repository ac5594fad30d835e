// The bus client library, the bus daemon and the nlite tool, tested against
// a real nembad on loopback ports.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "child.h"
#include "nlite.h"

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
  if (!bus.proc) return bus;
  auto line = bus.proc->waitForLine("nembad: channeler", kWaitMs);
  if (line) std::sscanf(line->c_str(), "nembad: channeler 127.0.0.1:%d broadcaster 127.0.0.1:%d",
                        &bus.channeler, &bus.broadcaster);
  return bus;
}

// The next message within kWaitMs, or null.
nlite::Message* next(nlite::Client& c) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  while (Clock::now() < deadline) {
    if (nlite::Message* m = c.receive()) return m;
    c.waitReadable(50);
  }
  return nullptr;
}

std::string payload(const nlite::Message& m) { return std::string(m.buffer(), m.bufferSize()); }

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
  ASSERT_TRUE(sub.waitConnected(kWaitMs));
  ASSERT_TRUE(pub.waitConnected(kWaitMs));
  ASSERT_TRUE(anonymous.waitConnected(kWaitMs));
  EXPECT_EQ(sub.receive(), nullptr);  // idle: returns at once with nothing

  const std::string bytes("a\0b\xff\0", 5);
  EXPECT_EQ(pub.send("x", 1, 2, "TransGlamX", nullptr), 0);
  EXPECT_EQ(pub.send("x", 1, 2, "Trans", nullptr), 0);
  EXPECT_EQ(pub.send(bytes.data(), 5, -5, "TransGlam", remember), 0);
  EXPECT_EQ(gCallbackBuffer, bytes.data());

  nlite::Message* m = next(sub);
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(m->topic(), "TransGlam");
  ASSERT_NE(m->appId(), nullptr);
  EXPECT_STREQ(m->appId(), "MetaGlam");
  EXPECT_EQ(m->kind(), -5);
  EXPECT_EQ(payload(*m), bytes);
  // Order holds per sender only, so the second sender goes after; it is
  // used from another thread than its constructor's, as the translator does.
  std::thread([&] { EXPECT_EQ(anonymous.send("{}", 2, 2, "TransGlam", nullptr), 0); }).join();
  m = next(sub);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->appId(), nullptr);
  EXPECT_EQ(payload(*m), "{}");

  // Bounds: the largest payload passes, one byte more is refused, as is a
  // null topic; the callback is called either way.
  std::string big(nlite::kMaxPayload + 1, 'z');
  gCallbackBuffer = nullptr;
  EXPECT_NE(pub.send(big.data(), nlite::kMaxPayload + 1, 2, "TransGlam", remember), 0);
  EXPECT_EQ(gCallbackBuffer, big.data());
  EXPECT_NE(pub.send("x", 1, 2, nullptr, nullptr), 0);
  EXPECT_EQ(pub.send(big.data(), nlite::kMaxPayload, 2, "TransGlam", nullptr), 0);
  m = next(sub);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->bufferSize(), nlite::kMaxPayload);
  EXPECT_EQ(sub.receive(), nullptr);
}

TEST(NliteClient, DropsMalformedMessagesFromOtherSenders) {
  Bus bus = startBus();
  ASSERT_GT(bus.broadcaster, 0);
  const char* topics[] = {"T"};
  nlite::Client sub("receiver", 0, bus.broadcaster, topics, 1);
  ASSERT_TRUE(sub.waitConnected(kWaitMs));
  void* ctx = zmq_ctx_new();
  void* raw = zmq_socket(ctx, ZMQ_PUSH);
  ASSERT_EQ(zmq_connect(raw, ("tcp://127.0.0.1:" + std::to_string(bus.channeler)).c_str()), 0);
  auto sendFrames = [&](std::initializer_list<std::string> frames) {
    size_t i = 0;
    for (const std::string& f : frames)
      zmq_send(raw, f.data(), f.size(), ++i < frames.size() ? ZMQ_SNDMORE : 0);
  };
  const std::string kind2("\0\0\0\2", 4);
  sendFrames({"T", "app", kind2});                          // three frames
  sendFrames({"T", "app", kind2, "p", "extra"});            // five frames
  sendFrames({"T", "app", std::string("\0\0\2", 3), "p"});  // short kind
  sendFrames({"T", "app", kind2, std::string(nlite::kMaxPayload + 1, 'o')});
  sendFrames({"T", "", std::string("\xff\xff\xff\xfe", 4), "good"});
  nlite::Message* m = next(sub);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(payload(*m), "good");
  EXPECT_EQ(m->kind(), -2);
  EXPECT_EQ(m->appId(), nullptr);
  int zero = 0;
  zmq_setsockopt(raw, ZMQ_LINGER, &zero, sizeof zero);
  zmq_close(raw);
  zmq_ctx_term(ctx);
}

TEST(NliteClient, QueuesWhileTheBusDaemonIsDown) {
  const int channeler = freeTcpPort(), broadcaster = freeTcpPort();
  {
    // With nothing listening the queue holds exactly its bound.
    nlite::Client lonely("lonely", channeler, broadcaster, nullptr, 0);
    lonely.setLinger(0);
    int queued = 0;
    while (queued <= nlite::kSendQueueBound && lonely.send("q", 1, 2, "Q", nullptr) == 0) ++queued;
    EXPECT_EQ(queued, nlite::kSendQueueBound);
  }
  // The publisher runs in a child stopped right after sending, so the
  // subscriber below is surely subscribed before the message can arrive.
  pid_t pid = ::fork();
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
  nlite::Message* m = next(sub);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(payload(*m), "sent before");
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
  ASSERT_TRUE(sub.waitConnected(kWaitMs));
  ASSERT_TRUE(pub.waitConnected(kWaitMs));
  int seq = 0;
  // Publishes numbered messages until one numbered from `first` on arrives.
  auto publishUntilSeen = [&](int first) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (Clock::now() < deadline) {
      const std::string text = std::to_string(seq++);
      EXPECT_EQ(pub.send(text.data(), static_cast<unsigned>(text.size()), 2, "Seq", nullptr), 0);
      while (nlite::Message* m = sub.receive())
        if (std::stoi(payload(*m)) >= first) return true;
      sub.waitReadable(20);
    }
    return false;
  };
  ASSERT_TRUE(publishUntilSeen(0));

  bus.proc->signal(SIGTERM);
  EXPECT_EQ(bus.proc->wait(kWaitMs), 0);
  const int restartedAt = seq;
  bus = startBus(channeler, broadcaster);
  ASSERT_EQ(bus.channeler, channeler);
  EXPECT_TRUE(publishUntilSeen(restartedAt));
  bus.proc->signal(SIGINT);
  EXPECT_EQ(bus.proc->wait(kWaitMs), 0);
}

TEST(NliteTool, PublishesAndPrintsJsonLines) {
  Bus bus = startBus();
  ASSERT_GT(bus.broadcaster, 0);
  auto sub = Child::start({programPath("nlite"), "sub", "--broadcaster-port",
                           std::to_string(bus.broadcaster), "--count", "4", "--timeout", "30",
                           "--ready", "Cli", "Other"});
  ASSERT_TRUE(sub);
  std::string err;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  while (err.find("nlite: ready\n") == std::string::npos && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    err += sub->drainStderr();
  }
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
  auto out = sub->readRemainingLines(1000);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].rfind("{\"topic\":\"Cli\",\"app\":\"tester\",\"kind\":7,\"payload\":", 0), 0u);
  const char* expected[][3] = {{"Cli", "tester", "say \"hi\"\xEF\xBF\xBD"},
                               {"Other", nullptr, "one"},
                               {"Other", nullptr, "two"},
                               {"Other", nullptr, "three"}};
  for (size_t i = 0; i < out.size(); ++i) {
    json_error_t error;
    json_t* doc = json_loads(out[i].c_str(), 0, &error);
    ASSERT_NE(doc, nullptr) << out[i];
    EXPECT_EQ(json_object_size(doc), 4u);
    EXPECT_STREQ(json_string_value(json_object_get(doc, "topic")), expected[i][0]);
    json_t* app = json_object_get(doc, "app");
    if (expected[i][1])
      EXPECT_STREQ(json_string_value(app), expected[i][1]);
    else
      EXPECT_TRUE(json_is_null(app));
    EXPECT_TRUE(json_is_integer(json_object_get(doc, "kind")));
    EXPECT_STREQ(json_string_value(json_object_get(doc, "payload")), expected[i][2]);
    json_decref(doc);
  }
  bus.proc->signal(SIGINT);
  EXPECT_EQ(bus.proc->wait(kWaitMs), 0);
}

TEST(NliteTool, ReportsUnreachableBusAndBadArguments) {
  auto run = [](std::vector<std::string> argv) {
    argv[0] = programPath(argv[0]);
    auto c = Child::start(argv);
    return c ? c->wait(kWaitMs) : std::nullopt;
  };
  const std::string unused = std::to_string(freeTcpPort());
  EXPECT_EQ(run({"nlite", "pub", "--channeler-port", unused, "--timeout", "0.5", "T", "x"}), 1);
  EXPECT_EQ(run({"nlite", "pub", "--kind", "2x", "T", "x"}), 2);
  EXPECT_EQ(run({"nlite", "pub", "T"}), 2);
  EXPECT_EQ(run({"nlite", "sub", "--count", "-1", "T"}), 2);
  EXPECT_EQ(run({"nlite", "sub", "--help"}), 0);
  EXPECT_EQ(run({"nembad", "--channeler-port", "65536"}), 2);
  EXPECT_EQ(run({"nembad", "--broadcaster-port", ""}), 2);
  EXPECT_EQ(run({"nembad", "--help"}), 0);

  // The configuration file gives the ports; a port in use fails the bind.
  const int c = freeTcpPort(), b = freeTcpPort();
  const std::string conf = ::testing::TempDir() + "nembad-test.conf";
  std::ofstream(conf) << "# bus\nnemba.channeler.port=" << c << "\nnemba.broadcaster.port=" << b
                      << "\n";
  auto bus = Child::start({programPath("nembad"), "--conf", conf});
  ASSERT_TRUE(bus);
  EXPECT_EQ(bus->waitForLine("nembad:", kWaitMs),
            "nembad: channeler 127.0.0.1:" + std::to_string(c) + " broadcaster 127.0.0.1:" +
                std::to_string(b));
  EXPECT_EQ(run({"nembad", "--conf", conf}), 1);
  std::remove(conf.c_str());
}
