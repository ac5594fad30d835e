// keyd-translator: translates between the key daemon (binary key messages
// over UDP) and the message bus (JSON documents).
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "kmsgBroker.h"

namespace {

constexpr const char* kHelp =
    "usage: keyd-translator [--help | --version]\n"
    "  Translates between the key daemon (UDP port 5555 of the configured host)\n"
    "  and the message bus (the bus daemon nembad on loopback). Takes no other\n"
    "  arguments (any given are ignored) and runs until SIGINT or SIGTERM, then\n"
    "  exits with status 0.\n"
    "  Files: /etc/ram/keyd-translator.conf (host, pingTime, subscriptions and\n"
    "  the log4cpp.* logging settings), /etc/ram/nembad.conf (the bus ports).\n"
    "  SIGHUP applies the log4cpp.* settings of the file again; SIGUSR1 logs the\n"
    "  counters on the category \"stats\". Lock commands and lock replies are\n"
    "  logged on the category \"audit\".\n"
    "  Under a service manager (NOTIFY_SOCKET): READY=1 once set up, STOPPING=1\n"
    "  at a stop, a STATUS= line, and WATCHDOG=1 pings when WATCHDOG_USEC asks.\n"
    "  --help     this text\n"
    "  --version  the version\n";

}  // namespace

int main(int argc, char** argv) {
  // Only these two are looked at; any other argument is ignored.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("keyd-translator " KEYD_VERSION);
      return 0;
    }
  }
  std::fputs("RUN ME LIKE A LEOPARD\n", stdout);
  std::fflush(stdout);
  startBroker();
  // The log's waiting lines first: the process ends without destructors,
  // and lines the other threads still write from here on go out at once.
  cKlog::finish();
  std::fputs("Broker OUT!\n", stdout);
  std::fflush(stdout);
  // The pump, transmit, receive and timer threads are still running by
  // design; running static destructors under them would race with them, so
  // the process ends here without them.
  _exit(0);
}
