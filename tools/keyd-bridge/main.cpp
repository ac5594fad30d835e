// keyd-bridge: carries a site's bus to a central MQTT broker and back. The
// main thread sets up, waits for signals and keeps the service manager
// informed; the bus thread ("bridge-bus") moves every "site_info" and
// "command" publication of the site into the outbox; the MQTT thread
// ("bridge-mqtt", cMqttLink) takes them to the broker and puts the broker's
// commands for this site on the bus as "TransGlam".
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

#include "cKlog.h"
#include "mqtt_link.h"
#include "nlite.h"
#include "outbox.h"
#include "settings.h"

namespace {

constexpr const char* kDefaultConf = "/etc/ram/keyd-bridge.conf";
constexpr const char* kBusConf = "/etc/ram/nembad.conf";
constexpr int kBusKind = 2;  // as the translator publishes
constexpr int kStatusPeriodMs = 10000;
constexpr std::chrono::seconds kAskAgain{10};

constexpr const char* kHelp =
    "usage: keyd-bridge [--conf PATH]\n"
    "       keyd-bridge --help | --version\n"
    "\n"
    "Bridges this site's message bus to an MQTT broker: every \"site_info\" and\n"
    "\"command\" publication goes to PREFIX/SITE/site_info (retained) and\n"
    "PREFIX/SITE/command, QoS 1, payload unchanged; every message on\n"
    "PREFIX/SITE/TransGlam is published on the bus topic \"TransGlam\" with the\n"
    "application id of its MQTT 5 user property \"app\" (1 to 64 of\n"
    "[A-Za-z0-9._:@-]) or keyd-bridge. PREFIX/SITE/status is \"online\" while\n"
    "connected and \"offline\" (the last will, or published at a stop) otherwise.\n"
    "\n"
    "  --conf PATH  configuration file (default /etc/ram/keyd-bridge.conf), keys:\n"
    "               site.id (required: letters, digits, - and _, 1 to 64),\n"
    "               mqtt.host (127.0.0.1), mqtt.port (1883; 8883 with TLS),\n"
    "               mqtt.prefix (keyd), mqtt.username, mqtt.password_file (the\n"
    "               password is its first line), mqtt.cafile (TLS on, the server\n"
    "               verified), mqtt.certfile and mqtt.keyfile (client certificate),\n"
    "               mqtt.keepalive (30 s), mqtt.queue_limit (10000 commands kept\n"
    "               while the broker is away), and the log4cpp.* logging lines\n"
    "               (without them INFO and above go to syslog)\n"
    "  The bus ports come from /etc/ram/nembad.conf (nemba.channeler.port,\n"
    "  nemba.broadcaster.port; 5557 and 5558 by default).\n"
    "Sends READY=1 to the service manager once set up, STOPPING=1 at a stop.\n"
    "SIGHUP reloads the logging settings; SIGINT or SIGTERM publish \"offline\"\n"
    "and end with status 0. Status 2: bad arguments or settings.\n";

std::string statusLine(const BridgeSettings& s, const cMqttLink& link, const cOutbox& outbox) {
  return "broker " + s.host + ":" + std::to_string(s.port) +
         (link.connected() ? " connected" : " not connected") + "; to the broker " +
         std::to_string(link.sent()) + ", from the broker " + std::to_string(link.received()) +
         ", waiting " + std::to_string(outbox.size()) + ", dropped " +
         std::to_string(outbox.dropped());
}

}  // namespace

int main(int argc, char** argv) {
  const char* confPath = kDefaultConf;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("keyd-bridge " KEYD_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--conf") == 0 && i + 1 < argc) {
      confPath = argv[++i];
      continue;
    }
    std::fprintf(stderr, "keyd-bridge: unknown argument or missing value: %s\n", argv[i]);
    return 2;
  }

  BridgeSettings settings;
  if (auto fault = loadSettings(confPath, kBusConf, settings)) {
    std::fprintf(stderr, "keyd-bridge: %s\n", fault->c_str());
    return 2;
  }

  // Every thread (ZeroMQ's, nlite's, ours) starts with the signals blocked;
  // the main thread takes them with sigtimedwait.
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, sig);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  cKlog::init(confPath);
  const cKlog log("keyd-bridge");
  log.info("keyd-bridge %s for site %s: bus ports %d and %d, broker %s:%d%s, topics %s/#",
           KEYD_VERSION, settings.site.c_str(), settings.channelerPort, settings.broadcasterPort,
           settings.host.c_str(), settings.port, settings.tls() ? " over TLS" : "",
           (settings.prefix + "/" + settings.site).c_str());

  mosquitto_lib_init();
  cOutbox outbox(settings.queueLimit);
  nlite::Client publisher(cMqttLink::kOwnAppId, settings.channelerPort, 0, nullptr, 0);
  const char* topics[] = {"site_info", "command"};
  nlite::Client subscriber(cMqttLink::kOwnAppId, 0, settings.broadcasterPort, topics, 2);
  for (const nlite::Client* c : {&publisher, &subscriber})
    if (std::string why = c->setupError(); !why.empty())
      log.error("Bus client %s not set up whole: %s", c == &publisher ? "publishing" : "receiving",
                why.c_str());

  cMqttLink link(
      settings, outbox, [&publisher, &log](const std::string& app, const std::string& text) {
        if (publisher.sendAs(app.c_str(), text.data(), static_cast<unsigned>(text.size()), kBusKind,
                             "TransGlam") != 0)
          log.warn("Could not publish a command from the broker on the bus (%zu bytes)",
                   text.size());
      });
  std::string failure;
  if (!link.start(failure)) {
    log.error("The MQTT client cannot be set up: %s", failure.c_str());
    std::fprintf(stderr, "keyd-bridge: the MQTT client cannot be set up: %s\n", failure.c_str());
    return 2;
  }

  std::atomic<bool> busStop{false};
  std::thread bus([&] {
    pthread_setname_np(pthread_self(), "bridge-bus");
    // The translator publishes "site_info" only when the configuration is
    // new or asked for: once subscribed, and again every kAskAgain until a
    // "site_info" passes (the translator may not have listened yet), the
    // bridge asks, so the broker's retained copy is current whatever
    // started first.
    const std::string ask = "{\"command\":\"req_cfg\"}";
    bool subscribed = false, haveSiteInfo = false;
    auto nextAsk = std::chrono::steady_clock::now();
    while (!busStop.load()) {
      subscribed = subscribed || subscriber.waitConnected(0);
      if (subscribed && !haveSiteInfo && std::chrono::steady_clock::now() >= nextAsk) {
        if (publisher.send(ask.data(), static_cast<unsigned>(ask.size()), kBusKind, "TransGlam",
                           nullptr) != 0)
          log.warn("Could not ask the translator for the configuration on the bus");
        nextAsk = std::chrono::steady_clock::now() + kAskAgain;
      }
      if (!subscriber.waitReadable(200)) continue;
      while (nlite::Message* m = subscriber.receive()) {
        log.debug("From the bus: %s, %u bytes", m->topic(), m->bufferSize());
        const bool siteInfo = std::strcmp(m->topic(), "site_info") == 0;
        haveSiteInfo = haveSiteInfo || siteInfo;
        outbox.push(siteInfo, std::string(m->buffer(), m->bufferSize()));
      }
      link.wake();
    }
  });

  std::string status = statusLine(settings, link, outbox);
  sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
  const timespec period{kStatusPeriodMs / 1000, 0};
  for (;;) {
    const int sig = sigtimedwait(&signals, nullptr, &period);
    if (sig == SIGINT || sig == SIGTERM) break;
    if (sig == SIGHUP) {
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
    if (std::string now = statusLine(settings, link, outbox); now != status) {
      sd_notify(0, ("STATUS=" + now).c_str());
      status = now;
    }
  }

  sd_notify(0, "STOPPING=1");
  log.info("Stopping");
  busStop.store(true);
  bus.join();
  link.stop();
  return 0;
}
