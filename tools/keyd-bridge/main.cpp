// keyd-bridge: carries a site's bus to a central MQTT broker and back. The
// main thread sets up, waits for signals and keeps the service manager
// informed; the bus thread ("bridge-bus") moves every "site_info", "command"
// and "outcome" publication of the site into the outbox (the outcomes by way
// of the line); the MQTT thread ("bridge-mqtt", cMqttLink) takes them to the
// broker and puts the broker's commands for this site in the line
// (cCommandLine), whose thread ("bridge-line") hands them to the translator
// as "TransGlam", one at a time.
#include <mosquitto.h>
#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <variant>

#include "cKlog.h"
#include "command_line.h"
#include "kopts.h"
#include "mqtt_link.h"
#include "nlite.h"
#include "outbox.h"
#include "settings.h"
#include "texts.h"

namespace {

constexpr const char* kDefaultConf = "/etc/ram/keyd-bridge.conf";
constexpr const char* kBusConf = "/etc/ram/nembad.conf";
constexpr int kBusKind = 2;  // as the translator publishes
constexpr int kStatusPeriodMs = 10000;
constexpr std::chrono::seconds kAskAgain{10};

constexpr const char* kHelp =
    "usage: keyd-bridge [--conf PATH]\n"
    "       keyd-bridge --check [--conf PATH]\n"
    "       keyd-bridge --help | --version\n"
    "\n"
    "Bridges this site's message bus to an MQTT broker: every \"site_info\" and\n"
    "\"command\" publication goes to PREFIX/SITE/site_info (retained) and\n"
    "PREFIX/SITE/command, QoS 1, payload unchanged; every message on\n"
    "PREFIX/SITE/TransGlam is published on the bus topic \"TransGlam\" with the\n"
    "application id of its MQTT 5 user property \"app\" (1 to 64 of\n"
    "[A-Za-z0-9._:@-]) or keyd-bridge, one at a time: the next once the\n"
    "translator's outcome for the previous one came (at the latest after 3 s).\n"
    "Every outcome goes to PREFIX/SITE/outcome (and to a command's response topic\n"
    "under PREFIX/SITE/outcome/); retained commands are never taken, and a\n"
    "command past its deadline is answered \"expired\". PREFIX/SITE/status is\n"
    "\"online\" while connected and \"offline\" (the last will, or published at a\n"
    "stop) otherwise.\n"
    "\n"
    "  --check      print every setting with the line it came from (or its\n"
    "               default) and every problem; status 1 when there is one\n"
    "  --conf PATH  configuration file (default /etc/ram/keyd-bridge.conf), keys:\n"
    "               site.id (required: letters, digits, - and _, 1 to 64),\n"
    "               mqtt.host (127.0.0.1; HOST[:PORT],... for several brokers,\n"
    "               the next taken when one is lost), mqtt.port (1883; 8883 with TLS),\n"
    "               mqtt.prefix (keyd), mqtt.username, mqtt.password_file (the\n"
    "               password is its first line), mqtt.cafile (TLS on, the server\n"
    "               verified), mqtt.certfile and mqtt.keyfile (client certificate),\n"
    "               mqtt.keepalive (30 s), mqtt.queue_limit (10000 messages kept\n"
    "               while the broker is away), mqtt.queue_bytes (16777216 bytes\n"
    "               of them), command.max_age (30 s: a command's deadline without\n"
    "               its message expiry interval), command.key_file (only commands\n"
    "               signed with its key are taken), and the log4cpp.* logging\n"
    "               lines (without them INFO and above go to syslog)\n"
    "  The bus ports come from /etc/ram/nembad.conf (nemba.channeler.port,\n"
    "  nemba.broadcaster.port; 5557 and 5558 by default).\n"
    "Sends READY=1 to the service manager once set up, STOPPING=1 at a stop.\n"
    "SIGHUP reloads the logging settings; SIGINT or SIGTERM publish \"offline\"\n"
    "and end with status 0. Status 2: bad arguments or settings.\n";

std::string statusLine(const BridgeSettings&, const cMqttLink& link, const cOutbox& outbox) {
  return "broker " + link.where() +
         (link.connected() ? " connected" : " not connected") + "; to the broker " +
         std::to_string(link.sent()) + ", from the broker " + std::to_string(link.received()) +
         ", waiting " + std::to_string(outbox.size()) + ", dropped " +
         std::to_string(outbox.dropped());
}

// The configuration file's path, or the status to end with (--help,
// --version, a usage error).
std::variant<kopts::Args, int> readCommandLine(int argc, char** argv) {
  const kopts::Syntax syntax{"keyd-bridge", KEYD_VERSION, kHelp, {"--conf"}, {"--check"}};
  auto parsed = kopts::parse(syntax, argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const kopts::Args& args = std::get<kopts::Args>(parsed);
  if (!args.operands.empty())
    return kopts::usageError(syntax, "unexpected argument " + args.operands[0]);
  return args;
}

// Every thread (ZeroMQ's, nlite's, ours) starts with the signals blocked;
// the main thread takes them with sigtimedwait.
sigset_t blockSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, sig);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signals;
}

void logStart(const cKlog& log, const BridgeSettings& settings) {
  log.info("keyd-bridge %s for site %s: bus ports %d and %d, broker %s:%d%s, topics %s/#",
           KEYD_VERSION, settings.site.c_str(), settings.channelerPort, settings.broadcasterPort,
           settings.host.c_str(), settings.port, settings.tls() ? " over TLS" : "",
           (settings.prefix + "/" + settings.site).c_str());
  for (const auto* list : {&settings.fileProblems, &settings.warnings})
    for (const std::string& warning : *list) log.warn("%s", warning.c_str());
  if (!settings.keyFile.empty())
    log.info("Only commands signed with the key of %s are taken", settings.keyFile.c_str());
}

// The bus thread: asks the translator for its configuration until one
// came, and moves what the site publishes to the outbox and the line.
// The translator publishes "site_info" only when the configuration is new
// or asked for: once subscribed, and again every kAskAgain until a
// "site_info" passes (the translator may not have listened yet), the bridge
// asks, so the broker's retained copy is current whatever started first.
void busLoop(const BridgeSettings& settings, nlite::Client& publisher, nlite::Client& subscriber,
             cOutbox& outbox, cCommandLine& line, const std::atomic<bool>& stop) {
  const cKlog log("keyd-bridge");
  const std::string ask = "{\"command\":\"req_cfg\"}";
  bool subscribed = false, haveSiteInfo = false;
  auto nextAsk = std::chrono::steady_clock::now();
  while (!stop.load()) {
    subscribed = subscribed || subscriber.waitConnected(0);
    if (subscribed && !haveSiteInfo && std::chrono::steady_clock::now() >= nextAsk) {
      if (publisher.send(ask.data(), static_cast<unsigned>(ask.size()), kBusKind, "TransGlam",
                         nullptr) != 0)
        log.warn("Could not ask the translator for the configuration on the bus");
      nextAsk = std::chrono::steady_clock::now() + kAskAgain;
    }
    if (!subscriber.waitReadable(200)) continue;
    while (nlite::Message* m = subscriber.receive()) {
      log.debug("From the bus: %s, %u bytes", shown(m->topic()).c_str(), m->bufferSize());
      std::string payload(m->buffer(), m->bufferSize());
      if (std::strcmp(m->topic(), "outcome") == 0) {
        line.outcome(payload);
        continue;
      }
      const bool siteInfo = std::strcmp(m->topic(), "site_info") == 0;
      haveSiteInfo = haveSiteInfo || siteInfo;
      outbox.push(
          {siteInfo, settings.topic(siteInfo ? "site_info" : "command"), std::move(payload), ""});
    }
  }
}

void reloadLogging(const cKlog& log, const char* confPath) {
  std::string why;
  switch (cKlog::reload(confPath, why)) {
    case cKlog::Reload::applied:
      log.info("Logging settings reloaded from %s", confPath);
      break;
    case cKlog::Reload::defaulted:
      log.info("Logging settings reloaded from %s: none there, INFO and above go to syslog",
               confPath);
      break;
    case cKlog::Reload::kept:
      log.error("Logging settings not reloaded from %s: %s; the previous ones stay", confPath,
                why.c_str());
      break;
  }
}

// Until SIGINT or SIGTERM: SIGHUP reloads the logging settings, and the
// service manager hears of every change of the status line.
void serve(const cKlog& log, const char* confPath, sigset_t signals, const BridgeSettings& settings,
           const cMqttLink& link, const cOutbox& outbox) {
  std::string status = statusLine(settings, link, outbox);
  sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
  const timespec period{kStatusPeriodMs / 1000, 0};
  for (;;) {
    const int sig = sigtimedwait(&signals, nullptr, &period);
    if (sig == SIGINT || sig == SIGTERM) break;
    if (sig == SIGHUP) reloadLogging(log, confPath);
    if (std::string now = statusLine(settings, link, outbox); now != status) {
      sd_notify(0, ("STATUS=" + now).c_str());
      status = now;
    }
  }
}

// Sets up the bus clients, the line and the MQTT link, serves until a
// signal ends it, and stops in order; the exit status.
int run(const BridgeSettings& settings, const char* confPath, sigset_t signals) {
  const cKlog log("keyd-bridge");
  mosquitto_lib_init();
  cOutbox outbox(settings.queueLimit, settings.queueBytes);
  nlite::Client publisher(cMqttLink::kOwnAppId, settings.channelerPort, 0, nullptr, 0);
  const char* topics[] = {"site_info", "command", "outcome"};
  nlite::Client subscriber(cMqttLink::kOwnAppId, 0, settings.broadcasterPort, topics, 3);
  for (const nlite::Client* c : {&publisher, &subscriber})
    if (std::string why = c->setupError(); !why.empty())
      log.error("Bus client %s not set up whole: %s", c == &publisher ? "publishing" : "receiving",
                why.c_str());

  cCommandLine line(
      settings.topic("outcome"),
      [&outbox](const std::string& topic, const std::string& doc, const std::string& correlation) {
        outbox.push({false, topic, doc, correlation});
      },
      [&publisher, &log](const std::string& app, const std::string& text) {
        if (publisher.sendAs(app.c_str(), text.data(), static_cast<unsigned>(text.size()), kBusKind,
                             "TransGlam") == 0)
          return true;
        log.warn("Could not publish a command from the broker on the bus (%zu bytes)", text.size());
        return false;
      });
  cMqttLink link(settings, outbox, [&line](cCommandLine::Command command, const char* refusal) {
    if (refusal)
      line.refuse(command, refusal);
    else
      line.take(std::move(command));
  });
  outbox.setWake([&link] { link.wake(); });
  std::string failure;
  if (!link.start(failure)) {
    log.error("The MQTT client cannot be set up: %s", failure.c_str());
    std::fprintf(stderr, "keyd-bridge: the MQTT client cannot be set up: %s\n", failure.c_str());
    return 2;
  }
  line.start();
  std::atomic<bool> busStop{false};
  std::thread bus([&] {
    pthread_setname_np(pthread_self(), "bridge-bus");
    busLoop(settings, publisher, subscriber, outbox, line, busStop);
  });

  serve(log, confPath, signals, settings, link, outbox);

  sd_notify(0, "STOPPING=1");
  log.info("Stopping");
  busStop.store(true);
  bus.join();
  line.stop();
  link.stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  auto read = readCommandLine(argc, argv);
  if (const int* status = std::get_if<int>(&read)) return *status;
  const kopts::Args& args = std::get<kopts::Args>(read);
  const std::string confPath = args.value("--conf").value_or(kDefaultConf);
  if (args.has("--check")) return checkSettings(confPath.c_str(), kBusConf);

  BridgeSettings settings;
  if (auto fault = loadSettings(confPath.c_str(), kBusConf, settings)) {
    std::fprintf(stderr, "keyd-bridge: %s\n", fault->c_str());
    return 2;
  }
  const sigset_t signals = blockSignals();
  cKlog::init(confPath.c_str(), "keyd-bridge");
  logStart(cKlog("keyd-bridge"), settings);
  return run(settings, confPath.c_str(), signals);
}
