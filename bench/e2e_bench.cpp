// e2e_bench: the end-to-end benchmark of the translator against a bare relay,
// both driven the same way, inside one sandbox with one bus daemon.
//
// The driver plays the key daemon (UDP 127.0.0.1:5555) and a bus subscriber
// of "site_info". It starts the translator and the relay itself, learns
// each one's UDP address from its first keep-alive, then measures:
//   - the translator's idle CPU over --idle-seconds (utime+stime from
//     /proc/PID/stat, no traffic, the bus up) and its VmRSS then;
//   - for each target, the highest sending rate at which every SET report
//     yields its "site_info" publication (steps of --step-seconds, doubling
//     until a loss, then bisecting; a rate fails when it loses twice in a
//     row; the two searches take turns step by step, so both see the same
//     background load);
//   - for each target, publication latency p50/p99 at --latency-rate, in
//     five rounds in which the targets take turns;
//   - the translator's VmRSS after all that, with the number of reports.
// Every report is a change: two configurations (their last lock differs)
// alternate, and the transaction count carries the report's sequence
// number, which comes back in the publication (JSON "TAG_TRANS_CNT" from
// the translator, the raw datagram from the relay).
//
// Results go to standard output as "key value" lines, progress to standard
// error. Every phase is bounded in time; the targets are stopped at the end.
//
// Ownership: main owns the sockets, the subscriber, the children and the
// step records. Threads: main (orchestration and sending) and one receiver
// thread that owns the subscriber.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "bench_support.h"
#include "kopts.h"
#include "kmsg.h"
#include "nlite.h"

namespace {

using namespace bench;
using Clock = std::chrono::steady_clock;

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

void sleepNs(int64_t ns) {
  if (ns > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

// ------------------------------------------------------------ options

struct Options {
  std::string translator;
  std::string relay;
  std::string logDir = ".";
  int channeler = nlite::kDefaultChannelerPort;
  int broadcaster = nlite::kDefaultBroadcasterPort;
  int idleSeconds = 60;
  double stepSeconds = 2.0;
  double startRate = 4000;
  double maxRate = 400000;
  int bisections = 4;
  double latencyRate = 1000;
  double latencySeconds = 5;
  bool threadDetail = false;  // per-thread CPU and wake-ups of each step
  int busPid = 0;             // the bus daemon, for its CPU per report
  std::string latencyDump;    // folder for the latency samples, one file per target
  bool translatorOnly = false;  // no relay: the translator's search alone
  std::string logFile;          // the translator's log, counted after it stopped
};

const char* const kHelp =
    "usage: e2e_bench --translator PATH --relay PATH [--channeler-port N] "
    "[--broadcaster-port N] [--log-dir DIR] [--idle-seconds S] [--step-seconds S] "
    "[--start-rate R] [--max-rate R] [--bisections K] [--latency-rate R] "
    "[--latency-seconds S] [--thread-detail 0|1] [--bus-pid PID] "
    "[--latency-dump DIR] [--translator-only 0|1] [--log-file PATH]\n";

// Each option and the member of Options its value goes to: a text, a whole
// number, a number, or 0|1.
using Field = std::variant<std::string*, int*, double*, bool*>;
std::vector<std::pair<std::string, Field>> optionFields(Options& o) {
  return {{"--translator", &o.translator},         {"--relay", &o.relay},
          {"--log-dir", &o.logDir},                {"--channeler-port", &o.channeler},
          {"--broadcaster-port", &o.broadcaster},  {"--idle-seconds", &o.idleSeconds},
          {"--step-seconds", &o.stepSeconds},      {"--start-rate", &o.startRate},
          {"--max-rate", &o.maxRate},              {"--bisections", &o.bisections},
          {"--latency-rate", &o.latencyRate},      {"--latency-seconds", &o.latencySeconds},
          {"--thread-detail", &o.threadDetail},    {"--bus-pid", &o.busPid},
          {"--latency-dump", &o.latencyDump},      {"--translator-only", &o.translatorOnly},
          {"--log-file", &o.logFile}};
}

// Sets a field from its option's text.
struct Assign {
  const std::string& text;
  void operator()(std::string* out) const { *out = text; }
  void operator()(int* out) const { *out = std::atoi(text.c_str()); }
  void operator()(double* out) const { *out = std::atof(text.c_str()); }
  void operator()(bool* out) const { *out = std::atoi(text.c_str()) != 0; }
};

// ------------------------------------------------------------ the run

// Locks per report: a key and ten locks, as the micro benchmarks use.
constexpr int kLocks = 10;

// One batch of reports and what came back of it.
struct Batch {
  uint32_t base = 0;
  uint32_t count = 0;
  std::unique_ptr<std::atomic<int64_t>[]> sentNs;  // by the sender
  std::vector<int64_t> latencyNs;                   // by the receiver; -1 = not yet
  uint32_t received = 0;
  uint32_t duplicates = 0;
};

// The counters read before and after a batch: the kernel's UDP receive
// drops, the target's CPU and page faults, the bus daemon's and this
// driver's CPU (clock ticks; -1 where unreadable).
struct Readings {
  long long drops = 0;
  CpuTicks target;
  long long bus = -1, self = -1;
};

// The target's threads over a batch of `count` reports: CPU and context
// switches per report, one line each on standard error.
void printThreadDetail(pid_t pid, const std::vector<std::pair<int, ThreadStat>>& before,
                       uint32_t count) {
  const double tick = 1e6 / sysconf(_SC_CLK_TCK);
  for (const auto& [tid, after] : threadStats(pid)) {
    ThreadStat was;
    for (const auto& [t0, b] : before)
      if (t0 == tid) was = b;
    std::fprintf(stderr,
                 "e2e_bench:   thread %-16s user %6.1f sys %6.1f us/report, "
                 "switches %.2f voluntary %.2f involuntary per report\n",
                 after.name.c_str(), (after.user - was.user) * tick / count,
                 (after.system - was.system) * tick / count,
                 static_cast<double>(after.voluntary - was.voluntary) / count,
                 static_cast<double>(after.involuntary - was.involuntary) / count);
  }
}

// Driver: the key daemon's socket, the subscriber (on its own thread), the
// two targets and the measurements. It owns everything it starts and
// stops the targets before run() returns. run() is called once, from main.
class Driver {
 public:
  explicit Driver(const Options& o) : mOpt(o) {}
  int run();

 private:
  struct StepResult {
    double target = 0, achieved = 0;
    uint32_t sent = 0, received = 0, duplicates = 0;
    long long kernelDrops = 0;
    double cpuUsPerReport = -1;
    double userShare = -1;  // of that CPU time, the part in user space
    double busUsPerReport = -1, driverUsPerReport = -1;  // the bus daemon, this driver
    double faultsPerReport = -1;  // minor page faults of the target
    // Every report published exactly once.
    bool lossless() const { return received == sent && duplicates == 0 && sent > 0; }
  };
  // A program measured: the translator or the relay.
  struct Target {
    const char* name = "";
    Child proc;
    sockaddr_in peer{};
    // The search: the best lossless rate, and the bounds still open.
    double best = 0, bestTarget = 0, lo = 0, hi = 0, next = 0;
    int bisected = 0;
    bool retrying = false;  // the rate of t.next lost once already
    bool done = false;
    uint64_t reports = 0;
    uint64_t published = 0;  // publications matched to its reports, in all steps
    StepResult bestStep;
  };
  // A target's latency rounds, summed.
  struct Latency {
    std::vector<int64_t> samples;
    uint32_t sent = 0, received = 0;
    double cpu = 0, bus = 0, driver = 0;  // summed over the rounds
  };

  void receiverLoop();

  // The set-up: both targets started, each one's address learnt.
  bool startTargets();
  // What is measured, and printed, in this order.
  void measureIdle();
  void searchThroughput();
  void searchStep(Target& t);
  void chooseNextRate(Target& t, const StepResult& s) const;
  void printThroughput();
  std::array<Latency, 2> measureLatency();
  void printLatency(const std::array<Latency, 2>& latency);
  void printTotals();
  void printLogCounts(int stopStatus);

  // One batch: its reports sent at `rate` for `seconds`, what came back.
  StepResult runBatch(const sockaddr_in& peer, pid_t pid, double rate, double seconds,
                      std::vector<int64_t>* latencies);
  void openBatch(Batch& batch, uint32_t count);
  void sendPaced(Batch& batch, const sockaddr_in& peer, double rate);
  void awaitStragglers(const Batch& batch, int64_t sendEnd);
  void closeBatch(const Batch& batch, StepResult& r);
  Readings readings(pid_t pid) const;
  void dumpLatency(const Batch& batch) const;

  int targetCount() const { return mOpt.translatorOnly ? 1 : 2; }

  const Options& mOpt;
  int mKeyDaemon = -1;
  Target mTargets[2];
  Report mReports[2] = {makeReport(0, kLocks), makeReport(1, kLocks)};
  uint32_t mNextSeq = 1;
  std::atomic<bool> mStop{false};
  std::atomic<bool> mSubscribed{false};
  std::mutex mBatchMutex;  // guards mBatch and its receiver-side fields
  Batch* mBatch = nullptr;
  std::atomic<unsigned long> mStray{0};
};

void Driver::receiverLoop() {
  const char* topics[] = {"site_info"};
  nlite::Client sub("e2e_bench", 0, mOpt.broadcaster, topics, 1);
  if (!sub.waitConnected(5000)) {
    std::fprintf(stderr, "e2e_bench: the bus daemon cannot be reached\n");
    std::exit(1);
  }
  mSubscribed.store(true);
  while (!mStop.load()) {
    if (!sub.waitReadable(50)) continue;
    while (nlite::Message* m = sub.receive()) {
      const int64_t at = nowNs();
      const std::optional<uint32_t> seq = sequenceOf(m->buffer(), m->bufferSize());
      std::lock_guard<std::mutex> lock(mBatchMutex);
      Batch* b = mBatch;
      if (!seq || !b || *seq < b->base || *seq - b->base >= b->count) {
        ++mStray;
        continue;
      }
      const uint32_t i = *seq - b->base;
      if (b->latencyNs[i] >= 0) {
        ++b->duplicates;
        continue;
      }
      b->latencyNs[i] = at - b->sentNs[i].load(std::memory_order_relaxed);
      ++b->received;
    }
  }
}

// ------------------------------------------------------------ one batch

Driver::StepResult Driver::runBatch(const sockaddr_in& peer, pid_t pid, double rate,
                                    double seconds, std::vector<int64_t>* latencies) {
  StepResult r;
  r.target = rate;
  const uint32_t count = static_cast<uint32_t>(std::max(1.0, rate * seconds));
  Batch batch;
  openBatch(batch, count);
  const Readings before = readings(pid);
  const auto threadsBefore = mOpt.threadDetail ? threadStats(pid) : decltype(threadStats(pid)){};

  const int64_t start = nowNs();
  sendPaced(batch, peer, rate);
  const int64_t sendEnd = nowNs();
  r.sent = count;
  r.achieved = count / std::max(1e-9, (sendEnd - start) / 1e9);
  awaitStragglers(batch, sendEnd);

  const Readings after = readings(pid);
  closeBatch(batch, r);
  if (mOpt.threadDetail) printThreadDetail(pid, threadsBefore, count);
  r.kernelDrops = after.drops - before.drops;
  if (before.target.total() >= 0 && after.target.total() >= 0) {
    const long long used = after.target.total() - before.target.total();
    r.cpuUsPerReport = used * 1e6 / sysconf(_SC_CLK_TCK) / count;
    if (used > 0) r.userShare = static_cast<double>(after.target.user - before.target.user) / used;
    r.faultsPerReport =
        static_cast<double>(after.target.minorFaults - before.target.minorFaults) / count;
  }
  const double tickUs = 1e6 / sysconf(_SC_CLK_TCK);
  if (before.bus >= 0 && after.bus >= 0)
    r.busUsPerReport = (after.bus - before.bus) * tickUs / count;
  if (before.self >= 0 && after.self >= 0)
    r.driverUsPerReport = (after.self - before.self) * tickUs / count;
  if (latencies)
    for (int64_t l : batch.latencyNs)
      if (l >= 0) latencies->push_back(l);
  if (latencies && !mOpt.latencyDump.empty()) dumpLatency(batch);
  return r;
}

// Numbers the batch's reports after the last one sent and shows it to the
// receiver.
void Driver::openBatch(Batch& batch, uint32_t count) {
  batch.base = mNextSeq;
  batch.count = count;
  batch.sentNs.reset(new std::atomic<int64_t>[count]);
  batch.latencyNs.assign(count, -1);
  mNextSeq += count;
  std::lock_guard<std::mutex> lock(mBatchMutex);
  mBatch = &batch;
}

// Paced sending: at every wake-up, everything due by now goes out.
void Driver::sendPaced(Batch& batch, const sockaddr_in& peer, double rate) {
  const int64_t start = nowNs();
  const double perNs = rate / 1e9;
  uint32_t sent = 0;
  while (sent < batch.count) {
    const int64_t now = nowNs();
    uint32_t due = static_cast<uint32_t>(std::min<double>(batch.count, (now - start) * perNs + 1));
    for (; sent < due; ++sent) {
      Report& rep = mReports[sent & 1];
      rep.setCount(batch.base + sent);
      batch.sentNs[sent].store(nowNs(), std::memory_order_relaxed);
      ::sendto(mKeyDaemon, rep.bytes.data(), rep.bytes.size(), 0,
               reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    }
    if (sent < batch.count) {
      const int64_t next = start + static_cast<int64_t>((sent) / perNs);
      sleepNs(std::max<int64_t>(next - nowNs(), 20000));
    }
  }
}

// Waits for the stragglers: until all arrived, 1 s without progress, or 3 s.
void Driver::awaitStragglers(const Batch& batch, int64_t sendEnd) {
  uint32_t last = 0;
  int64_t progressAt = nowNs();
  for (;;) {
    uint32_t got;
    {
      std::lock_guard<std::mutex> lock(mBatchMutex);
      got = batch.received;
    }
    const int64_t now = nowNs();
    if (got != last) {
      last = got;
      progressAt = now;
    }
    if (got >= batch.count || now - progressAt > 1000000000LL || now - sendEnd > 3000000000LL)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Takes the batch away from the receiver, with what it counted.
void Driver::closeBatch(const Batch& batch, StepResult& r) {
  std::lock_guard<std::mutex> lock(mBatchMutex);
  mBatch = nullptr;
  r.received = batch.received;
  r.duplicates = batch.duplicates;
}

Readings Driver::readings(pid_t pid) const {
  Readings r;
  r.drops = snmpUdp("RcvbufErrors");
  r.target = cpuSplit(pid);
  r.bus = mOpt.busPid > 0 ? cpuTicks(mOpt.busPid) : -1;
  r.self = cpuTicks(::getpid());
  return r;
}

// One line per report: send time (µs after the first) and latency (µs, -1
// when lost).
void Driver::dumpLatency(const Batch& batch) const {
  std::ofstream out(mOpt.latencyDump + "/latency-" + std::to_string(batch.base) + ".txt");
  for (uint32_t i = 0; i < batch.count; ++i)
    out << (batch.sentNs[i].load() - batch.sentNs[0].load()) / 1000 << ' '
        << (batch.latencyNs[i] < 0 ? -1 : batch.latencyNs[i] / 1000) << '\n';
}

// ------------------------------------------------------------ the phases

double percentile(std::vector<int64_t> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(std::ceil(p / 100.0 * v.size())) - 1);
  return v[i] / 1000.0;  // microseconds
}

void result(const std::string& key, double value) {
  std::printf("%s %.6g\n", key.c_str(), value);
  std::fflush(stdout);
}

int Driver::run() {
  mKeyDaemon = bindKeyDaemon(4 << 20);
  if (mKeyDaemon < 0) {
    std::perror("e2e_bench: cannot bind 127.0.0.1:5555 (run inside keyd-sandbox)");
    return 1;
  }
  std::thread receiver([this] { receiverLoop(); });
  while (!mSubscribed.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!startTargets()) {
    for (Target& t : mTargets) t.proc.stop();
    mStop.store(true);
    receiver.join();
    return 1;
  }
  measureIdle();
  searchThroughput();
  printThroughput();
  printLatency(measureLatency());
  printTotals();

  // Every publication is in: the translator is idle when it stops.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int status = mTargets[0].proc.stop();
  for (Target& t : mTargets) t.proc.stop();
  mStop.store(true);
  receiver.join();
  if (!mOpt.logFile.empty()) printLogCounts(status);
  return 0;
}

bool Driver::startTargets() {
  mTargets[0].name = "translator";
  mTargets[1].name = "relay";
  mTargets[0].proc = spawn({mOpt.translator}, mOpt.logDir + "/translator.out");
  const std::optional<sockaddr_in> tPeer = waitPeer(mKeyDaemon, 15000);
  if (!tPeer) {
    std::fprintf(stderr, "e2e_bench: no keep-alive from the translator\n");
    return false;
  }
  mTargets[0].peer = *tPeer;
  if (mOpt.translatorOnly) {
    mTargets[1].done = true;
    return true;
  }
  mTargets[1].proc = spawn({mOpt.relay, "--channeler-port", std::to_string(mOpt.channeler),
                            "--max-seconds", "600"},
                           mOpt.logDir + "/relay.out");
  const std::optional<sockaddr_in> rPeer = waitPeer(mKeyDaemon, 15000, tPeer);
  if (!rPeer) {
    std::fprintf(stderr, "e2e_bench: no announcement from the relay\n");
    return false;
  }
  mTargets[1].peer = *rPeer;
  return true;
}

// Idle: the translator's CPU with no traffic.
void Driver::measureIdle() {
  const pid_t pid = mTargets[0].proc.pid();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  result("translator_threads", statusField(pid, "Threads"));
  result("translator_rss_start_kib", statusField(pid, "VmRSS"));
  if (mOpt.idleSeconds <= 0) return;
  std::fprintf(stderr, "e2e_bench: idle CPU of the translator over %d s\n", mOpt.idleSeconds);
  const long long before = cpuTicks(pid);
  const long long nsBefore = liveThreadsNs(pid);
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(mOpt.idleSeconds));
  const long long after = cpuTicks(pid);
  const long long nsAfter = liveThreadsNs(pid);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpuSeconds = static_cast<double>(after - before) / sysconf(_SC_CLK_TCK);
  result("translator_idle_seconds", wall);
  result("translator_idle_cpu_ticks", static_cast<double>(after - before));
  result("translator_idle_cpu_percent", cpuSeconds / wall * 100.0);
  result("clock_ticks_per_second", static_cast<double>(sysconf(_SC_CLK_TCK)));
  // The same from the scheduler's nanosecond counters of the threads
  // alive at both ends (a timer's short-lived notification threads are
  // missing there, but not from the ticks above).
  result("translator_idle_cpu_percent_schedstat", (nsAfter - nsBefore) / 1e9 / wall * 100.0);
}

// Throughput: the two searches take turns, one step each.
void Driver::searchThroughput() {
  for (Target& t : mTargets) t.next = mOpt.startRate;
  for (bool any = true; any;) {
    any = false;
    for (Target& t : mTargets) {
      if (t.done) continue;
      any = true;
      searchStep(t);
    }
  }
}

void Driver::searchStep(Target& t) {
  const StepResult s = runBatch(t.peer, t.proc.pid(), t.next, mOpt.stepSeconds, nullptr);
  t.reports += s.sent;
  t.published += s.received + s.duplicates;
  std::fprintf(stderr,
               "e2e_bench: %-10s target %8.0f/s sent %7u at %8.0f/s received %7u dup %u "
               "kernel drops %lld; CPU us/report: target %.1f (%.0f%% user) bus %.1f "
               "driver %.1f; target page faults %.3f/report -> %s\n",
               t.name, s.target, s.sent, s.achieved, s.received, s.duplicates, s.kernelDrops,
               s.cpuUsPerReport, s.userShare * 100, s.busUsPerReport, s.driverUsPerReport,
               s.faultsPerReport,
               s.lossless() ? "lossless" : t.retrying ? "LOSS again" : "LOSS, once more");
  // A rate fails only when it loses twice in a row: on a shared machine
  // one step can lose to a stall that has nothing to do with the rate.
  if (!s.lossless() && !t.retrying) {
    t.retrying = true;
  } else {
    t.retrying = false;
    chooseNextRate(t, s);
  }
  // Lets the pipeline go quiet between steps.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// Doubling until the first loss, then bisecting (geometric middle).
void Driver::chooseNextRate(Target& t, const StepResult& s) const {
  if (s.lossless()) {
    if (s.achieved > t.best) {
      t.best = s.achieved;
      t.bestStep = s;
    }
    t.lo = std::max(t.lo, t.next);
  } else {
    t.hi = t.hi > 0 ? std::min(t.hi, t.next) : t.next;
  }
  const bool senderBound = s.lossless() && s.achieved < 0.9 * s.target;
  if (t.hi == 0) {
    t.next = t.next * 2;
    if (t.next > mOpt.maxRate || senderBound) t.done = true;
  } else if (t.lo == 0) {
    // Lost already at the start rate: go down.
    t.next = t.hi / 2;
    if (t.next < 100) t.done = true;
  } else if (t.bisected++ < mOpt.bisections) {
    t.next = std::sqrt(t.lo * t.hi);
  } else {
    t.done = true;
  }
}

void Driver::printThroughput() {
  for (int i = 0; i < targetCount(); ++i) {
    const Target& t = mTargets[i];
    const std::string n = t.name;
    result(n + "_lossless_reports_per_s", t.best);
    result(n + "_first_loss_target_per_s", t.hi);
    // CPU per report at the best lossless step: the target, the bus daemon
    // and this driver (sender and subscriber).
    result(n + "_cpu_us_per_report", t.bestStep.cpuUsPerReport);
    result(n + "_bus_cpu_us_per_report", t.bestStep.busUsPerReport);
    result(n + "_driver_cpu_us_per_report", t.bestStep.driverUsPerReport);
  }
}

// Latency at a fixed rate, in kLatencyRounds rounds in which the targets
// take turns: both meet the same background load.
constexpr int kLatencyRounds = 5;

std::array<Driver::Latency, 2> Driver::measureLatency() {
  std::array<Latency, 2> latency;
  for (int round = 0; round < kLatencyRounds && mOpt.latencySeconds > 0; ++round) {
    for (int i = 0; i < targetCount(); ++i) {
      Target& t = mTargets[i];
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      const StepResult s = runBatch(t.peer, t.proc.pid(), mOpt.latencyRate,
                                    mOpt.latencySeconds / kLatencyRounds, &latency[i].samples);
      t.reports += s.sent;
      t.published += s.received + s.duplicates;
      latency[i].sent += s.sent;
      latency[i].received += s.received;
      latency[i].cpu += s.cpuUsPerReport / kLatencyRounds;
      latency[i].bus += s.busUsPerReport / kLatencyRounds;
      latency[i].driver += s.driverUsPerReport / kLatencyRounds;
    }
  }
  return latency;
}

void Driver::printLatency(const std::array<Latency, 2>& latency) {
  for (int i = 0; i < targetCount() && mOpt.latencySeconds > 0; ++i) {
    const Latency& l = latency[i];
    const std::string n = mTargets[i].name;
    std::fprintf(stderr, "e2e_bench: %-10s latency runs: sent %u received %u\n", n.c_str(), l.sent,
                 l.received);
    result(n + "_latency_reports", l.sent);
    result(n + "_latency_lost", l.sent - l.received);
    result(n + "_latency_p50_us", percentile(l.samples, 50));
    result(n + "_latency_p99_us", percentile(l.samples, 99));
    result(n + "_latency_max_us", percentile(l.samples, 100));
    // CPU per report at this fixed rate: comparable between the targets.
    result(n + "_latency_cpu_us_per_report", l.cpu);
    result(n + "_latency_bus_cpu_us_per_report", l.bus);
    result(n + "_latency_driver_cpu_us_per_report", l.driver);
  }
}

// The translator's memory after all that, with the number of reports.
void Driver::printTotals() {
  const pid_t pid = mTargets[0].proc.pid();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  result("translator_reports_total", static_cast<double>(mTargets[0].reports));
  result("translator_rss_after_kib", statusField(pid, "VmRSS"));
  result("translator_rss_peak_kib", statusField(pid, "VmHWM"));
  result("stray_publications", static_cast<double>(mStray.load()));
}

// The translator's log after a SIGTERM: a line for every publication, none
// lost.
void Driver::printLogCounts(int stopStatus) {
  long lines = 0, sent = 0, handled = 0;
  std::ifstream in(mOpt.logFile);
  for (std::string line; std::getline(in, line);) {
    ++lines;
    sent += line.find("CFG Message Sent") != std::string::npos;
    handled += line.find("Set Msg Handled!") != std::string::npos;
  }
  result("translator_stop_status", stopStatus);
  result("translator_log_lines", static_cast<double>(lines));
  result("translator_log_cfg_sent_lines", static_cast<double>(sent));
  result("translator_log_handled_lines", static_cast<double>(handled));
  result("translator_publications", static_cast<double>(mTargets[0].published + mStray.load()));
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const auto fields = optionFields(options);
  kopts::Syntax syntax{"e2e_bench", KEYD_VERSION, kHelp, {}, {}};
  for (const auto& field : fields) syntax.valued.push_back(field.first);
  const std::variant<kopts::Args, int> parsed = kopts::parse(syntax, argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const kopts::Args& args = std::get<kopts::Args>(parsed);
  for (const auto& [name, field] : fields)
    if (const std::optional<std::string> text = args.value(name)) std::visit(Assign{*text}, field);
  if (!args.operands.empty())
    return kopts::usageError(syntax, "unexpected argument " + args.operands.front());
  if (options.translator.empty() || (options.relay.empty() && !options.translatorOnly))
    return kopts::usageError(syntax, "--translator and --relay (or --translator-only 1) are needed");
  if (options.channeler <= 0 || options.broadcaster <= 0)
    return kopts::usageError(syntax, "the bus ports are above 0");
  ::signal(SIGPIPE, SIG_IGN);
  Driver driver(options);
  return driver.run();
}
