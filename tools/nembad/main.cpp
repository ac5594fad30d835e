// nembad: the bus daemon. Clients push publications to its channeler port
// (PULL); it forwards each message whole to every subscriber of its
// broadcaster port (XPUB, which also hands it the subscriptions as they
// come). Single-threaded apart from ZeroMQ's I/O thread. Under a service
// manager it says when it is ready (both ports bound) and when it stops.
#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <zmq.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>
#include <tuple>
#include <utility>
#include <variant>

#include "cConfigFile.h"
#include "kconf_number.h"
#include "kopts.h"
#include "nlite.h"

namespace {

constexpr const char* kDefaultConf = "/etc/ram/nembad.conf";
// Messages queued per peer on either side; a burst of tens of thousands of
// small messages towards a connected subscriber must not be dropped.
constexpr int kHighWaterMark = 100000;
// Messages forwarded per wake-up before the stop flag is looked at again.
constexpr int kBatch = 1000;
constexpr long kPollMs = 200;

volatile sig_atomic_t gStop = 0;

void onSignal(int) { gStop = 1; }

// The help text, with the two default ports.
std::string help() {
  return "usage: nembad [--conf PATH] [--channeler-port N] [--broadcaster-port N]\n"
         "       nembad --check [--conf PATH]\n"
         "\n"
         "  Bus daemon: receives publications on tcp://127.0.0.1:<channeler port>\n"
         "  and forwards each to the subscribers on tcp://127.0.0.1:<broadcaster port>.\n"
         "  --conf PATH            configuration file (default /etc/ram/nembad.conf),\n"
         "                         keys nemba.channeler.port (default " +
         std::to_string(nlite::kDefaultChannelerPort) +
         ") and\n"
         "                         nemba.broadcaster.port (default " +
         std::to_string(nlite::kDefaultBroadcasterPort) +
         ")\n"
         "  --channeler-port N     overrides the file; 0 picks a free port\n"
         "  --broadcaster-port N   overrides the file; 0 picks a free port\n"
         "  --print-subscriptions  prints \"nembad: subscribe TOPIC\" and\n"
         "                         \"nembad: unsubscribe TOPIC\" for each subscription\n"
         "                         a subscriber makes or drops, once it is in force\n"
         "                         (bytes outside printable ASCII as \\xHH)\n"
         "  --check                prints both settings of the file with the line\n"
         "                         each came from (or its default) and every problem\n"
         "                         (unknown key, number that is not one, line too\n"
         "                         long, unreadable file); status 1 when there is one\n"
         "  --help                 this text\n"
         "  --version              the version\n"
         "  Prints \"nembad: channeler 127.0.0.1:<port> broadcaster 127.0.0.1:<port>\"\n"
         "  once both ports are bound (and sends READY=1 to the service manager\n"
         "  when NOTIFY_SOCKET names one); ends with status 0 on SIGINT or SIGTERM.\n";
}

// A port number, 0 (a free port) included.
std::optional<int> parsePort(const char* text) {
  const std::optional<long> v = kconf::parseNumber(text, 0, 65535);
  return v ? std::optional<int>(static_cast<int>(*v)) : std::nullopt;
}

// Binds socket on 127.0.0.1:port (0: a free port); returns the bound port.
std::optional<int> bindLoopback(void* socket, int port, const char* what) {
  const std::string endpoint =
      "tcp://127.0.0.1:" + (port == 0 ? std::string("*") : std::to_string(port));
  if (zmq_bind(socket, endpoint.c_str()) != 0) {
    std::fprintf(stderr, "nembad: cannot bind the %s port %s: %s\n", what, endpoint.c_str(),
                 zmq_strerror(errno));
    return std::nullopt;
  }
  char last[256] = {0};
  size_t size = sizeof last - 1;
  if (zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, last, &size) != 0) return std::nullopt;
  const char* colon = std::strrchr(last, ':');
  return colon ? parsePort(colon + 1) : std::nullopt;
}

// Forwards up to kBatch waiting messages, every frame with its "more" flag.
void forward(void* from, void* to) {
  for (int i = 0; i < kBatch; ++i) {
    bool more = true;
    bool first = true;
    while (more) {
      zmq_msg_t frame;
      zmq_msg_init(&frame);
      if (zmq_msg_recv(&frame, from, ZMQ_DONTWAIT) < 0) {
        zmq_msg_close(&frame);
        if (first) return;
        break;
      }
      first = false;
      more = zmq_msg_more(&frame);
      // PUB never blocks: a subscriber whose queue is full loses the message.
      if (zmq_msg_send(&frame, to, more ? ZMQ_SNDMORE : 0) < 0) zmq_msg_close(&frame);
    }
  }
}

// Takes every subscription message waiting on the broadcaster; prints each
// when asked. A subscription is in force once XPUB hands it over, so a
// publication forwarded after the line reaches that subscriber.
void takeSubscriptions(void* xpub, bool print) {
  for (;;) {
    zmq_msg_t msg;
    zmq_msg_init(&msg);
    if (zmq_msg_recv(&msg, xpub, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&msg);
      return;
    }
    const auto* data = static_cast<const unsigned char*>(zmq_msg_data(&msg));
    const size_t size = zmq_msg_size(&msg);
    if (print && size >= 1 && data[0] <= 1) {
      std::string topic;
      for (size_t i = 1; i < size; ++i) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", data[i]);
        topic += (data[i] >= 0x20 && data[i] < 0x7F && data[i] != '\\')
                     ? std::string(1, static_cast<char>(data[i]))
                     : std::string(hex);
      }
      std::printf("nembad: %s %s\n", data[0] ? "subscribe" : "unsubscribe", topic.c_str());
      std::fflush(stdout);
    }
    zmq_msg_close(&msg);
  }
}

int run(int channelerPort, int broadcasterPort, bool printSubscriptions) {
  // ZeroMQ's I/O thread inherits a mask without the stop signals, so they
  // reach the main thread and interrupt zmq_poll.
  sigset_t stopSignals, previous;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  void* ctx = zmq_ctx_new();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "nembad: cannot create the ZeroMQ context\n");
    return 1;
  }
  void* pull = zmq_socket(ctx, ZMQ_PULL);
  void* pub = zmq_socket(ctx, ZMQ_XPUB);
  int hwm = kHighWaterMark;
  int64_t maxFrame = nlite::kMaxFrame;
  int zero = 0;
  int pubLinger = 200;
  zmq_setsockopt(pull, ZMQ_RCVHWM, &hwm, sizeof hwm);
  zmq_setsockopt(pull, ZMQ_MAXMSGSIZE, &maxFrame, sizeof maxFrame);
  zmq_setsockopt(pull, ZMQ_LINGER, &zero, sizeof zero);
  zmq_setsockopt(pub, ZMQ_SNDHWM, &hwm, sizeof hwm);
  zmq_setsockopt(pub, ZMQ_LINGER, &pubLinger, sizeof pubLinger);
  // Every subscription and every unsubscription is handed over, not only
  // the first and last of a topic, so each subscriber's shows.
  int verboser = printSubscriptions ? 1 : 0;
  zmq_setsockopt(pub, ZMQ_XPUB_VERBOSER, &verboser, sizeof verboser);

  int status = 1;
  std::optional<int> boundBroadcaster = bindLoopback(pub, broadcasterPort, "broadcaster");
  std::optional<int> boundChanneler =
      boundBroadcaster ? bindLoopback(pull, channelerPort, "channeler") : std::nullopt;
  if (boundChanneler && boundBroadcaster) {
    std::printf("nembad: channeler 127.0.0.1:%d broadcaster 127.0.0.1:%d\n", *boundChanneler,
                *boundBroadcaster);
    std::fflush(stdout);
    sd_notify(0, "READY=1");  // nothing without NOTIFY_SOCKET, or when it leads nowhere
    while (!gStop) {
      zmq_pollitem_t items[2] = {{pull, 0, ZMQ_POLLIN, 0}, {pub, 0, ZMQ_POLLIN, 0}};
      int n = zmq_poll(items, 2, kPollMs);
      if (n < 0 && errno != EINTR) {
        std::fprintf(stderr, "nembad: poll failed: %s\n", zmq_strerror(errno));
        break;
      }
      // Subscriptions first: a publication that arrived after a
      // subscription reaches that subscriber.
      if (n > 0 && (items[1].revents & ZMQ_POLLIN)) takeSubscriptions(pub, printSubscriptions);
      if (n > 0 && (items[0].revents & ZMQ_POLLIN)) forward(pull, pub);
    }
    status = gStop ? 0 : 1;
    sd_notify(0, "STOPPING=1");
  }
  zmq_close(pull);
  zmq_close(pub);
  while (zmq_ctx_term(ctx) != 0 && errno == EINTR) {
  }
  return status;
}

// The two ports: each from its option, else from the configuration file.
struct Ports {
  std::optional<int> channeler, broadcaster;
};

// The ports the options give. Returns the exit status after an error
// (printed).
std::optional<int> portsFromOptions(const kopts::Syntax& syntax, const kopts::Args& args,
                                    Ports& ports) {
  for (auto [name, port] : {std::pair{"--channeler-port", &ports.channeler},
                            std::pair{"--broadcaster-port", &ports.broadcaster}}) {
    const std::optional<std::string> value = args.value(name);
    if (!value) continue;
    *port = parsePort(value->c_str());
    if (!*port)
      return kopts::usageError(syntax,
                               std::string(name) + ": not a port number (0-65535): " + *value);
  }
  return std::nullopt;
}

// The ports the options left open, from the file, which is read only when
// it still has something to say. A missing file leaves the defaults
// (cConfigFile reports it on standard output). Returns the exit status
// after an error (printed).
// The settings of the bus daemon's file, with their defaults.
const std::vector<cConfigFile::Known>& busSettings() {
  static const std::vector<cConfigFile::Known> known = {
      {"nemba.channeler.port", true, std::to_string(nlite::kDefaultChannelerPort)},
      {"nemba.broadcaster.port", true, std::to_string(nlite::kDefaultBroadcasterPort)}};
  return known;
}

int checkSettings(const std::string& confPath) {
  cConfigFile conf;
  conf.load(confPath.c_str(), true);
  return conf.printCheck(stdout, busSettings(), {}) ? 0 : 1;
}

std::optional<int> portsFromFile(const std::string& confPath, Ports& ports) {
  if (ports.channeler && ports.broadcaster) return std::nullopt;
  cConfigFile conf;
  conf.load(confPath.c_str());
  // Mistakes that leave the ports usable are told, and the daemon goes on.
  for (const cConfigFile::Problem& p : conf.check(busSettings(), {}))
    if (p.line > 0)
      std::fprintf(stderr, "nembad: warning: %s:%d: %s\n", confPath.c_str(), p.line, p.text.c_str());
  for (auto [key, def, port] :
       {std::tuple{"nemba.channeler.port", nlite::kDefaultChannelerPort, &ports.channeler},
        std::tuple{"nemba.broadcaster.port", nlite::kDefaultBroadcasterPort, &ports.broadcaster}}) {
    if (*port) continue;
    const int v = conf.getInt(key, def);
    // The translator reads the same keys and connects to what it finds:
    // a value that is no usable port is an error here, not a free port.
    if (v < 1 || v > 65535) {
      std::fprintf(stderr, "nembad: %s: %s is not a port number (1-65535)\n", confPath.c_str(),
                   key);
      return 2;
    }
    *port = v;
  }
  return std::nullopt;
}

// SIGINT and SIGTERM set the stop flag; no SA_RESTART: a signal interrupts
// zmq_poll.
void catchStopSignals() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const kopts::Syntax syntax{"nembad",
                         KEYD_VERSION,
                         help(),
                         {"--conf", "--channeler-port", "--broadcaster-port"},
                         {"--print-subscriptions", "--check"}};
  const std::variant<kopts::Args, int> parsed = kopts::parse(syntax, argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const kopts::Args& args = std::get<kopts::Args>(parsed);
  if (!args.operands.empty())
    return kopts::usageError(syntax, "unexpected argument " + args.operands.front());

  if (args.has("--check")) return checkSettings(args.value("--conf").value_or(kDefaultConf));
  Ports ports;
  if (const auto status = portsFromOptions(syntax, args, ports)) return *status;
  if (const auto status = portsFromFile(args.value("--conf").value_or(kDefaultConf), ports))
    return *status;
  catchStopSignals();
  return run(*ports.channeler, *ports.broadcaster, args.has("--print-subscriptions"));
}
