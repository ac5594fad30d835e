// bare_relay: the yardstick of the end-to-end benchmark. It takes the
// key-daemon link the way the translator does (a UDP socket connected to
// 127.0.0.1:5555, announced by one keep-alive datagram) and turns every
// datagram it receives into one bus message on the topic "site_info",
// payload = the datagram's bytes, through the same bus daemon and the same
// bus client library. No parsing, no JSON, no logging, one thread.
//
// Ownership: main owns the socket and the bus client.
// Threads: one; it ends after --max-seconds, or on SIGINT/SIGTERM.
//
// bare_relay [--channeler-port N] [--max-seconds S]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>

#include "kmsg.h"
#include "kopts.h"
#include "nlite.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
extern "C" void onSignal(int) { gStop = 1; }

}  // namespace

int main(int argc, char** argv) {
  const kopts::Syntax syntax{"bare_relay", KEYD_VERSION,
                         "usage: bare_relay [--channeler-port N] [--max-seconds S]\n",
                         {"--channeler-port", "--max-seconds"}, {}};
  const std::variant<kopts::Args, int> parsed = kopts::parse(syntax, argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const kopts::Args& args = std::get<kopts::Args>(parsed);
  const int channeler = std::atoi(
      args.value("--channeler-port").value_or(std::to_string(nlite::kDefaultChannelerPort)).c_str());
  const int maxSeconds = std::atoi(args.value("--max-seconds").value_or("600").c_str());
  if (channeler <= 0 || !args.operands.empty())
    return kopts::usageError(syntax, "a channeler port above 0 and no operand");
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  nlite::Client bus("bare_relay", channeler, 0, nullptr, 0);
  bus.setLinger(0);

  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  peer.sin_port = htons(KMSG_DAEMON_PORT);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    std::perror("bare_relay: socket");
    return 1;
  }
  // The translator's socket buffer, so both ride out the same stalls.
  const int rcvbuf = 1 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  // The read wakes up now and then to look at the stop flag and the clock.
  timeval tick{0, 200000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  // The translator's keep-alive is 12 bytes; the relay's announcement too.
  const unsigned char hello[12] = {0x01, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x04, 0, 0, 0, 0};
  (void)::send(fd, hello, sizeof hello, MSG_NOSIGNAL);

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
  unsigned long relayed = 0, refused = 0;
  char buffer[2048];
  while (!gStop && std::chrono::steady_clock::now() < end) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) continue;
    if (bus.send(buffer, static_cast<unsigned>(n), 2, "site_info", nullptr) == 0)
      ++relayed;
    else
      ++refused;
  }
  std::printf("bare_relay: relayed %lu refused %lu\n", relayed, refused);
  ::close(fd);
  return 0;
}
