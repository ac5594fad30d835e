// The mini client against a real UDP peer on loopback: the keep-alive ping,
// queue order, segmentation, received datagrams good and bad, refusals, and
// a client that never connected.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cMiniClient.h"
#include "kmsg.h"
#include "logcapture.h"
#include "udp_peer.h"

namespace {

using namespace std::chrono_literals;
using Bytes = testsupport::UdpPeer::Bytes;

std::unique_ptr<KMsg> parse(const std::optional<Bytes>& d) {
  return std::unique_ptr<KMsg>(d ? KMsg::parseMsg(d->data(), static_cast<unsigned short>(d->size()))
                                 : nullptr);
}

// The keep-alive ping: a request holding only the key serial number 0.
bool isPing(const std::optional<Bytes>& d) {
  auto m = parse(d);
  auto* sn =
      m && m->mId == MSG_REQ && m->mTagCount == 1 ? ktag_cast<KTagUInt32>(m->getTag()) : nullptr;
  return sn && sn->mId == TAG_KEY_SN && sn->getValue() == 0;
}

KMsg* battery(unsigned char value) {
  auto* m = new KMsg(MSG_REQ);
  m->addTag(KTagFactory::createKTag(TAG_KEY_BATTERY, value));
  return m;
}

class MiniClientTest : public ::testing::Test {
 protected:
  testsupport::LogCapture capture;
  testsupport::UdpPeer peer;
  cMiniClient client;
};

TEST_F(MiniClientTest, OnePingFirstThenQueuedMessagesInOrder) {
  EXPECT_EQ(client.sendNoReply(battery(1)), nullptr);  // queued before the connect
  client.sendNoReply(battery(2));
  ASSERT_EQ(client.connectServer("127.0.0.1", peer.port()), 1);
  EXPECT_TRUE(isPing(peer.receive(2000)));
  for (unsigned char expected : {1, 2}) {
    auto m = parse(peer.receive(2000));
    ASSERT_TRUE(m);
    auto* tag = ktag_cast<KTagUInt8>(m->getTag());
    ASSERT_TRUE(tag && tag->mId == TAG_KEY_BATTERY);
    EXPECT_EQ(tag->getValue(), expected);
  }
  EXPECT_FALSE(peer.receive(300)) << "a second ping or a duplicate went out";
}

TEST_F(MiniClientTest, ALargeMessageLeavesAsSegmentsOfAtMost1024Bytes) {
  ASSERT_EQ(client.connectServer("127.0.0.1", peer.port()), 1);
  ASSERT_TRUE(isPing(peer.receive(2000)));
  auto* big = new KMsg(MSG_REQ);
  const unsigned char rf[5] = {0, 1, 2, 3, 4};
  for (int i = 0; i < 300; ++i) big->addTag(KTagFactory::createKTag(TAG_LOCK_TAG, rf, 5));
  client.sendNoReply(big);
  std::vector<std::string> expectedLog;
  int tags = 0;
  while (auto d = peer.receive(1000)) {
    EXPECT_LE(d->size(), 1024u);
    auto m = parse(d);
    ASSERT_TRUE(m) << "a segment must parse by itself";
    tags += m->mTagCount;
    expectedLog.push_back("Transmit " + std::to_string(d->size()) + " of " +
                          std::to_string(d->size()) + " bytes");
  }
  EXPECT_EQ(tags, 300);
  EXPECT_GT(expectedLog.size(), 1u);
  std::vector<std::string> transmitted;
  for (const auto& l : capture.messages("cMiniClient"))
    if (l.rfind("Transmit ", 0) == 0 && l.find(" of ") != std::string::npos)
      transmitted.push_back(l);
  EXPECT_EQ(transmitted, expectedLog);
}

TEST_F(MiniClientTest, PingsOnlyAfterTenIdleSeconds) {
  ASSERT_EQ(client.connectServer("127.0.0.1", peer.port()), 1);
  ASSERT_TRUE(isPing(peer.receive(2000)));
  // A message every 3 s for 12 s: none of the datagrams is a ping.
  for (const auto busyUntil = std::chrono::steady_clock::now() + 12s;
       std::chrono::steady_clock::now() < busyUntil; std::this_thread::sleep_for(1s)) {
    client.sendNoReply(battery(5));
    auto d = peer.receive(2000);
    ASSERT_TRUE(d);
    EXPECT_FALSE(isPing(d));
  }
  EXPECT_TRUE(isPing(peer.receive(12000))) << "no ping after 10 idle seconds";
}

TEST_F(MiniClientTest, ReceivedDatagramsGoodEmptyBadAndRefused) {
  struct : cObjectListener {  // keeps the id of the first message posted
    void onMessage(KMsg* msg) override {
      int none = -1;
      firstId.compare_exchange_strong(none, msg->mId);
    }
    std::atomic<int> firstId{-1};
  } listener;
  client.addListener(&listener);
  ASSERT_EQ(client.connectServer("127.0.0.1", peer.port()), 1);
  ASSERT_TRUE(peer.receive(2000));  // learns the client's address from the ping
  ASSERT_TRUE(peer.reply({}));
  ASSERT_TRUE(capture.waitFor("cMiniClient|Socket Read Error 0", 1, 2s));
  ASSERT_TRUE(peer.reply({0xde, 0xad, 0xbe, 0xef, 0x01}));
  ASSERT_TRUE(peer.reply({MSG_EVT, 0, 0, 1, TAG_KEY_BATTERY, KTYPE_UINT8, 0, 1, 9}));
  for (int i = 0; i < 200 && listener.firstId == -1; ++i) std::this_thread::sleep_for(10ms);
  client.removeListener(&listener);
  EXPECT_EQ(listener.firstId, MSG_EVT) << "the empty or the junk datagram was posted";

  // Nothing listens on the port: the refusal of the ping is a failed read,
  // and the receive thread carries on.
  const int closedPort = testsupport::UdpPeer().port();
  cMiniClient refused;
  ASSERT_EQ(refused.connectServer("127.0.0.1", closedPort), 1);
  ASSERT_TRUE(capture.waitFor("cMiniClient|Socket Read Error -1", 1, 3s));
  refused.sendNoReply(battery(3));
  EXPECT_TRUE(capture.waitFor("cMiniClient|Socket Read Error -1", 2, 3s));
}

TEST_F(MiniClientTest, AFailedConnectStillQueuesAndTheQueueIsBounded) {
  EXPECT_EQ(client.connectServer("", 5555), 0);
  // Broadcast without SO_BROADCAST: the connect itself is refused.
  EXPECT_EQ(client.connectServer("255.255.255.255", 5555), 0);
  EXPECT_EQ(capture.count("cMiniClient|Could not connect the socket"), 2);
  EXPECT_EQ(client.sendNoReply(battery(1)), nullptr);
  EXPECT_EQ(client.queued(), 1u);
  for (size_t i = 0; i < cMiniClient::kTxQueueBound + 5; ++i) client.sendNoReply(battery(2));
  EXPECT_EQ(client.queued(), cMiniClient::kTxQueueBound);
}

}  // namespace
