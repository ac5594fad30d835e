// keyd-translator: translates between the key daemon (binary key messages
// over UDP) and the message bus (JSON documents).
#include <unistd.h>

#include <cstdio>
#include <variant>

#include "configuration.h"
#include "kmsgBroker.h"
#include "kopts.h"

namespace {

constexpr const char* kHelp =
    "usage: keyd-translator [--check | --help | --version]\n"
    "\n"
    "  Translates between the key daemon (UDP port 5555 of the configured host)\n"
    "  and the message bus (the bus daemon nembad on loopback). Takes no other\n"
    "  arguments (any other is a usage error: status 2) and runs until SIGINT or\n"
    "  SIGTERM, then exits with status 0.\n"
    "  Files: /etc/ram/keyd-translator.conf (host, pingTime, subscriptions and\n"
    "  the log4cpp.* logging settings), /etc/ram/nembad.conf (the bus ports).\n"
    "  SIGHUP applies the log4cpp.* settings of the file again; SIGUSR1 logs the\n"
    "  counters on the category \"stats\". Lock commands and lock replies are\n"
    "  logged on the category \"audit\".\n"
    "  Under a service manager (NOTIFY_SOCKET): READY=1 once set up, STOPPING=1\n"
    "  at a stop, a STATUS= line, and WATCHDOG=1 pings when WATCHDOG_USEC asks.\n"
    "  --check    prints every setting of both files with the line it came\n"
    "             from (or its default) and every problem (unknown key, number\n"
    "             that is not one, line too long, unreadable file); exit status\n"
    "             1 when there is a problem, 0 otherwise; starts nothing\n"
    "  --help     this text\n"
    "  --version  the version\n";

}  // namespace

int main(int argc, char** argv) {
  const kopts::Syntax syntax{"keyd-translator", KEYD_VERSION, kHelp, {}, {"--check"}};
  const auto args = kopts::parse(syntax, argc, argv);
  if (const int* status = std::get_if<int>(&args)) return *status;
  if (!std::get<kopts::Args>(args).operands.empty())
    return kopts::usageError(syntax, "takes no operands");
  if (std::get<kopts::Args>(args).has("--check")) return checkSettings(kTranslatorConfPath, kBusConfPath);
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
