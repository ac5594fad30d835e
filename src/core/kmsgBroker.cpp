// kmsgBroker: its set-up, the bus receive loop, the signal handler, startBroker.
#include "kmsgBroker.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "configuration.h"
#include "siteSum.h"

const char* const kTranslatorConfPath = "/etc/ram/keyd-translator.conf";
const char* const kBusConfPath = "/etc/ram/nembad.conf";

std::atomic<int> gStopRequested{0};
kmsgBroker* gBroker = nullptr;

namespace {

// The dispositions that were in force before the broker installed its own.
struct PreviousHandler {
  void (*handler)(int) = SIG_DFL;
  void (*action)(int, siginfo_t*, void*) = nullptr;  // when it was SA_SIGINFO
};
PreviousHandler gPrevSigIntHandler;
PreviousHandler gPrevSigTermHandler;

PreviousHandler queryHandler(int sig) {
  struct sigaction current {};
  PreviousHandler prev;
  if (sigaction(sig, nullptr, &current) != 0) return prev;
  if (current.sa_flags & SA_SIGINFO)
    prev.action = current.sa_sigaction;
  else
    prev.handler = current.sa_handler;
  return prev;
}

void installHandler(int sig) {
  struct sigaction sa {};
  sa.sa_handler = brokerSignalHandler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(sig, &sa, nullptr);
}

// The translator's bus topics and the broker's bus names.
constexpr const char* kReceiverName = "TransGlam-receiver";
constexpr const char* kCommandTopic = "TransGlam";
constexpr const char* kPublisherName = "MetaGlam";

}  // namespace

extern "C" void brokerSignalHandler(int signal) {
  const PreviousHandler* prev = nullptr;
  if (signal == SIGINT) prev = &gPrevSigIntHandler;
  if (signal == SIGTERM) prev = &gPrevSigTermHandler;
  // The default and the ignore dispositions are never called: SIGINT and
  // SIGTERM always end the loop in an orderly way.
  if (prev && prev->action) {
    prev->action(signal, nullptr, nullptr);
  } else if (prev && prev->handler != SIG_DFL && prev->handler != SIG_IGN &&
             prev->handler != nullptr) {
    prev->handler(signal);
  }
  gStopRequested.store(1);
}

kmsgBroker::kmsgBroker() : cKlog("keyDTranslator") {
  gStopRequested.store(0);
  gPrevSigIntHandler = queryHandler(SIGINT);
  gPrevSigTermHandler = queryHandler(SIGTERM);
  installHandler(SIGINT);
  installHandler(SIGTERM);

  mConfMap = std::make_unique<cConfigFile>();
  mBusConfMap = std::make_unique<cConfigFile>();
  configuration& conf = configuration::getInstance();
  conf.setConfPath(kTranslatorConfPath);
  debug("Setup started");
  mConfMap->load(conf.getConfPath());
  mBusConfMap->load(kBusConfPath);
  cKlog::init(conf.getConfPath());

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

  {
    // The configured "subscriptions" are kept only: the receiver listens to
    // the command topic alone.
    const char* topics[] = {kCommandTopic};
    mTransGlamClient = std::make_unique<nlite::Client>(
        kReceiverName, conf.getChannelerPort(), conf.getBroadcasterPort(), topics, 1);
  }
  mMetaGlamClient = std::make_unique<nlite::Client>(
      kPublisherName, conf.getChannelerPort(), conf.getBroadcasterPort(), nullptr, 0);

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
    nlite::Message* msg = mTransGlamClient->receive();
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
