// keyd-translator: translates between the key daemon (binary key messages
// over UDP) and the message bus (JSON documents).
#include <unistd.h>

#include <cstdio>

#include "kmsgBroker.h"

int main() {
  std::fputs("RUN ME LIKE A LEOPARD\n", stdout);
  std::fflush(stdout);
  startBroker();
  std::fputs("Broker OUT!\n", stdout);
  std::fflush(stdout);
  // The pump, transmit, receive and timer threads are still running by
  // design; running static destructors under them would race with them, so
  // the process ends here without them.
  _exit(0);
}
