// keyd-sim driven as a black box: datagrams in and JSON lines out, input
// lines out as datagrams (whole, segmented, raw), refused lines, and how it
// ends.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "kmsg.h"
#include "udp_peer.h"

namespace {

using testsupport::Child;
using Bytes = testsupport::UdpPeer::Bytes;
constexpr int kWaitMs = 5000;

Bytes encode(const KMsg& msg) {
  Bytes bytes(0xFFFF);
  const int n = msg.getMsg(bytes.data(), 0xFFFF);
  bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return bytes;
}

const Bytes kKeepAlive = {0x01, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x04, 0, 0, 0, 0};
const std::string kKeepAliveLine = R"({"id":1,"seq":0,"tags":[{"id":0,"type":"u32","value":0}]})";

class KeydSim : public ::testing::Test {
 protected:
  void SetUp() override { start(); }
  // Starts keyd-sim on a free port; ready once it says so on standard error.
  // The test's socket becomes its peer by sending it a keep-alive.
  void start() {
    sim = Child::start(
        {testsupport::programPath("keyd-sim"), "--listen", "127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(sim);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    std::string err;
    while (err.find("keyd-sim: listening on 127.0.0.1:") == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "not ready; stderr: " << err;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      err += sim->drainStderr();
    }
    ASSERT_TRUE(udp.sendTo(port, kKeepAlive));
    ASSERT_EQ(line(), kKeepAliveLine);
  }
  std::string line() { return sim->readLine(kWaitMs).value_or("<no line>"); }
  void input(const std::string& text) { ASSERT_TRUE(sim->writeStdin(text + "\n")); }

  testsupport::UdpPeer udp;
  int port = testsupport::freeUdpPort();
  std::unique_ptr<Child> sim;
};

TEST_F(KeydSim, PrintsEveryDatagramAsOneExactLine) {
  KMsg msg(MSG_SET);
  msg.mSeq = 0x85;
  const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
  msg.addTag(KTagFactory::createKTag(12, static_cast<unsigned char>(87)));
  msg.addTag(KTagFactory::createKTag(36, static_cast<unsigned short>(8443)));
  msg.addTag(KTagFactory::createKTag(0, 4294967295u));
  msg.addTag(KTagFactory::createKTag(1, "BOX \"7\" \xC3\xA9\\\nend"));
  msg.addTag(KTagFactory::createKTag(200, "a\xFF"));  // not UTF-8
  msg.addTag(KTagFactory::createKTag(19, bytes, 3));
  msg.addTag(KTagFactory::createKTag(37, bytes, 0));
  ASSERT_TRUE(udp.sendTo(port, encode(msg)));
  EXPECT_EQ(line(),
            R"({"id":0,"seq":133,"tags":[{"id":12,"type":"u8","value":87},)"
            R"({"id":36,"type":"u16","value":8443},{"id":0,"type":"u32","value":4294967295},)"
            R"({"id":1,"type":"str","value":"BOX \"7\" )"
            "\xC3\xA9"
            R"(\\\nend"},)"
            R"({"id":200,"type":"str","value":"a)"
            "\xEF\xBF\xBD"
            R"("},)"
            R"({"id":19,"type":"bytes","value":"00abff"},{"id":37,"type":"bytes","value":""}]})");

  // Invalid datagrams print their bytes and do not stop it.
  Bytes trailing = kKeepAlive;
  trailing.push_back(0xAB);
  const std::pair<Bytes, std::string> invalid[] = {
      {{0x01, 0x02, 0x03}, "010203"}, {trailing, "010000010002000400000000ab"}, {{}, ""}};
  for (const auto& [datagram, hex] : invalid) {
    ASSERT_TRUE(udp.sendTo(port, datagram));
    EXPECT_EQ(line(), R"({"error":"invalid key message","hex":")" + hex + R"("})");
  }
  ASSERT_TRUE(udp.sendTo(port, kKeepAlive));
  EXPECT_EQ(line(), kKeepAliveLine) << "the next good datagram after invalid ones";
}

TEST_F(KeydSim, InputLinesGoToThePeerWholeSegmentedOrRaw) {
  input(
      R"({"id":1,"seq":133,"tags":[{"id":12,"type":"u8","value":255},)"
      R"({"id":36,"type":"u16","value":65535},{"id":0,"type":"u32","value":4294967295},)"
      R"({"id":1,"type":"str","value":"k\u00e9y \"1\""},{"id":19,"type":"bytes","value":"00ABff"}]})");
  KMsg expected(1);
  expected.mSeq = 133;  // a message sent whole keeps its sequence byte
  const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
  expected.addTag(KTagFactory::createKTag(12, static_cast<unsigned char>(255)));
  expected.addTag(KTagFactory::createKTag(36, static_cast<unsigned short>(65535)));
  expected.addTag(KTagFactory::createKTag(0, 4294967295u));
  expected.addTag(KTagFactory::createKTag(1, "k\xC3\xA9y \"1\""));
  expected.addTag(KTagFactory::createKTag(19, bytes, 3));
  EXPECT_EQ(udp.receive(kWaitMs), encode(expected));

  // Three values of 1000 bytes and a u8: the segments of that message.
  std::string tags;
  for (int i = 0; i < 3; ++i)
    tags += R"({"id":100,"type":"bytes","value":")" + std::string(2000, 'a') + R"("},)";
  input(R"({"id":0,"seq":7,"tags":[)" + tags + R"({"id":12,"type":"u8","value":9}]})");
  KMsg big(0);
  big.mSeq = 7;
  const Bytes block(1000, 0xAA);
  for (int i = 0; i < 3; ++i) big.addTag(KTagFactory::createKTag(100, block.data(), 1000));
  big.addTag(KTagFactory::createKTag(12, static_cast<unsigned char>(9)));
  ASSERT_EQ(big.segmentMessage(1024), 3);
  while (KMsg* segment = big.getNextSegment()) EXPECT_EQ(udp.receive(kWaitMs), encode(*segment));

  input(R"({"raw":"00ff10"})");
  EXPECT_EQ(udp.receive(kWaitMs), (Bytes{0x00, 0xFF, 0x10}));
}

TEST_F(KeydSim, BadInputLinesPrintAnErrorAndAreSkipped) {
  auto tag = [](const std::string& type, const std::string& value) {
    return R"({"id":1,"tags":[{"id":50,"type":")" + type + R"(","value":)" + value + "}]}";
  };
  const std::vector<std::string> badLines = {"not json",
                                             "[1,2]",
                                             R"({"id":"1","tags":[]})",
                                             R"({"id":256,"tags":[]})",
                                             R"({"id":1,"seq":-1,"tags":[]})",
                                             R"({"id":1})",
                                             tag("u64", "1"),
                                             tag("u8", "256"),
                                             tag("u16", "65536"),
                                             tag("u32", "4294967296"),
                                             tag("str", "5"),
                                             tag("str", '"' + std::string(1017, 's') + '"'),
                                             tag("bytes", R"("abc")"),
                                             tag("bytes", R"("zz")"),
                                             R"({"raw":"0g"})",
                                             R"({"raw":"00","id":1})",
                                             R"({"id":1,"tags":[],"zzz":1})"};
  for (const auto& bad : badLines) input(bad);
  input(R"({"raw":"0102"})");
  for (const auto& bad : badLines) {  // each answered by one {"error":"..."} line
    const std::string text = line();
    json_t* root = json_loads(text.c_str(), 0, nullptr);
    EXPECT_TRUE(root && json_object_size(root) == 1 &&
                json_is_string(json_object_get(root, "error")))
        << text << " for " << bad.substr(0, 60);
    json_decref(root);
  }
  EXPECT_EQ(udp.receive(kWaitMs), (Bytes{0x01, 0x02})) << "nothing went out before it";
}

TEST_F(KeydSim, EndsWithStatusZeroOnSigtermAndSigintButNotAtEndOfInput) {
  for (int sig : {SIGTERM, SIGINT}) {
    if (sig == SIGINT) start();
    sim->closeStdin();
    ASSERT_TRUE(udp.sendTo(port, kKeepAlive));
    EXPECT_EQ(line(), kKeepAliveLine) << "after end of input";
    EXPECT_FALSE(sim->wait(0));
    sim->signal(sig);
    EXPECT_EQ(sim->wait(kWaitMs), 0) << "signal " << sig;
  }
}

}  // namespace
