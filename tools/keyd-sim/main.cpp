// keyd-sim: stands in for the key daemon. Every datagram received on its UDP
// socket is printed as one JSON line; every JSON line of standard input is
// sent to the peer as a key message. One thread, one ppoll loop.
#include <arpa/inet.h>
#include <jansson.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kconf_number.h"
#include "kjson.h"
#include "kmsg_json.h"

namespace {

constexpr const char* kDefaultListen = "127.0.0.1:5555";
constexpr std::size_t kMaxQueuedLines = 10000;
constexpr std::size_t kMaxQueuedBytes = 64u << 20;
constexpr std::size_t kMaxLine = 1u << 20;  // longer input lines are refused
constexpr std::size_t kReadChunk = 65536;

const char* const kUsage =
    "usage: keyd-sim [--listen ADDR:PORT] [--peer ADDR:PORT]\n"
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
    "Examples:\n"
    "  # be the key daemon on its usual port and watch what the translator sends\n"
    "  keyd-sim\n"
    "  # send a keep-alive request to 127.0.0.1:6000, then print the replies\n"
    "  echo '{\"id\":1,\"tags\":[{\"id\":0,\"type\":\"u32\",\"value\":0}]}' |\n"
    "      keyd-sim --listen 127.0.0.1:5556 --peer 127.0.0.1:6000\n";

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

// Simulator: the socket, the peer, the input buffer and the queue of lines
// waiting for a peer. main owns it and it owns the socket; everything runs
// on the main thread.
class Simulator {
 public:
  Simulator(int sock, std::optional<sockaddr_in> peer) : mSock(sock), mPeer(peer) {}
  ~Simulator() { ::close(mSock); }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Until SIGINT or SIGTERM. Those two must be blocked on entry: they are
  // let through only while ppoll waits, so no stop request is missed.
  int run(const sigset_t& waitMask) {
    while (!gStop) {
      const bool wantInput = !mInputEnded && (mPeer || !queueFull());
      pollfd fds[2] = {{mSock, POLLIN, 0}, {wantInput ? STDIN_FILENO : -1, POLLIN, 0}};
      if (::ppoll(fds, 2, nullptr, &waitMask) < 0) {
        if (errno == EINTR) continue;
        std::perror("keyd-sim: ppoll");
        return 1;
      }
      if (fds[0].revents != 0) receive();
      if (fds[1].revents != 0) readInput();
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
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(mSock, mBuffer.data(), mBuffer.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
          std::perror("keyd-sim: recvfrom");
        return;
      }
      show(static_cast<std::size_t>(n));
      const bool hadPeer = mPeer.has_value();
      mPeer = from;
      if (!hadPeer) {
        for (const auto& datagrams : mQueue) send(datagrams);
        mQueue.clear();
        mQueuedBytes = 0;
        processInput();
      }
    }
  }

  void show(std::size_t n) {
    printLine(kmsgjson::datagramToJson(mBuffer.data(), n));
  }

  void send(const Datagrams& datagrams) {
    for (const auto& bytes : datagrams) {
      if (::sendto(mSock, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&*mPeer),
                   sizeof *mPeer) < 0) {
        printError(std::string("send failed: ") + std::strerror(errno));
        return;
      }
    }
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
  std::optional<sockaddr_in> mPeer;
  Bytes mBuffer = Bytes(65536);  // any UDP datagram is read whole
  std::string mInput;
  bool mInputEnded = false;
  bool mSkipping = false;  // inside an overlong line
  std::deque<Datagrams> mQueue;
  std::size_t mQueuedBytes = 0;
};

int usageError(const std::string& text) {
  std::fprintf(stderr, "keyd-sim: %s\nTry 'keyd-sim --help'.\n", text.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string listenText = kDefaultListen;
  sockaddr_in listenAddr = *parseAddress(listenText);
  std::optional<sockaddr_in> peer;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::puts("keyd-sim " KEYD_VERSION);
      return 0;
    }
    if (arg != "--listen" && arg != "--peer") return usageError("unknown argument '" + arg + "'");
    if (i + 1 >= argc) return usageError(arg + " needs ADDR:PORT");
    const auto addr = parseAddress(argv[++i]);
    if (!addr)
      return usageError(arg + ": not an IPv4 ADDR:PORT with port 1..65535: '" + argv[i] + "'");
    if (arg == "--listen") {
      listenAddr = *addr;
      listenText = argv[i];
    } else {
      peer = addr;
    }
  }

  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0 ||
      ::bind(sock, reinterpret_cast<const sockaddr*>(&listenAddr), sizeof listenAddr) != 0) {
    std::fprintf(stderr, "keyd-sim: cannot bind %s: %s\n", listenText.c_str(), std::strerror(errno));
    if (sock >= 0) ::close(sock);
    return 1;
  }
  Simulator sim(sock, peer);

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
  sa.sa_flags = 0;  // no SA_RESTART: a signal ends the wait in ppoll
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  std::fprintf(stderr, "keyd-sim: listening on %s\n", listenText.c_str());
  return sim.run(waitMask);
}
