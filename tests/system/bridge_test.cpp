// keyd-bridge between a site and a real mosquitto on the sandbox's loopback,
// one story a test: both directions byte for byte, the application id of a
// command, refusals, the status with its last will, the broker and the bus
// daemon lost and back, retained commands, deadlines, outcomes and answers
// on a response topic, signed commands, the documented access rules, TLS
// and passwords, unusable settings.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <fstream>
#include <map>
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
const std::string kUnlockRequest =
    R"({"id":1,"tags":[{"id":19,"type":"bytes","value":"0102030405"},{"id":21,"type":"u8","value":0}]})";

std::string unlock(const std::string& state) {
  return R"({"command":"UNLOCK","RFID":"4328719365","state":")" + state + "\"}";
}
// The outcome document of unlock(state) from app.
std::string outcomeOf(const std::string& state, const std::string& outcome,
                      const std::string& app = "keyd-bridge") {
  return R"({"command": "UNLOCK", "app": ")" + app + R"(", "rfid": "4328719365", "state": ")" +
         state + R"(", )" + outcome + "}";
}

void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// mosquitto, logging subscriptions too.
std::unique_ptr<Child> broker(const std::string& conf) {
  write("/etc/ram/mosquitto.conf",
        "user root\nlog_dest stdout\nlog_type error\nlog_type warning\nlog_type notice\n"
        "log_type information\nlog_type subscribe\n" +
            conf);
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

// A broker client printing `format` ("RETAIN TOPIC PAYLOAD") per message; once subscribed.
std::unique_ptr<Child> watch(const std::string& topic, const std::string& format = "%r %t %p",
                             std::vector<std::string> more = {}) {
  std::vector<std::string> argv = {"/usr/bin/stdbuf",
                                   "-oL",
                                   "/usr/bin/mosquitto_sub",
                                   "-V",
                                   "5",
                                   "-q",
                                   "1",
                                   "-d",
                                   "-t",
                                   topic,
                                   "-F",
                                   format};
  argv.insert(argv.end(), more.begin(), more.end());
  auto c = Child::start(argv);
  EXPECT_TRUE(c && c->waitForLine("Subscribed (mid", kWaitMs));
  return c;
}

// One message (by default to s1's command topic); the publisher's debug lines.
std::vector<std::string> control(std::vector<std::string> args,
                                 const std::string& topic = "keyd/s1/TransGlam") {
  std::vector<std::string> argv = {
      "/usr/bin/mosquitto_pub", "-V", "5", "-q", "1", "-d", "-t", topic};
  argv.insert(argv.end(), args.begin(), args.end());
  auto pub = Child::start(argv);
  auto lines = pub->readRemainingLines(kWaitMs);
  EXPECT_EQ(pub->wait(kWaitMs), 0);
  return lines;
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

class Bridge : public ::testing::Test {
 protected:
  Site s{"pingTime=3600\n"};
  std::unique_ptr<Child> mq, b, outcomes;
  std::string siteInfo;            // the site's "site_info" publication
  std::vector<std::string> login;  // mosquitto_sub's options to log in with

  // The bridge with `conf`, subscribed on the broker and on the bus.
  void startBridge(const std::string& conf) {
    b = bridge(conf);
    ASSERT_TRUE(mq->waitForLine("keyd-bridge-s1 1 keyd/s1/TransGlam", kWaitMs));
    ASSERT_TRUE(s.subscribed("site_info") && s.subscribed("command") && s.subscribed("outcome"));
  }
  // The site (its lock known, unless without the key daemon's end), the
  // broker and the bridge; the site's outcomes watched.
  void up(const std::string& conf = "", const std::string& brokerConf = kPlain, bool key = true) {
    if (key) s.openKey();
    s.startBus();
    s.startTranslator();
    s.subscribe();
    mq = broker(brokerConf);
    ASSERT_NO_FATAL_FAILURE(startBridge(conf));
    // Subscribed, the bridge asks for the configuration; the next report is it.
    ASSERT_TRUE(s.translator->waitForLine(R"({"command":"req_cfg"} from keyd-bridge)", kWaitMs));
    if (key) {
      s.report(kSite);
      auto info = s.publication();
      ASSERT_TRUE(info);
      siteInfo = info->payload;
    }
    outcomes = watch("keyd/s1/outcome", "%p", login);
  }
  // The next outcome on the site's outcome topic, but of the bridge's own
  // request for the configuration.
  std::optional<std::string> outcome() {
    for (;;) {
      auto line = outcomes->readLine(kWaitMs);
      if (!line || (line->rfind("{\"command\": ", 0) == 0 &&
                    line->rfind(R"({"command": "req_cfg", "app": "keyd-bridge")", 0) != 0))
        return line;
    }
  }
  void outboxKeepsTheNewest(const std::string& conf, size_t size, const std::string& full);
};

TEST_F(Bridge, BothWaysByteForByteWithTheSitesStatus) {
  ASSERT_NO_FATAL_FAILURE(up());
  ASSERT_TRUE(s.waitForLog("keyd-bridge|To the broker on keyd/s1/site_info: *"));
  // A dashboard that comes later sees the configuration and the status at once.
  auto room = watch("keyd/s1/#");
  EXPECT_TRUE(seen(*room, {"1 keyd/s1/site_info " + siteInfo, "1 keyd/s1/status online"}));
  nlite::Client bus("tests", nlite::kDefaultChannelerPort, 0, nullptr, 0);
  const std::string odd = "{\"\xc3\xa9\"}\t\x01\xff end";
  ASSERT_EQ(bus.send(odd.data(), static_cast<unsigned>(odd.size()), 2, "command", nullptr), 0);
  EXPECT_TRUE(seen(*room, {"0 keyd/s1/command " + odd}));
  // An outcome on the bus that is none: forwarded, and one log line.
  ASSERT_EQ(bus.send("no\noutcome", 10, 2, "outcome", nullptr), 0);
  EXPECT_TRUE(seen(*room, {"0 keyd/s1/outcome no"}));
  EXPECT_TRUE(s.waitForLog(
      "keyd-bridge|The translator's outcome is not a document of one (10 bytes): no\\noutcome"));
  control({"-m", kUnlock});
  EXPECT_EQ(s.translator->waitForLine(" from ", kWaitMs), kUnlock + " from keyd-bridge");
  EXPECT_EQ(s.request(), kUnlockRequest);
}

TEST_F(Bridge, EachCommandCarriesItsApplicationId) {
  ASSERT_NO_FATAL_FAILURE(up());
  const std::string longest(64, 'a');
  const std::pair<std::vector<std::string>, std::string> apps[] = {
      {{"-D", "publish", "user-property", "app", "console:alice"}, "console:alice"},
      {{}, "keyd-bridge"},
      {{"-D", "publish", "user-property", "app", "a b"}, "keyd-bridge"},
      {{"-D", "publish", "user-property", "app", longest + "a"}, "keyd-bridge"},
      {{"-D", "publish", "user-property", "app", "x.Y_0@h-1:" + longest.substr(10)},
       "x.Y_0@h-1:" + longest.substr(10)}};
  size_t at = 0;
  for (const auto& [property, app] : apps) {
    std::vector<std::string> args = property;
    args.insert(args.end(), {"-m", kUnlock});
    control(args);
    EXPECT_EQ(s.translator->waitForLine(" from ", kWaitMs), kUnlock + " from " + app);
    auto seenAt = s.waitForLog(
        "audit|command=UNLOCK app=" + app + " rfid=4328719365 state=s outcome=sent", at);
    ASSERT_TRUE(seenAt) << app;
    at = *seenAt;
  }
}

// Too long, not UTF-8 or retained: refused with a line and an outcome; other
// sites' and other topics stay off the bus; the next good command passes.
TEST_F(Bridge, RefusedCommandsAnsweredWithTheReasonAndOtherTopicsIgnored) {
  ASSERT_NO_FATAL_FAILURE(up());
  write("/etc/ram/big", std::string(256 * 1024 + 1, 'x'));
  write("/etc/ram/bad", "{\"command\":\"\xc0\xaf\"}");
  const std::string from = " bytes from the broker on keyd/s1/TransGlam: ";
  const std::string refused = R"({"command": "-", "app": "keyd-bridge", "outcome": "refused", )";
  const std::vector<std::string> cases[] = {
      {"-f", "/etc/ram/big", "keyd-bridge|Dropped a message of 262145" + from + "over 262144 bytes",
       refused + R"("reason": "too large"})"},
      {"-f", "/etc/ram/bad", "keyd-bridge|Dropped a message of 16" + from + "not valid UTF-8",
       refused + R"("reason": "not UTF-8"})"},
      {"-r", "-m", unlock("r\\nx"), "keyd-bridge|Dropped a retained message of 55" + from + "*",
       outcomeOf("r\\nx", R"("outcome": "refused", "reason": "retained")")}};
  for (const auto& c : cases) {
    control({c.begin(), c.end() - 2});
    EXPECT_TRUE(s.waitForLog(c[c.size() - 2])) << c[0];
    EXPECT_EQ(outcome(), c.back());
  }
  control({"-m", kUnlock}, "keyd/s2/TransGlam");
  control({"-m", kUnlock}, "keyd/s1/TransGlam/x");
  control({"-m", unlock("good")});
  EXPECT_EQ(s.translator->waitForLine(" from ", kWaitMs), unlock("good") + " from keyd-bridge");
}

// Killed: the broker tells the last will, retained; started again: online.
TEST_F(Bridge, KilledTheLastWillSaysOfflineThenOnlineAgain) {
  ASSERT_NO_FATAL_FAILURE(up());
  auto room = watch("keyd/s1/status");
  EXPECT_TRUE(seen(*room, {"1 keyd/s1/status online"}));
  b->signal(SIGKILL);
  EXPECT_TRUE(seen(*room, {"0 keyd/s1/status offline"}));
  EXPECT_TRUE(seen(*watch("keyd/s1/status"), {"1 keyd/s1/status offline"}));
  b = bridge("");
  EXPECT_TRUE(seen(*room, {"0 keyd/s1/status online"}));
}

// Two brokers: the first lost, the bridge moves on to the second, says it is
// online there and publishes its configuration again; a command there passes.
TEST_F(Bridge, MovesToTheNextBrokerWhenOneIsLost) {
  ASSERT_NO_FATAL_FAILURE(up("mqtt.host=127.0.0.1,127.0.0.1:1884\n"));
  auto second = broker("listener 1884 127.0.0.1\nallow_anonymous true\n");
  auto room = watch("keyd/s1/#", "%r %t %p", {"-p", "1884"});
  mq->signal(SIGKILL);
  ASSERT_TRUE(s.waitForLog("keyd-bridge|Lost the connection to the MQTT broker 127.0.0.1:1883 *"));
  ASSERT_TRUE(s.waitForLog("keyd-bridge|Connected to the MQTT broker 127.0.0.1:1884 (MQTT 5)"));
  EXPECT_TRUE(seen(*room, {"0 keyd/s1/status online", "0 keyd/s1/site_info " + siteInfo}));
  control({"-p", "1884", "-m", unlock("two")});
  EXPECT_EQ(s.translator->waitForLine(" from ", kWaitMs), unlock("two") + " from keyd-bridge");
}

// The broker lost: what waits for it arrives in order within the bound.
void Bridge::outboxKeepsTheNewest(const std::string& conf, size_t size, const std::string& full) {
  ASSERT_NO_FATAL_FAILURE(up(conf));
  nlite::Client bus("tests", nlite::kDefaultChannelerPort, 0, nullptr, 0);
  auto send = [&bus, size](int i) {
    std::string text = std::to_string(i);
    text.resize(std::max(text.size(), size), 'x');
    ASSERT_EQ(bus.send(text.data(), static_cast<unsigned>(text.size()), 2, "command", nullptr), 0);
  };
  auto before = watch("keyd/s1/command");
  for (int i = 0; i < 100; ++i) send(i);
  ASSERT_TRUE(before->waitForLine("0 keyd/s1/command 99", kWaitMs));
  mq->signal(SIGKILL);
  ASSERT_TRUE(mq->wait(kWaitMs));  // its port is free for the next broker
  ASSERT_TRUE(s.waitForLog("keyd-bridge|Lost the connection to the MQTT broker 127.0.0.1:1883 *"));
  for (int i = 100; i < 300; ++i) send(i);
  ASSERT_EQ(bus.send("0", 1, 2, "site_info", nullptr), 0);  // behind every command on the bus
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
  EXPECT_TRUE(s.waitForLogs(
      {"keyd-bridge|MQTT queue full (" + full +
           "): dropping the oldest until the broker takes them",
       "keyd-bridge|MQTT queue emptied: 50 commands were dropped while it was full (50 since the "
       "start)"}));
}

TEST_F(Bridge, BrokerLostTheOutboxKeepsTheNewestWithinItsCount) {
  outboxKeepsTheNewest("mqtt.queue_limit=150\n", 0, "150 commands");
}

// Payloads of 6950 bytes: 150 of them fit in 1 MiB.
TEST_F(Bridge, BrokerLostTheOutboxKeepsTheNewestWithinItsBytes) {
  outboxKeepsTheNewest("mqtt.queue_bytes=1048576\n", 6950, "1048576 bytes");
}

// The bus daemon lost: the bridge subscribes again; an orderly stop says
// "offline" itself.
TEST_F(Bridge, BusDaemonLostAndBackThenAnOrderlyStop) {
  ASSERT_NO_FATAL_FAILURE(up());
  auto after = watch("keyd/s1/command");
  s.subscriber.reset();  // only the bridge subscribes again
  s.bus->signal(SIGKILL);
  s.startBus();
  ASSERT_TRUE(s.subscribed("site_info") && s.subscribed("command"));
  nlite::Client again("tests", nlite::kDefaultChannelerPort, 0, nullptr, 0);
  ASSERT_TRUE(again.waitConnected(kWaitMs));
  ASSERT_EQ(again.send("back", 4, 2, "command", nullptr), 0);
  EXPECT_TRUE(after->waitForLine("0 keyd/s1/command back", kWaitMs));
  b->signal(SIGTERM);
  EXPECT_EQ(b->wait(kWaitMs), 0);
  EXPECT_EQ(b->drainStderr(), "");
  EXPECT_TRUE(s.waitForLog("keyd-bridge|Stopped: \"offline\" published on keyd/s1/status"));
  EXPECT_TRUE(seen(*watch("keyd/s1/status"), {"1 keyd/s1/status offline"}));
}

// A retained UNLOCK is refused when it comes, and never delivered again:
// not to a new bridge, not after the broker (which keeps it) restarted.
TEST_F(Bridge, RetainedCommandNeverActsAcrossRestarts) {
  ASSERT_NO_FATAL_FAILURE(up("", kPlain + "persistence true\npersistence_location /etc/ram/\n"));
  control({"-r", "-D", "publish", "user-property", "app", "console:mallory", "-m", unlock("r")});
  EXPECT_EQ(outcome(),
            outcomeOf("r", R"("outcome": "refused", "reason": "retained")", "console:mallory"));
  b->signal(SIGTERM);
  ASSERT_EQ(b->wait(kWaitMs), 0);
  ASSERT_NO_FATAL_FAILURE(startBridge(""));
  mq->signal(SIGTERM);
  ASSERT_EQ(mq->wait(kWaitMs), 0);
  mq = broker(kPlain + "persistence true\npersistence_location /etc/ram/\n");
  ASSERT_TRUE(mq->waitForLine("keyd-bridge-s1 1 keyd/s1/TransGlam", kWaitMs));
  EXPECT_TRUE(seen(*watch("keyd/s1/TransGlam"), {"1 keyd/s1/TransGlam " + unlock("r")}));
  control({"-m", unlock("after")});
  EXPECT_EQ(s.translator->waitForLine("UNLOCK", kWaitMs), unlock("after") + " from keyd-bridge");
  const auto lines = s.logLines();  // the one refusal, when it came
  EXPECT_EQ(
      std::count_if(lines.begin(), lines.end(),
                    [](const std::string& l) { return l.find("Dropped a retained") != l.npos; }),
      1);
}

// 30 UNLOCKs at once, 5 s to live: the translator takes one a second, so
// some reach the key daemon and the others are answered "expired"; none
// comes later (a LOCK sent after them all arrives right behind the sent).
TEST_F(Bridge, ABurstPastItsDeadlineIsAnsweredExpiredNeverLate) {
  ASSERT_NO_FATAL_FAILURE(up("command.max_age=5\n"));
  auto pub = Child::start(
      {"/usr/bin/mosquitto_pub", "-V", "5", "-q", "1", "-t", "keyd/s1/TransGlam", "-l"});
  for (int i = 0; i < 30; ++i) pub->writeStdin(unlock("b" + std::to_string(i)) + "\n");
  pub->closeStdin();
  ASSERT_EQ(pub->wait(kWaitMs), 0);
  std::map<std::string, int> finals;  // outcome -> how many
  for (int i = 0; i < 30; ++i) {
    auto doc = outcome();
    ASSERT_TRUE(doc);
    const size_t at = doc->find(R"("outcome": ")");
    ASSERT_NE(at, std::string::npos) << *doc;
    ++finals[doc->substr(at + 12, doc->find('"', at + 12) - at - 12)];
  }
  EXPECT_GE(finals["sent"], 1);
  EXPECT_GE(finals["expired"], 20);
  EXPECT_EQ(finals["sent"] + finals["expired"], 30);
  control({"-m", R"({"command":"LOCK","RFID":"4328719365","state":"last"})"});
  int unlocks = 0;
  for (auto r = s.request(); r && r->find(R"("id":22)") == std::string::npos; r = s.request())
    unlocks += *r == kUnlockRequest;
  EXPECT_EQ(unlocks, finals["sent"]);
  EXPECT_TRUE(s.waitForLog("keyd-bridge|A command from the broker expired after *"));
  EXPECT_TRUE(s.waitForLog("keyd-bridge|Commands expired in the line for the translator: *"));
}

// A command with a response topic under the site's outcome topic gets
// "queued" there, then its final outcome, with its correlation data; one
// with another response topic still goes, unanswered there.
TEST_F(Bridge, TheResponseTopicGetsQueuedThenTheOutcome) {
  ASSERT_NO_FATAL_FAILURE(up());
  auto answers = watch("keyd/+/outcome/#", "%t %D %p");
  auto ask = [](const std::string& topic, const std::string& state) {
    control({"-D", "publish", "response-topic", topic, "-D", "publish", "correlation-data",
             "id-0123456789abcdef", "-D", "publish", "user-property", "app", "console:alice", "-m",
             unlock(state)});
  };
  ask("keyd/s2/outcome/room", "away");
  EXPECT_TRUE(s.waitForLog(
      "keyd-bridge|A command from the broker names the response topic \"keyd/s2/outcome/room\", "
      "not one under keyd/s1/outcome/: it gets no answer there"));
  EXPECT_EQ(s.translator->waitForLine(" from ", kWaitMs), unlock("away") + " from console:alice");
  ask("keyd/s1/outcome/room", "home");
  const std::string to = "keyd/s1/outcome/room id-0123456789abcdef ";
  for (const char* outcome : {R"("outcome": "queued", "place": 1)", R"("outcome": "sent")"}) {
    auto line = answers->readLine(kWaitMs);
    while (line && (line->rfind("keyd/", 0) != 0 || line->rfind("keyd/s1/outcome ", 0) == 0))
      line = answers->readLine(kWaitMs);
    EXPECT_EQ(line, to + outcomeOf("home", outcome, "console:alice"));
  }
}

// Each outcome of the translator reaches the site's outcome topic: no
// key-daemon link (its host does not resolve), then, with a translator that
// has one, a known lock, an unknown lock, a text that is no command, a
// command the translator does not know.
TEST_F(Bridge, TheTranslatorsOutcomesForwarded) {
  s = Site("pingTime=3600\nhost=no.such.host.invalid\n");
  ASSERT_NO_FATAL_FAILURE(up("", kPlain, false));
  control({"-m", unlock("s")});
  EXPECT_EQ(outcome(), outcomeOf("s", R"("outcome": "no-link")"));
  s.stopTranslator(SIGTERM);
  writeConf("pingTime=3600\n", "DEBUG");
  s.openKey();
  s.startTranslator();
  s.report(kSite);
  ASSERT_TRUE(s.publication());
  const std::pair<std::string, std::string> cases[] = {
      {unlock("s"), outcomeOf("s", R"("outcome": "sent")")},
      {R"({"command":"UNLOCK","RFID":"1","state":"s"})",
       R"({"command": "UNLOCK", "app": "keyd-bridge", "rfid": "1", "state": "s", "outcome": )"
       R"("unknown-lock"})"},
      {"not json", R"({"command": "-", "app": "keyd-bridge", "outcome": "bad-request"})"},
      {R"({"command":"OPEN"})",
       R"({"command": "OPEN", "app": "keyd-bridge", "outcome": "ignored"})"}};
  for (const auto& [text, doc] : cases) {
    control({"-m", text});
    EXPECT_EQ(outcome(), doc) << text;
  }
}

// Signed commands (command.key_file): only a good signature passes, once.
TEST_F(Bridge, OnlyCommandsSignedWithTheSitesKeyPassOnce) {
  const std::string key(64, 'a');
  write("/etc/ram/command.key", key + "\n");
  ASSERT_NO_FATAL_FAILURE(up("command.key_file=/etc/ram/command.key\n"));
  EXPECT_TRUE(
      s.waitForLog("keyd-bridge|command.key_file /etc/ram/command.key is readable by "
                   "others: make it readable only by the bridge's user"));
  const long now = static_cast<long>(std::time(nullptr));
  struct Case {
    std::string state, site;
    long expires;
    std::string nonce, signedState, outcome;
  };
  const Case cases[] = {
      {"good", "s1", now + 60, "nonce-0000000001", "good", R"("outcome": "sent")"},
      {"unsigned", "", 0, "", "", R"("outcome": "refused", "reason": "unsigned")"},
      {"changed", "s1", now + 60, "nonce-0000000002", "other",
       R"("outcome": "refused", "reason": "bad signature")"},
      {"late", "s1", now - 5, "nonce-0000000003", "late",
       R"("outcome": "refused", "reason": "signature expired")"},
      {"good", "s1", now + 60, "nonce-0000000001", "good",
       R"("outcome": "refused", "reason": "replayed")"},
      {"s2", "s2", now + 60, "nonce-0000000004", "s2",
       R"("outcome": "refused", "reason": "bad signature")"},
      {"ahead", "s1", now + 400, "nonce-0000000005", "ahead",
       R"("outcome": "refused", "reason": "bad signature")"}};
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-D", "publish", "user-property", "app", "console:alice"};
    if (!c.site.empty()) {
      write("/etc/ram/signed", "keyd-command-v1\n" + c.site + "\nconsole:alice\n" +
                                   std::to_string(c.expires) + "\n" + c.nonce + "\n" +
                                   unlock(c.signedState));
      auto mac = Child::start({"/usr/bin/openssl", "dgst", "-sha256", "-mac", "HMAC", "-macopt",
                               "hexkey:" + key, "-r", "/etc/ram/signed"})
                     ->readLine(kWaitMs);
      ASSERT_TRUE(mac && mac->size() > 64);
      for (const auto& [name, value] :
           {std::pair{"expires", std::to_string(c.expires)}, std::pair{"nonce", c.nonce},
            std::pair{"sig", mac->substr(0, 64)}})
        args.insert(args.end(), {"-D", "publish", "user-property", name, value});
    }
    args.insert(args.end(), {"-m", unlock(c.state)});
    control(args);
    EXPECT_EQ(outcome(), outcomeOf(c.state, c.outcome, "console:alice")) << c.state;
  }
}

// The access rules of docs/fleet.md: a site's user may publish its own
// site_info, command, status and outcome, and read only its own commands;
// only the console's user commands sites.
TEST_F(Bridge, TheDocumentedAccessRulesKeepEachSiteToItsOwnTopics) {
  const std::string page = readFile(sourcePath("docs/fleet.md"));
  const size_t mark = page.find("<!-- acl -->"), open = page.find("```\n", mark);
  ASSERT_NE(mark, std::string::npos);
  write("/etc/ram/acl", page.substr(open + 4, page.find("```", open + 4) - open - 4));
  const std::string users =
      "mosquitto_passwd -c -b /etc/ram/users s1 site-1 && mosquitto_passwd "
      "-b /etc/ram/users s2 site-2 && mosquitto_passwd -b /etc/ram/users "
      "console room";
  ASSERT_EQ(Child::start({"/bin/sh", "-c", users + " >/dev/null 2>&1"})->wait(kWaitMs), 0);
  write("/etc/ram/password", "site-1\n");
  login = {"-u", "console", "-P", "room"};
  ASSERT_NO_FATAL_FAILURE(up("mqtt.username=s1\nmqtt.password_file=/etc/ram/password\n",
                             "listener 1883 127.0.0.1\nallow_anonymous false\npassword_file "
                             "/etc/ram/users\nacl_file /etc/ram/acl\n"));
  auto room = watch("keyd/#", "%t %p", login);
  const std::vector<std::string> cases[] = {
      // user, password, topic, PUBACK reason code
      {"s1", "site-1", "keyd/s1/TransGlam", "135"}, {"s1", "site-1", "keyd/s2/TransGlam", "135"},
      {"s2", "site-2", "keyd/s1/TransGlam", "135"}, {"s1", "site-1", "keyd/s2/site_info", "135"},
      {"s1", "site-1", "keyd/s1/status", "0"},      {"console", "room", "keyd/s1/TransGlam", "0"}};
  for (const auto& c : cases) {
    auto lines = control({"-u", c[0], "-P", c[1], "-D", "publish", "response-topic",
                          "keyd/s1/outcome/room", "-m", unlock(c[0])},
                         c[2]);
    const std::string ack = " received PUBACK (Mid: 1, RC:" + c[3] + ")";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&ack](const std::string& l) {
                              return l.size() > ack.size() &&
                                     l.compare(l.size() - ack.size(), ack.size(), ack) == 0;
                            }),
              1)
        << c[0] << " on " << c[2];
  }
  // The bridge, as s1, answers the console on its own outcome topics.
  EXPECT_TRUE(seen(
      *room, {"keyd/s1/outcome/room " + outcomeOf("console", R"("outcome": "queued", "place": 1)"),
              "keyd/s1/outcome " + outcomeOf("console", R"("outcome": "sent")")}));
}

// TLS with a CA of the test's own (the server verified, a client
// certificate required) and passwords; a wrong CA or password is refused.
TEST_F(Bridge, TlsAndPasswordsAcceptedAndRefused) {
  const std::string make =
      "cd /etc/ram && for ca in ca wrong; do openssl req -x509 -newkey rsa:2048 -nodes -days 2 "
      "-subj /CN=$ca -keyout $ca.key -out $ca.pem; done && for who in server client; do "
      "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout $who.key -out $who.csr && "
      "printf 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\\n' > ext && openssl x509 -req -in "
      "$who.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext -out $who.pem; done "
      "&& printf 'site\\n' > password && mosquitto_passwd -c -b users s1 site";
  ASSERT_EQ(Child::start({"/bin/sh", "-c", make + " >/dev/null 2>&1"})->wait(60000), 0);
  s.startBus();
  mq = broker(
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
    b = bridge(user + conf);
    auto seenAt = s.waitForLog(line, at);
    ASSERT_TRUE(seenAt) << line;
    at = *seenAt;
    EXPECT_EQ(b->drainStderr(), "");
  }
  const auto lines = s.logLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), cases[0].second), 1);  // only the first got in
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "keyd-bridge|mqtt.password_file /etc/ram/password is readable by others: "
                       "make it readable only by the bridge's user"),
            2);
}

// Settings that cannot work (bridge-settings.cases) end the bridge at once: status 2, one line.
TEST_F(Bridge, UnusableSettingsEndItWithStatus2AndOneLine) {
  std::string conf;
  for (const auto& [number, verb, text] : readTable("tests/system/bridge-settings.cases")) {
    if (verb == "conf" || verb == "file") {
      if (verb == "file") write(text.substr(0, text.find(' ')), text.substr(text.find(' ') + 1));
      if (verb == "conf") conf += text + "\n";
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
