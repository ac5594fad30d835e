// keyd-bridge between a site and a real mosquitto on the sandbox's loopback:
// both directions byte for byte, only the site's command topic, the
// application id of a command, the status with its last will, the broker and
// the bus daemon lost and back, TLS and passwords, unusable settings.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <utility>

#include "system.h"

namespace {

using namespace testsupport;

const std::string kPlain = "listener 1883 127.0.0.1\nallow_anonymous true\n";
const std::string kConnected = "keyd-bridge|Connected to the MQTT broker 127.0.0.1:1883 (MQTT 5)";
// A site with the lock 0102030405 (RFID 4328719365).
const std::string kSite =
    R"({"id":0,"tags":[{"id":0,"type":"u32","value":4660},{"id":1,"type":"str","value":"box-1"},)"
    R"({"id":8,"type":"str","value":"sw-2"},{"id":35,"type":"str","value":"srv"},)"
    R"({"id":36,"type":"u16","value":8080},{"id":19,"type":"bytes","value":"0102030405"}]})";
const std::string kUnlock = R"({"command":"UNLOCK","RFID":"4328719365","state":"s"})";

void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::unique_ptr<Child> broker(const std::string& conf) {
  write("/etc/ram/mosquitto.conf", "user root\nlog_dest stdout\n" + conf);
  auto b = Child::start(
      {"/usr/bin/stdbuf", "-oL", "/usr/sbin/mosquitto", "-c", "/etc/ram/mosquitto.conf"});
  EXPECT_TRUE(b && b->waitForLine(" running", kWaitMs)) << "mosquitto did not start";
  return b;
}

// The bridge of site s1, logging with the translator into kLogPath.
std::unique_ptr<Child> bridge(const std::string& conf) {
  writeConf("site.id=s1\n" + conf, "DEBUG", "/etc/ram/keyd-bridge.conf");
  return Child::start({programPath("keyd-bridge")});
}

// A broker client printing "RETAIN TOPIC PAYLOAD" per message; once subscribed.
std::unique_ptr<Child> watch(const std::string& topic) {
  auto c = Child::start({"/usr/bin/stdbuf", "-oL", "/usr/bin/mosquitto_sub", "-V", "5", "-q", "1",
                         "-d", "-t", topic, "-F", "%r %t %p"});
  EXPECT_TRUE(c && c->waitForLine("Subscribed (mid", kWaitMs));
  return c;
}

// The control room's one message (to s1's command topic).
void control(std::vector<std::string> args, const std::string& topic = "keyd/s1/TransGlam") {
  std::vector<std::string> argv = {"/usr/bin/mosquitto_pub", "-V", "5", "-q", "1", "-t", topic};
  argv.insert(argv.end(), args.begin(), args.end());
  EXPECT_EQ(Child::start(argv)->wait(kWaitMs), 0);
}

// Reads lines until each of `want` (whole lines) came, in any order.
bool seen(Child& c, std::vector<std::string> want) {
  while (!want.empty()) {
    auto line = c.readLine(kWaitMs);
    if (!line) return false;
    want.erase(std::remove(want.begin(), want.end(), *line), want.end());
  }
  return true;
}

// Then the broker lost: what waits for it arrives in order within the
// bound; the bus daemon lost: the bridge subscribes again.
TEST(Bridge, BothWaysByteForByteWithTheSitesStatusAndEachCommandsApplicationIdThenLostAndBack) {
  Site s("pingTime=3600\n");
  s.openKey();
  s.startBus();
  s.startTranslator();
  s.subscribe();
  auto mq = broker(kPlain);
  const std::string conf = "mqtt.queue_limit=150\n";
  auto b = bridge(conf);
  ASSERT_TRUE(s.waitForLog(kConnected) && s.subscribed("site_info") && s.subscribed("command"));
  // Subscribed, the bridge asks for the configuration; the next report is it.
  EXPECT_TRUE(s.translator->waitForLine(R"({"command":"req_cfg"} from keyd-bridge)", kWaitMs));
  s.report(kSite);
  auto info = s.publication();
  ASSERT_TRUE(info);
  ASSERT_TRUE(s.waitForLog("keyd-bridge|To the broker on keyd/s1/site_info: *"));
  // A dashboard that comes later sees the configuration and the status at once.
  auto room = watch("keyd/s1/#");
  EXPECT_TRUE(seen(*room, {"1 keyd/s1/site_info " + info->payload, "1 keyd/s1/status online"}));
  nlite::Client bus("tests", nlite::kDefaultChannelerPort, 0, nullptr, 0);
  auto send = [&bus](const std::string& text, const char* topic) {
    ASSERT_EQ(bus.send(text.data(), static_cast<unsigned>(text.size()), 2, topic, nullptr), 0);
  };
  const std::string odd = "{\"\xc3\xa9\"}\t\x01\xff end";
  send(odd, "command");
  EXPECT_TRUE(seen(*room, {"0 keyd/s1/command " + odd}));

  // Too long or not UTF-8: dropped with a line; other sites' and other
  // topics stay off the bus; the next good command passes.
  write("/etc/ram/big", std::string(256 * 1024 + 1, 'x'));
  write("/etc/ram/bad", "{\"command\":\"\xc0\xaf\"}");
  control({"-f", "/etc/ram/big"});
  control({"-f", "/etc/ram/bad"});
  control({"-m", kUnlock}, "keyd/s2/TransGlam");
  control({"-m", kUnlock}, "keyd/s1/TransGlam/x");
  const std::string from = " bytes from the broker on keyd/s1/TransGlam: ";
  auto at = s.waitForLogs({"keyd-bridge|Dropped a message of 262145" + from + "over 262144 bytes",
                           "keyd-bridge|Dropped a message of 16" + from + "not valid UTF-8"});
  ASSERT_TRUE(at);
  const std::string longest(64, 'a');
  const std::pair<std::vector<std::string>, std::string> apps[] = {
      {{"-D", "publish", "user-property", "app", "console:alice"}, "console:alice"},
      {{}, "keyd-bridge"},
      {{"-D", "publish", "user-property", "app", "a b"}, "keyd-bridge"},
      {{"-D", "publish", "user-property", "app", longest + "a"}, "keyd-bridge"},
      {{"-D", "publish", "user-property", "app", "x.Y_0@h-1:" + longest.substr(10)},
       "x.Y_0@h-1:" + longest.substr(10)}};
  for (const auto& [property, app] : apps) {
    std::vector<std::string> args = property;
    args.insert(args.end(), {"-m", kUnlock});
    control(args);
    EXPECT_EQ(s.translator->waitForLine(" from ", kWaitMs), kUnlock + " from " + app);
    at = s.waitForLog("audit|command=UNLOCK app=" + app + " rfid=4328719365 state=s outcome=sent",
                      *at);
    ASSERT_TRUE(at) << app;
  }

  // Killed: the broker tells the last will, retained.
  b->signal(SIGKILL);
  EXPECT_TRUE(seen(*room, {"0 keyd/s1/status offline"}));
  EXPECT_TRUE(seen(*watch("keyd/s1/status"), {"1 keyd/s1/status offline"}));
  b = bridge(conf);
  EXPECT_TRUE(seen(*room, {"0 keyd/s1/status online"}));
  ASSERT_TRUE(s.subscribed("site_info") && s.subscribed("command"));

  auto before = watch("keyd/s1/command");
  for (int i = 0; i < 100; ++i) send(std::to_string(i), "command");
  ASSERT_TRUE(before->waitForLine("0 keyd/s1/command 99", kWaitMs));
  mq->signal(SIGKILL);
  ASSERT_TRUE(mq->wait(kWaitMs));  // its port is free for the next broker
  ASSERT_TRUE(s.waitForLog("keyd-bridge|Lost the connection to the MQTT broker 127.0.0.1:1883 *"));
  for (int i = 100; i < 300; ++i) send(std::to_string(i), "command");
  send("0", "site_info");  // behind every command on the bus: once taken, all are
  ASSERT_TRUE(s.waitForLog("keyd-bridge|From the bus: site_info, 1 bytes"));
  b->signal(SIGSTOP);  // the new broker's subscriber comes first
  mq = broker(kPlain);
  auto after = watch("keyd/s1/command");
  b->signal(SIGCONT);
  // Beyond the bound the oldest commands went; a command the dead broker
  // had not acknowledged may come again (QoS 1), before the rest.
  std::vector<int> got;
  while (got.empty() || got.back() != 299) {
    auto line = after->readLine(kWaitMs);
    ASSERT_TRUE(line);
    if (line->rfind("0 keyd/s1/command ", 0) == 0) got.push_back(std::stoi(line->substr(18)));
  }
  const auto resent = std::find_if(got.begin(), got.end(), [](int n) { return n >= 100; });
  EXPECT_TRUE(std::all_of(got.begin(), resent, [](int n) { return n >= 0 && n < 100; }));
  std::vector<int> rest(resent, got.end()), want;
  for (int i = 150; i < 300; ++i) want.push_back(i);
  EXPECT_EQ(rest, want);
  EXPECT_TRUE(s.waitForLogs({"keyd-bridge|MQTT queue full (150 commands): dropping the oldest until "
                             "the broker takes them",
                             "keyd-bridge|MQTT queue emptied: 50 commands were dropped while it was "
                             "full (50 since the start)"}));

  s.subscriber.reset();  // only the bridge subscribes again
  s.bus->signal(SIGKILL);
  s.startBus();
  ASSERT_TRUE(s.subscribed("site_info") && s.subscribed("command"));
  nlite::Client again("tests", nlite::kDefaultChannelerPort, 0, nullptr, 0);
  ASSERT_TRUE(again.waitConnected(kWaitMs));
  ASSERT_EQ(again.send("back", 4, 2, "command", nullptr), 0);
  EXPECT_TRUE(after->waitForLine("0 keyd/s1/command back", kWaitMs));
  // An orderly stop says "offline" itself.
  b->signal(SIGTERM);
  EXPECT_EQ(b->wait(kWaitMs), 0);
  EXPECT_EQ(b->drainStderr(), "");
  EXPECT_TRUE(s.waitForLog("keyd-bridge|Stopped: \"offline\" published on keyd/s1/status"));
  EXPECT_TRUE(seen(*watch("keyd/s1/status"), {"1 keyd/s1/status offline"}));
}

// TLS with a CA of the test's own (the server verified, a client
// certificate required) and passwords; a wrong CA or password is refused.
TEST(Bridge, TlsAndPasswordsAcceptedAndRefused) {
  const std::string make =
      "cd /etc/ram && for ca in ca wrong; do openssl req -x509 -newkey rsa:2048 -nodes -days 2 "
      "-subj /CN=$ca -keyout $ca.key -out $ca.pem; done && for who in server client; do "
      "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout $who.key -out $who.csr && "
      "printf 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\\n' > ext && openssl x509 -req -in "
      "$who.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext -out $who.pem; done "
      "&& printf 'site\\n' > password && mosquitto_passwd -c -b users s1 site";
  ASSERT_EQ(Child::start({"/bin/sh", "-c", make + " >/dev/null 2>&1"})->wait(60000), 0);
  Site s;
  s.startBus();
  auto mq = broker(
      "listener 8883 127.0.0.1\nallow_anonymous false\npassword_file /etc/ram/users\n"
      "cafile /etc/ram/ca.pem\ncertfile /etc/ram/server.pem\nkeyfile /etc/ram/server.key\n"
      "require_certificate true\n");
  const std::string user =
      "mqtt.username=s1\nmqtt.certfile=/etc/ram/client.pem\nmqtt.keyfile=/etc/ram/client.key\n";
  write("/etc/ram/wrong-password", "other\n");
  const std::pair<std::string, std::string> cases[] = {
      {"mqtt.cafile=/etc/ram/ca.pem\nmqtt.password_file=/etc/ram/password\n",
       "keyd-bridge|Connected to the MQTT broker 127.0.0.1:8883 (MQTT 5)"},
      {"mqtt.cafile=/etc/ram/wrong.pem\nmqtt.password_file=/etc/ram/password\n",
       "keyd-bridge|No connection to the MQTT broker 127.0.0.1:8883 (A TLS error occurred)*"},
      {"mqtt.cafile=/etc/ram/ca.pem\nmqtt.password_file=/etc/ram/wrong-password\n",
       "keyd-bridge|The MQTT broker 127.0.0.1:8883 refused the connection (Not authorized)"}};
  size_t at = 0;
  for (const auto& [conf, line] : cases) {
    auto b = bridge(user + conf);
    auto seenAt = s.waitForLog(line, at);
    ASSERT_TRUE(seenAt) << line;
    at = *seenAt;
    EXPECT_EQ(b->drainStderr(), "");
  }
  const auto lines = s.logLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), cases[0].second), 1);  // only the first got in
}

// Settings that cannot work (bridge-settings.cases) end the bridge at once: status 2, one line.
TEST(Bridge, UnusableSettingsEndItWithStatus2AndOneLine) {
  std::string conf;
  for (const auto& [number, verb, text] : readTable("tests/system/bridge-settings.cases")) {
    if (verb == "conf") {
      conf += text + "\n";
      continue;
    }
    writeConf(std::exchange(conf, ""), "", "/etc/ram/keyd-bridge.conf");
    auto b = Child::start({programPath("keyd-bridge")});
    EXPECT_EQ(b->wait(kWaitMs), 2) << "bridge-settings.cases:" << number;
    EXPECT_EQ(b->drainStderr(), "keyd-bridge: /etc/ram/keyd-bridge.conf: " + text + "\n");
  }
  auto version = Child::start({programPath("keyd-bridge"), "--version"});
  EXPECT_EQ(version->readLine(kWaitMs), "keyd-bridge " KEYD_VERSION);
}

}  // namespace
