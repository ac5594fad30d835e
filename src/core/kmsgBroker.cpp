// kmsgBroker: its set-up, the bus receive loop, the signal handler, startBroker;
// the status, counters and log reload its supervisor asks for.
#include "kmsgBroker.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "cSupervisor.h"
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

// The run loop's second: cut short by a stop only, so SIGHUP and SIGUSR1
// never make the loop take bus texts faster than one a second.
void sleepOneSecond() {
  timespec left{1, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR && gStopRequested.load() == 0) {
  }
}

// "TEXT from APPID": one line for each bus text, whatever it holds (its
// control characters are escaped as a JSON string escapes them).
void printReceived(std::string_view text, const char* appId) {
  const std::string line = cKlog::escapeControls(text) + " from " +
                           (appId ? cKlog::escapeControls(appId) : std::string()) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
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
  // Their work is no work for a signal handler: the supervisor's thread does it.
  if (signal == SIGHUP || signal == SIGUSR1) {
    cSupervisor::raise(signal == SIGHUP ? cSupervisor::kReload : cSupervisor::kStats);
    return;
  }
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
  cSupervisor::raise(cSupervisor::kStop);
}

kmsgBroker::kmsgBroker() : cKlog("keyDTranslator") {
  gStopRequested.store(0);
  std::vector<SignalSetupFailure> signalFailures;
  for (auto [sig, name, prev] : {std::tuple{SIGINT, "SIGINT", &gPrevSigIntHandler},
                                 std::tuple{SIGTERM, "SIGTERM", &gPrevSigTermHandler}})
    if (!saveHandler(sig, *prev)) signalFailures.push_back({"read the disposition of", name, errno});
  const int wakeError = cSupervisor::prepare();
  for (auto [sig, name] : {std::pair{SIGINT, "SIGINT"}, std::pair{SIGTERM, "SIGTERM"},
                           std::pair{SIGHUP, "SIGHUP"}, std::pair{SIGUSR1, "SIGUSR1"}})
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
  if (wakeError != 0)
    error("Could not create the eventfd that wakes the service thread: %s", std::strerror(wakeError));
  // Mistakes in the files are told, and the daemon goes on with what it read.
  for (const auto& [file, known, prefixes] :
       {std::tuple{mConfMap.get(), &translatorSettings(), loggingPrefixes()},
        std::tuple{mBusConfMap.get(), &busSettings(), std::vector<std::string>{}}})
    for (const cConfigFile::Problem& p : file->check(*known, prefixes))
      warn("%s%s: %s", file == mConfMap.get() ? conf.getConfPath() : kBusConfPath,
           p.line > 0 ? (":" + std::to_string(p.line)).c_str() : "", p.text.c_str());

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
  cSupervisor::notify("READY=1\nSTATUS=" + statusLine());
}

kmsgBroker::~kmsgBroker() {
  // The pump thread must not deliver to a broker that is being destroyed.
  mMiniClient.reset();
}

void kmsgBroker::run() {
  debug("RUNNING  MSGBROKER");
  cSupervisor supervisor({[this] { mMiniClient->eventPump().postHeartbeat(); },
                          [this] { return mMiniClient->eventPump().heartbeats(); },
                          [this] { return mPasses.load(); }, [this] { return statusLine(); },
                          [this] { reloadLogging(); }, [this] { logStats(); }});
  while (gStopRequested.load() == 0) {
    nlite::Message* msg = mBus->receive();
    if (msg) {
      mCommands.fetch_add(1, std::memory_order_relaxed);
      debug("JSON message received");
      const char* appId = msg->appId();
      handleJSON_message(msg->buffer(), msg->bufferSize(), appId);
      printReceived(std::string_view(msg->buffer(), msg->bufferSize()), appId);
    } else {
      debug("No JSON received");
    }
    sleepOneSecond();
    mPasses.fetch_add(1, std::memory_order_relaxed);
  }
  cSupervisor::stopping();
  debug("END");
}

std::optional<long long> kmsgBroker::secondsSinceHeard() const {
  const auto heard = mMiniClient->lastHeard();
  if (!heard) return std::nullopt;
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - *heard)
      .count();
}

std::string kmsgBroker::lastHeard() const {
  const auto ago = secondsSinceHeard();
  return ago ? "last heard " + std::to_string(*ago) + " s ago" : "never heard";
}

std::string kmsgBroker::heardToken() const {
  const auto ago = secondsSinceHeard();
  return ago ? std::to_string(*ago) + "s" : "never";
}

std::string kmsgBroker::statusLine() const {
  const cMiniClient::Counts c = mMiniClient->counts();
  const unsigned long publications = mSiteInfoSent.load() + mPingsSent.load() +
                                     mUpdateLockSent.load() + mUpdateKeySent.load();
  return "key daemon " + lastHeard() + ", " + std::to_string(c.reports) + " reports, " +
         std::to_string(publications) + " publications, " + std::to_string(mCommands.load()) +
         " commands";
}

void kmsgBroker::logStats() const {
  const cMiniClient::Counts c = mMiniClient->counts();
  const auto uptime =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - mStarted);
  mStats.info("reports=%lu rejected=%lu site_info=%lu ping=%lu update_lock=%lu update_key=%lu "
              "commands=%lu requests=%lu request_drops=%lu pump_waits=%lu bus_drops=%lu "
              "uptime=%lld heard=%s",
              c.reports, c.rejected, mSiteInfoSent.load(), mPingsSent.load(),
              mUpdateLockSent.load(), mUpdateKeySent.load(), mCommands.load(), c.requests,
              c.requestDrops, c.pumpWaits, mBus->droppedCount(),
              static_cast<long long>(uptime.count()), heardToken().c_str());
}

void kmsgBroker::reloadLogging() const {
  const char* path = configuration::getInstance().getConfPath();
  std::string failure;
  switch (cKlog::reload(path, failure)) {
    case cKlog::Reload::applied:
      info("Logging settings reloaded from %s", path);
      break;
    case cKlog::Reload::defaulted:
      info("Logging settings reloaded from %s: none there, INFO and above go to syslog", path);
      break;
    case cKlog::Reload::kept:
      error("Logging settings not reloaded from %s: %s; the previous ones stay", path,
            failure.c_str());
      break;
  }
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
