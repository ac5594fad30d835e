// The translator binary seen from outside: its standard output, its
// configuration files, the way signals end it, the whole job through the
// tools an operator uses (keyd-sim, nlite), the faults it must ride out
// (the bus daemon late or restarted, no key daemon, bad input, a flood), and
// how it is operated: service manager, log reload, counters.
#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "kmsg_json.h"
#include "system.h"

namespace {

using namespace testsupport;

const std::string kSite =
    R"({"id":0,"tags":[{"id":0,"type":"u32","value":4660},{"id":1,"type":"str","value":"box-1"},)"
    R"({"id":8,"type":"str","value":"sw-2"},{"id":35,"type":"str","value":"srv"},)"
    R"({"id":36,"type":"u16","value":8080},{"id":19,"type":"bytes","value":"0102030405"},)"
    R"({"id":32,"type":"u32","value":)";
std::string site(int transactions) { return kSite + std::to_string(transactions) + "}]}"; }
const std::string kUnlockRequest =
    R"({"id":1,"tags":[{"id":19,"type":"bytes","value":"0102030405"},{"id":21,"type":"u8","value":0}]})";

std::string unlock(const std::string& payload) {
  const size_t at = payload.find("\"state\": \"");
  const std::string state = at == std::string::npos ? "" : payload.substr(at + 10, 36);
  return R"({"command":"UNLOCK","RFID":"4328719365","state":")" + state + "\"}";
}

// Changing reports at full speed from a thread of its own, while it lives.
struct Flood {
  explicit Flood(Site& s) : thread([this, &s] {
    for (int n = 0; !done; ++n) s.key->reply(kmsgjson::datagramOf(site(n % 100)));
  }) {}
  ~Flood() {
    done = true;
    thread.join();
  }
  std::atomic<bool> done{false};
  std::thread thread;
};

// A report, its "site_info" (with that transaction count), then an unlock
// that reaches the key daemon: the whole job once. Publications and
// requests that other input caused before are passed over.
void exchange(Site& s, int transactions, int handledWithinMs = kWaitMs) {
  s.report(site(transactions));
  const std::string count = "\"TAG_TRANS_CNT\": " + std::to_string(transactions) + ",";
  std::optional<Publication> pub;
  while ((pub = s.publication()) && pub->payload.find(count) == std::string::npos) {
  }
  ASSERT_TRUE(pub) << "no site_info for " << transactions;
  s.command(unlock(pub->payload), true, "tests", handledWithinMs);
  std::optional<std::string> request;
  while ((request = s.request()) && *request != kUnlockRequest) {
  }
  EXPECT_TRUE(request) << "no unlock request";
}

// The first lines of standard output without configuration files.
const std::vector<std::string> kStart = {"RUN ME LIKE A LEOPARD", "RUNNING  in strat",
                                         "Failed to load input file /etc/ram/keyd-translator.conf",
                                         "Failed to load input file /etc/ram/nembad.conf"};

// A site without configuration files, its translator started.
void startWithoutFiles(Site& s, const std::vector<int>& ignored = {}) {
  std::remove("/etc/ram/keyd-translator.conf");
  s.startBus();  // on the default ports
  s.startTranslator(ignored);
  for (const auto& line : kStart) EXPECT_EQ(s.translator->readLine(kWaitMs), line);
}

// Standard output: the first lines without files, then each text as it
// came with its sender's application id, then the end in order.
TEST(Translator, StandardOutputWithoutFilesShowsEachTextWithItsSender) {
  Site s("", "");
  startWithoutFiles(s);
  s.command(R"({"command":"Battery"})", true, "opsconsole");
  s.command("not json at all", true, "");
  s.command("", true, "ops");
  s.stopTranslator(SIGTERM);
}

// Every bus text is one printed line whatever it holds (a forged audit
// line stays inside it) and is answered with one document on "outcome".
TEST(Translator, EachTextIsOnePrintedLineAndAnsweredOnTheOutcomeTopic) {
  Site s;
  s.start();
  const char* topics[] = {"outcome"};
  nlite::Client outcomes("tests-outcome", 0, nlite::kDefaultBroadcasterPort, topics, 1);
  ASSERT_TRUE(s.subscribed("outcome") && outcomes.waitConnected(kWaitMs));
  const std::string outcome = R"({"command": "-", "app": "tests", "outcome": "bad-request"})";
  const std::array<std::array<std::string, 3>, 4> cases = {{
      {"{\"command\":\"Battery\"}\r\naudit: INFO command=UNLOCK app=console:alice\x1b",
       R"({"command":"Battery"}\r\naudit: INFO command=UNLOCK app=console:alice\u001b)", outcome},
      {R"({"command":"OPEN"})", R"({"command":"OPEN"})",
       R"({"command": "OPEN", "app": "tests", "outcome": "ignored"})"},
      {R"({"command":"UNLOCK","RFID":"9","state":"s"})", R"({"command":"UNLOCK","RFID":"9","state":"s"})",
       R"({"command": "UNLOCK", "app": "tests", "rfid": "9", "state": "s", "outcome": "unknown-lock"})"},
      {R"({"command":"LOCK","RFID":"9"})", R"({"command":"LOCK","RFID":"9"})",
       R"({"command": "LOCK", "app": "tests", "rfid": "9", "outcome": "bad-request"})"}}};
  for (const auto& [text, printed, answer] : cases) {
    s.command(text, false);
    EXPECT_EQ(s.translator->waitForLine(" from ", kWaitMs), printed + " from tests");
    ASSERT_TRUE(outcomes.waitReadable(kWaitMs)) << text;
    const nlite::Message* m = outcomes.receive();
    EXPECT_EQ(std::string(m->buffer(), m->bufferSize()), answer);
  }
  EXPECT_FALSE(s.waitForLog("audit|command=UNLOCK app=console:alice", 0, 0));
  s.stopTranslator(SIGTERM);
}

// The end in order whatever the signals' disposition: ignored beforehand
// (as under nohup), or left at the default.
TEST(Translator, StandardOutputEndsInOrderWhateverTheSignalsDisposition) {
  Site s("", "");
  for (int sig : {SIGINT, SIGTERM, 0}) {
    SCOPED_TRACE(sig);
    startWithoutFiles(s, sig ? std::vector<int>{sig} : std::vector<int>{});
    s.stopTranslator(sig ? sig : SIGINT);
    s.bus->signal(SIGTERM);
  }
}

// A reader of standard output that goes away does not end the daemon: the
// first text is printed to nobody; the second is handled afterwards.
TEST(Translator, StandardOutputReaderGoingAwayDoesNotEndIt) {
  Site s;
  s.startBus();
  s.startTranslator();
  ASSERT_TRUE(s.translator->waitForLine("Failed to load input file /etc/ram/nembad.conf", kWaitMs));
  s.translator->closeStdout();
  s.command(R"({"command":"Battery"})", false);
  s.command(R"({"command":"req_cfg"})", false);
  ASSERT_TRUE(s.waitForLog("keyDTranslator|CmdType is CMD_CFG so no message required"));
  s.translator->signal(SIGTERM);
  EXPECT_EQ(s.translator->wait(kWaitMs), 0);
  EXPECT_EQ(s.translator->drainStderr(), "");
}

// An operator's tools: keyd-sim as the key daemon, nlite to watch and
// command, on the bus ports nembad and the translator read from nembad.conf;
// the translator logs as its file says, in order.
TEST(Translator, TheWholeJobThroughTheOperatorsTools) {
  Site s("host=127.0.0.1\npingTime=-3\nsubscriptions=a,b\n");
  std::ofstream("/etc/ram/nembad.conf") << "nemba.channeler.port=6101\nnemba.broadcaster.port=6102\n";
  s.bus = Child::start({programPath("nembad"), "--print-subscriptions"});  // reads the same file
  ASSERT_TRUE(s.bus->waitForLine("nembad: channeler 127.0.0.1:6101 broadcaster 127.0.0.1:6102", kWaitMs));
  auto keyd = Child::start({programPath("keyd-sim")});
  auto sub = Child::start({programPath("nlite"), "sub", "--broadcaster-port", "6102", "--count", "1", "site_info"});
  ASSERT_TRUE(s.subscribed("site_info"));
  s.startTranslator();
  ASSERT_TRUE(keyd->waitForLine(R"("tags":[{"id":0,"type":"u32","value":0}]})", kWaitMs));
  keyd->writeStdin(site(3) + "\n");
  auto line = sub->readLine(kWaitMs);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind(R"({"topic":"site_info","app":"MetaGlam","kind":2,"payload":"{\"CFG\": )", 0), 0u)
      << *line;
  EXPECT_EQ(sub->wait(kWaitMs), 0);
  const std::string command = unlock(std::regex_replace(*line, std::regex(R"(\\")"), "\""));
  auto pub = Child::start({programPath("nlite"), "pub", "--channeler-port", "6101", "--app", "ops",
                           "TransGlam", command});
  EXPECT_EQ(pub->wait(kWaitMs), 0);
  EXPECT_TRUE(keyd->waitForLine(R"({"id":19,"type":"bytes","value":"0102030405"},{"id":21,"type":"u8","value":0}]})", kWaitMs));
  EXPECT_TRUE(s.translator->waitForLine(command + " from ops", kWaitMs));
  s.stopTranslator(SIGTERM);
  keyd->signal(SIGTERM);
  EXPECT_EQ(keyd->wait(kWaitMs), 0);
  EXPECT_TRUE(s.waitForLogs({"Timer|timer_settime failed (interval -3 s): Invalid argument",
                             "keyDTranslator|channeler port |6101|", "keyDTranslator|broadcaster port |6102|",
                             "cMiniClient|Starting the client for 127.0.0.1:5555",
                             "keyDTranslator|Setup complete", "keyDTranslator|RUNNING  MSGBROKER",
                             "keyDTranslator|JSON message received", "keyDTranslator|END"}));
  EXPECT_FALSE(s.waitForLog("keyDTranslator|Setup started", 0, 0)) << "logged before set-up";
}

// The bus daemon starts late: publications wait in the translator (those
// beyond its queue fail, with a warning at once) and are delivered once it
// connects, every one of them (its counters say how many waited) before
// anything new. The translator is held stopped while the bus daemon starts
// and the subscriber subscribes, so it cannot connect first.
TEST(Faults, TheBusDaemonStartsLatePublicationsWaitAndAreDelivered) {
  Site s("", "INFO");
  s.openKey();
  s.startTranslator();
  {
    Flood flood(s);
    ASSERT_TRUE(s.waitForLog("keyDTranslator|Bus publication failed (1 since the last report)", 0,
                             3 * kWaitMs));
  }
  // The queue is full from the first failure on: what waits is what was published.
  s.translator->signal(SIGUSR1);
  auto stats = s.waitForLog("stats|reports=*");
  ASSERT_TRUE(stats);
  std::smatch counts;
  const std::string line = s.logLines()[*stats - 1];
  ASSERT_TRUE(std::regex_search(
      line, counts, std::regex(R"(site_info=(\d+) ping=(\d+) update_lock=(\d+) update_key=(\d+))")));
  int waiting = 0;
  for (size_t i = 1; i < counts.size(); ++i) waiting += std::stoi(counts[i]);
  s.translator->signal(SIGSTOP);
  s.startBus();
  s.subscribe();
  s.translator->signal(SIGCONT);
  ASSERT_TRUE(s.subscribed("TransGlam"));
  auto pub = s.publication();
  ASSERT_TRUE(pub && pub->topic == "site_info");
  for (int i = 1; i < waiting; ++i) ASSERT_TRUE(s.publication()) << i << " of " << waiting << " came";
  exchange(s, 1000);
  s.stopTranslator(SIGTERM);
}

// Texts flood the command topic faster than the run loop takes them (one a
// second): the oldest beyond 8 MiB are dropped, with one warning, and the
// job goes on.
TEST(Faults, AFloodOfLargeCommandsIsBoundedAndWarnedAboutOnce) {
  Site s("", "INFO");
  s.start();
  const std::string big(nlite::kMaxPayload, 'x');
  for (int i = 0; i < 40; ++i) s.command(big, false);
  auto at = s.waitForLog(
      "keyDTranslator|Bus receive queue over its bound (10000 texts or 8 MiB): dropped *");
  ASSERT_TRUE(at);
  s.stopTranslator(SIGTERM);
  EXPECT_FALSE(s.waitForLog("keyDTranslator|Bus receive queue over*", *at, 0)) << "warned twice";
}

// No key daemon: the keep-alive and a request meet ICMP port unreachable,
// read back as errors told in one line; then it appears, the next
// keep-alive reaches it, and one line tells the errors of the episode.
TEST(Faults, TheKeyDaemonStartsLate) {
  Site s;  // at DEBUG: the request's transmission is a debug line
  s.startBus();
  s.subscribe();
  s.startTranslator();
  auto first = s.waitForLog("cMiniClient|Socket Read Error -1");
  ASSERT_TRUE(first);
  // A refused read is not the key daemon heard.
  s.translator->signal(SIGUSR1);
  auto stats = s.waitForLog("stats|reports=0 *", *first);
  ASSERT_TRUE(stats);
  EXPECT_EQ(s.logLines()[*stats - 1].substr(s.logLines()[*stats - 1].rfind(' ')), " heard=never");
  s.command(R"({"command":"Battery"})");
  ASSERT_TRUE(s.waitForLog("cMiniClient|Transmit 9 of 9 bytes", *first)) << "the request sent";
  s.openKey();
  // Keep-alives go out after 10 idle seconds: this wait is that behaviour.
  ASSERT_TRUE(s.key->receive(2 * kWaitMs));
  exchange(s, 5);
  const std::string again = "cMiniClient|The key daemon is heard again after ";
  auto heard = s.waitForLog(again + "*");
  ASSERT_TRUE(heard);
  EXPECT_GE(std::stoi(s.logLines()[*heard - 1].substr(again.size())), 2) << "the keep-alive and the request";
  EXPECT_FALSE(s.waitForLog("cMiniClient|Socket Read Error -1", *first, 0)) << "one line an episode";
  s.stopTranslator(SIGTERM);
}

// The fuzz targets' seed corpora through the real binary, then a good
// exchange: the daemon stays up, silent on standard error.
TEST(Faults, TheFuzzCorporaThroughTheBinaryLeaveItUp) {
  Site s("", "INFO");
  s.start();
  int texts = 0;
  for (const std::string corpus : {"broker_datagram", "kmsg_parse", "broker_json"})
    for (const auto& f : std::filesystem::directory_iterator(sourcePath("fuzz/corpus/" + corpus))) {
      const std::string d = readFile(f.path());
      if (corpus != "broker_json") ASSERT_TRUE(s.key->reply(Bytes(d.begin(), d.end())));
      else s.command(d, false), ++texts;
    }
  // The run loop takes one text a second: the good command comes after them.
  exchange(s, 4242, (texts + 10) * 1000);
  EXPECT_EQ(s.translator->drainStderr(), "");
  s.stopTranslator(SIGTERM);
}

// The bus daemon killed and started again: both ends resubscribe, and
// reports and commands flow again.
TEST(Faults, TheBusDaemonKilledAndRestarted) {
  Site s("", "INFO");
  s.start();
  exchange(s, 5);
  s.bus->signal(SIGKILL);
  s.startBus();
  ASSERT_TRUE(s.subscribed("TransGlam") && s.subscribed("site_info") && s.subscribed("command"));
  exchange(s, 2);
  s.stopTranslator(SIGTERM);
}

// Every program tells the one version; the translator's help starts nothing.
TEST(Operations, EveryProgramTellsTheVersion) {
  std::set<std::string> versions;
  for (const std::string name : {"keyd-translator", "nembad", "nlite", "keyd-sim", "keyd-sandbox"}) {
    auto p = Child::start({programPath(name), "--version"});
    auto line = p->readLine(kWaitMs);
    EXPECT_EQ(p->wait(kWaitMs), 0);
    ASSERT_TRUE(line && line->rfind(name + " ", 0) == 0) << name;
    versions.insert(line->substr(name.size() + 1));
  }
  EXPECT_EQ(versions.size(), 1u);
  auto help = Child::start({programPath("keyd-translator"), "--help", "ignored"});
  EXPECT_EQ(help->readLine(kWaitMs), "usage: keyd-translator [--check | --help | --version]");
  EXPECT_EQ(help->wait(kWaitMs), 0);
}

// The service manager's view (nembad's readiness too): ready with a status, watchdog pings while the
// bus loop and the pump make progress, none while the bus loop is blocked
// on a standard output nobody reads, pings again once it is read, then the
// stop. The key-daemon host does not resolve: lock commands are "no-link".
TEST(Operations, TheServiceManagerSeesReadinessWatchdogAndStop) {
  Site s("host=no.such.host.invalid\n", "INFO");
  NotifySocket manager("/etc/ram/notify");
  s.bus = Child::start({programPath("nembad"), "--print-subscriptions"}, {}, {"NOTIFY_SOCKET=/etc/ram/notify"});
  ASSERT_TRUE(s.bus->waitForLine("nembad: channeler", kWaitMs));
  EXPECT_EQ(manager.receive(), "READY=1");
  s.startTranslator({}, {"NOTIFY_SOCKET=/etc/ram/notify", "WATCHDOG_USEC=2000000"});
  EXPECT_EQ(manager.receive(), "READY=1\nSTATUS=key daemon never heard, 0 reports, 0 publications, 0 commands");
  EXPECT_EQ(manager.next(), "WATCHDOG=1");
  s.command(R"({"command":"UNLOCK","RFID":"1","state":"s"})");
  EXPECT_TRUE(s.waitForLog("audit|command=UNLOCK app=tests rfid=1 state=s outcome=no-link"));
  s.command(std::string(nlite::kMaxPayload, 'x'), false);  // more than the pipe holds
  EXPECT_TRUE(manager.pingsStop()) << "the pings went on while the bus loop was blocked";
  EXPECT_TRUE(s.translator->waitForLine(" from tests", kWaitMs));
  EXPECT_EQ(manager.next(), "WATCHDOG=1");
  s.stopTranslator(SIGTERM);
  EXPECT_EQ(manager.afterPings(), "STOPPING=1");
}

// SIGHUP applies the log4cpp lines of the file again in the same process:
// INFO to DEBUG and back; a broken section keeps the settings in force
// (INFO into the file) with one ERROR. Notifications that lead nowhere
// change nothing.
TEST(Operations, SighupReloadsTheLogSettingsOrKeepsThem) {
  Site s("", "INFO");
  s.startBus();
  s.startTranslator({}, {"NOTIFY_SOCKET=/etc/ram/nowhere", "WATCHDOG_USEC=1000000"});
  const std::string path = "/etc/ram/keyd-translator.conf";
  const std::string reloaded = "keyDTranslator|Logging settings reloaded from " + path;
  // A command after the line: nothing at DEBUG comes before its audit line.
  auto onlyInfoAfter = [&](size_t at) {
    s.command(R"({"command":"LOCK","RFID":"1","state":"s"})");
    auto audit = s.waitForLog("audit|command=LOCK *", at);
    auto debug = s.waitForLog("keyDTranslator|JSON message received", at, 0);
    EXPECT_TRUE(audit && (!debug || *debug > *audit));
  };
  writeConf("", "DEBUG");
  s.translator->signal(SIGHUP);
  auto at = s.waitForLog(reloaded);
  ASSERT_TRUE(at && s.waitForLog("keyDTranslator|No JSON received", *at));
  writeConf("", "INFO");
  s.translator->signal(SIGHUP);
  ASSERT_TRUE((at = s.waitForLog(reloaded, *at)));
  onlyInfoAfter(*at);
  writeConf("", "DEBUG, nosuch");
  s.translator->signal(SIGHUP);
  ASSERT_TRUE((at = s.waitForLog("keyDTranslator|Logging settings not reloaded from " + path +
                                 ": Appender 'nosuch' not found for category 'rootCategory'; "
                                 "the previous ones stay")));
  onlyInfoAfter(*at);
  s.stopTranslator(SIGTERM);
  auto lines = s.logLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.find("not reloaded") != std::string::npos; }), 1);
}

// SIGHUP and SIGUSR1 again and again while reports and commands flood in:
// every report published, every command requested, and the last counters
// add up to what was sent. Notifications to a path that is no socket
// change nothing.
TEST(Operations, SignalsInAFloodLoseNothingAndTheCountersAddUp) {
  Site s("", "INFO");
  s.start({}, {"NOTIFY_SOCKET=/etc/ram/keyd-translator.conf"});
  for (int i = 0; i < 3; ++i) s.command(R"({"command":"Battery"})", false);
  ASSERT_TRUE(s.key->reply({0}));
  for (int n = 0; n < 1000; n += 50) {
    s.translator->signal(n % 100 ? SIGHUP : SIGUSR1);
    for (int i = n; i < n + 50; ++i)  // a configuration and a battery level
      s.report(kSite + std::to_string(i) + R"(},{"id":12,"type":"u8","value":40}]})");
    for (int i = n; i < n + 50; ++i) {
      auto info = s.publication(), battery = s.publication();
      ASSERT_TRUE(info && info->payload.find("\"TAG_TRANS_CNT\": " + std::to_string(i) + ",") != std::string::npos);
      ASSERT_TRUE(battery && battery->payload.find("\"TAG_KEY_BATTERY\": 40}") != std::string::npos);
    }
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(s.request(), R"({"id":1,"tags":[{"id":12,"type":"u8","value":0}]})");
  s.translator->signal(SIGUSR1);
  EXPECT_TRUE(s.waitForLog("stats|reports=1000 rejected=1 site_info=1000 ping=0 update_lock=0 "
                           "update_key=1000 commands=3 requests=3 request_drops=0 pump_waits=0 "
                           "bus_drops=0 uptime=*"));
  s.stopTranslator(SIGTERM);
}

// SIGTERM or SIGINT while reports flood in ends it in order.
TEST(Operations, AStopDuringAFloodEndsItInOrder) {
  Site s("", "INFO");
  s.start();
  for (int sig : {SIGTERM, SIGINT}) {  // the second with a new key end
    if (sig == SIGINT) s.key.reset(), s.openKey(), s.startTranslator();
    Flood flood(s);
    ASSERT_TRUE(s.publication());  // the flood is being handled
    s.stopTranslator(sig);
  }
}

}  // namespace
