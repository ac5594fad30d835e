// The broker the broker fuzz targets drive: one kmsgBroker for the whole run, made on first use
// and never destroyed (as in the daemon, its threads outlive every caller), so its state carries
// from one input to the next. It reads /etc/ram and talks to 127.0.0.1:5555: the targets run only
// inside keyd-sandbox (run-fuzz.sh sees to that), which sets KEYD_SANDBOX_RAM. Some paths differ
// with the debug lines on or off, so each input says which (debugLines) and both are exercised.
// Threads: the fuzzer's thread plays the pump thread (onMessage) and the main thread
// (handleJSON_message); the broker's own threads stay idle.
#ifndef FUZZ_FUZZ_BROKER_H
#define FUZZ_FUZZ_BROKER_H

#include <cstdio>
#include <cstdlib>

#include "kmsgBroker.h"

inline kmsgBroker& fuzzBroker() {
  static kmsgBroker* const broker = [] {
    if (!std::getenv("KEYD_SANDBOX_RAM")) {
      std::fputs("fuzz: run me inside keyd-sandbox (see fuzz/run-fuzz.sh)\n", stderr);
      std::exit(2);
    }
    return new kmsgBroker();  // never destroyed, on purpose
  }();
  return *broker;
}

// Every line at DEBUG is formatted and written (to /dev/null: run-fuzz.sh's
// configuration) when on; none is when off.
inline void debugLines(bool on) { cKlog::setRootDebug(on); }

#endif  // FUZZ_FUZZ_BROKER_H
