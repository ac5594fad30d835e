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
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "bench_support.h"
#include "kopts.h"
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

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

// The kernel's counts of UDP datagrams it could not deliver: all sockets'
// (Udp RcvbufErrors and InErrors) and the translator's socket's own.
struct UdpDrops {
  long rcvbuf = 0, inErrors = 0, socket = 0;
};

UdpDrops udpDrops(int port) {
  return {snmpUdp("RcvbufErrors"), snmpUdp("InErrors"), udpSocket(port, true)};
}

// Soak: the two programs, the subscriber and the key daemon's socket, for
// one run. main owns it; the subscriber's thread writes the counts of
// publications, main does everything else.
class Soak {
 public:
  Soak(long count, long deadlineSeconds, double rate)
      : mCount(count),
        mDeadlineSeconds(deadlineSeconds),
        mRate(rate),
        mDeadline(Clock::now() + std::chrono::seconds(deadlineSeconds)),
        // The first memory figure is taken once the translator has published
        // 10000 reports (a twentieth of COUNT when that is less), in full flow.
        mFirstMark(std::min(10000L, count / 20 + 1)),
        mSeen(static_cast<size_t>(count) + 1) {}

  // Exit status 0 when everything balances, 1 when not, 2 on a set-up
  // failure.
  int run() {
    if (const std::optional<int> failed = start()) return *failed;
    std::thread subscriber([this] { countPublications(); });
    const UdpDrops before = udpDrops(mPort);
    sendReports();
    awaitQuiet();
    mTimedOut = Clock::now() >= mDeadline;
    mRssLast = statusField(mTranslator.pid(), "VmRSS");
    const UdpDrops after = udpDrops(mPort);
    mDrops = {after.rcvbuf - before.rcvbuf, after.inErrors - before.inErrors,
              after.socket - before.socket};
    mStop = true;
    subscriber.join();
    stopPrograms();
    return account();
  }

 private:
  // The bus daemon, the subscriber, the key daemon's socket and the
  // translator, whose keep-alive tells its address; an exit status when
  // one of them fails.
  std::optional<int> start() {
    mBus = spawn({programPath("nembad")}, kBusOut);
    if (mBus.pid() <= 0 || !waitForLine(kBusOut, "nembad: channeler", 10000))
      return fail("nembad did not start");
    const char* topics[] = {"site_info"};
    mSub = std::make_unique<nlite::Client>("soak", 0, nlite::kDefaultBroadcasterPort, topics, 1);
    if (!mSub->waitConnected(10000)) return fail("the subscriber did not connect");
    mKey = bindKeyDaemon();
    if (mKey < 0) return fail("cannot bind the key daemon's port");
    mTranslator = spawn({programPath("keyd-translator")}, kTranslatorOut);
    const std::optional<sockaddr_in> found = waitPeer(mKey, 10000);
    if (mTranslator.pid() <= 0 || !found) return fail("the translator did not start");
    mPeer = *found;
    mPort = ntohs(mPeer.sin_port);
    return std::nullopt;
  }

  // The subscriber: counts publications, checks their numbers' order.
  void countPublications() {
    long previous = 0;
    while (!mStop) {
      nlite::Message* m = mSub->receive();
      if (!m) {
        mSub->waitReadable(50);
        continue;
      }
      const std::optional<uint32_t> seq = sequenceOf(m->buffer(), m->bufferSize());
      const long n = seq ? static_cast<long>(*seq) : -1;
      if (n < 1 || n > mCount || mSeen[static_cast<size_t>(n)]) {
        ++mForeign;
        continue;
      }
      mSeen[static_cast<size_t>(n)] = 1;
      if (n < previous) ++mUnordered;
      previous = n;
      ++mPublished;
      mLastAt = nowMs();
    }
  }

  // COUNT reports at full speed, or paced at RATE, until the deadline.
  void sendReports() {
    Report reports[2] = {makeReport(0, kLocks), makeReport(1, kLocks)};
    const auto started = Clock::now();
    for (long n = 1; n <= mCount && Clock::now() < mDeadline; ++n) {
      if (mRate > 0) {  // paced: report n is due n / rate seconds after the start
        const auto due = started + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(n / mRate));
        if (Clock::now() < due) std::this_thread::sleep_until(due);
      }
      Report& t = reports[n % 2];
      t.setCount(static_cast<uint32_t>(n));
      while (::sendto(mKey, t.bytes.data(), t.bytes.size(), 0,
                      reinterpret_cast<const sockaddr*>(&mPeer), sizeof mPeer) < 0) {
        if (Clock::now() >= mDeadline) break;
        std::this_thread::sleep_for(1ms);  // ENOBUFS: retried, never counted twice
      }
      ++mSent;
      takeFirstRss();
    }
    mSendSeconds = std::chrono::duration<double>(Clock::now() - started).count();
  }

  // Quiescence: the translator's socket read empty and no publication for 2 s.
  void awaitQuiet() {
    while (Clock::now() < mDeadline) {
      takeFirstRss();
      if (udpSocket(mPort, false) == 0 && nowMs() - std::max<long long>(mLastAt, 0) > 2000)
        break;
      std::this_thread::sleep_for(50ms);
    }
  }

  void takeFirstRss() {
    if (mRssFirst < 0 && mPublished >= mFirstMark)
      mRssFirst = statusField(mTranslator.pid(), "VmRSS");
  }

  // The translator stops in order ("Broker OUT!" last, status 0); its log
  // tells how often its event pump was full.
  void stopPrograms() {
    const int status = mTranslator.stop(3000);
    const std::vector<std::string> out = readLines(kTranslatorOut);
    mOrderly = status == 0 && !out.empty() && out.back() == "Broker OUT!";
    std::ifstream log("/etc/ram/keyd-translator.log");
    for (std::string line; std::getline(log, line);)
      mPauses += line.find("Event queue full") != std::string::npos;
    mBus.stop(3000);
  }

  // Prints the accounting; the exit status.
  int account() const {
    const long busLoss = mSent - mPublished - mDrops.rcvbuf;
    const bool balanced =
        busLoss == 0 && mDrops.socket == mDrops.rcvbuf && mDrops.inErrors == mDrops.rcvbuf;
    const bool flat = mRssFirst > 0 && mRssLast > 0 && mRssLast * 10 <= mRssFirst * 11 &&
                      mRssLast * 10 >= mRssFirst * 9;
    std::printf("soak: datagrams sent                  %ld in %.1f s (%.0f/s)\n", mSent,
                mSendSeconds, mSent / mSendSeconds);
    std::printf("soak: publications received           %ld (%ld out of order, %ld unexpected)\n",
                mPublished.load(), mUnordered.load(), mForeign.load());
    std::printf(
        "soak: kernel UDP receive drops        %ld (Udp RcvbufErrors; InErrors %ld; the socket's "
        "own count %ld)\n",
        mDrops.rcvbuf, mDrops.inErrors, mDrops.socket);
    std::printf(
        "soak: event pump full                 %ld times (the receive thread waits, nothing is "
        "dropped there: the kernel drops instead)\n",
        mPauses);
    std::printf("soak: bus-side loss                   %ld\n", busLoss);
    std::printf("soak: accounting                      %ld = %ld + %ld + %ld: %s\n", mSent,
                mPublished.load(), mDrops.rcvbuf, busLoss,
                balanced ? "balanced" : "NOT BALANCED");
    std::printf(
        "soak: translator VmRSS                %ld KiB after %ld publications, %ld KiB after the "
        "run: %s\n",
        mRssFirst, mFirstMark, mRssLast, flat ? "within 10%" : "NOT within 10%");
    std::printf("soak: translator stop                 %s\n",
                mOrderly ? "\"Broker OUT!\", status 0" : "NOT ORDERLY");
    if (mTimedOut) std::printf("soak: stopped at the deadline of %ld s\n", mDeadlineSeconds);
    return balanced && flat && mOrderly && !mTimedOut && mUnordered == 0 && mForeign == 0 ? 0 : 1;
  }

  const long mCount;
  const long mDeadlineSeconds;
  const double mRate;
  const Clock::time_point mDeadline;
  const long mFirstMark;
  Child mBus;
  std::unique_ptr<nlite::Client> mSub;
  int mKey = -1;
  Child mTranslator;
  sockaddr_in mPeer{};
  int mPort = 0;
  // Written by the subscriber's thread.
  std::vector<unsigned char> mSeen;
  std::atomic<long> mPublished{0}, mUnordered{0}, mForeign{0};
  std::atomic<long long> mLastAt{0};  // steady clock of the latest publication, in ms
  std::atomic<bool> mStop{false};
  // Main's.
  long mSent = 0, mRssFirst = -1, mRssLast = -1, mPauses = 0;
  double mSendSeconds = 0;
  UdpDrops mDrops;
  bool mTimedOut = false, mOrderly = false;
};

}  // namespace

int main(int argc, char** argv) {
  const kopts::Syntax syntax{"soak_driver", KEYD_VERSION,
                         "usage: soak_driver COUNT [DEADLINE_SECONDS [RATE]]\n", {}, {}};
  const std::variant<kopts::Args, int> parsed = kopts::parse(syntax, argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const std::vector<std::string>& operands = std::get<kopts::Args>(parsed).operands;
  const long count = operands.size() > 0 ? std::atol(operands[0].c_str()) : 1000000;
  const long deadlineSeconds = operands.size() > 1 ? std::atol(operands[1].c_str()) : 900;
  const double rate = operands.size() > 2 ? std::atof(operands[2].c_str()) : 0;
  if (count < 1 || deadlineSeconds < 10 || rate < 0 || operands.size() > 3)
    return kopts::usageError(syntax, "COUNT from 1, DEADLINE_SECONDS from 10, RATE from 0");
  Soak soak(count, deadlineSeconds, rate);
  return soak.run();
}
