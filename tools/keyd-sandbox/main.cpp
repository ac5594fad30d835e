// keyd-sandbox DIR COMMAND [ARG...]: runs COMMAND in private user, mount and
// network namespaces with DIR mounted on /etc/ram and a loopback of its own.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <variant>

#include "kopts.h"
#include "sandbox.h"

namespace {

constexpr const char* kHelp =
    "usage: keyd-sandbox DIR COMMAND [ARG...]\n"
    "       keyd-sandbox --help | --version\n"
    "\n"
    "Runs COMMAND with its ARGs in private user, mount and network namespaces:\n"
    "DIR (made when missing) is mounted on /etc/ram, where the translator and\n"
    "the bus daemon read their configuration, and the network holds only a\n"
    "loopback of its own, so the fixed ports are free and nothing of the\n"
    "machine is touched. The caller's user is root inside. Every process\n"
    "COMMAND starts shares the sandbox. The environment variable\n"
    "KEYD_SANDBOX_RAM holds DIR inside.\n"
    "Exit status: COMMAND's; 77 when this machine cannot make the namespaces;\n"
    "127 when COMMAND cannot be run; 2 on bad arguments.\n";

// Where DIR stands: after keyd-sandbox's own options (those before it, and
// a "--" that ends them). DIR and everything after it belong to COMMAND,
// options included.
int dirIndex(int argc, char** argv) {
  int i = 1;
  while (i < argc && std::strncmp(argv[i], "--", 2) == 0)
    if (std::strcmp(argv[i++], "--") == 0) break;
  return i;
}

}  // namespace

int main(int argc, char** argv) {
  const kopts::Syntax syntax{"keyd-sandbox", KEYD_VERSION, kHelp, {}, {}};
  const int dir = dirIndex(argc, argv);
  const std::variant<kopts::Args, int> parsed = kopts::parse(syntax, dir, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  if (argc - dir < 2) return kopts::usageError(syntax, "DIR and COMMAND are needed");
  keydsandbox::enterSandbox(argc, argv, argv[dir]);
  ::execvp(argv[dir + 1], argv + dir + 1);
  std::perror("keyd-sandbox: exec");
  return 127;
}
