// kmsgBroker: the translator's single broker. Its constructor performs the
// whole set-up (signals, configuration, logging, key-daemon link, ping
// timer, bus clients); run() is the bus receive loop; onMessage handles what
// the key daemon sends.
//
// Ownership: the broker owns the configuration maps, the mini client, the
// ping timer and the two bus clients for the life of the process; it is
// never destroyed.
// Threads: constructed and run on the main thread; onMessage runs on the
// mini client's event pump thread. The signal handler may run on any thread
// and only touches the stop flag.
#ifndef CORE_KMSGBROKER_H
#define CORE_KMSGBROKER_H

#include <atomic>
#include <csignal>
#include <memory>

#include "Timer.h"
#include "cConfigFile.h"
#include "cKlog.h"
#include "cMiniClient.h"
#include "cObjectListener.h"
#include "nlite.h"

// Fixed paths of the two configuration files.
extern const char* const kTranslatorConfPath;  // "/etc/ram/keyd-translator.conf"
extern const char* const kBusConfPath;         // "/etc/ram/nembad.conf"

// The stop flag: written by the signal handler, read by the run loop.
extern std::atomic<int> gStopRequested;
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be signal-safe");

class kmsgBroker;
extern kmsgBroker* gBroker;

extern "C" void brokerSignalHandler(int signal);

// Creates the broker once and runs its loop on the calling thread; a second
// call writes its banner line and returns at once.
void startBroker();

class kmsgBroker : public cKlog, public cObjectListener {
 public:
  // The key daemon's fixed UDP port.
  static constexpr int kKeyDaemonPort = 5555;

  kmsgBroker();
  ~kmsgBroker() override;
  kmsgBroker(const kmsgBroker&) = delete;
  kmsgBroker& operator=(const kmsgBroker&) = delete;

  // The bus receive loop: one receive per second until a stop is requested.
  void run();

  // One message from the key daemon, lent by the event pump.
  void onMessage(KMsg* msg) override;

 private:
  std::unique_ptr<cConfigFile> mConfMap;
  std::unique_ptr<cConfigFile> mBusConfMap;
  std::unique_ptr<cMiniClient> mMiniClient;
  std::unique_ptr<nlite::Client> mMetaGlamClient;   // publishes; pump thread only
  std::unique_ptr<nlite::Client> mTransGlamClient;  // receives; main thread only
  std::unique_ptr<cDustyTimer> mPingTimer;
};

#endif  // CORE_KMSGBROKER_H
