// bench_support: what the benchmark programs share: the configuration
// report they send (built with the key-message codec), the key daemon's side
// of the UDP link, the programs under test started and stopped, and the
// figures /proc gives about them.
//
// Ownership: every function returns values the caller owns; a socket
// returned as a descriptor is the caller's to close. A Child owns its
// process: it stops it at the latest when it is destroyed.
// Threads: no shared state; any thread. spawn may be called while other
// threads run (the child makes only async-signal-safe calls before exec).
#ifndef BENCH_BENCH_SUPPORT_H
#define BENCH_BENCH_SUPPORT_H

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kmsg.h"

namespace bench {

// ------------------------------------------------------------ reports

// The configuration report of the benchmarks: key 0x1234 in box "box-1",
// software "sw-2.0", server "srv.example" port 8080, transaction count
// `count`, then `locks` locks. `variant` (0 or 1) changes the last lock, so
// the two variants are two different configurations.
std::unique_ptr<KMsg> makeReportMsg(int variant, int locks, uint32_t count);

// That report serialised, with the offset of its transaction count, so a
// sender can number every datagram (the number comes back in the
// translator's publication as "TAG_TRANS_CNT").
struct Report {
  std::vector<unsigned char> bytes;
  size_t countAt = 0;
  void setCount(uint32_t value);  // big-endian, in place
};
Report makeReport(int variant, int locks);

// The largest datagram the translator reads.
constexpr size_t kLargestDatagram = 2048;
// The most locks a report of makeReport holds within kLargestDatagram.
int maxLocksPerDatagram();

// The report number a publication carries: "TAG_TRANS_CNT" of a JSON
// document (the translator's), or the transaction count tag of a raw key
// message (the bare relay's).
std::optional<uint32_t> sequenceOf(const char* data, size_t size);

// ------------------------------------------------------------ the key daemon

// A UDP socket bound to the key daemon's address, 127.0.0.1:5555 (inside a
// sandbox), with a send buffer of sendBuffer bytes when that is not 0; -1
// on failure.
int bindKeyDaemon(int sendBuffer = 0);

// The address of the first datagram within timeoutMs from a sender other
// than `other` (the translator's keep-alive, the relay's announcement).
std::optional<sockaddr_in> waitPeer(int socket, int timeoutMs,
                                    const std::optional<sockaddr_in>& other = std::nullopt);

// ------------------------------------------------------------ programs

// The path of one of our programs: they are all built into the folder of
// the running benchmark program.
std::string programPath(const std::string& name);

// A started program. Destroying a Child that still runs stops it (stop()).
class Child {
 public:
  Child() = default;
  explicit Child(pid_t pid) : mPid(pid) {}
  Child(Child&& other) noexcept : mPid(std::exchange(other.mPid, -1)) {}
  Child& operator=(Child&& other) noexcept;
  ~Child() { stop(); }

  // The process id; -1 when none was started or it was stopped.
  pid_t pid() const { return mPid; }
  // Sends SIGTERM and waits up to timeoutMs for the end, then kills.
  // Returns the exit status, or -1 when the process had to be killed (or
  // was none).
  int stop(int timeoutMs = 5000);

 private:
  pid_t mPid = -1;
};

// Starts argv (argv[0] a path) with standard output and error going to
// logPath (created or truncated); a Child without a process when it cannot
// be started.
Child spawn(const std::vector<std::string>& argv, const std::string& logPath);

// Waits up to timeoutMs until the file holds a line containing `needle`.
bool waitForLine(const std::string& path, const std::string& needle, int timeoutMs);

// The lines of a text file.
std::vector<std::string> readLines(const std::string& path);

// ------------------------------------------------------------ /proc

// CPU clock ticks and minor page faults of a process or thread
// (/proc/PID/stat or /proc/PID/task/TID/stat); -1 when unknown.
struct CpuTicks {
  long long user = -1, system = -1;
  long long minorFaults = -1;
  long long total() const { return user < 0 ? -1 : user + system; }
};
CpuTicks cpuSplitPath(const std::string& statPath);
CpuTicks cpuSplit(pid_t pid);
// utime + stime of a process, in clock ticks.
long long cpuTicks(pid_t pid);

// A "Name: value" field of /proc/PID/status ("VmRSS", "VmHWM" in KiB,
// "Threads"), or -1.
long statusField(pid_t pid, const char* name);

// Per thread of a process (by thread id): name, CPU ticks and context
// switches.
struct ThreadStat {
  std::string name;
  long long user = 0, system = 0, voluntary = 0, involuntary = 0;
};
std::vector<std::pair<int, ThreadStat>> threadStats(pid_t pid);

// Nanoseconds on CPU of the process's threads alive now
// (/proc/PID/task/TID/schedstat), or -1.
long long liveThreadsNs(pid_t pid);

// A counter of the "Udp:" lines of /proc/net/snmp of this network
// namespace, such as "RcvbufErrors" or "InErrors"; -1 when not found.
long snmpUdp(const std::string& field);

// The UDP socket bound to 127.0.0.1:port: its receive queue in bytes, or
// (drops) the datagrams the kernel dropped for it; -1 when not found.
long udpSocket(int port, bool drops);

}  // namespace bench

#endif  // BENCH_BENCH_SUPPORT_H
