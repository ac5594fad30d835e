// soak_driver COUNT [DEADLINE_SECONDS]: the inside of scripts/soak.sh. Runs
// in a sandbox (own loopback, /etc/ram holding the configuration files): it
// starts nembad and keyd-translator, subscribes to "site_info", plays the
// key daemon on 127.0.0.1:5555 and sends COUNT configuration reports at full
// speed, then accounts for every one of them:
//
//   sent = publications received + kernel UDP receive drops + bus-side loss
//
// Reports alternate between two configurations (one lock, two locks) and
// carry their number as the transaction count, so each one is a change even
// when the kernel dropped its predecessor, and the bus side can be checked
// for gaps and order. Exit status 0 when the accounting balances with no
// bus-side loss (the subscriber drains all the time, so neither its 10000
// nor nembad's 100000 high-water mark is reached; any loss there would show
// as a remainder), the translator's resident memory after the run is within
// 10% of the figure early in the run and it stops in order; 1 otherwise, 2
// on a set-up failure. Everything stops by itself by DEADLINE_SECONDS.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "kmsg.h"
#include "nlite.h"
#include "procfs.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testsupport::Child;

// A serialised configuration report and the offset of its transaction count.
struct Template {
  std::vector<unsigned char> bytes;
  size_t countAt = 0;
};

Template makeTemplate(const std::string& box, int locks) {
  KMsg m(MSG_SET);
  const unsigned char lock[2][5] = {{1, 2, 3, 4, 5}, {10, 11, 12, 13, 14}};
  m.addTag(KTagFactory::createKTag(TAG_KEY_SN, 0x1234u));
  m.addTag(KTagFactory::createKTag(TAG_KEY_BOX, box));
  m.addTag(KTagFactory::createKTag(TAG_KEY_SW, std::string("sw-2")));
  m.addTag(KTagFactory::createKTag(TAG_SRV_NAME, std::string("srv")));
  m.addTag(KTagFactory::createKTag(TAG_SRV_PORT, static_cast<unsigned short>(8080)));
  m.addTag(KTagFactory::createKTag(TAG_TRANS_CNT, 0xA5A5A5A5u));
  for (int i = 0; i < locks; ++i) m.addTag(KTagFactory::createKTag(TAG_LOCK_TAG, lock[i], 5));
  Template t;
  t.bytes.resize(m.mSize + 2u);
  m.getMsg(t.bytes.data(), static_cast<unsigned short>(t.bytes.size()));
  const unsigned char marker[4] = {0xA5, 0xA5, 0xA5, 0xA5};
  for (size_t i = 0; i + 4 <= t.bytes.size(); ++i)
    if (std::memcmp(&t.bytes[i], marker, 4) == 0) t.countAt = i;
  return t;
}

int fail(const char* what) {
  std::fprintf(stderr, "soak: %s\n", what);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::atol(argv[1]) : 1000000;
  const long deadlineSeconds = argc > 2 ? std::atol(argv[2]) : 900;
  if (count < 1 || deadlineSeconds < 10) return fail("usage: soak_driver COUNT [DEADLINE_SECONDS]");
  const auto deadline = Clock::now() + std::chrono::seconds(deadlineSeconds);

  auto bus = Child::start({testsupport::programPath("nembad")});
  if (!bus || !bus->waitForLine("nembad: channeler", 10000)) return fail("nembad did not start");
  const char* topics[] = {"site_info"};
  nlite::Client sub("soak", 0, 5558, topics, 1);
  if (!sub.waitConnected(10000)) return fail("the subscriber did not connect");

  int key = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(5555);
  if (::bind(key, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return fail("cannot bind 5555");
  auto translator = Child::start({testsupport::programPath("keyd-translator")});
  // The translator's keep-alive tells its address.
  sockaddr_in peer{};
  socklen_t peerLen = sizeof peer;
  pollfd p{key, POLLIN, 0};
  unsigned char buf[2048];
  if (!translator || ::poll(&p, 1, 10000) != 1 ||
      ::recvfrom(key, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&peer), &peerLen) <= 0)
    return fail("the translator did not start");
  const pid_t pid = procfs::childPid("keyd-translator");  // it has run its own program by now
  if (pid <= 0) return fail("the translator's process was not found");
  const int port = ntohs(peer.sin_port);

  // The subscriber: counts publications, checks their numbers' order.
  std::vector<unsigned char> seen(static_cast<size_t>(count) + 1);
  std::atomic<long> published{0}, unordered{0}, foreign{0};
  std::atomic<bool> stop{false};
  std::atomic<long long> lastAt{0};  // steady clock of the latest publication, in ms
  std::thread subscriber([&] {
    long previous = 0;
    while (!stop) {
      nlite::Message* m = sub.receive();
      if (!m) {
        sub.waitReadable(50);
        continue;
      }
      const std::string payload(m->buffer(), m->bufferSize());
      const size_t at = payload.find("\"TAG_TRANS_CNT\":");
      const long n = at == std::string::npos ? -1 : std::atol(payload.c_str() + at + 16);
      if (n < 1 || n > count || seen[static_cast<size_t>(n)]) {
        ++foreign;
        continue;
      }
      seen[static_cast<size_t>(n)] = 1;
      if (n < previous) ++unordered;
      previous = n;
      ++published;
      lastAt =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
              .count();
    }
  });

  const long rcvbuf0 = procfs::snmpUdp("RcvbufErrors"), inErrors0 = procfs::snmpUdp("InErrors");
  const long socketDrops0 = procfs::udpSocket(port, true);
  Template reports[2] = {makeTemplate("soak-A", 1), makeTemplate("soak-B", 2)};
  // The first memory figure is taken once the translator has published
  // 10000 reports (a twentieth of COUNT when that is less), in full flow.
  const long firstMark = std::min(10000L, count / 20 + 1);
  long sent = 0, rssFirst = -1;
  const auto started = Clock::now();
  for (long n = 1; n <= count && Clock::now() < deadline; ++n) {
    Template& t = reports[n % 2];
    const uint32_t v = static_cast<uint32_t>(n);
    const unsigned char be[4] = {static_cast<unsigned char>(v >> 24),
                                 static_cast<unsigned char>(v >> 16),
                                 static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    std::memcpy(&t.bytes[t.countAt], be, 4);
    while (::sendto(key, t.bytes.data(), t.bytes.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                    sizeof peer) < 0) {
      if (Clock::now() >= deadline) break;
      std::this_thread::sleep_for(1ms);  // ENOBUFS: retried, never counted twice
    }
    ++sent;
    if (rssFirst < 0 && published >= firstMark) rssFirst = procfs::vmRssKiB(pid);
  }
  const double sendSeconds = std::chrono::duration<double>(Clock::now() - started).count();

  // Quiescence: the translator's socket read empty and no publication for 2 s.
  auto nowMs = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
  };
  while (Clock::now() < deadline) {
    if (rssFirst < 0 && published >= firstMark) rssFirst = procfs::vmRssKiB(pid);
    if (procfs::udpSocket(port, false) == 0 && nowMs() - std::max<long long>(lastAt, 0) > 2000)
      break;
    std::this_thread::sleep_for(50ms);
  }
  const bool timedOut = Clock::now() >= deadline;
  const long rssLast = procfs::vmRssKiB(pid);
  const long rcvbufDrops = procfs::snmpUdp("RcvbufErrors") - rcvbuf0,
             inErrors = procfs::snmpUdp("InErrors") - inErrors0;
  const long socketDrops = procfs::udpSocket(port, true) - socketDrops0;
  stop = true;
  subscriber.join();

  translator->signal(SIGTERM);
  const auto status = translator->wait(3000);
  const auto rest = translator->readRemainingLines(1000);
  const bool orderly = status == 0 && !rest.empty() && rest.back() == "Broker OUT!";
  long pauses = 0;
  {
    std::ifstream log("/etc/ram/keyd-translator.log");
    for (std::string line; std::getline(log, line);)
      pauses += line.find("Event queue full") != std::string::npos;
  }
  bus->signal(SIGTERM);
  bus->wait(3000);

  const long busLoss = sent - published - rcvbufDrops;
  const bool balanced = busLoss == 0 && socketDrops == rcvbufDrops && inErrors == rcvbufDrops;
  const bool flat =
      rssFirst > 0 && rssLast > 0 && rssLast * 10 <= rssFirst * 11 && rssLast * 10 >= rssFirst * 9;
  std::printf("soak: datagrams sent                  %ld in %.1f s (%.0f/s)\n", sent, sendSeconds,
              sent / sendSeconds);
  std::printf("soak: publications received           %ld (%ld out of order, %ld unexpected)\n",
              published.load(), unordered.load(), foreign.load());
  std::printf(
      "soak: kernel UDP receive drops        %ld (Udp RcvbufErrors; InErrors %ld; the socket's own "
      "count %ld)\n",
      rcvbufDrops, inErrors, socketDrops);
  std::printf(
      "soak: event pump full                 %ld times (the receive thread waits, nothing is "
      "dropped there: the kernel drops instead)\n",
      pauses);
  std::printf("soak: bus-side loss                   %ld\n", busLoss);
  std::printf("soak: accounting                      %ld = %ld + %ld + %ld: %s\n", sent,
              published.load(), rcvbufDrops, busLoss, balanced ? "balanced" : "NOT BALANCED");
  std::printf(
      "soak: translator VmRSS                %ld KiB after %ld publications, %ld KiB after the "
      "run: %s\n",
      rssFirst, firstMark, rssLast, flat ? "within 10%" : "NOT within 10%");
  std::printf("soak: translator stop                 %s\n",
              orderly ? "\"Broker OUT!\", status 0" : "NOT ORDERLY");
  if (timedOut) std::printf("soak: stopped at the deadline of %ld s\n", deadlineSeconds);
  return balanced && flat && orderly && !timedOut && unordered == 0 && foreign == 0 ? 0 : 1;
}
