// The tools as black boxes: keyd-sim driven by a script of datagrams and
// input lines with the exact output each gives, and nembad printing the
// subscriptions of the nlite tool.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <sstream>
#include <thread>
#include <tuple>

#include "child.h"
#include "kjson.h"
#include "udp_peer.h"

namespace {

using namespace testsupport;
constexpr int kWaitMs = 10000;

// keyd-sim on a free loopback port, once it says it listens there.
std::unique_ptr<Child> keydSim(int port) {
  const std::string listen = "127.0.0.1:" + std::to_string(port);
  auto sim = Child::start({programPath("keyd-sim"), "--listen", listen});
  std::string err;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
       sim && std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(std::chrono::milliseconds(10)))
    if ((err += sim->drainStderr()).find("keyd-sim: listening on " + listen + "\n") == 0) return sim;
  return nullptr;
}

TEST(KeydSim, DatagramsBecomeLinesAndLinesDatagramsForTheLatestPeer) {
  UdpPeer a, b;
  const int port = UdpPeer().port();  // free again once the peer is gone
  auto sim = keydSim(port);
  ASSERT_TRUE(sim);
  const std::string ka = "010000010002000400000000",
                    kaLine = R"({"id":1,"seq":0,"tags":[{"id":0,"type":"u32","value":0}]})",
                    aa = std::string(2000, 'a'), tag = R"({"id":1,"tags":[{"id":50,"type":)";
  // Who acts: peer 'A' or 'B' sends the hex datagram, or 'i' writes the line
  // to standard input; then the line expected on standard output ("{...}")
  // or the datagrams the latest peer to send expects.
  const std::tuple<char, std::string, std::string> steps[] = {
      {'A',
       "00850006" "0c04000157" "2403000220fb" "00020004ffffffff" "01010008223722c3a95c0aff"
       "1305000300abff" "25050000",
       R"({"id":0,"seq":133,"tags":[{"id":12,"type":"u8","value":87},)"
       R"({"id":36,"type":"u16","value":8443},{"id":0,"type":"u32","value":4294967295},)"
       R"({"id":1,"type":"str","value":"\"7\")" "\xC3\xA9" R"(\\\n)" "\xEF\xBF\xBD" R"("},)"
       R"({"id":19,"type":"bytes","value":"00abff"},{"id":37,"type":"bytes","value":""}]})"},
      {'A', "010203", R"({"error":"invalid key message","hex":"010203"})"},
      {'A', "", R"({"error":"invalid key message","hex":""})"},
      {'A', ka + "ab", R"({"error":"invalid key message","hex":")" + ka + R"(ab"})"},
      {'A', ka, kaLine},
      {'i',
       R"({"id":1,"seq":133,"tags":[{"id":12,"type":"u8","value":255},)"
       R"({"id":36,"type":"u16","value":65535},{"id":0,"type":"u32","value":4294967295},)"
       R"({"id":1,"type":"str","value":"k\u00e9y \"1\""},{"id":19,"type":"bytes","value":"00ABff"}]})",
       "01850005" "0c040001ff" "24030002ffff" "00020004ffffffff" "010100086bc3a97920223122"
       "1305000300abff"},
      {'i',
       R"({"id":0,"seq":7,"tags":[{"id":100,"type":"bytes","value":")" + aa + R"("},)"
       R"({"id":100,"type":"bytes","value":")" + aa + R"("},{"id":100,"type":"bytes","value":")" +
           aa + R"("},{"id":12,"type":"u8","value":9}]})",
       "00870001640503e8" + aa + " 00870001640503e8" + aa + " 00070002640503e8" + aa +
           "0c04000109"},
      {'i', "not json", R"({"error":"not JSON: '[' or '{' expected near 'not'"})"},
      {'i', "[1,2]", R"({"error":"expected a JSON object"})"},
      {'i', R"({"id":256,"tags":[]})", R"({"error":"id: 256 is out of range 0..255"})"},
      {'i', R"({"id":1})", R"({"error":"missing member \"tags\""})"},
      {'i', tag + R"("u64","value":1}]})", R"({"error":"tags[0].type: unknown type \"u64\""})"},
      {'i', tag + R"("u8","value":256}]})",
       R"({"error":"tags[0].value: 256 is out of range 0..255"})"},
      {'i', tag + R"("str","value":")" + std::string(1017, 's') + R"("}]})",
       R"({"error":"tags[0].value: longer than 1016 bytes"})"},
      {'i', tag + R"("bytes","value":"abc"}]})",
       R"({"error":"tags[0].value: odd number of hex digits"})"},
      {'i', R"({"raw":"0g"})", R"({"error":"raw: not a hex digit at offset 1"})"},
      {'i', R"({"id":1,"tags":[],"zzz":1})", R"({"error":"unknown member \"zzz\""})"},
      {'i', R"({"raw":"00ff10"})", "00ff10"},
      {'B', ka, kaLine},
      {'i', R"({"raw":"0102"})", "0102"}};
  UdpPeer* latest = nullptr;
  for (const auto& [who, input, expected] : steps) {
    SCOPED_TRACE(input.substr(0, 100));
    if (who == 'i') {
      ASSERT_TRUE(sim->writeStdin(input + "\n"));
    } else {
      latest = who == 'A' ? &a : &b;
      ASSERT_TRUE(latest->sendTo(port, *fromHex(input)));
    }
    if (expected.rfind("{", 0) == 0) {
      EXPECT_EQ(sim->readLine(kWaitMs).value_or("none"), expected);
      continue;
    }
    std::istringstream datagrams(expected);
    for (std::string hex; datagrams >> hex;) {
      const auto d = latest->receive(kWaitMs);
      EXPECT_EQ(d ? toHex(d->data(), d->size()) : "none", hex);
    }
  }
  // The end of input only ends the reading; SIGTERM and SIGINT end it with status 0.
  sim->closeStdin();
  ASSERT_TRUE(a.sendTo(port, *fromHex(ka)));
  EXPECT_EQ(sim->readLine(kWaitMs), kaLine);
  sim->signal(SIGTERM);
  EXPECT_EQ(sim->wait(kWaitMs), 0);
  sim = keydSim(port);
  ASSERT_TRUE(sim);
  sim->signal(SIGINT);
  EXPECT_EQ(sim->wait(kWaitMs), 0);
}

TEST(Nembad, PrintsTheSubscriptionsOfTheNliteTool) {
  auto bus = Child::start({programPath("nembad"), "--channeler-port", "0", "--broadcaster-port",
                           "0", "--print-subscriptions"});
  ASSERT_TRUE(bus);
  const auto bound = bus->waitForLine("nembad: channeler", kWaitMs);
  int ch = 0, br = 0;
  ASSERT_TRUE(bound && std::sscanf(bound->c_str(),
                                   "nembad: channeler 127.0.0.1:%d broadcaster 127.0.0.1:%d", &ch,
                                   &br) == 2);
  auto sub = Child::start({programPath("nlite"), "sub", "--broadcaster-port", std::to_string(br),
                           "--count", "1", "--timeout", "30", "Cli\x01"});
  EXPECT_EQ(bus->readLine(kWaitMs), "nembad: subscribe Cli\\x01");
  auto pub = Child::start({programPath("nlite"), "pub", "--channeler-port", std::to_string(ch),
                           "--app", "tester", "--kind", "7", "Cli\x01", "say \"hi\"\xff"});
  ASSERT_TRUE(pub && sub);
  EXPECT_EQ(pub->wait(kWaitMs), 0);
  EXPECT_EQ(sub->wait(kWaitMs), 0);
  EXPECT_EQ(sub->readRemainingLines(kWaitMs),
            std::vector<std::string>{R"({"topic":"Cli\u0001","app":"tester","kind":7,)"
                                     R"("payload":"say \"hi\")" "\xEF\xBF\xBD" R"("})"});
  EXPECT_EQ(bus->readLine(kWaitMs), "nembad: unsubscribe Cli\\x01");
}

}  // namespace
