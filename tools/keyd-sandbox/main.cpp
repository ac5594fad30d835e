// keyd-sandbox DIR COMMAND [ARG...]: runs COMMAND in private user, mount and
// network namespaces with DIR mounted on /etc/ram and a loopback of its own.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "sandbox.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: keyd-sandbox DIR COMMAND [ARG...]\n");
    return 2;
  }
  keydsandbox::enterSandbox(argc, argv, argv[1]);
  ::execvp(argv[2], argv + 2);
  std::perror("keyd-sandbox: exec");
  return 127;
}
