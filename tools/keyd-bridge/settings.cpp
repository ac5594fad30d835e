// Reading and checking keyd-bridge's settings.
#include "settings.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "cConfigFile.h"
#include "kconf_number.h"
#include "kjson.h"
#include "nlite.h"

namespace {

bool isIdChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// The first line of the file (without a '\r'), or nullopt; a file that
// others may read gets a warning.
std::optional<std::string> firstLine(const char* path, const char* what,
                                     std::vector<std::string>& warnings) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  struct stat st {};
  if (::stat(path, &st) == 0 && (st.st_mode & S_IROTH))
    warnings.push_back(std::string(what) + " " + path +
                       " is readable by others: make it readable only by the bridge's user");
  return line;
}

struct Number {
  const char* key;
  long min, max;
  long def;
};

std::optional<std::string> readNumbers(const cConfigFile& conf, BridgeSettings& out) {
  const Number numbers[] = {
      {"mqtt.port", 1, 65535, out.tls() ? 8883 : 1883},
      {"mqtt.keepalive", 5, 65535, out.keepalive},
      {"mqtt.queue_limit", 1, 10000000, static_cast<long>(out.queueLimit)},
      {"mqtt.queue_bytes", 1024 * 1024, 1L << 34, static_cast<long>(out.queueBytes)},
      {"command.max_age", 1, 86400, out.maxAge}};
  constexpr int kCount = sizeof numbers / sizeof numbers[0];
  long values[kCount];
  for (int i = 0; i < kCount; ++i) {
    const char* text = conf.getString(numbers[i].key, nullptr);
    const std::optional<long> v = text ? kconf::parseNumber(text, numbers[i].min, numbers[i].max)
                                       : std::optional<long>(numbers[i].def);
    if (!v)
      return std::string(numbers[i].key) + " is not a number from " +
             std::to_string(numbers[i].min) + " to " + std::to_string(numbers[i].max);
    values[i] = *v;
  }
  out.port = static_cast<int>(values[0]);
  out.keepalive = static_cast<int>(values[1]);
  out.queueLimit = static_cast<size_t>(values[2]);
  out.queueBytes = static_cast<size_t>(values[3]);
  out.maxAge = static_cast<int>(values[4]);
  return std::nullopt;
}

// mqtt.host as a list of brokers; the first is the one of the status line.
std::optional<std::string> readBrokers(BridgeSettings& out) {
  out.brokers.clear();
  size_t from = 0;
  for (;;) {
    const size_t comma = out.host.find(',', from);
    const std::string item = out.host.substr(from, comma == std::string::npos ? comma : comma - from);
    const size_t colon = item.rfind(':');
    BridgeSettings::Broker broker{item, out.port};
    if (colon != std::string::npos && item.find(':') == colon) {  // not an IPv6 address
      const std::optional<long> port = kconf::parseNumber(item.c_str() + colon + 1, 1, 65535);
      if (!port) return "mqtt.host " + item + ": the port is not a number from 1 to 65535";
      broker = {item.substr(0, colon), static_cast<int>(*port)};
    }
    if (broker.host.empty()) return std::string("mqtt.host names a broker without a host");
    out.brokers.push_back(broker);
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  out.host = out.brokers.front().host;
  out.port = out.brokers.front().port;
  return std::nullopt;
}

std::optional<std::string> readSecrets(const cConfigFile& conf, BridgeSettings& out) {
  if (const char* path = conf.getString("mqtt.password_file", nullptr)) {
    out.password = firstLine(path, "mqtt.password_file", out.warnings);
    if (!out.password)
      return std::string("mqtt.password_file ") + path + " cannot be read or has no first line";
  }
  if (const char* path = conf.getString("command.key_file", nullptr)) {
    const std::optional<std::string> line = firstLine(path, "command.key_file", out.warnings);
    const auto key = line ? fromHex(*line) : std::nullopt;
    if (!key || key->size() < 32 || key->size() > 64)
      return std::string("command.key_file ") + path +
             " cannot be read or its first line is not 64 to 128 hex digits";
    out.key = *key;
    out.keyFile = path;
  }
  return std::nullopt;
}

}  // namespace

bool validSiteId(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (char c : text)
    if (!isIdChar(c)) return false;
  return true;
}

const std::vector<cConfigFile::Known>& bridgeSettings() {
  static const std::vector<cConfigFile::Known> known = {
      {"site.id", false, "(none: required)"},
      {"mqtt.host", false, "127.0.0.1"},
      {"mqtt.port", true, "1883 (8883 with TLS)"},
      {"mqtt.prefix", false, "keyd"},
      {"mqtt.username", false, "(none)"},
      {"mqtt.password_file", false, "(none)"},
      {"mqtt.cafile", false, "(none: no TLS)"},
      {"mqtt.certfile", false, "(none)"},
      {"mqtt.keyfile", false, "(none)"},
      {"mqtt.keepalive", true, "30"},
      {"mqtt.queue_limit", true, "10000"},
      {"mqtt.queue_bytes", true, std::to_string(16 * 1024 * 1024)},
      {"command.max_age", true, "30"},
      {"command.key_file", false, "(none: commands are not signed)"}};
  return known;
}

int checkSettings(const char* confPath, const char* busConfPath) {
  cConfigFile conf;
  conf.load(confPath, true);
  bool good = conf.printCheck(stdout, bridgeSettings(), {"log4cpp."});
  BridgeSettings settings;
  if (conf.problems().empty()) {
    if (auto fault = loadSettings(confPath, busConfPath, settings)) {
      std::printf("%s (the bridge does not start)\n", fault->c_str());
      good = false;
    }
    for (const std::string& warning : settings.warnings)
      std::printf("%s: warning: %s\n", confPath, warning.c_str());
  }
  return good ? 0 : 1;
}

std::optional<std::string> loadSettings(const char* confPath, const char* busConfPath,
                                        BridgeSettings& out) {
  cConfigFile conf;
  conf.load(confPath);
  const std::string where = std::string(confPath) + ": ";
  // Mistakes that leave the settings usable are told once logging is up.
  for (const cConfigFile::Problem& p : conf.check(bridgeSettings(), {"log4cpp."}))
    out.fileProblems.push_back(where.substr(0, where.size() - 2) +
                           (p.line > 0 ? ":" + std::to_string(p.line) : std::string()) + ": " +
                           p.text);
  const char* site = conf.getString("site.id", nullptr);
  if (!site) return where + "site.id is missing (letters, digits, '-' and '_', 1 to 64 characters)";
  if (!validSiteId(site))
    return where + "site.id \"" + site + "\" is not 1 to 64 letters, digits, '-' and '_'";
  out.site = site;
  out.host = conf.getString("mqtt.host", out.host.c_str());
  out.prefix = conf.getString("mqtt.prefix", out.prefix.c_str());
  // A wildcard would subscribe the bridge to other sites' commands.
  if (out.prefix.empty() || out.prefix.find_first_of("+#") != std::string::npos)
    return where + "mqtt.prefix must be a topic level text without '+' and '#'";
  out.username = conf.getString("mqtt.username", "");
  out.cafile = conf.getString("mqtt.cafile", "");
  out.certfile = conf.getString("mqtt.certfile", "");
  out.keyfile = conf.getString("mqtt.keyfile", "");
  if (out.certfile.empty() != out.keyfile.empty() || (!out.certfile.empty() && !out.tls()))
    return where + "mqtt.certfile and mqtt.keyfile go together, and need mqtt.cafile";

  if (auto fault = readNumbers(conf, out)) return where + *fault;
  if (auto fault = readBrokers(out)) return where + *fault;
  if (auto fault = readSecrets(conf, out)) return where + *fault;

  cConfigFile bus;
  bus.load(busConfPath);
  out.channelerPort = bus.getInt("nemba.channeler.port", nlite::kDefaultChannelerPort);
  out.broadcasterPort = bus.getInt("nemba.broadcaster.port", nlite::kDefaultBroadcasterPort);
  return std::nullopt;
}
