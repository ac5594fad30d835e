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
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kconf_number.h"
#include "kjson.h"
#include "nlite.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kDefaultPubTimeout = 5.0;

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

// The help text; a format of the two default ports (printUsage).
const char* const kUsageFormat =
    "usage: nlite pub [--channeler-port N] [--app NAME] [--kind K] [--timeout SECONDS]\n"
    "                 TOPIC TEXT\n"
    "       nlite sub [--broadcaster-port N] [--count N] [--timeout SECONDS] [--ready]\n"
    "                 TOPIC...\n"
    "       nlite [pub|sub] --help\n"
    "       nlite --version\n"
    "\n"
    "pub  publishes TEXT on TOPIC through the bus daemon at 127.0.0.1:N (default\n"
    "     %d); with TEXT \"-\" each line of standard input (without its newline)\n"
    "     is one message. --app is the sender's application id (default \"nlite\",\n"
    "     empty for none), --kind the message kind (default 2). Waits up to\n"
    "     --timeout seconds (default 5) for the bus daemon, exits 0 once every\n"
    "     message is handed to it, 1 when it cannot be reached or a send fails.\n"
    "sub  prints each message received on the TOPICs from 127.0.0.1:N (default\n"
    "     %d) as one line:\n"
    "       {\"topic\":...,\"app\":...,\"kind\":...,\"payload\":...}\n"
    "     with \"app\" null when the sender gave no application id. Texts that are\n"
    "     not valid UTF-8 are printed with each invalid byte replaced by U+FFFD.\n"
    "     Exits 0 after --count messages, after --timeout seconds, or on SIGINT\n"
    "     or SIGTERM. --ready writes \"nlite: ready\" on standard error once\n"
    "     subscribed.\n"
    "Options take their value as the next argument; \"--\" ends the options.\n";

void printUsage() {
  std::printf(kUsageFormat, nlite::kDefaultChannelerPort, nlite::kDefaultBroadcasterPort);
}

int usageError(const std::string& text) {
  std::fprintf(stderr, "nlite: %s\n", text.c_str());
  std::fputs("Try 'nlite --help'.\n", stderr);
  return 2;
}

std::optional<double> parseSeconds(const char* text) {
  if (!text || !*text) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v <= 0 || v > 1e6) return std::nullopt;
  return v;
}

// The command's arguments split into options (name -> value) and operands.
struct Args {
  std::map<std::string, const char*> options;
  std::vector<const char*> operands;
  bool help = false;
};

// valued: options taking a value; flags: options without one.
std::optional<Args> splitArgs(int argc, char** argv, const std::vector<std::string>& valued,
                              const std::vector<std::string>& flags, std::string& error) {
  Args a;
  bool optionsEnd = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnd || arg.compare(0, 2, "--") != 0) {
      a.operands.push_back(argv[i]);
    } else if (arg == "--") {
      optionsEnd = true;
    } else if (arg == "--help") {
      a.help = true;
    } else if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
      a.options[arg] = "";
    } else if (std::find(valued.begin(), valued.end(), arg) != valued.end()) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return std::nullopt;
      }
      a.options[arg] = argv[++i];
    } else {
      error = "unknown option " + arg;
      return std::nullopt;
    }
  }
  return a;
}

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

int runPub(int argc, char** argv) {
  std::string error;
  auto args = splitArgs(argc, argv, {"--channeler-port", "--app", "--kind", "--timeout"}, {},
                        error);
  if (!args) return usageError(error);
  if (args->help) {
    printUsage();
    return 0;
  }
  long port = nlite::kDefaultChannelerPort, kind = 2;
  double timeout = kDefaultPubTimeout;
  const char* app = "nlite";
  for (const auto& [name, value] : args->options) {
    std::optional<long> n;
    if (name == "--app") {
      app = value;
    } else if (name == "--timeout") {
      auto s = parseSeconds(value);
      if (!s) return usageError("--timeout: not a positive number of seconds: " + std::string(value));
      timeout = *s;
    } else if (name == "--kind") {
      if (!(n = kconf::parseNumber(value, INT32_MIN, INT32_MAX)))
        return usageError("--kind: not a 32-bit integer: " + std::string(value));
      kind = *n;
    } else {
      if (!(n = kconf::parseNumber(value, 1, 65535)))
        return usageError(name + ": not a port number (1-65535): " + value);
      port = *n;
    }
  }
  if (args->operands.size() != 2) return usageError("pub needs TOPIC and TEXT");
  const char* topic = args->operands[0];
  const std::string text = args->operands[1];
  if (std::strlen(topic) > nlite::kMaxName || std::strlen(app) > nlite::kMaxName)
    return usageError("topic or application id over " + std::to_string(nlite::kMaxName) + " bytes");

  const int timeoutMs = milliseconds(timeout);
  nlite::Client client(app, static_cast<int>(port), 0, nullptr, 0);
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

int runSub(int argc, char** argv) {
  std::string error;
  auto args = splitArgs(argc, argv, {"--broadcaster-port", "--count", "--timeout"}, {"--ready"},
                        error);
  if (!args) return usageError(error);
  if (args->help) {
    printUsage();
    return 0;
  }
  long port = nlite::kDefaultBroadcasterPort, count = 0;
  std::optional<double> timeout;
  const bool announce = args->options.count("--ready") > 0;
  for (const auto& [name, value] : args->options) {
    std::optional<long> n;
    if (name == "--ready") continue;
    if (name == "--timeout") {
      if (!(timeout = parseSeconds(value)))
        return usageError("--timeout: not a positive number of seconds: " + std::string(value));
    } else if (name == "--count") {
      if (!(n = kconf::parseNumber(value, 1, INT_MAX)))
        return usageError("--count: not a positive number: " + std::string(value));
      count = *n;
    } else {
      if (!(n = kconf::parseNumber(value, 1, 65535)))
        return usageError(name + ": not a port number (1-65535): " + value);
      port = *n;
    }
  }
  if (args->operands.empty()) return usageError("sub needs at least one TOPIC");

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  // A receive-only client: no channeler port.
  nlite::Client client("nlite", 0, static_cast<int>(port), args->operands.data(),
                       static_cast<unsigned>(args->operands.size()));
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usageError("missing command: pub or sub");
  const std::string command = argv[1];
  if (command == "--help") {
    printUsage();
    return 0;
  }
  if (command == "--version") {
    std::puts("nlite " KEYD_VERSION);
    return 0;
  }
  if (command == "pub") return runPub(argc - 2, argv + 2);
  if (command == "sub") return runSub(argc - 2, argv + 2);
  return usageError("unknown command: " + command);
}
