// micro_bench: Google Benchmark timings of the translator's hot paths: the
// codec on a SET report (a key and 10 locks), the broker's SET handling
// through onMessage (unchanged and changed configuration) and the bus
// command "UNLOCK" of a known lock through handleJSON_message.
//
// The broker benchmarks build a real kmsgBroker, which reads
// /etc/ram/keyd-translator.conf and /etc/ram/nembad.conf, connects its bus
// clients to the bus daemon of those ports and its UDP link to
// 127.0.0.1:5555: run it inside a sandbox (bench/run.sh does) with a
// bus daemon running. A socket of this program on 127.0.0.1:5555 plays the
// key daemon and discards what the translator writes to it.
//
// Ownership: main owns the broker and the key-daemon sink for the whole run.
// Threads: the benchmarks run on the main thread, standing in for the
// event pump (onMessage) and the bus loop (handleJSON_message); the
// broker's pump stays idle because the sink never sends.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "kmsg.h"
#include "kmsgBroker.h"

namespace {

// The report every benchmark uses (bench_support): a complete
// configuration with a key and ten locks; variants 0 and 1 differ in their
// last lock, so they are two different configurations.
constexpr int kLocks = 10;
std::unique_ptr<KMsg> makeReport(int variant) { return bench::makeReportMsg(variant, kLocks, 7); }

// The decimal name of the fourth lock of the report, as the bus names it.
std::string knownLockName() {
  const unsigned long long value = (0x01ull << 32) | (0x02ull << 24) | (0x03ull << 16) |
                                   (0x13ull << 8) | 0x03ull;
  return std::to_string(value);
}

// ---------------------------------------------------------------- codec

void BM_SerialiseSetReport(benchmark::State& state) {
  const std::unique_ptr<KMsg> msg = makeReport(0);
  unsigned char buffer[2048];
  int length = 0;
  for (auto _ : state) {
    length = msg->getMsg(buffer, sizeof buffer);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
  state.SetLabel(std::to_string(length) + " bytes");
}

void BM_ParseSetReport(benchmark::State& state) {
  const std::unique_ptr<KMsg> msg = makeReport(0);
  unsigned char buffer[2048];
  const int length = msg->getMsg(buffer, sizeof buffer);
  for (auto _ : state) {
    std::unique_ptr<KMsg> parsed(KMsg::parseMsg(buffer, static_cast<unsigned short>(length)));
    benchmark::DoNotOptimize(parsed.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
  state.SetLabel(std::to_string(length) + " bytes");
}

// ---------------------------------------------------------------- broker

// KeyDaemonSink: the key daemon's side of the UDP link, bound to
// 127.0.0.1:5555 before the broker connects. Owned by main; it owns its
// socket and its thread, which reads and discards every request.
class KeyDaemonSink {
 public:
  KeyDaemonSink() {
    mSocket = bench::bindKeyDaemon();
    if (mSocket < 0) {
      std::perror("micro_bench: cannot bind 127.0.0.1:5555 (run inside keyd-sandbox)");
      std::exit(1);
    }
    mThread = std::thread([this] {
      unsigned char buffer[4096];
      while (!mStop.load()) {
        pollfd p{mSocket, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) (void)::recv(mSocket, buffer, sizeof buffer, 0);
      }
    });
  }
  ~KeyDaemonSink() {
    mStop.store(true);
    mThread.join();
    ::close(mSocket);
  }
  KeyDaemonSink(const KeyDaemonSink&) = delete;
  KeyDaemonSink& operator=(const KeyDaemonSink&) = delete;

 private:
  int mSocket = -1;
  std::atomic<bool> mStop{false};
  std::thread mThread;
};

kmsgBroker* gBench = nullptr;  // owned by main

// The unchanged configuration, as the key daemon repeats it: compared with
// the current summary and dropped (the ping interval is an hour).
// locks: the number of locks of the site.
void BM_HandleSetUnchanged(benchmark::State& state, int locks) {
  const std::unique_ptr<KMsg> report = bench::makeReportMsg(0, locks, 7);
  gBench->onMessage(report.get());  // current summary: this configuration
  for (auto _ : state) gBench->onMessage(report.get());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Two configurations in turn: every report replaces the summary and is
// published as "site_info" to the live bus daemon.
void BM_HandleSetChanged(benchmark::State& state, int locks) {
  const std::unique_ptr<KMsg> reports[2] = {bench::makeReportMsg(0, locks, 7),
                                            bench::makeReportMsg(1, locks, 7)};
  size_t i = 0;
  for (auto _ : state) gBench->onMessage(reports[i++ & 1].get());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// "UNLOCK" of a lock of the current summary: parsed, looked up and queued
// for the transmit thread, which writes it to the sink. When the transmit
// thread falls behind (the queue holds at most 256), the clock stops while
// it catches up, so what is timed is always a queued request.
void BM_UnlockKnownLock(benchmark::State& state) {
  const std::unique_ptr<KMsg> report = makeReport(0);
  gBench->onMessage(report.get());
  const char* uuid = gBench->getStateUuid();
  const std::string text = std::string("{\"command\":\"UNLOCK\",\"RFID\":\"") + knownLockName() +
                           "\",\"state\":\"" + (uuid ? uuid : "") + "\"}";
  cMiniClient& link = gBench->miniClient();
  for (auto _ : state) {
    benchmark::DoNotOptimize(gBench->handleJSON_message(text.data(), text.size()));
    if (link.queued() >= cMiniClient::kTxQueueBound / 2) {
      state.PauseTiming();
      while (link.queued() > 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// The profile mode: the body of one broker benchmark `count` times in a
// plain loop, outside Google Benchmark, so an instruction counter (valgrind
// --tool=callgrind --toggle-collect='*profileLoop*') sees exactly that many
// calls. Returns false for an unknown name.
__attribute__((noinline)) bool profileLoop(const std::string& name, long count, int locks) {
  const std::unique_ptr<KMsg> reports[2] = {bench::makeReportMsg(0, locks, 7),
                                            bench::makeReportMsg(1, locks, 7)};
  if (name == "set_unchanged") {
    for (long i = 0; i < count; ++i) gBench->onMessage(reports[0].get());
  } else if (name == "set_changed") {
    for (long i = 0; i < count; ++i) gBench->onMessage(reports[i & 1].get());
  } else {
    return false;
  }
  return true;
}

}  // namespace

// micro_bench [--broker] [--profile NAME COUNT LOCKS] [Google Benchmark
// options]: --broker adds the broker benchmarks (needs the sandbox); their
// names carry the log level that the configuration file gave the broker,
// and "broker/site_*" the number of locks of the site (1, 10, 50, 100 and
// the most one datagram holds), timed with the process's CPU time (the bus
// client's I/O thread included). --profile runs only the body of
// "set_changed" or "set_unchanged" COUNT times for a site of LOCKS locks
// (for callgrind; see profileLoop).
int main(int argc, char** argv) {
  bool withBroker = false;
  std::string profile;
  long profileCount = 0;
  int profileLocks = kLocks;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--broker") == 0) {
      withBroker = true;
    } else if (std::strcmp(argv[i], "--profile") == 0 && i + 3 < argc) {
      profile = argv[i + 1];
      profileCount = std::atol(argv[i + 2]);
      profileLocks = std::atoi(argv[i + 3]);
      i += 3;
    } else {
      args.push_back(argv[i]);
    }
  }
  if (!profile.empty()) {
    if (profileCount < 1 || profileLocks < 1 || profileLocks > bench::maxLocksPerDatagram()) {
      std::fprintf(stderr, "micro_bench: --profile NAME COUNT LOCKS (1..%d locks)\n",
                   bench::maxLocksPerDatagram());
      return 2;
    }
    KeyDaemonSink profileSink;
    kmsgBroker profileBroker;
    gBench = &profileBroker;
    const bool known = profileLoop(profile, profileCount, profileLocks);
    gBench = nullptr;
    if (!known) std::fprintf(stderr, "micro_bench: no profile %s\n", profile.c_str());
    return known ? 0 : 2;
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

  benchmark::RegisterBenchmark("codec/serialise_set_report", BM_SerialiseSetReport);
  benchmark::RegisterBenchmark("codec/parse_set_report", BM_ParseSetReport);

  std::unique_ptr<KeyDaemonSink> sink;
  std::unique_ptr<kmsgBroker> broker;
  if (withBroker) {
    sink = std::make_unique<KeyDaemonSink>();
    broker = std::make_unique<kmsgBroker>();
    gBench = broker.get();
    const std::string level = cKlog("keyDTranslator").debugEnabled() ? "DEBUG" : "INFO";
    benchmark::RegisterBenchmark(("broker/set_unchanged/log:" + level).c_str(),
                                 BM_HandleSetUnchanged, kLocks);
    benchmark::RegisterBenchmark(("broker/set_changed/log:" + level).c_str(),
                                 BM_HandleSetChanged, kLocks);
    for (const int locks : {1, 10, 50, 100, bench::maxLocksPerDatagram()}) {
      const std::string suffix = "/locks:" + std::to_string(locks) + "/log:" + level;
      benchmark::RegisterBenchmark(("broker/site_unchanged" + suffix).c_str(),
                                   BM_HandleSetUnchanged, locks)
          ->MeasureProcessCPUTime();
      benchmark::RegisterBenchmark(("broker/site_changed" + suffix).c_str(), BM_HandleSetChanged,
                                   locks)
          ->MeasureProcessCPUTime();
    }
    benchmark::RegisterBenchmark(("broker/unlock_known/log:" + level).c_str(),
                                 BM_UnlockKnownLock);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gBench = nullptr;
  broker.reset();
  sink.reset();
  return 0;
}
