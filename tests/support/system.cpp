// The system harness: the bus daemon, the translator binary, the key
// daemon's end and the test's bus client, driven through their real
// interfaces.
#include "system.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "kmsg_json.h"

namespace testsupport {

constexpr const char* kKeepAlive = R"({"id":1,"tags":[{"id":0,"type":"u32","value":0}]})";

std::string withoutSeq(std::string json) {
  if (const size_t at = json.find("\"seq\":"); at != std::string::npos)
    json.erase(at, json.find(',', at) + 1 - at);
  return json;
}
std::string shown(const Bytes& d) { return withoutSeq(kmsgjson::datagramToJson(d.data(), d.size())); }

void writeConf(const std::string& conf, const std::string& level, const std::string& path) {
  std::ofstream file(path);
  file << conf;
  if (!level.empty())
    file << "log4cpp.rootCategory=" << level << ", file\n"
         << "log4cpp.appender.file=FileAppender\n"
         << "log4cpp.appender.file.fileName=" << kLogPath << "\n"
         << "log4cpp.appender.file.layout=PatternLayout\n"
         << "log4cpp.appender.file.layout.ConversionPattern=%c|%m%n\n";
}

NotifySocket::NotifySocket(const std::string& path) : mFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ::unlink(path.c_str());
  EXPECT_EQ(::bind(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
}

NotifySocket::~NotifySocket() { ::close(mFd); }

std::optional<std::string> NotifySocket::receive(int timeoutMs) {
  pollfd p{mFd, POLLIN, 0};
  char buf[4096];
  if (::poll(&p, 1, timeoutMs) != 1) return std::nullopt;
  const ssize_t n = ::recv(mFd, buf, sizeof buf, 0);
  return n < 0 ? std::nullopt : std::optional<std::string>(std::string(buf, static_cast<size_t>(n)));
}

std::optional<std::string> NotifySocket::next(int timeoutMs) {
  auto n = receive(timeoutMs);
  while (n && n->rfind("STATUS=", 0) == 0) n = receive(timeoutMs);
  return n;
}

bool NotifySocket::pingsStop() {
  std::optional<std::string> ping;
  for (auto end = after(3 * kWaitMs); (ping = next(2500)) && Clock::now() < end;)
    EXPECT_EQ(ping, "WATCHDOG=1");
  return !ping;
}

std::optional<std::string> NotifySocket::afterPings() {
  auto n = next();
  while (n == "WATCHDOG=1") n = next();
  return n;
}

Site::Site(const std::string& conf, const std::string& level) {
  writeConf(conf, level);
  std::remove(kLogPath);
  std::remove("/etc/ram/nembad.conf");  // an earlier test's bus ports stay with it
}

void Site::startBus() {
  // A bus daemon killed a moment ago may still hold its ports.
  if (bus) {
    ASSERT_TRUE(bus->wait(kWaitMs)) << "the previous nembad is still running";
  }
  mSubscriptions.clear();
  bus = Child::start({programPath("nembad"), "--print-subscriptions"});
  ASSERT_TRUE(bus && bus->waitForLine("nembad: channeler", kWaitMs)) << "nembad did not start";
}

void Site::start(const std::vector<int>& ignoredSignals, const std::vector<std::string>& env) {
  for (auto step : {&Site::startBus, &Site::subscribe, &Site::openKey})
    if (!::testing::Test::HasFatalFailure()) (this->*step)();
  if (!::testing::Test::HasFatalFailure()) startTranslator(ignoredSignals, env);
}

bool Site::subscribed(const std::string& topic) {
  const std::string want = "nembad: subscribe " + topic;
  for (auto deadline = after(kWaitMs);;) {
    auto it = std::find(mSubscriptions.begin(), mSubscriptions.end(), want);
    if (it != mSubscriptions.end()) {
      mSubscriptions.erase(it);
      return true;
    }
    auto line = bus ? bus->readLine(msLeft(deadline)) : std::nullopt;
    if (!line) return false;
    mSubscriptions.push_back(*line);
  }
}

void Site::startTranslator(const std::vector<int>& ignoredSignals,
                           const std::vector<std::string>& env) {
  translator = Child::start({programPath("keyd-translator")}, ignoredSignals, env);
  ASSERT_TRUE(translator);
  if (key) {
    auto first = key->receive(kWaitMs);
    ASSERT_TRUE(first && shown(*first) == kKeepAlive) << "no keep-alive from the translator";
  }
  if (bus) {
    ASSERT_TRUE(subscribed("TransGlam")) << "the translator did not subscribe";
  }
}

void Site::stopTranslator(int sig) {
  translator->signal(sig);
  auto rest = translator->readRemainingLines(kWaitMs);  // a full pipe would hold it up
  EXPECT_EQ(translator->wait(kWaitMs), 0);
  EXPECT_TRUE(!rest.empty() && rest.back() == "Broker OUT!");
  EXPECT_EQ(translator->drainStderr(), "");
}

void Site::openKey() {
  key = std::make_unique<UdpPeer>(5555);
  ASSERT_EQ(key->port(), 5555);
}

void Site::report(const std::string& json) {
  const auto datagram = kmsgjson::datagramOf(json);
  ASSERT_FALSE(datagram.empty()) << "not one key message: " << json;
  ASSERT_TRUE(key->reply(datagram));
}

std::optional<std::string> Site::request(int timeoutMs) {
  for (auto deadline = after(timeoutMs);;) {
    auto d = key->receive(msLeft(deadline));
    if (!d) return std::nullopt;
    if (std::string text = shown(*d); text != kKeepAlive) return text;
  }
}

void Site::subscribe() {
  const char* topics[] = {"site_info", "command"};
  subscriber = std::make_unique<nlite::Client>("tests", 0, nlite::kDefaultBroadcasterPort, topics, 2);
  ASSERT_TRUE(subscribed("site_info") && subscribed("command"));
}

std::optional<Publication> Site::publication(int timeoutMs) {
  for (auto deadline = after(timeoutMs);;) {
    if (nlite::Message* m = subscriber->receive())
      return Publication{m->topic(), std::string(m->buffer(), m->bufferSize())};
    if (msLeft(deadline) == 0) return std::nullopt;
    subscriber->waitReadable(msLeft(deadline));
  }
}

void Site::command(const std::string& text, bool handled, const std::string& app, int timeoutMs) {
  if (!publisher || app != mPublisherApp) {
    publisher = std::make_unique<nlite::Client>(app.c_str(), nlite::kDefaultChannelerPort, 0,
                                                nullptr, 0);
    mPublisherApp = app;
  }
  ASSERT_EQ(publisher->send(text.data(), static_cast<unsigned>(text.size()), 2, "TransGlam",
                            nullptr),
            0);
  if (!handled) return;
  const std::string echo = text + " from " + app;
  for (auto deadline = after(timeoutMs);;) {
    auto line = translator->readLine(msLeft(deadline));
    ASSERT_TRUE(line) << "not handled: " << echo;
    if (*line == echo) return;
  }
}

std::vector<std::string> Site::logLines() const {
  std::ifstream file(kLogPath);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

std::optional<size_t> Site::waitForLog(const std::string& line, size_t from, int timeoutMs) const {
  for (auto deadline = after(timeoutMs);;) {
    const auto lines = logLines();
    const bool prefix = !line.empty() && line.back() == '*';
    const std::string_view want(line.data(), line.size() - prefix);
    if (from < lines.size()) {
      auto it = std::find_if(lines.begin() + static_cast<long>(from), lines.end(), [&](auto& l) {
        return prefix ? l.compare(0, want.size(), want) == 0 : l == want;
      });
      if (it != lines.end()) return static_cast<size_t>(it - lines.begin()) + 1;
    }
    if (msLeft(deadline) == 0) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polls the file
  }
}

std::optional<size_t> Site::waitForLogs(const std::vector<std::string>& lines, size_t from) const {
  std::optional<size_t> at = from;
  for (size_t i = 0; i < lines.size() && at; ++i)
    if (!(at = waitForLog(lines[i], *at))) ADD_FAILURE() << "not logged (in this order): " << lines[i];
  return at;
}

}  // namespace testsupport
