// keyd-sim: stands in for the key daemon. Every datagram received on its UDP
// socket is printed as one JSON line; every JSON line of standard input is
// sent to the peer as a key message; with --cabinet it also answers as a key
// cabinet, with --pcap it captures. One thread, one ppoll loop.
#include <arpa/inet.h>
#include <jansson.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "cabinet.h"
#include "kconf_number.h"
#include "kjson.h"
#include "kmsg_json.h"
#include "kopts.h"
#include "pcap.h"

namespace {

constexpr const char* kDefaultListen = "127.0.0.1:5555";
constexpr std::size_t kMaxQueuedLines = 10000;
constexpr std::size_t kMaxQueuedBytes = 64u << 20;
constexpr std::size_t kMaxLine = 1u << 20;  // longer input lines are refused
constexpr std::size_t kReadChunk = 65536;

const char* const kUsage =
    "usage: keyd-sim [--listen ADDR:PORT] [--peer ADDR:PORT] [--pcap FILE]\n"
    "                [--cabinet FILE.json [--report-interval S]]\n"
    "       keyd-sim --help\n"
    "       keyd-sim --version\n"
    "\n"
    "Stands in for the key daemon: binds a UDP socket to --listen (default\n"
    "127.0.0.1:5555) and talks to its peer, the sender of the most recent\n"
    "datagram received (--peer names one until a datagram arrives).\n"
    "\n"
    "Each datagram received is printed on standard output as one JSON line:\n"
    "  {\"id\":1,\"seq\":5,\"tags\":[{\"id\":0,\"type\":\"u32\",\"value\":0}]}\n"
    "\"seq\" is the whole sequence byte (0..255; 128 and up: more segments\n"
    "follow), \"type\" one of \"u8\", \"u16\", \"u32\", \"str\", \"bytes\"; integers are\n"
    "JSON numbers, str a JSON string (bytes that are not UTF-8 show as U+FFFD),\n"
    "bytes lower-case hex. Segments are printed one line each, as they arrive.\n"
    "A datagram that is no valid key message prints\n"
    "  {\"error\":\"invalid key message\",\"hex\":\"<the whole datagram>\"}\n"
    "\n"
    "Each line of standard input is sent to the peer: a message in the same\n"
    "shape (\"seq\" optional, else the next sequence number), in segments of at\n"
    "most 1024 bytes when it is longer, or {\"raw\":\"HEX\"} for exactly those\n"
    "bytes as one datagram. A bad line prints {\"error\":\"...\"} and is skipped;\n"
    "blank lines are ignored. Lines wait until a peer is known; while 10000\n"
    "lines (or 64 MiB) wait, standard input is not read. End of input only\n"
    "stops reading. Once bound, \"keyd-sim: listening on ADDR:PORT\" goes to\n"
    "standard error. Runs until SIGINT or SIGTERM (exit 0); exit 1 when the\n"
    "socket cannot be bound, 2 on bad options. ADDR is an IPv4 address.\n"
    "\n"
    "\"seq\" of an input line is the sequence number, 0..127: bit 7 is set only\n"
    "on segments, so \"seq\" 128..255 is refused ({\"raw\":\"HEX\"} sends any\n"
    "sequence byte). Only a line that is sent and has no \"seq\" takes the next\n"
    "number (0, 1, ... 127, 0, shared with the cabinet's messages).\n"
    "\n"
    "--pcap FILE writes every datagram sent and received to FILE as a pcap\n"
    "capture (Ethernet/IPv4/UDP with the real addresses and ports, no UDP\n"
    "checksum), flushed per packet; Wireshark and tshark read it, and\n"
    "tools/wireshark/kmsg.lua shows its key messages. Exit 1 when FILE cannot\n"
    "be created.\n"
    "\n"
    "--cabinet FILE.json plays the key cabinet that FILE describes:\n"
    "  {\"key\":{\"serial\":4660,\"box\":\"box-1\",\"software\":\"keysw-2.1\",\"battery\":87},\n"
    "   \"server\":{\"name\":\"srv.site\",\"port\":8080},\"transactions\":12,\n"
    "   \"locks\":[{\"tag\":\"0102030405\",\"description\":\"front door\",\"type\":1,\n"
    "             \"status\":\"LOCKED\"}]}\n"
    "It sends its site configuration (key, server, transactions, lock tags) on\n"
    "start to --peer, to each sender of a keep-alive that the last keep-alive\n"
    "did not come from (a translator that started), and every S seconds\n"
    "(--report-interval, default 30) to the sender of the last keep-alive. It\n"
    "answers the sender of each request: UNLOCK or LOCK of one of its locks\n"
    "with a lock status reply (the lock's status becomes \"UNLOCKED\" or\n"
    "\"LOCKED\"), Battery with a battery report, req_transactions with a\n"
    "transfer reply. Each message it sends prints {\"sent\":MESSAGE}; a request\n"
    "it does not answer (one for a lock it does not have) prints\n"
    "{\"cabinet\":\"WHY\"}. Every datagram is printed and standard input is sent\n"
    "as without it. Texts have 1..127 bytes and are not \" \"; serial is\n"
    "0..4294967294, battery 0..254, port 1..65534, type 0..4294967294, status\n"
    "\"LOCKED\" or \"UNLOCKED\", tag 10 hex digits; the configuration must fit\n"
    "into one datagram of 1024 bytes. A file that is no such cabinet prints\n"
    "\"keyd-sim: cabinet FILE: MEMBER: WHY\" on standard error (exit 2).\n"
    "\n"
    "Examples:\n"
    "  # be the key daemon on its usual port and watch what the translator sends\n"
    "  keyd-sim\n"
    "  # send a keep-alive request to 127.0.0.1:6000, then print the replies\n"
    "  echo '{\"id\":1,\"tags\":[{\"id\":0,\"type\":\"u32\",\"value\":0}]}' |\n"
    "      keyd-sim --listen 127.0.0.1:5556 --peer 127.0.0.1:6000\n"
    "  # be a key cabinet for the translator and keep a capture of the talk\n"
    "  keyd-sim --cabinet etc/cabinet.json --pcap /tmp/keyd.pcap\n";

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

using Bytes = kmsgjson::Bytes;
using Datagrams = std::vector<Bytes>;

std::optional<sockaddr_in> parseAddress(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return std::nullopt;
  for (char c : port)
    if (c < '0' || c > '9') return std::nullopt;  // strtol would take " +80"
  const std::optional<long> value = kconf::parseNumber(port.c_str(), 1, 65535);
  if (!value) return std::nullopt;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(*value));
  if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &addr.sin_addr) != 1) return std::nullopt;
  return addr;
}

void printLine(const std::string& line) {
  if (line.empty()) return;
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void printError(const std::string& why) {
  JsonPtr error(json_pack("{s:s}", "error", why.c_str()));
  if (error) printLine(jsonDump(error.get(), JSON_COMPACT).value_or(""));
}

bool sameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

using Clock = std::chrono::steady_clock;

// Simulator: the socket, the peer, the input buffer and the queue of lines
// waiting for a peer; the cabinet and the capture when asked for. main owns
// it and it owns the socket; everything runs on the main thread.
class Simulator {
 public:
  // `local` is the address the socket is bound to.
  Simulator(int sock, const sockaddr_in& local, std::optional<sockaddr_in> peer)
      : mSock(sock), mLocal(local), mPeer(peer) {}
  ~Simulator() { ::close(mSock); }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  void capture(std::unique_ptr<PcapWriter> pcap) { mPcap = std::move(pcap); }
  void playCabinet(Cabinet cabinet, int reportSeconds) {
    mCabinet = std::move(cabinet);
    mReportEvery = std::chrono::seconds(reportSeconds);
    mNextReport = Clock::now() + mReportEvery;
  }

  // Until SIGINT or SIGTERM. Those two must be blocked on entry: they are
  // let through only while ppoll waits, so no stop request is missed.
  int run(const sigset_t& waitMask) {
    if (mCabinet && mPeer) sendMessage(mCabinet->configuration(), *mPeer);
    while (!gStop) {
      const bool wantInput = !mInputEnded && (mPeer || !queueFull());
      pollfd fds[2] = {{mSock, POLLIN, 0}, {wantInput ? STDIN_FILENO : -1, POLLIN, 0}};
      timespec untilReport{};
      if (mCabinet) {
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(mNextReport - Clock::now());
        untilReport.tv_sec = std::max<long>(0, ns.count() / 1000000000);
        untilReport.tv_nsec = std::max<long>(0, ns.count() % 1000000000);
      }
      if (::ppoll(fds, 2, mCabinet ? &untilReport : nullptr, &waitMask) < 0) {
        if (errno == EINTR) continue;
        std::perror("keyd-sim: ppoll");
        return 1;
      }
      if (fds[0].revents != 0) receive();
      if (fds[1].revents != 0) readInput();
      if (mCabinet && Clock::now() >= mNextReport) {
        mNextReport = Clock::now() + mReportEvery;
        if (mTranslator || mPeer)
          sendMessage(mCabinet->configuration(), mTranslator ? *mTranslator : *mPeer);
      }
    }
    return 0;
  }

 private:
  bool queueFull() const {
    return mQueue.size() >= kMaxQueuedLines || mQueuedBytes >= kMaxQueuedBytes;
  }

  void receive() {
    for (int i = 0; i < 64; ++i) {  // then give standard input its turn
      sockaddr_in from{};
      iovec part{mBuffer.data(), mBuffer.size()};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
      msghdr header{};
      header.msg_name = &from;
      header.msg_namelen = sizeof from;
      header.msg_iov = &part;
      header.msg_iovlen = 1;
      header.msg_control = control;
      header.msg_controllen = sizeof control;
      const ssize_t n = ::recvmsg(mSock, &header, MSG_DONTWAIT);
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
          std::perror("keyd-sim: recvfrom");
        return;
      }
      show(static_cast<std::size_t>(n));
      if (mPcap) {
        sockaddr_in to = mLocal;  // on a wildcard socket: the address it came to
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c))
          if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO && to.sin_addr.s_addr == 0)
            to.sin_addr = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c))->ipi_addr;
        record(from, to, static_cast<std::size_t>(n));
      }
      const bool hadPeer = mPeer.has_value();
      mPeer = from;
      if (!hadPeer) {
        for (const auto& datagrams : mQueue) send(datagrams);
        mQueue.clear();
        mQueuedBytes = 0;
        processInput();
      }
      if (mCabinet) answer(from, static_cast<std::size_t>(n));
    }
  }

  void show(std::size_t n) {
    printLine(kmsgjson::datagramToJson(mBuffer.data(), n));
  }

  void send(const Datagrams& datagrams) { sendTo(datagrams, *mPeer); }

  void sendTo(const Datagrams& datagrams, const sockaddr_in& to) {
    for (const auto& bytes : datagrams) {
      if (::sendto(mSock, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to) < 0) {
        printError(std::string("send failed: ") + std::strerror(errno));
        return;
      }
      if (mPcap) record(sourceFor(to), to, bytes);
    }
  }

  // The address a datagram to `to` leaves from: the bound one, or on a
  // wildcard socket the one the routing picks (a connected probe socket
  // says which, without sending anything).
  sockaddr_in sourceFor(const sockaddr_in& to) const {
    sockaddr_in from = mLocal;
    if (from.sin_addr.s_addr != 0) return from;
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in picked{};
    socklen_t len = sizeof picked;
    if (probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&picked), &len) == 0)
      from.sin_addr = picked.sin_addr;
    if (probe >= 0) ::close(probe);
    return from;
  }

  void record(const sockaddr_in& from, const sockaddr_in& to, std::size_t n) {
    record(from, to, Bytes(mBuffer.begin(), mBuffer.begin() + static_cast<std::ptrdiff_t>(n)));
  }
  void record(const sockaddr_in& from, const sockaddr_in& to, const Bytes& bytes) {
    if (mPcap->write(from, to, bytes.data(), bytes.size())) return;
    std::fprintf(stderr, "keyd-sim: writing the capture failed: %s; capture stopped\n",
                 std::strerror(errno));
    mPcap.reset();
  }

  // The cabinet's part: a keep-alive from a translator that started gets
  // the configuration; a request its answer, or a line saying why not.
  void answer(const sockaddr_in& from, std::size_t n) {
    if (n > 0xFFFF) return;
    std::unique_ptr<KMsg> msg(KMsg::parseMsg(mBuffer.data(), static_cast<unsigned short>(n)));
    if (!msg) return;
    if (Cabinet::isKeepAlive(*msg)) {
      const bool started = !mTranslator || !sameAddress(*mTranslator, from);
      mTranslator = from;
      if (started) sendMessage(mCabinet->configuration(), from);
      return;
    }
    Cabinet::Answer answer = mCabinet->answer(*msg);
    if (answer.reply) {
      sendMessage(std::move(answer.reply), from);
    } else if (!answer.note.empty()) {
      JsonPtr line(json_pack("{s:s}", "cabinet", answer.note.c_str()));
      if (line) printLine(jsonDump(line.get(), JSON_COMPACT).value_or(""));
    }
  }

  void sendMessage(std::unique_ptr<KMsg> msg, const sockaddr_in& to) {
    printLine("{\"sent\":" + kmsgjson::toJson(*msg) + "}");
    sendTo(kmsgjson::datagramsOf(*msg), to);
  }

  // One read per wakeup: stdin keeps its blocking mode (a terminal shares
  // that flag with the shell), and poll said a read will not block.
  void readInput() {
    char chunk[kReadChunk];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n < 0) std::perror("keyd-sim: reading standard input");
    if (n <= 0) {
      mInputEnded = true;
    } else {
      mInput.append(chunk, static_cast<std::size_t>(n));
    }
    processInput();
  }

  // Handles the complete lines buffered, and a last line without newline
  // once input has ended, as long as there is a peer or room in the queue.
  void processInput() {
    std::size_t pos = 0, newline = 0;
    while ((mPeer || !queueFull()) && (newline = mInput.find('\n', pos)) != std::string::npos) {
      takeLine(mInput.substr(pos, newline - pos));
      pos = newline + 1;
    }
    mInput.erase(0, pos);
    if (mInput.find('\n') != std::string::npos) return;  // the queue is full
    if (mSkipping || mInput.size() > kMaxLine) {
      takeLine(std::move(mInput));  // refused or skipped, not sent
      mSkipping = !mInputEnded;
      mInput.clear();
    } else if (mInputEnded && !mInput.empty() && (mPeer || !queueFull())) {
      takeLine(std::move(mInput));
      mInput.clear();
    }
  }

  void takeLine(std::string line) {
    if (mSkipping) {  // the rest of an overlong line
      mSkipping = false;
    } else if (line.size() > kMaxLine) {
      printError("line longer than " + std::to_string(kMaxLine) + " bytes");
    } else {
      handleLine(std::move(line));
    }
  }

  void handleLine(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) return;
    kmsgjson::Datagrams made = kmsgjson::fromJson(line);
    if (!made.error.empty()) {
      printError(made.error);
      return;
    }
    Datagrams datagrams = std::move(made.datagrams);
    if (mPeer) {
      send(datagrams);
      return;
    }
    for (const auto& bytes : datagrams) mQueuedBytes += bytes.size();
    mQueue.push_back(std::move(datagrams));
  }

  const int mSock;
  const sockaddr_in mLocal;
  std::optional<sockaddr_in> mPeer;
  std::unique_ptr<PcapWriter> mPcap;
  std::optional<Cabinet> mCabinet;
  std::optional<sockaddr_in> mTranslator;  // sender of the last keep-alive
  Clock::duration mReportEvery{};
  Clock::time_point mNextReport;
  Bytes mBuffer = Bytes(65536);  // any UDP datagram is read whole
  std::string mInput;
  bool mInputEnded = false;
  bool mSkipping = false;  // inside an overlong line
  std::deque<Datagrams> mQueue;
  std::size_t mQueuedBytes = 0;
};

// What the command line asks for.
struct Settings {
  std::string listenText = kDefaultListen;
  sockaddr_in listenAddr = *parseAddress(kDefaultListen);
  std::optional<sockaddr_in> peer;
  std::optional<std::string> pcapPath, cabinetPath;
  long reportSeconds = 30;
};

// The settings, or the exit status after --help, --version or a usage
// error (printed).
std::variant<Settings, int> readOptions(int argc, char** argv) {
  const kopts::Syntax syntax{"keyd-sim",
                         KEYD_VERSION,
                         kUsage,
                         {"--listen", "--peer", "--pcap", "--cabinet", "--report-interval"},
                         {}};
  std::variant<kopts::Args, int> parsed = kopts::parse(syntax, argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const kopts::Args& args = std::get<kopts::Args>(parsed);
  if (!args.operands.empty())
    return kopts::usageError(syntax, "unknown argument '" + args.operands.front() + "'");
  Settings settings;
  for (const char* name : {"--listen", "--peer"}) {
    const std::optional<std::string> text = args.value(name);
    if (!text) continue;
    const std::optional<sockaddr_in> addr = parseAddress(*text);
    if (!addr)
      return kopts::usageError(
          syntax, std::string(name) + ": not an IPv4 ADDR:PORT with port 1..65535: '" + *text + "'");
    if (name == std::string("--peer")) {
      settings.peer = addr;
    } else {
      settings.listenAddr = *addr;
      settings.listenText = *text;
    }
  }
  settings.pcapPath = args.value("--pcap");
  settings.cabinetPath = args.value("--cabinet");
  if (const std::optional<std::string> text = args.value("--report-interval")) {
    const std::optional<long> seconds = kconf::parseNumber(text->c_str(), 1, 86400);
    if (!seconds) return kopts::usageError(syntax, "--report-interval needs S, seconds 1..86400");
    if (!settings.cabinetPath) return kopts::usageError(syntax, "--report-interval needs --cabinet");
    settings.reportSeconds = *seconds;
  }
  return settings;
}

// A UDP socket bound to `addr` that learns the address each datagram came
// to (for the capture); -1 after an error (printed).
int bindSocket(const sockaddr_in& addr, const std::string& text) {
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0 || ::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "keyd-sim: cannot bind %s: %s\n", text.c_str(), std::strerror(errno));
    if (sock >= 0) ::close(sock);
    return -1;
  }
  const int on = 1;
  ::setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  return sock;
}

// Blocks SIGINT and SIGTERM and has them set the stop flag; returns the
// mask that lets them through, for ppoll. No SA_RESTART: a signal ends the
// wait in ppoll.
sigset_t catchStopSignals() {
  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  return waitMask;
}

}  // namespace

int main(int argc, char** argv) {
  std::variant<Settings, int> read = readOptions(argc, argv);
  if (const int* status = std::get_if<int>(&read)) return *status;
  const Settings& settings = std::get<Settings>(read);
  std::optional<Cabinet> cabinet;
  if (settings.cabinetPath) {
    std::string why;
    cabinet = Cabinet::load(*settings.cabinetPath, why);
    if (!cabinet) {
      std::fprintf(stderr, "keyd-sim: cabinet %s: %s\n", settings.cabinetPath->c_str(),
                   why.c_str());
      return 2;
    }
  }

  const int sock = bindSocket(settings.listenAddr, settings.listenText);
  if (sock < 0) return 1;
  Simulator sim(sock, settings.listenAddr, settings.peer);
  if (settings.pcapPath) {
    auto pcap = PcapWriter::create(*settings.pcapPath);
    if (!pcap) {
      std::fprintf(stderr, "keyd-sim: cannot create %s: %s\n", settings.pcapPath->c_str(),
                   std::strerror(errno));
      return 1;
    }
    sim.capture(std::move(pcap));
  }
  if (cabinet) sim.playCabinet(std::move(*cabinet), static_cast<int>(settings.reportSeconds));

  const sigset_t waitMask = catchStopSignals();
  std::fprintf(stderr, "keyd-sim: listening on %s\n", settings.listenText.c_str());
  return sim.run(waitMask);
}
