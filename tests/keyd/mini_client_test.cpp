// The mini client against a real UDP peer on loopback: the keep-alive ping,
// queue order, segmentation, received datagrams good and bad, refusals, and
// a client that never connected.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cMiniClient.h"
#include "kmsg.h"
#include "logcapture.h"

namespace {

using namespace std::chrono_literals;

// The key daemon's side: a UDP socket on 127.0.0.1, ephemeral port.
class Peer {
 public:
  Peer() {
    mFd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(mFd, reinterpret_cast<sockaddr*>(&addr), &len);
    mPort = ntohs(addr.sin_port);
  }
  ~Peer() { ::close(mFd); }
  int port() const { return mPort; }
  // The next datagram within the time, remembering its sender.
  std::optional<std::vector<unsigned char>> receive(std::chrono::milliseconds within) {
    pollfd p{mFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(within.count())) <= 0) return std::nullopt;
    std::vector<unsigned char> buf(65536);
    mFromLen = sizeof mFrom;
    ssize_t n = ::recvfrom(mFd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&mFrom),
                           &mFromLen);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    return buf;
  }
  void reply(const void* data, size_t len) {
    ::sendto(mFd, data, len, 0, reinterpret_cast<sockaddr*>(&mFrom), mFromLen);
  }

 private:
  int mFd;
  int mPort;
  sockaddr_in mFrom{};
  socklen_t mFromLen = sizeof mFrom;
};

bool isPing(const std::vector<unsigned char>& bytes) {
  std::unique_ptr<KMsg> m(KMsg::parseMsg(bytes.data(), static_cast<unsigned short>(bytes.size())));
  if (!m || m->mId != MSG_REQ || m->mTagCount != 1) return false;
  m->gotoFirst();
  auto* sn = ktag_cast<KTagUInt32>(m->getTag());
  return sn && sn->mId == TAG_KEY_SN && sn->getValue() == 0;
}

KMsg* battery(unsigned char value) {
  auto* m = new KMsg(MSG_REQ);
  m->addTag(KTagFactory::createKTag(TAG_KEY_BATTERY, value));
  return m;
}

class Collector : public cObjectListener {
 public:
  void onMessage(KMsg* msg) override {
    std::lock_guard<std::mutex> lock(mMutex);
    ids.push_back(msg->mId);
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mMutex);
    return ids.size();
  }
  std::vector<int> ids;

 private:
  std::mutex mMutex;
};

class MiniClientTest : public ::testing::Test {
 protected:
  testsupport::LogCapture capture;
  Peer peer;
};

TEST_F(MiniClientTest, OnePingFirstThenQueuedMessagesInOrder) {
  cMiniClient client;
  EXPECT_EQ(client.sendNoReply(battery(1)), nullptr);  // queued before the connect
  client.sendNoReply(battery(2));
  ASSERT_EQ(client.connectServer("127.0.0.1", peer.port()), 1);
  auto first = peer.receive(2s);
  ASSERT_TRUE(first);
  EXPECT_TRUE(isPing(*first));
  for (unsigned char expected : {1, 2}) {
    auto next = peer.receive(2s);
    ASSERT_TRUE(next);
    std::unique_ptr<KMsg> m(KMsg::parseMsg(next->data(), static_cast<unsigned short>(next->size())));
    ASSERT_TRUE(m);
    m->gotoFirst();
    auto* tag = ktag_cast<KTagUInt8>(m->getTag());
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->mId, TAG_KEY_BATTERY);
    EXPECT_EQ(tag->getValue(), expected);
  }
  EXPECT_FALSE(peer.receive(300ms)) << "a second ping or a duplicate went out";
  int pings = 0;
  for (const auto& l : capture.messages("cMiniClient")) pings += l.rfind("Send Ping ", 0) == 0;
  EXPECT_EQ(pings, 1);
  auto lines = capture.messages("cMiniClient");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Queue message q size 2"), lines.end());
}

TEST_F(MiniClientTest, ALargeMessageLeavesAsSegmentsOfAtMost1024Bytes) {
  cMiniClient client;
  ASSERT_EQ(client.connectServer("127.0.0.1", peer.port()), 1);
  ASSERT_TRUE(peer.receive(2s));  // the ping
  auto* big = new KMsg(MSG_REQ);
  unsigned char tag[5] = {0, 1, 2, 3, 4};
  for (int i = 0; i < 300; ++i) big->addTag(KTagFactory::createKTag(TAG_LOCK_TAG, tag, 5));
  const int total = big->mSize + 2;
  client.sendNoReply(big);
  int segments = 0, bytes = 0, tags = 0;
  while (auto d = peer.receive(1s)) {
    EXPECT_LE(d->size(), 1024u);
    std::unique_ptr<KMsg> m(KMsg::parseMsg(d->data(), static_cast<unsigned short>(d->size())));
    ASSERT_TRUE(m) << "a segment must parse by itself";
    ++segments;
    bytes += static_cast<int>(d->size());
    tags += m->mTagCount;
  }
  EXPECT_GT(segments, 1);
  EXPECT_EQ(tags, 300);
  EXPECT_GE(bytes, total);
  auto lines = capture.messages("cMiniClient");
  int transmitLines = 0;
  for (const auto& l : lines) transmitLines += l.rfind("Transmit ", 0) == 0 && l.find(" of ") != std::string::npos;
  EXPECT_EQ(transmitLines, segments);
}

TEST_F(MiniClientTest, PingsOnlyAfterTenIdleSeconds) {
  cMiniClient client;
  ASSERT_EQ(client.connectServer("127.0.0.1", peer.port()), 1);
  ASSERT_TRUE(peer.receive(2s));  // the ping on connect
  // A message every 3 s for 12 s: none of the datagrams is a ping.
  const auto busyUntil = std::chrono::steady_clock::now() + 12s;
  while (std::chrono::steady_clock::now() < busyUntil) {
    client.sendNoReply(battery(5));
    auto d = peer.receive(2s);
    ASSERT_TRUE(d);
    EXPECT_FALSE(isPing(*d));
    std::this_thread::sleep_for(1s);
  }
  // Then idle: a ping within a little over 10 s.
  auto d = peer.receive(12s);
  ASSERT_TRUE(d);
  EXPECT_TRUE(isPing(*d));
}

TEST_F(MiniClientTest, ReceivedDatagramsGoodEmptyBadAndRefused) {
  Collector listener;
  {
    cMiniClient client;
    client.addListener(&listener);
    ASSERT_EQ(client.connectServer("127.0.0.1", peer.port()), 1);
    ASSERT_TRUE(peer.receive(2s));  // learns the client's address from the ping
    peer.reply("", 0);
    ASSERT_TRUE(capture.waitFor("cMiniClient|Socket Read Error 0", 1, 2s));
    const unsigned char junk[] = {0xde, 0xad, 0xbe, 0xef, 0x01};
    peer.reply(junk, sizeof junk);
    KMsg good(MSG_EVT);
    good.addTag(KTagFactory::createKTag(TAG_KEY_BATTERY, static_cast<unsigned char>(9)));
    unsigned char buf[64];
    int n = good.getMsg(buf, sizeof buf);
    peer.reply(buf, static_cast<size_t>(n));
    ASSERT_TRUE(capture.waitFor("cMiniClient::cEventPump|pumping event", 1, 2s));
    EXPECT_EQ(listener.count(), 1u);  // neither the empty nor the junk datagram
    EXPECT_EQ(listener.ids.at(0), MSG_EVT);
    EXPECT_EQ(capture.count("cMiniClient|Dropping a datagram of 5 bytes that is not a key message"), 1);
    client.removeListener(&listener);
  }
  // Nothing listens on the port: the refusal of the ping is a failed read,
  // and the receive thread carries on.
  int closedPort;
  {
    Peer gone;
    closedPort = gone.port();
  }
  capture.clear();
  cMiniClient client;
  ASSERT_EQ(client.connectServer("127.0.0.1", closedPort), 1);
  ASSERT_TRUE(capture.waitFor("cMiniClient|Socket Read Error -1", 1, 3s));
  client.sendNoReply(battery(3));
  EXPECT_TRUE(capture.waitFor("cMiniClient|Socket Read Error -1", 2, 3s));
}

TEST_F(MiniClientTest, AFailedConnectStillQueuesAndTheQueueIsBounded) {
  cMiniClient unresolved, refused;
  EXPECT_EQ(unresolved.connectServer("", 5555), 0);
  // Broadcast without SO_BROADCAST: the connect itself is refused.
  EXPECT_EQ(refused.connectServer("255.255.255.255", 5555), 0);
  EXPECT_EQ(capture.count("cMiniClient|Could not connect the socket"), 2);
  EXPECT_EQ(refused.sendNoReply(battery(1)), nullptr);
  EXPECT_EQ(refused.queued(), 1u);
  for (size_t i = 0; i < cMiniClient::kTxQueueBound + 5; ++i) refused.sendNoReply(battery(2));
  EXPECT_EQ(refused.queued(), cMiniClient::kTxQueueBound);
  EXPECT_EQ(capture.count("cMiniClient|Rx Msg = (nil)"), static_cast<int>(cMiniClient::kTxQueueBound) + 6);
}

}  // namespace
