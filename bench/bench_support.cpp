// The benchmarks' shared pieces: reports, the key daemon's socket, child
// processes and /proc readings.
#include "bench_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

void addConfigTags(KMsg& m, int variant, int locks, const uint32_t* count) {
  m.addTag(KTagFactory::createKTag(TAG_KEY_SN, 0x1234u));
  m.addTag(KTagFactory::createKTag(TAG_KEY_BOX, "box-1"));
  m.addTag(KTagFactory::createKTag(TAG_KEY_SW, "sw-2.0"));
  m.addTag(KTagFactory::createKTag(TAG_SRV_NAME, "srv.example"));
  m.addTag(KTagFactory::createKTag(TAG_SRV_PORT, static_cast<unsigned short>(8080)));
  if (!count) return;
  m.addTag(KTagFactory::createKTag(TAG_TRANS_CNT, *count));
  for (int i = 0; i < locks; ++i) {
    const unsigned char last = static_cast<unsigned char>(i == locks - 1 ? 0x40 + variant : i);
    // Every lock its own tag, at any count (the first 200 as they always were).
    const unsigned char rf[5] = {0x01, 0x02, static_cast<unsigned char>(0x03 + i / 200),
                                 static_cast<unsigned char>(0x10 + i % 200), last};
    m.addTag(KTagFactory::createKTag(TAG_LOCK_TAG, rf, 5));
  }
}

}  // namespace

// ------------------------------------------------------------ reports

std::unique_ptr<KMsg> makeReportMsg(int variant, int locks, uint32_t count) {
  auto m = std::make_unique<KMsg>(MSG_SET);
  addConfigTags(*m, variant, locks, &count);
  return m;
}

Report makeReport(int variant, int locks) {
  // The count is the first tag after the fixed ones: its value starts right
  // after the serialised fixed tags and its own tag header.
  KMsg prefix(MSG_SET);
  addConfigTags(prefix, variant, locks, nullptr);
  const std::unique_ptr<KMsg> whole = makeReportMsg(variant, locks, 0);
  Report r;
  r.bytes.resize(whole->mSize + 2u);
  whole->getMsg(r.bytes.data(), static_cast<unsigned short>(r.bytes.size()));
  r.countAt = prefix.mSize + 2u + KMSG_TAG_HEADER_SIZE;
  return r;
}

int maxLocksPerDatagram() {
  int locks = 1;
  while (makeReport(0, locks + 1).bytes.size() <= kLargestDatagram) ++locks;
  return locks;
}

void Report::setCount(uint32_t value) {
  bytes[countAt] = static_cast<unsigned char>(value >> 24);
  bytes[countAt + 1] = static_cast<unsigned char>(value >> 16);
  bytes[countAt + 2] = static_cast<unsigned char>(value >> 8);
  bytes[countAt + 3] = static_cast<unsigned char>(value);
}

std::optional<uint32_t> sequenceOf(const char* data, size_t size) {
  if (size > 0 && data[0] == '{') {
    static const char kKey[] = "\"TAG_TRANS_CNT\"";
    const char* at = static_cast<const char*>(memmem(data, size, kKey, sizeof kKey - 1));
    if (!at) return std::nullopt;
    const char* end = data + size;
    const char* p = at + sizeof kKey - 1;
    while (p < end && (*p == ':' || *p == ' ')) ++p;
    uint32_t value = 0;
    bool any = false;
    for (; p < end && *p >= '0' && *p <= '9'; ++p, any = true) value = value * 10 + (*p - '0');
    return any ? std::optional<uint32_t>(value) : std::nullopt;
  }
  std::unique_ptr<KMsg> m(KMsg::parseMsg(data, static_cast<unsigned short>(size)));
  if (!m) return std::nullopt;
  for (const auto& tag : m->tags())
    if (tag->mId == TAG_TRANS_CNT)
      if (auto* t = ktag_cast<KTagUInt32>(tag.get())) return t->getValue();
  return std::nullopt;
}

// ------------------------------------------------------------ the key daemon

int bindKeyDaemon(int sendBuffer) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(KMSG_DAEMON_PORT);
  if (sendBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::optional<sockaddr_in> waitPeer(int socket, int timeoutMs,
                                    const std::optional<sockaddr_in>& other) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    pollfd p{socket, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    unsigned char buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    if (::recvfrom(socket, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len) < 0)
      continue;
    if (other && other->sin_port == from.sin_port) continue;
    return from;
  }
  return std::nullopt;
}

// ------------------------------------------------------------ programs

std::string programPath(const std::string& name) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return name;
  std::string dir(self, static_cast<size_t>(n));
  return dir.substr(0, dir.rfind('/') + 1) + name;
}

Child spawn(const std::vector<std::string>& argv, const std::string& logPath) {
  if (argv.empty()) return Child();
  // Everything the child needs is made before the fork: the caller may have
  // threads, so the child may only make async-signal-safe calls.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    ::execv(args[0], args.data());
    _exit(127);
  }
  if (fd >= 0) ::close(fd);
  return Child(pid);
}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    stop();
    mPid = std::exchange(other.mPid, -1);
  }
  return *this;
}

int Child::stop(int timeoutMs) {
  if (mPid <= 0) return -1;
  const pid_t pid = std::exchange(mPid, -1);
  ::kill(pid, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (Clock::now() < deadline) {
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

bool waitForLine(const std::string& path, const std::string& needle, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    for (const std::string& line : readLines(path))
      if (line.find(needle) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < deadline);
  return false;
}

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// ------------------------------------------------------------ /proc

CpuTicks cpuSplitPath(const std::string& statPath) {
  std::ifstream in(statPath);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold blanks: fields are counted after its ')'.
  CpuTicks t;
  const size_t close = all.rfind(')');
  if (close == std::string::npos) return t;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  // Field 3 is the first after the name; minflt is field 10, utime 14,
  // stime 15.
  for (int f = 3; f <= 15 && rest >> field; ++f) {
    if (f == 10) t.minorFaults = std::atoll(field.c_str());
    if (f == 14) t.user = std::atoll(field.c_str());
    if (f == 15) t.system = std::atoll(field.c_str());
  }
  return t;
}

CpuTicks cpuSplit(pid_t pid) { return cpuSplitPath("/proc/" + std::to_string(pid) + "/stat"); }

long long cpuTicks(pid_t pid) { return cpuSplit(pid).total(); }

long statusField(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const size_t n = std::strlen(name);
  while (std::getline(in, line))
    if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':')
      return std::atol(line.c_str() + n + 1);
  return -1;
}

std::vector<std::pair<int, ThreadStat>> threadStats(pid_t pid) {
  std::vector<std::pair<int, ThreadStat>> out;
  const std::string base = "/proc/" + std::to_string(pid) + "/task/";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(base.c_str()), ::closedir);
  if (!dir) return out;
  while (dirent* e = ::readdir(dir.get())) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    ThreadStat t;
    const CpuTicks c = cpuSplitPath(base + e->d_name + "/stat");
    t.user = c.user;
    t.system = c.system;
    std::ifstream status(base + e->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("Name:", 0) == 0) t.name = line.substr(line.find_first_not_of(" \t", 5));
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        t.voluntary = std::atoll(line.c_str() + 24);
      if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        t.involuntary = std::atoll(line.c_str() + 27);
    }
    out.emplace_back(std::atoi(e->d_name), t);
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

long long liveThreadsNs(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid) + "/task/";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(base.c_str()), ::closedir);
  if (!dir) return -1;
  long long sum = 0;
  while (dirent* e = ::readdir(dir.get())) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream in(base + e->d_name + "/schedstat");
    long long ns = 0;
    if (in >> ns) sum += ns;
  }
  return sum;
}

long snmpUdp(const std::string& field) {
  std::ifstream in("/proc/net/snmp");
  for (std::string names, values; std::getline(in, names);) {
    if (names.rfind("Udp: ", 0) != 0 || !std::getline(in, values)) continue;
    std::istringstream n(names), v(values);
    for (std::string name, value; n >> name && v >> value;)
      if (name == field) return std::atol(value.c_str());
  }
  return -1;
}

long udpSocket(int port, bool drops) {
  std::ifstream in("/proc/net/udp");
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::string sl, loc, rem, st, queues, field;
    if (!(f >> sl >> loc >> rem >> st >> queues) || loc != local) continue;
    if (!drops) return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
    long last = -1;
    while (f >> field) last = std::atol(field.c_str());  // the last column
    return last;
  }
  return -1;
}

}  // namespace bench
