// keyd-sandbox DIR COMMAND [ARG...]: runs COMMAND in private user, mount and
// network namespaces with DIR mounted on /etc/ram and a loopback of its own.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("keyd-sandbox " KEYD_VERSION);
    return 0;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: keyd-sandbox DIR COMMAND [ARG...]\n");
    return 2;
  }
  keydsandbox::enterSandbox(argc, argv, argv[1]);
  ::execvp(argv[2], argv + 2);
  std::perror("keyd-sandbox: exec");
  return 127;
}
