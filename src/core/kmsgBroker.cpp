// kmsgBroker: its set-up, the bus receive loop, the signal handler, startBroker.
#include "kmsgBroker.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "configuration.h"
#include "siteSum.h"

const char* const kTranslatorConfPath = "/etc/ram/keyd-translator.conf";
const char* const kBusConfPath = "/etc/ram/nembad.conf";

std::atomic<int> gStopRequested{0};
kmsgBroker* gBroker = nullptr;

namespace {

// The dispositions that were in force before the broker installed its own.
// The handler reads them on any thread, so each is a pair of lock-free
// atomic pointers: at most one is set (`action` when the disposition was
// SA_SIGINFO), and an update clears both before it sets one, so a signal in
// between sees either the old disposition or none.
struct PreviousHandler {
  std::atomic<void (*)(int)> handler{nullptr};
  std::atomic<void (*)(int, siginfo_t*, void*)> action{nullptr};
};
static_assert(std::atomic<void (*)(int)>::is_always_lock_free &&
                  std::atomic<void (*)(int, siginfo_t*, void*)>::is_always_lock_free,
              "the previous handlers must be signal-safe");
PreviousHandler gPrevSigIntHandler;
PreviousHandler gPrevSigTermHandler;

// A failed sigaction, told once the logging is set up.
struct SignalSetupFailure {
  const char* what;  // "read the disposition of", "install the handler of", "ignore"
  const char* signal;
  int error;
};

// Saves the disposition in force as `prev`. A real handler function is
// kept; the default and ignore dispositions are kept as none. The broker's
// own handler (a broker was built before in this process) is never saved:
// the disposition saved then stays.
bool saveHandler(int sig, PreviousHandler& prev) {
  struct sigaction current {};
  if (sigaction(sig, nullptr, &current) != 0) return false;
  if (current.sa_flags & SA_SIGINFO) {
    if (current.sa_sigaction == brokerSignalHandler) return true;
    prev.handler.store(nullptr);
    prev.action.store(nullptr);
    prev.action.store(current.sa_sigaction);
  } else {
    if (reinterpret_cast<void*>(current.sa_handler) == reinterpret_cast<void*>(brokerSignalHandler))
      return true;
    prev.handler.store(nullptr);
    prev.action.store(nullptr);
    if (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN)
      prev.handler.store(current.sa_handler);
  }
  return true;
}

// Empty mask; SA_SIGINFO only (no SA_RESTART: a signal cuts the run loop's
// sleep short; no SA_RESETHAND: every signal comes here).
bool installHandler(int sig) {
  struct sigaction sa {};
  sa.sa_sigaction = brokerSignalHandler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_SIGINFO;
  return sigaction(sig, &sa, nullptr) == 0;
}

// A reader of standard output that goes away must not end the daemon: a
// write to the closed pipe then fails with EPIPE, and the printed lines are
// lost quietly.
bool ignoreSigpipe() {
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  return sigaction(SIGPIPE, &sa, nullptr) == 0;
}

}  // namespace

extern "C" void brokerSignalHandler(int signal, siginfo_t* info, void* context) {
  const PreviousHandler* prev = nullptr;
  if (signal == SIGINT) prev = &gPrevSigIntHandler;
  if (signal == SIGTERM) prev = &gPrevSigTermHandler;
  // The default and the ignore dispositions are never called (they are not
  // saved): SIGINT and SIGTERM always end the loop in an orderly way.
  if (prev) {
    if (auto action = prev->action.load()) {
      action(signal, info, context);
    } else if (auto handler = prev->handler.load()) {
      handler(signal);
    }
  }
  gStopRequested.store(1);
}

kmsgBroker::kmsgBroker() : cKlog("keyDTranslator") {
  gStopRequested.store(0);
  std::vector<SignalSetupFailure> signalFailures;
  for (auto [sig, name, prev] : {std::tuple{SIGINT, "SIGINT", &gPrevSigIntHandler},
                                 std::tuple{SIGTERM, "SIGTERM", &gPrevSigTermHandler}})
    if (!saveHandler(sig, *prev)) signalFailures.push_back({"read the disposition of", name, errno});
  for (auto [sig, name] : {std::pair{SIGINT, "SIGINT"}, std::pair{SIGTERM, "SIGTERM"}})
    if (!installHandler(sig)) signalFailures.push_back({"install the handler of", name, errno});
  if (!ignoreSigpipe()) signalFailures.push_back({"ignore", "SIGPIPE", errno});

  mConfMap = std::make_unique<cConfigFile>();
  mBusConfMap = std::make_unique<cConfigFile>();
  configuration& conf = configuration::getInstance();
  conf.setConfPath(kTranslatorConfPath);
  debug("Setup started");
  mConfMap->load(conf.getConfPath());
  mBusConfMap->load(kBusConfPath);
  cKlog::init(conf.getConfPath());
  // Told only now: before the logging is set up no line reaches a log.
  for (const SignalSetupFailure& f : signalFailures)
    error("Could not %s %s: %s", f.what, f.signal, std::strerror(f.error));

  conf.setHost(mConfMap->getString("host", "127.0.0.1"));
  conf.setPingTime(mConfMap->getInt("pingTime", 10));
  conf.setSubscriptions(mConfMap->getString("subscriptions", "UNKNOWN"));
  conf.setChannelerPort(
      mBusConfMap->getInt("nemba.channeler.port", nlite::kDefaultChannelerPort));
  conf.setBroadcasterPort(
      mBusConfMap->getInt("nemba.broadcaster.port", nlite::kDefaultBroadcasterPort));

  mMiniClient = std::make_unique<cMiniClient>();

  mPingTimer = std::make_unique<cDustyTimer>(conf.getPingTime());
  mPingTimer->start();

  debug("channeler port |%d|", conf.getChannelerPort());
  debug("broadcaster port |%d|", conf.getBroadcasterPort());

  mBus = std::make_unique<cBusLink>(conf.getChannelerPort(), conf.getBroadcasterPort());

  mMiniClient->addListener(this);
  // The result is not acted upon: without a link the loop still serves the
  // bus, and the failure is in the log.
  mMiniClient->connectServer(conf.getHost(), kKeyDaemonPort);

  debug("Setup complete");
}

kmsgBroker::~kmsgBroker() {
  // The pump thread must not deliver to a broker that is being destroyed.
  mMiniClient.reset();
}

void kmsgBroker::run() {
  debug("RUNNING  MSGBROKER");
  while (gStopRequested.load() == 0) {
    nlite::Message* msg = mBus->receive();
    if (msg) {
      debug("JSON message received");
      handleJSON_message(msg->buffer(), msg->bufferSize());
      const char* appId = msg->appId();
      std::fwrite(msg->buffer(), 1, msg->bufferSize(), stdout);
      std::fputs(" from ", stdout);
      if (appId) std::fputs(appId, stdout);
      std::fputs("\n", stdout);
      std::fflush(stdout);
    } else {
      debug("No JSON received");
    }
    sleep(1);
  }
  debug("END");
}

void startBroker() {
  std::fputs("RUNNING  in strat\n", stdout);
  std::fflush(stdout);
  if (gBroker) return;
  // Lives until the process ends: main leaves with _exit, so the broker and
  // the threads it started are never torn down.
  static std::unique_ptr<kmsgBroker> broker;
  broker = std::make_unique<kmsgBroker>();
  gBroker = broker.get();
  gBroker->run();
}
