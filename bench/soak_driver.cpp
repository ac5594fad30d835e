// soak_driver COUNT [DEADLINE_SECONDS [RATE]]: the inside of scripts/soak.sh. Runs
// in a sandbox (own loopback, /etc/ram holding the configuration files): it
// starts nembad and keyd-translator (their output goes to /etc/ram/nembad.out
// and /etc/ram/keyd-translator.out), subscribes to "site_info", plays the
// key daemon on 127.0.0.1:5555 and sends COUNT configuration reports at full
// speed (or RATE reports per second, when given and not 0), then accounts for
// every one of them:
//
//   sent = publications received + kernel UDP receive drops + bus-side loss
//
// Reports alternate between two configurations (their last lock differs) and
// carry their number as the transaction count, so each one is a change even
// when the kernel dropped its predecessor, and the bus side can be checked
// for gaps and order. Exit status 0 when the accounting balances with no
// bus-side loss (the subscriber drains all the time, so neither its 10000
// nor nembad's 100000 high-water mark is reached; any loss there would show
// as a remainder), the translator's resident memory after the run is within
// 10% of the figure early in the run and it stops in order; 1 otherwise, 2
// on a set-up failure. Everything stops by itself by DEADLINE_SECONDS.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "nlite.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using namespace bench;

// Locks per report: the smallest report that is a complete configuration
// and still has a first lock that stays and a last lock that changes.
constexpr int kLocks = 2;
// The output of the two programs, kept in the sandbox's /etc/ram.
constexpr const char* kBusOut = "/etc/ram/nembad.out";
constexpr const char* kTranslatorOut = "/etc/ram/keyd-translator.out";

int fail(const char* what) {
  std::fprintf(stderr, "soak: %s\n", what);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::atol(argv[1]) : 1000000;
  const long deadlineSeconds = argc > 2 ? std::atol(argv[2]) : 900;
  const double rate = argc > 3 ? std::atof(argv[3]) : 0;
  if (count < 1 || deadlineSeconds < 10 || rate < 0)
    return fail("usage: soak_driver COUNT [DEADLINE_SECONDS [RATE]]");
  const auto deadline = Clock::now() + std::chrono::seconds(deadlineSeconds);

  Child bus = spawn({programPath("nembad")}, kBusOut);
  if (bus.pid() <= 0 || !waitForLine(kBusOut, "nembad: channeler", 10000))
    return fail("nembad did not start");
  const char* topics[] = {"site_info"};
  nlite::Client sub("soak", 0, nlite::kDefaultBroadcasterPort, topics, 1);
  if (!sub.waitConnected(10000)) return fail("the subscriber did not connect");

  const int key = bindKeyDaemon();
  if (key < 0) return fail("cannot bind the key daemon's port");
  Child translator = spawn({programPath("keyd-translator")}, kTranslatorOut);
  // The translator's keep-alive tells its address.
  const std::optional<sockaddr_in> found = waitPeer(key, 10000);
  if (translator.pid() <= 0 || !found) return fail("the translator did not start");
  const sockaddr_in peer = *found;
  const pid_t pid = translator.pid();
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
      const std::optional<uint32_t> seq = sequenceOf(m->buffer(), m->bufferSize());
      const long n = seq ? static_cast<long>(*seq) : -1;
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

  const long rcvbuf0 = snmpUdp("RcvbufErrors"), inErrors0 = snmpUdp("InErrors");
  const long socketDrops0 = udpSocket(port, true);
  Report reports[2] = {makeReport(0, kLocks), makeReport(1, kLocks)};
  // The first memory figure is taken once the translator has published
  // 10000 reports (a twentieth of COUNT when that is less), in full flow.
  const long firstMark = std::min(10000L, count / 20 + 1);
  long sent = 0, rssFirst = -1;
  const auto started = Clock::now();
  for (long n = 1; n <= count && Clock::now() < deadline; ++n) {
    if (rate > 0) {  // paced: report n is due n / rate seconds after the start
      const auto due = started + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(n / rate));
      if (Clock::now() < due) std::this_thread::sleep_until(due);
    }
    Report& t = reports[n % 2];
    t.setCount(static_cast<uint32_t>(n));
    while (::sendto(key, t.bytes.data(), t.bytes.size(), 0,
                    reinterpret_cast<const sockaddr*>(&peer), sizeof peer) < 0) {
      if (Clock::now() >= deadline) break;
      std::this_thread::sleep_for(1ms);  // ENOBUFS: retried, never counted twice
    }
    ++sent;
    if (rssFirst < 0 && published >= firstMark) rssFirst = statusField(pid, "VmRSS");
  }
  const double sendSeconds = std::chrono::duration<double>(Clock::now() - started).count();

  // Quiescence: the translator's socket read empty and no publication for 2 s.
  auto nowMs = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
  };
  while (Clock::now() < deadline) {
    if (rssFirst < 0 && published >= firstMark) rssFirst = statusField(pid, "VmRSS");
    if (udpSocket(port, false) == 0 && nowMs() - std::max<long long>(lastAt, 0) > 2000)
      break;
    std::this_thread::sleep_for(50ms);
  }
  const bool timedOut = Clock::now() >= deadline;
  const long rssLast = statusField(pid, "VmRSS");
  const long rcvbufDrops = snmpUdp("RcvbufErrors") - rcvbuf0,
             inErrors = snmpUdp("InErrors") - inErrors0;
  const long socketDrops = udpSocket(port, true) - socketDrops0;
  stop = true;
  subscriber.join();

  const int status = translator.stop(3000);
  const std::vector<std::string> out = readLines(kTranslatorOut);
  const bool orderly = status == 0 && !out.empty() && out.back() == "Broker OUT!";
  long pauses = 0;
  {
    std::ifstream log("/etc/ram/keyd-translator.log");
    for (std::string line; std::getline(log, line);)
      pauses += line.find("Event queue full") != std::string::npos;
  }
  bus.stop(3000);

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
