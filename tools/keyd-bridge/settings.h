// BridgeSettings: what keyd-bridge is told by its configuration file
// (key=value, read by cConfigFile) and by the bus daemon's file (the bus
// ports), checked once at start.
//
// Ownership: plain values. Threads: filled on the main thread before any
// other thread starts, read-only afterwards.
#ifndef KEYD_BRIDGE_SETTINGS_H
#define KEYD_BRIDGE_SETTINGS_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct BridgeSettings {
  std::string site;                            // site.id: [A-Za-z0-9_-]{1,64}
  std::string host = "127.0.0.1";              // mqtt.host, as written
  // The brokers of mqtt.host (HOST[:PORT],HOST[:PORT],...; PORT defaults to
  // mqtt.port): the bridge moves to the next when one is lost.
  struct Broker {
    std::string host;
    int port;
    std::string where() const { return host + ":" + std::to_string(port); }
  };
  std::vector<Broker> brokers;
  int port = 1883;                             // mqtt.port; 8883 by default with TLS
  std::string prefix = "keyd";                 // mqtt.prefix
  std::string username;                        // mqtt.username; empty: none
  std::optional<std::string> password;         // first line of mqtt.password_file
  std::string cafile, certfile, keyfile;       // TLS is on when cafile is set
  int keepalive = 30;                          // mqtt.keepalive, seconds
  size_t queueLimit = 10000;                   // mqtt.queue_limit, messages waiting
  size_t queueBytes = 16 * 1024 * 1024;        // mqtt.queue_bytes, their payloads' bytes
  int maxAge = 30;                             // command.max_age, seconds
  std::vector<unsigned char> key;              // from command.key_file; empty: unsigned commands
  std::string keyFile;                         // command.key_file
  std::vector<std::string> warnings;           // to log once logging is set up
  std::vector<std::string> fileProblems;       // the file's mistakes, logged likewise
  int channelerPort = 0, broadcasterPort = 0;  // from the bus daemon's file

  bool tls() const { return !cafile.empty(); }
  // PREFIX/SITE/leaf.
  std::string topic(const char* leaf) const { return prefix + "/" + site + "/" + leaf; }
};

// Reads both files into `out`. Returns nullopt when every setting is
// usable, otherwise the one line that says what is wrong (the caller
// prints it and exits with status 2). A missing file leaves the defaults
// (cConfigFile says so on standard output), so a missing bridge file ends
// in the missing site.id.
std::optional<std::string> loadSettings(const char* confPath, const char* busConfPath,
                                        BridgeSettings& out);

// --check: prints every setting of the file with the line it came from (or
// its default) and every problem: those of the file (unknown key, number
// that is not one, line too long, unreadable file), the one that would end
// the bridge, and the warnings it would log. 0 when there is no problem, 1
// otherwise.
int checkSettings(const char* confPath, const char* busConfPath);

// Whether text is a usable site id: letters, digits, '-' and '_', 1 to 64.
bool validSiteId(const std::string& text);

#endif  // KEYD_BRIDGE_SETTINGS_H
