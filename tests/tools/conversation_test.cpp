// keyd-sim and the conversation of docs/protocol.md through the real
// programs: keyd-sim's lines and datagrams (keyd-sim.cases), its cabinet
// answering every request of the translator with the page's bytes and
// publications and refusing bad files (cabinet.cases), and the dissector
// over its capture (dissector.cases); and the command lines of the
// operators' programs (command-line.cases).
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <sstream>
#include <regex>

#include "kjson.h"
#include "system.h"

namespace {

using namespace testsupport;

// keyd-sim, once it says it is bound.
std::unique_ptr<Child> startSim(std::vector<std::string> args) {
  args.insert(args.begin(), programPath("keyd-sim"));
  auto sim = Child::start(args);
  return sim && sim->waitForStderr("listening on", kWaitMs) ? std::move(sim) : nullptr;
}

TEST(KeydSim, StepsOfTheTableThenTheEndOfItsInput) {
  UdpPeer a, b;
  auto sim = startSim({});
  ASSERT_TRUE(sim);
  for (const auto& [number, verb, text] : readTable("tests/tools/keyd-sim.cases")) {
    SCOPED_TRACE("keyd-sim.cases:" + std::to_string(number));
    UdpPeer& peer = verb.find('B') == std::string::npos ? a : b;
    if (verb == "in") {
      ASSERT_TRUE(sim->writeStdin(text + "\n"));
    } else if (verb == "out") {
      EXPECT_EQ(sim->readLine(kWaitMs).value_or("none"), text);
    } else if (verb[1] == '>') {
      ASSERT_TRUE(peer.sendTo(5555, *fromHex(text)));
    } else {
      const auto d = peer.receive(kWaitMs);
      EXPECT_EQ(d ? toHex(d->data(), d->size()) : "none", text);
    }
  }
  sim->closeStdin();  // only ends the reading
  ASSERT_TRUE(a.sendTo(5555, {1, 0, 0, 0}));
  EXPECT_EQ(sim->readLine(kWaitMs), R"({"id":1,"seq":0,"tags":[]})");
}

TEST(Cabinet, AnswersEveryRequestOfTheTranslatorAsThePageShows) {
  const ProtocolPage page = protocolPage();
  Site site("pingTime=3600\n");
  site.startBus();
  site.subscribe();
  auto sim = startSim({"--cabinet", sourcePath("etc/cabinet.json"), "--report-interval", "1"});
  ASSERT_TRUE(sim);
  site.startTranslator();
  auto example = [&](const std::string& name) { return shown(page.examples.at(name)); };
  const std::string keepAlive = example("keepalive"), config = "{\"sent\":" + example("site-config") + "}";
  // keyd-sim's next line but keep-alives and reported configurations is `want`
  // (any message sent when `want` is "sent").
  auto see = [&](const std::string& want) {
    for (auto line = sim->readLine(kWaitMs); line; line = sim->readLine(kWaitMs)) {
      const std::string s = withoutSeq(*line);
      if (s == want || (want == "sent" && s.rfind("{\"sent\":", 0) == 0)) return;
      ASSERT_TRUE(s == keepAlive || s == config) << s << "\ninstead of " << want;
    }
    FAIL() << "no " << want;
  };
  const std::regex state("\"state\": \"[0-9a-f-]{36}\"");
  auto publication = [&] {
    auto p = site.publication();
    return p ? p->topic + " " + std::regex_replace(p->payload, state, "\"state\": S") : "none";
  };
  see(keepAlive);
  see(config);
  EXPECT_EQ(publication(), "site_info " + page.published.at("site-config"));
  const char* rows[][4] = {
      // command, request, reply, publication (when not the page's)
      {R"({"command":"UNLOCK","RFID":"78187493530","state":"s"})", "unlock", "",
       R"({"LOCK_STATUS": "UNLOCKED", "RFID": "78187493530", "state": S, "CMD": "update_lock"})"},
      {R"({"command":"LOCK","RFID":"4328719365","state":"s"})", "lock", "lock-reply", ""},
      {R"({"command":"Battery"})", "battery-req", "battery", ""},
      {R"({"command":"req_transactions"})", "trans-req", "transfer-reply", ""}};
  for (const auto& [command, request, reply, document] : rows) {
    site.command(command);
    see(example(request));
    see(*reply ? "{\"sent\":" + example(reply) + "}" : "sent");
    EXPECT_EQ(publication(), std::string("command ") + (*document ? document : page.published.at(reply)));
  }
  // A lock it does not have is not answered (nothing is sent before the
  // next configuration report, within a second).
  Bytes unknown = page.examples.at("unlock");
  unknown[12] = 0x0E;
  ASSERT_TRUE(UdpPeer().sendTo(5555, unknown));
  see(shown(unknown));
  see(R"({"cabinet":"no lock 123456780e: UNLOCK not answered"})");
  see(config);
}

TEST(Cabinet, RefusesABadFileNamingTheMember) {
  const std::string good = readFile(sourcePath("etc/cabinet.json"));
  std::string text;
  for (const auto& [number, verb, rest] : readTable("tests/tools/cabinet.cases")) {
    const size_t arrow = rest.find(" =>");
    if (verb == "edit") {
      text = good;
      text.replace(text.find(rest.substr(0, arrow)), arrow, rest.substr(std::min(rest.size(), arrow + 4)));
      continue;
    }
    std::ofstream("/etc/ram/bad.json") << text;
    auto sim = Child::start({programPath("keyd-sim"), "--cabinet", "/etc/ram/bad.json"});
    EXPECT_TRUE(sim && sim->wait(kWaitMs) == 2) << "cabinet.cases:" << number;
    EXPECT_EQ(sim->drainStderr().find("cabinet /etc/ram/bad.json: " + rest), 10u);
  }
}

TEST(Dissector, ShowsEveryExampleAndNamesTheRuleAMalformedDatagramBreaks) {
  if (std::system("tshark --version >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "SKIPPED: tshark is not installed (scripts/setup.sh installs it)\n");
    std::exit(77);
  }
  UdpPeer peer(5556);
  auto sim = startSim({"--pcap", "/etc/ram/d.pcap", "--peer", "127.0.0.1:5556"});
  ASSERT_TRUE(sim);
  auto send = [&](const std::string& verb, const Bytes& d) {
    if (verb == "out") {
      ASSERT_TRUE(sim->writeStdin(R"({"raw":")" + toHex(d.data(), d.size()) + "\"}\n"));
      ASSERT_EQ(peer.receive(kWaitMs), d);
    } else {
      ASSERT_TRUE(peer.sendTo(5555, d) && sim->readLine(kWaitMs));
    }
  };
  for (const auto& [name, bytes] : protocolPage().examples) send("out", bytes);
  std::string expected, fields;
  for (const auto& [number, verb, text] : readTable("tests/tools/dissector.cases")) {
    if (verb == "show") expected += text + "\n";
    else if (verb == "field") fields += " -e " + text;
    else send(verb, hexBytes(text));
  }
  sim->signal(SIGTERM);
  ASSERT_EQ(sim->wait(kWaitMs), 0);
  ASSERT_EQ(std::system(("tshark -X lua_script:" + sourcePath("tools/wireshark/kmsg.lua") +
                         " -o ip.check_checksum:TRUE -r /etc/ram/d.pcap -T fields -E occurrence=a" +
                         fields + " >/etc/ram/d.txt 2>/dev/null")
                            .c_str()),
            0);
  EXPECT_EQ(readFile("/etc/ram/d.txt"), expected);
}

// Each block of the table: one program run to its end, its output and
// status as the rows say.
TEST(CommandLine, EveryProgramTakesItsOptionsAndRefusesOthersWithStatus2) {
  const std::vector<Row> rows = readTable("tests/tools/command-line.cases");
  for (size_t i = 0; i < rows.size();) {
    const Row& run = rows[i++];
    SCOPED_TRACE("command-line.cases:" + std::to_string(run.line));
    ASSERT_EQ(run.verb, "run");
    std::vector<std::string> argv;
    std::istringstream words(run.text);
    for (std::string word; words >> word;) argv.push_back(argv.empty() ? programPath(word) : word);
    auto p = Child::start(argv);
    ASSERT_TRUE(p);
    std::optional<int> status;  // once it ended, with its standard error
    std::string err;
    for (; i < rows.size() && rows[i].verb != "run"; ++i) {
      const Row& row = rows[i];
      if (row.verb == "out") {
        EXPECT_EQ(p->readLine(kWaitMs).value_or("none"), row.text) << "line " << row.line;
        continue;
      }
      if (!status) {
        status = p->wait(kWaitMs);
        err = "\n" + p->drainStderr();
      }
      if (row.verb == "status") {
        EXPECT_EQ(status, std::stoi(row.text)) << "line " << row.line;
      } else {
        EXPECT_NE(err.find("\n" + row.text + "\n"), std::string::npos)
            << "line " << row.line << ":" << err;
      }
    }
  }
}

}  // namespace
