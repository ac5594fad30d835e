// Site: the real programs of one installation inside the test's sandbox
// (see sandbox_gtest_main.cpp): the bus daemon on its default ports, the
// translator binary reading /etc/ram, the key daemon's end of the link on
// 127.0.0.1:5555 and a bus client of the test's own. Every wait is for an
// event (a line, a datagram, a subscription) within a generous bound.
//
// Ownership: the test owns the Site, which owns every program it started
// (killed, if still running, when it goes). Threads: the test's thread only.
#ifndef TESTS_SUPPORT_SYSTEM_H
#define TESTS_SUPPORT_SYSTEM_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child.h"
#include "nlite.h"
#include "udp_peer.h"

namespace testsupport {

// Generous bound of every wait, in milliseconds.
constexpr int kWaitMs = 10000;
// Where the translator logs, one "category|message" line each.
constexpr const char* kLogPath = "/etc/ram/keyd-translator.log";

// A key message as keyd-sim prints it, without its "seq" (which the codec's
// counter numbers); shown: a datagram so.
std::string withoutSeq(std::string json);
std::string shown(const Bytes& datagram);

struct Publication {
  std::string topic, payload;
};

// Writes /etc/ram/keyd-translator.conf (or `path`): `conf` lines, then
// logging at `level` into kLogPath (level "" writes no logging lines at all).
void writeConf(const std::string& conf, const std::string& level,
               const std::string& path = "/etc/ram/keyd-translator.conf");

// The service manager's end of NOTIFY_SOCKET: a datagram socket bound at path.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path);
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;
  // The next notification, or nullopt when none came within timeoutMs.
  std::optional<std::string> receive(int timeoutMs = kWaitMs);
  // The same, refreshed "STATUS=" lines passed over.
  std::optional<std::string> next(int timeoutMs = kWaitMs);
  // True once the watchdog pings stop (none for 2.5 s) within three bounds;
  // until then every notification must be a ping.
  bool pingsStop();
  // The first notification after the pings (refreshed "STATUS=" lines aside).
  std::optional<std::string> afterPings();

 private:
  int mFd;
};

class Site {
 public:
  // Writes the configuration (writeConf) and removes the log.
  explicit Site(const std::string& conf = "", const std::string& level = "DEBUG");

  // nembad with its subscriptions printed; returns once it is bound. A
  // previous one must have been stopped: its end is waited for.
  void startBus();
  // The translator; with the key end open (openKey), waits for its first
  // keep-alive; with the bus up, waits until its receiver has subscribed.
  void startTranslator(const std::vector<int>& ignoredSignals = {},
                       const std::vector<std::string>& env = {});
  // The whole installation: the bus daemon, the test's bus client, the key
  // daemon's end, then the translator (as startTranslator).
  void start(const std::vector<int>& ignoredSignals = {}, const std::vector<std::string>& env = {});
  // Waits for the bus daemon's next report of a subscription to `topic`
  // (the translator's receiver subscribes to "TransGlam").
  bool subscribed(const std::string& topic);
  // The orderly end: exit status 0, "Broker OUT!" last on standard output,
  // nothing on standard error.
  void stopTranslator(int sig);

  // The key daemon's end: binds 127.0.0.1:5555.
  void openKey();
  // Sends one key message, written as keyd-sim writes it, to the translator.
  void report(const std::string& json);
  // The next datagram from the translator that is not a keep-alive, as
  // keyd-sim prints it but without "seq"; nullopt when none came in time.
  std::optional<std::string> request(int timeoutMs = kWaitMs);

  // The test's bus client, subscribed to "site_info" and "command" (waits
  // until the bus daemon has the subscriptions).
  void subscribe();
  std::optional<Publication> publication(int timeoutMs = kWaitMs);
  // Publishes text on "TransGlam" as `app`; with `handled`, waits until the
  // translator prints it back as handled.
  void command(const std::string& text, bool handled = true, const std::string& app = "tests",
               int timeoutMs = kWaitMs);

  // The log lines written so far.
  std::vector<std::string> logLines() const;
  // Waits until the log holds `line` (exactly, or as the start of a line
  // when it ends in '*') after position `from`; returns the position just
  // after it.
  std::optional<size_t> waitForLog(const std::string& line, size_t from = 0,
                                   int timeoutMs = kWaitMs) const;
  // Waits for each of `lines` in this order (a failure names the first missing).
  std::optional<size_t> waitForLogs(const std::vector<std::string>& lines, size_t from = 0) const;

  std::unique_ptr<Child> bus, translator;
  std::unique_ptr<UdpPeer> key;
  std::unique_ptr<nlite::Client> subscriber, publisher;

 private:
  std::vector<std::string> mSubscriptions;  // nembad lines not consumed yet
  std::string mPublisherApp;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_SYSTEM_H
