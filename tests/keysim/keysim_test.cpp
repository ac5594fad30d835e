// keyd-sim driven as a black box: datagrams in and JSON lines out, input
// lines out as datagrams (whole, segmented, raw, queued until a peer is
// known), refused lines, options, and how it ends.
#include <gtest/gtest.h>
#include <jansson.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "child.h"
#include "kmsg.h"

namespace {

using testsupport::Child;
using Bytes = std::vector<unsigned char>;
constexpr int kWaitMs = 5000;

// The test's own UDP socket on 127.0.0.1, ephemeral port.
class Udp {
 public:
  Udp() {
    mFd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = loopback(0);
    ::bind(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(mFd, reinterpret_cast<sockaddr*>(&addr), &len);
    mPort = ntohs(addr.sin_port);
  }
  ~Udp() { ::close(mFd); }
  int port() const { return mPort; }
  void sendTo(int port, const Bytes& bytes) const {
    const sockaddr_in to = loopback(port);
    ASSERT_EQ(::sendto(mFd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to),
              static_cast<ssize_t>(bytes.size()));
  }
  std::optional<Bytes> receive(int timeoutMs) const {
    pollfd p{mFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    Bytes buf(65536);
    const ssize_t n = ::recv(mFd, buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    return buf;
  }

 private:
  static sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
  }
  int mFd = -1;
  int mPort = 0;
};

Bytes encode(const KMsg& msg) {
  Bytes bytes(0xFFFF);
  const int n = msg.getMsg(bytes.data(), 0xFFFF);
  EXPECT_GT(n, 0);
  bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return bytes;
}

std::unique_ptr<KMsg> decode(const std::optional<Bytes>& datagram) {
  if (!datagram) return nullptr;
  return std::unique_ptr<KMsg>(
      KMsg::parseMsg(datagram->data(), static_cast<unsigned short>(datagram->size())));
}

const Bytes kKeepAlive = {0x01, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x04, 0, 0, 0, 0};

class KeydSim : public ::testing::Test {
 protected:
  // Starts keyd-sim on a free port; ready once it says so on standard error.
  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {testsupport::programPath("keyd-sim"), "--listen",
                                     "127.0.0.1:" + std::to_string(port)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    sim = Child::start(argv);
    ASSERT_TRUE(sim);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    std::string err;
    while (err.find("keyd-sim: listening on 127.0.0.1:") == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "not ready; stderr: " << err;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      err += sim->drainStderr();
    }
  }
  std::string line() { return sim->readLine(kWaitMs).value_or("<no line>"); }
  void input(const std::string& text) { ASSERT_TRUE(sim->writeStdin(text + "\n")); }

  Udp udp;
  int port = testsupport::freeUdpPort();
  std::unique_ptr<Child> sim;
};

TEST_F(KeydSim, PrintsEveryDatagramAsOneExactLine) {
  start();
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
  udp.sendTo(port, encode(msg));
  EXPECT_EQ(line(),
            R"({"id":0,"seq":133,"tags":[{"id":12,"type":"u8","value":87},)"
            R"({"id":36,"type":"u16","value":8443},{"id":0,"type":"u32","value":4294967295},)"
            R"({"id":1,"type":"str","value":"BOX \"7\" )" "\xC3\xA9" R"(\\\nend"},)"
            R"({"id":200,"type":"str","value":"a)" "\xEF\xBF\xBD" R"("},)"
            R"({"id":19,"type":"bytes","value":"00abff"},{"id":37,"type":"bytes","value":""}]})");

  // Segments of one message: one line each, as they arrive.
  KMsg big(MSG_SET);
  big.mSeq = 0x12;
  const unsigned char lock[] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E};
  big.addTag(KTagFactory::createKTag(TAG_LOCK_TAG, lock, 5));
  big.addTag(KTagFactory::createKTag(TAG_LOCK_DESC, std::string(1007, 'x')));
  big.addTag(KTagFactory::createKTag(TAG_LOCK_STATUS, "closed"));
  ASSERT_EQ(big.segmentMessage(1024), 2);
  while (KMsg* segment = big.getNextSegment()) udp.sendTo(port, encode(*segment));
  EXPECT_EQ(line(), R"({"id":0,"seq":146,"tags":[{"id":19,"type":"bytes","value":"0a0b0c0d0e"},)"
                    R"({"id":23,"type":"str","value":")" + std::string(1007, 'x') + R"("}]})");
  EXPECT_EQ(line(), R"({"id":0,"seq":18,"tags":[{"id":20,"type":"str","value":"closed"}]})");
}

TEST_F(KeydSim, InvalidDatagramsPrintTheirHexAndDoNotStopIt) {
  start();
  Bytes trailing = kKeepAlive;
  trailing.push_back(0xAB);
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {{0x01, 0x02, 0x03}, "010203"},
      {trailing, "010000010002000400000000ab"},
      {{0x01, 0x00, 0x00, 0x01, 0x00, 0x04, 0x00, 0x01, 0xFF}, "0100000100040001ff"},
      {{}, ""}};
  for (const auto& [datagram, hex] : cases) {
    udp.sendTo(port, datagram);
    EXPECT_EQ(line(), R"({"error":"invalid key message","hex":")" + hex + R"("})");
  }
  udp.sendTo(port, kKeepAlive);
  EXPECT_EQ(line(), R"({"id":1,"seq":0,"tags":[{"id":0,"type":"u32","value":0}]})");
}

TEST_F(KeydSim, LinesWaitForThePeerThenGoToIt) {
  start();
  input(R"({"id":1,"seq":133,"tags":[{"id":12,"type":"u8","value":255},)"
        R"({"id":36,"type":"u16","value":65535},{"id":0,"type":"u32","value":4294967295},)"
        R"({"id":1,"type":"str","value":"k\u00e9y \"1\""},{"id":19,"type":"bytes","value":"00ABff"}]})");
  input("not json");  // its error line shows the line above was taken and queued
  ASSERT_NE(line().find(R"({"error":)"), std::string::npos);
  EXPECT_FALSE(udp.receive(0));

  udp.sendTo(port, kKeepAlive);  // the test's socket becomes the peer
  EXPECT_NE(line().find(R"("tags":[{"id":0,"type":"u32","value":0}])"), std::string::npos);
  const auto datagram = udp.receive(kWaitMs);
  ASSERT_TRUE(decode(datagram));
  KMsg expected(1);
  expected.mSeq = 133;  // a message sent whole keeps its sequence byte
  const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
  expected.addTag(KTagFactory::createKTag(12, static_cast<unsigned char>(255)));
  expected.addTag(KTagFactory::createKTag(36, static_cast<unsigned short>(65535)));
  expected.addTag(KTagFactory::createKTag(0, 4294967295u));
  expected.addTag(KTagFactory::createKTag(1, "k\xC3\xA9y \"1\""));
  expected.addTag(KTagFactory::createKTag(19, bytes, 3));
  EXPECT_EQ(*datagram, encode(expected));

  input(R"({"id":3,"tags":[]})");
  const auto msg = decode(udp.receive(kWaitMs));
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->mId, 3);
  EXPECT_TRUE(msg->tags().empty());
  EXPECT_LT(msg->mSeq, 0x80);
}

TEST_F(KeydSim, PeerOptionSegmentsAndRawBytes) {
  start({"--peer", "127.0.0.1:" + std::to_string(udp.port())});
  const std::string block(2000, 'a');  // 1000 bytes 0xaa
  std::string tags;
  for (int i = 0; i < 3; ++i)
    tags += R"({"id":100,"type":"bytes","value":")" + block + R"("},)";
  input(R"({"id":0,"seq":7,"tags":[)" + tags + R"({"id":12,"type":"u8","value":9}]})");
  std::vector<std::unique_ptr<KTag>> all;
  for (int i = 0; i < 3; ++i) {
    const auto datagram = udp.receive(kWaitMs);
    ASSERT_TRUE(datagram) << "segment " << i;
    EXPECT_LE(datagram->size(), 1024u);
    auto segment = decode(datagram);
    ASSERT_TRUE(segment) << "segment " << i << " does not parse by itself";
    EXPECT_EQ(segment->mId, 0);
    EXPECT_EQ(segment->mSeq, i < 2 ? 0x87 : 0x07);
    for (const auto& tag : segment->tags()) all.push_back(tag->clone());
  }
  ASSERT_EQ(all.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(ktag_cast<KTagBytes>(all[i].get()));
    EXPECT_EQ(ktag_cast<KTagBytes>(all[i].get())->bytes(), Bytes(1000, 0xAA));
  }
  ASSERT_TRUE(ktag_cast<KTagUInt8>(all[3].get()));
  EXPECT_EQ(ktag_cast<KTagUInt8>(all[3].get())->getValue(), 9);

  input(R"({"raw":"00ff10"})");
  EXPECT_EQ(udp.receive(kWaitMs), (Bytes{0x00, 0xFF, 0x10}));
  input(R"({"raw":"DEADbeef"})");
  EXPECT_EQ(udp.receive(kWaitMs), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST_F(KeydSim, BadInputLinesPrintAnErrorAndAreSkipped) {
  start({"--peer", "127.0.0.1:" + std::to_string(udp.port())});
  auto tag = [](const std::string& type, const std::string& value) {
    return R"({"id":1,"tags":[{"id":50,"type":")" + type + R"(","value":)" + value + "}]}";
  };
  std::string huge = R"({"id":1,"tags":[)";
  for (int i = 0; i < 65; ++i)  // 65 tags of 1020 bytes pass the 65537-byte limit
    huge += std::string(i ? "," : "") + R"({"id":50,"type":"bytes","value":")" +
            std::string(2032, '0') + R"("})";
  const std::vector<std::string> badLines = {
      "not json", "[1,2]", R"({"id":"1","tags":[]})", R"({"id":256,"tags":[]})",
      R"({"id":1,"seq":-1,"tags":[]})", R"({"id":1})", R"({"id":1,"tags":{}})",
      tag("u64", "1"), tag("u8", "256"), tag("u16", "65536"), tag("u32", "4294967296"),
      tag("u32", "1.5"), tag("u8", "-1"), tag("str", "5"),
      tag("str", '"' + std::string(1017, 's') + '"'), tag("bytes", R"("abc")"),
      tag("bytes", R"("zz")"), tag("bytes", '"' + std::string(2034, 'f') + '"'),
      R"({"id":1,"tags":[{"id":50,"type":"u8"}]})", R"({"raw":"abc"})", R"({"raw":"0g"})",
      R"({"raw":"00","id":1})", huge + "]}",
      R"({"raw":")" + std::string(1300000, '0') + R"("})",  // over the line length limit
      "", "   ", R"({"id":1,"tags":[],"zzz":1})"};
  for (const auto& bad : badLines) input(bad);
  input(R"({"raw":"0102"})");

  for (size_t i = 0; i + 2 < badLines.size(); ++i) {  // the blank lines say nothing
    const std::string text = line();
    json_error_t error;
    json_t* root = json_loads(text.c_str(), 0, &error);
    ASSERT_TRUE(root) << text;
    EXPECT_EQ(json_object_size(root), 1u) << text;
    EXPECT_TRUE(json_is_string(json_object_get(root, "error"))) << text;
    json_decref(root);
    if (i + 3 == badLines.size()) {
      EXPECT_NE(text.find("zzz"), std::string::npos) << text;
    }
  }
  EXPECT_EQ(udp.receive(kWaitMs), (Bytes{0x01, 0x02}));  // nothing went out before it
}

TEST_F(KeydSim, EndsWithStatusZeroOnSigtermAndSigintButNotAtEndOfInput) {
  for (int sig : {SIGTERM, SIGINT}) {
    start();
    sim->closeStdin();
    udp.sendTo(port, kKeepAlive);
    EXPECT_NE(line().find(R"("id":1)"), std::string::npos) << "after end of input";
    EXPECT_FALSE(sim->wait(0));
    sim->signal(sig);
    EXPECT_EQ(sim->wait(kWaitMs), 0) << "signal " << sig;
  }
}

TEST_F(KeydSim, OptionsHelpAndErrors) {
  auto run = [](const std::vector<std::string>& args) {
    std::vector<std::string> argv = {testsupport::programPath("keyd-sim")};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = Child::start(argv);
    const auto status = child->wait(kWaitMs);
    std::string out;
    for (const auto& l : child->readRemainingLines(100)) out += l + "\n";
    return std::make_tuple(status, out, child->drainStderr());
  };
  const auto [status, out, err] = run({"--help"});
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.rfind("usage: keyd-sim", 0), 0u) << out;
  EXPECT_NE(out.find("Examples:"), std::string::npos);

  std::vector<std::vector<std::string>> bad = {{"--listen"}, {"--verbose"}, {"x"},
                                               {"--peer", "localhost:80"}};
  for (const char* addr : {"127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:+80",
                           "127.0.0.1: 80", "127.0.0.1:80x", "127.0.0:80", ":80"})
    bad.push_back({"--listen", addr});
  for (const auto& args : bad) {
    const auto [status, out, err] = run(args);
    EXPECT_EQ(status, 2) << args.back();
    EXPECT_EQ(out, "") << args.back();
    EXPECT_NE(err.find("keyd-sim: "), std::string::npos) << args.back();
  }
  // A port already taken: the socket cannot be bound.
  const auto busy = run({"--listen", "127.0.0.1:" + std::to_string(udp.port())});
  EXPECT_EQ(std::get<0>(busy), 1) << std::get<2>(busy);
}

}  // namespace
