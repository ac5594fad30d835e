// The link to the key daemon: the event pump (order, every registration, the
// bound that holds the poster back) and the mini client against a real UDP
// peer on loopback (keep-alives, queue order and bound, segments, received
// datagrams good and bad, refused reads).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "cMiniClient.h"
#include "kmsg_json.h"
#include "udp_peer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using Bytes = testsupport::UdpPeer::Bytes;
using Pump = cMiniClient::cEventPump;
constexpr int kWaitMs = 10000;
const std::string kPing = R"({"id":1,"tags":[{"id":0,"type":"u32","value":0}]})";

// A datagram as keyd-sim prints it, without the sequence byte.
std::string text(const std::optional<Bytes>& d) {
  static const std::regex seq("\"seq\":[0-9]+,");
  return d ? std::regex_replace(kmsgjson::datagramToJson(d->data(), d->size()), seq, "") : "none";
}
// A new message from its text (the sequence byte is the codec's next).
KMsg* message(const std::string& line) {
  const Bytes d = kmsgjson::datagramOf(line);
  return KMsg::parseMsg(d.data(), static_cast<unsigned short>(d.size()));
}
KMsg* numbered(unsigned n) {
  return message(R"({"id":0,"tags":[{"id":0,"type":"u32","value":)" + std::to_string(n) + "}]}");
}

// What the listeners saw, as "<listener><first tag's u32 value>", in order.
class Seen {
 public:
  void add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mMutex);
    mEntries.push_back(entry);
    mCond.notify_all();
  }
  // The entries once there are n, or those there are after kWaitMs.
  Lines wait(size_t n) {
    std::unique_lock<std::mutex> lock(mMutex);
    mCond.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return mEntries.size() >= n; });
    return mEntries;
  }

 private:
  std::mutex mMutex;
  std::condition_variable mCond;
  Lines mEntries;
};

// Records each message in `seen`, then waits at the gate when it has one.
struct Listener : cObjectListener {
  Listener(Seen& s, std::string n, std::shared_future<void> g = {}) : seen(s), name(n), gate(g) {}
  void onMessage(KMsg* msg) override {
    const auto* sn = ktag_cast<KTagUInt32>(msg->tags().at(0).get());
    seen.add(name + (sn ? std::to_string(sn->getValue()) : "?"));
    if (gate.valid()) gate.wait();
  }
  Seen& seen;
  const std::string name;
  const std::shared_future<void> gate;
};

TEST(EventPumpTest, EachMessageReachesEveryRegistrationInOrder) {
  Seen seen;
  Pump pump;
  Listener a(seen, "a"), b(seen, "b"), c(seen, "c");
  for (auto* l : {&a, &b, &a}) pump.addListener(l);  // a twice: called twice
  pump.postEvent(numbered(1));
  pump.postEvent(numbered(2));
  EXPECT_EQ(seen.wait(6), (Lines{"a1", "b1", "a1", "a2", "b2", "a2"}));
  pump.removeListener(&c);  // never registered: nothing changes
  pump.addListener(&c);
  pump.removeListener(&a);  // every registration of it
  pump.postEvent(numbered(3));
  EXPECT_EQ(seen.wait(8), (Lines{"a1", "b1", "a1", "a2", "b2", "a2", "b3", "c3"}));
}

TEST(EventPumpTest, AFullQueueHoldsThePosterBackUntilThereIsRoom) {
  Seen seen;
  Pump pump;
  std::promise<void> open;
  Listener held(seen, "", open.get_future().share());
  pump.addListener(&held);
  pump.postEvent(numbered(0));
  ASSERT_EQ(seen.wait(1).size(), 1u) << "the pump holds message 0";
  const unsigned total = Pump::kQueueBound + 2;
  std::thread poster([&] {
    for (unsigned i = 1; i <= total; ++i) pump.postEvent(numbered(i));
  });
  for (auto end = Clock::now() + 10s; pump.fullCount() == 0 && Clock::now() < end;)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(pump.queued(), Pump::kQueueBound) << "when the poster is first held back";
  open.set_value();
  poster.join();
  const Lines all = seen.wait(total + 1);
  ASSERT_EQ(all.size(), total + 1);
  for (unsigned i = 0; i <= total; ++i) ASSERT_EQ(all[i], std::to_string(i));
}

TEST(MiniClientTest, PingFirstThenQueuedMessagesInOrderInSegmentsOfAtMost1024Bytes) {
  testsupport::UdpPeer peer;
  cMiniClient client;
  const std::string one = R"({"id":1,"tags":[{"id":12,"type":"u8","value":1}]})",
                    two = R"({"id":1,"tags":[{"id":12,"type":"u8","value":2}]})";
  EXPECT_EQ(client.sendNoReply(message(one)), nullptr);  // queued before the connect
  client.sendNoReply(message(two));
  ASSERT_EQ(client.connectServer("127.0.0.1", peer.port()), 1);
  for (const std::string& expected : {kPing, one, two}) EXPECT_EQ(text(peer.receive(kWaitMs)), expected);
  auto* big = new KMsg(MSG_REQ);
  const unsigned char rf[5] = {0, 1, 2, 3, 4};
  for (int i = 0; i < 300; ++i) big->addTag(KTagFactory::createKTag(TAG_LOCK_TAG, rf, 5));
  client.sendNoReply(big);
  for (int tags = 0; tags < 300;) {
    auto d = peer.receive(kWaitMs);
    ASSERT_TRUE(d && d->size() <= 1024);
    std::unique_ptr<KMsg> segment(KMsg::parseMsg(d->data(), static_cast<unsigned short>(d->size())));
    ASSERT_TRUE(segment) << "a segment parses by itself";
    tags += segment->mTagCount;
  }
}

TEST(MiniClientTest, KeepAlivesComeAfterTenIdleSecondsAndRequestsDoNotWaitForThem) {
  testsupport::UdpPeer peer;
  cMiniClient client;
  ASSERT_EQ(client.connectServer("127.0.0.1", peer.port()), 1);
  ASSERT_EQ(text(peer.receive(kWaitMs)), kPing);
  const auto first = Clock::now();
  ASSERT_EQ(text(peer.receive(20000)), kPing) << "no keep-alive after 10 idle seconds";
  // The wait for 10 s cannot end early; 0.5 s is for the receive side.
  EXPECT_GE(Clock::now() - first, 9500ms) << "a keep-alive before 10 idle seconds";
  const std::string request = R"({"id":1,"tags":[{"id":12,"type":"u8","value":3}]})";
  const auto queued = Clock::now();
  client.sendNoReply(message(request));
  EXPECT_EQ(text(peer.receive(kWaitMs)), request);
  EXPECT_LT(Clock::now() - queued, 5s) << "the request waited for the keep-alive period";
}

TEST(MiniClientTest, OnlyGoodDatagramsOfAtMost2048BytesArePostedAndTheQueueIsBounded) {
  Seen seen;
  Listener listener(seen, "");
  testsupport::UdpPeer peer;
  cMiniClient client;
  client.addListener(&listener);
  ASSERT_EQ(client.connectServer("127.0.0.1", peer.port()), 1);
  ASSERT_TRUE(peer.receive(kWaitMs));  // the ping tells the peer where the client is
  auto of2048 = [](unsigned n) {  // a message of exactly 2048 bytes
    KMsg m(MSG_EVT);
    m.addTag(KTagFactory::createKTag(TAG_KEY_SN, n));
    m.addTag(KTagFactory::createKTag(100, Bytes(1016).data(), 1016));
    m.addTag(KTagFactory::createKTag(101, Bytes(1012).data(), 1012));
    Bytes d(2048);
    EXPECT_EQ(m.getMsg(d.data(), 2048), 2048);
    return d;
  };
  Bytes longer = of2048(1);
  longer.push_back(0);  // 2049 bytes, of which the first 2048 are a message
  for (const Bytes& d : {Bytes{}, Bytes{0xde, 0xad, 0xbe, 0xef, 0x01}, longer, of2048(2)})
    ASSERT_TRUE(peer.reply(d));
  EXPECT_EQ(seen.wait(1), Lines{"2"});

  cMiniClient unconnected;
  EXPECT_EQ(unconnected.connectServer("", 5555), 0);
  for (size_t i = 0; i < cMiniClient::kTxQueueBound + 5; ++i) unconnected.sendNoReply(numbered(i));
  EXPECT_EQ(unconnected.queued(), cMiniClient::kTxQueueBound);
}

TEST(MiniClientTest, AReadRefusedByAnAbsentPeerIsLoggedAndTheNextReadFollows) {
  const std::string log = testing::TempDir() + "keyd-link-" + std::to_string(::getpid()) + ".log";
  std::ofstream(log + ".conf") << "log4cpp.rootCategory=DEBUG, f\nlog4cpp.appender.f=FileAppender\n"
                               << "log4cpp.appender.f.fileName=" << log << "\n"
                               << "log4cpp.appender.f.layout=PatternLayout\n"
                               << "log4cpp.appender.f.layout.ConversionPattern=%c|%m%n\n";
  ASSERT_TRUE(cKlog::init((log + ".conf").c_str()));
  auto logged = [&](const std::string& line, int times) {  // within kWaitMs
    for (auto end = Clock::now() + 10s; Clock::now() < end; std::this_thread::sleep_for(10ms)) {
      std::ifstream in(log);
      int n = 0;
      for (std::string l; std::getline(in, l);) n += l == line;
      if (n >= times) return true;
    }
    return false;
  };
  cMiniClient client;
  ASSERT_EQ(client.connectServer("127.0.0.1", testsupport::UdpPeer().port()), 1);
  ASSERT_TRUE(logged("cMiniClient|Socket Read Error -1", 1)) << "the ping is refused";
  client.sendNoReply(numbered(1));
  EXPECT_TRUE(logged("cMiniClient|Socket Read Error -1", 2)) << "and so is the next message";
  std::remove(log.c_str());
  std::remove((log + ".conf").c_str());
}

}  // namespace
