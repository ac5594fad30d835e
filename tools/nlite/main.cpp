// nlite: the bus from the command line. `nlite pub` publishes, `nlite sub`
// prints what it receives as JSON lines. Single-threaded; the client it
// makes lives for the whole command.
#include <jansson.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "kconf_number.h"
#include "kjson.h"
#include "kopts.h"
#include "nlite.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kDefaultPubTimeout = 5.0;

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

// The help text of every command, with the two default ports.
std::string help() {
  return "usage: nlite pub [--channeler-port N] [--app NAME] [--kind K] [--timeout SECONDS]\n"
         "                 TOPIC TEXT\n"
         "       nlite sub [--broadcaster-port N] [--count N] [--timeout SECONDS] [--ready]\n"
         "                 TOPIC...\n"
         "       nlite [pub|sub] --help\n"
         "       nlite --version\n"
         "\n"
         "pub  publishes TEXT on TOPIC through the bus daemon at 127.0.0.1:N (default\n"
         "     " +
         std::to_string(nlite::kDefaultChannelerPort) +
         "); with TEXT \"-\" each line of standard input (without its newline)\n"
         "     is one message. --app is the sender's application id (default \"nlite\",\n"
         "     empty for none), --kind the message kind (default 2). Waits up to\n"
         "     --timeout seconds (default 5) for the bus daemon, exits 0 once every\n"
         "     message is handed to it, 1 when it cannot be reached or a send fails.\n"
         "sub  prints each message received on the TOPICs from 127.0.0.1:N (default\n"
         "     " +
         std::to_string(nlite::kDefaultBroadcasterPort) +
         ") as one line:\n"
         "       {\"topic\":...,\"app\":...,\"kind\":...,\"payload\":...}\n"
         "     with \"app\" null when the sender gave no application id. Texts that are\n"
         "     not valid UTF-8 are printed with each invalid byte replaced by U+FFFD.\n"
         "     Exits 0 after --count messages, after --timeout seconds, or on SIGINT\n"
         "     or SIGTERM. --ready writes \"nlite: ready\" on standard error once\n"
         "     subscribed.\n"
         "Options take their value as the next argument; \"--\" ends the options.\n";
}

// A command line of nlite: the options it takes, the one help.
kopts::Syntax commandSpec(std::vector<std::string> valued, std::vector<std::string> flags) {
  return {"nlite", KEYD_VERSION, help(), std::move(valued), std::move(flags)};
}

std::optional<double> parseSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v <= 0 || v > 1e6) return std::nullopt;
  return v;
}

// Reads a whole number from min to max.
auto number(long min, long max) {
  return [min, max](const std::string& text) { return kconf::parseNumber(text.c_str(), min, max); };
}

// Reads option `name`, when given, through `read` into `out`. Returns the
// exit status of the usage error "NAME: WHAT: VALUE" (printed) when `read`
// refuses the value.
template <typename T, typename Read>
std::optional<int> readOption(const kopts::Syntax& syntax, const kopts::Args& args,
                              const std::string& name, Read read, const char* what, T& out) {
  const std::optional<std::string> value = args.value(name);
  if (!value) return std::nullopt;
  const auto v = read(*value);
  if (!v) return kopts::usageError(syntax, name + ": " + what + ": " + *value);
  out = *v;
  return std::nullopt;
}

constexpr const char* kNotAPort = "not a port number (1-65535)";
constexpr const char* kNotSeconds = "not a positive number of seconds";

json_t* jsonText(const char* data, size_t size) { return jsonString(std::string_view(data, size)); }

bool printMessage(const nlite::Message& m) {
  JsonPtr line(json_object());
  json_object_set_new(line.get(), "topic", jsonText(m.topic(), std::strlen(m.topic())));
  json_object_set_new(line.get(), "app",
                      m.appId() ? jsonText(m.appIdBytes().data(), m.appIdBytes().size())
                                : json_null());
  json_object_set_new(line.get(), "kind", json_integer(m.kind()));
  json_object_set_new(line.get(), "payload", jsonText(m.buffer(), m.bufferSize()));
  JsonText text(json_dumps(line.get(), JSON_COMPACT));
  if (!text) return false;
  std::fputs(text.get(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return true;
}

int milliseconds(double seconds) { return static_cast<int>(std::lround(seconds * 1000.0)); }

// Sends one text, waiting while the client's queue is full, until deadline.
bool publish(nlite::Client& client, const std::string& text, int kind, const char* topic,
             Clock::time_point deadline) {
  if (text.size() > nlite::kMaxPayload) {
    std::fprintf(stderr, "nlite: message of %zu bytes is over the bound of %u\n", text.size(),
                 nlite::kMaxPayload);
    return false;
  }
  for (;;) {
    if (client.send(text.data(), static_cast<unsigned>(text.size()), kind, topic, nullptr) == 0)
      return true;
    if (Clock::now() >= deadline) {
      std::fputs("nlite: send failed\n", stderr);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Publishes `text` (with "-": each line of standard input) once the bus
// daemon on `port` answers within the timeout.
int publishAll(const std::string& app, long port, long kind, double timeout, const char* topic,
               const std::string& text) {
  const int timeoutMs = milliseconds(timeout);
  nlite::Client client(app.c_str(), static_cast<int>(port), 0, nullptr, 0);
  // The client's destruction at the end lets queued messages drain this long.
  client.setLinger(timeoutMs);
  if (!client.waitConnected(timeoutMs)) {
    std::fprintf(stderr, "nlite: bus daemon not reachable on 127.0.0.1:%ld\n", port);
    client.setLinger(0);
    return 1;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (text != "-") return publish(client, text, static_cast<int>(kind), topic, deadline) ? 0 : 1;
  std::string line;
  while (std::getline(std::cin, line)) {
    // Each line gets the whole timeout to find room in the queue.
    if (!publish(client, line, static_cast<int>(kind), topic,
                 Clock::now() + std::chrono::milliseconds(timeoutMs)))
      return 1;
  }
  return 0;
}

int runPub(int argc, char** argv) {
  const kopts::Syntax syntax = commandSpec({"--channeler-port", "--app", "--kind", "--timeout"}, {});
  const std::variant<kopts::Args, int> parsed = kopts::parse(syntax, argc, argv, 2);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const kopts::Args& args = std::get<kopts::Args>(parsed);
  long port = nlite::kDefaultChannelerPort, kind = 2;
  double timeout = kDefaultPubTimeout;
  const std::string app = args.value("--app").value_or("nlite");
  if (auto s = readOption(syntax, args, "--channeler-port", number(1, 65535), kNotAPort, port))
    return *s;
  if (auto s = readOption(syntax, args, "--kind", number(INT32_MIN, INT32_MAX),
                          "not a 32-bit integer", kind))
    return *s;
  if (auto s = readOption(syntax, args, "--timeout", parseSeconds, kNotSeconds, timeout)) return *s;
  if (args.operands.size() != 2) return kopts::usageError(syntax, "pub needs TOPIC and TEXT");
  const std::string& topic = args.operands[0];
  if (topic.size() > nlite::kMaxName || app.size() > nlite::kMaxName)
    return kopts::usageError(
        syntax, "topic or application id over " + std::to_string(nlite::kMaxName) + " bytes");
  return publishAll(app, port, kind, timeout, topic.c_str(), args.operands[1]);
}

// Prints what arrives on `topics` from the bus daemon on `port` until
// `count` messages (0: no bound), the timeout, or SIGINT or SIGTERM.
int subscribe(long port, std::vector<const char*> topics, long count,
              std::optional<double> timeout, bool announce) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  // A receive-only client: no channeler port.
  nlite::Client client("nlite", 0, static_cast<int>(port), topics.data(),
                       static_cast<unsigned>(topics.size()));
  std::optional<Clock::time_point> deadline;
  if (timeout) deadline = Clock::now() + std::chrono::milliseconds(milliseconds(*timeout));
  bool ready = false;
  long received = 0;
  while (!gStop) {
    if (announce && !ready && client.waitConnected(0)) {
      ready = true;
      std::fputs("nlite: ready\n", stderr);
      std::fflush(stderr);
    }
    while (nlite::Message* m = client.receive()) {
      if (!printMessage(*m)) std::fputs("nlite: cannot print a message\n", stderr);
      if (count > 0 && ++received >= count) return 0;
    }
    const Clock::time_point now = Clock::now();
    if (deadline && now >= *deadline) break;
    // Short slices: the stop flag, the deadline and readiness get looked at.
    long waitMs = announce && !ready ? 10 : 100;
    if (deadline)
      waitMs = std::min<long>(
          waitMs,
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - now).count() + 1);
    client.waitReadable(static_cast<int>(waitMs));
  }
  return 0;
}

int runSub(int argc, char** argv) {
  const kopts::Syntax syntax = commandSpec({"--broadcaster-port", "--count", "--timeout"}, {"--ready"});
  const std::variant<kopts::Args, int> parsed = kopts::parse(syntax, argc, argv, 2);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const kopts::Args& args = std::get<kopts::Args>(parsed);
  long port = nlite::kDefaultBroadcasterPort, count = 0;
  std::optional<double> timeout;
  if (auto s = readOption(syntax, args, "--broadcaster-port", number(1, 65535), kNotAPort, port))
    return *s;
  if (auto s = readOption(syntax, args, "--count", number(1, INT_MAX), "not a positive number",
                          count))
    return *s;
  if (auto s = readOption(syntax, args, "--timeout", parseSeconds, kNotSeconds, timeout)) return *s;
  if (args.operands.empty()) return kopts::usageError(syntax, "sub needs at least one TOPIC");
  std::vector<const char*> topics;
  for (const std::string& topic : args.operands) topics.push_back(topic.c_str());
  return subscribe(port, std::move(topics), count, timeout, args.has("--ready"));
}

}  // namespace

int main(int argc, char** argv) {
  const kopts::Syntax syntax = commandSpec({}, {});
  if (argc < 2) return kopts::usageError(syntax, "missing command: pub or sub");
  const std::string command = argv[1];
  if (command == "pub") return runPub(argc, argv);
  if (command == "sub") return runSub(argc, argv);
  // No command: --help, --version, or a usage error.
  const std::variant<kopts::Args, int> parsed = kopts::parse(syntax, 2, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  return kopts::usageError(syntax, "unknown command: " + command);
}
