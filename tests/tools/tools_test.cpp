// keyd-sim as a black box: the steps of keyd-sim.cases, then the end of its input.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "child.h"
#include "kjson.h"
#include "udp_peer.h"

namespace {

using namespace testsupport;
constexpr int kWaitMs = 10000;

TEST(KeydSim, StepsOfTheTableThenTheEndOfItsInput) {
  UdpPeer a, b;
  const std::string listen = "127.0.0.1:" + std::to_string(UdpPeer().port());  // free again
  const int port = std::stoi(listen.substr(10));
  auto sim = Child::start({programPath("keyd-sim"), "--listen", listen});
  std::string err;  // ready once it says so
  for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
       err.find("listening on " + listen) == std::string::npos; err += sim->drainStderr()) {
    ASSERT_LT(std::chrono::steady_clock::now(), end) << err;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::ifstream steps(sourcePath("tests/tools/keyd-sim.cases"));
  ASSERT_TRUE(steps);
  for (std::string line; std::getline(steps, line);) {
    if (line.empty() || line[0] == '#') continue;
    SCOPED_TRACE(line.substr(0, 100));
    const std::string verb = line.substr(0, line.find(' '));
    const std::string text = line.substr(std::min(line.size(), verb.size() + 1));
    UdpPeer& peer = verb.find('B') == std::string::npos ? a : b;
    if (verb == "in") {
      ASSERT_TRUE(sim->writeStdin(text + "\n"));
    } else if (verb == "out") {
      EXPECT_EQ(sim->readLine(kWaitMs).value_or("none"), text);
    } else if (verb[1] == '>') {
      ASSERT_TRUE(peer.sendTo(port, *fromHex(text)));
    } else {
      const auto d = peer.receive(kWaitMs);
      EXPECT_EQ(d ? toHex(d->data(), d->size()) : "none", text);
    }
  }
  sim->closeStdin();  // only ends the reading
  ASSERT_TRUE(a.sendTo(port, {1, 0, 0, 0}));
  EXPECT_EQ(sim->readLine(kWaitMs), R"({"id":1,"seq":0,"tags":[]})");
}

}  // namespace
