// The conversation of docs/protocol.md through the real programs: keyd-sim's
// cabinet answering every request of the translator with the page's bytes
// and publications, the dissector over keyd-sim's capture, and the sequence
// byte of the library and of keyd-sim's lines.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <utility>

#include "kjson.h"
#include "kmsg_json.h"
#include "system.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<unsigned char>;

// "01 4F 78*3" -> 01 4F 78 78 78
Bytes hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  for (std::string t; in >> t;)
    out.insert(out.end(), t.size() > 2 ? std::stoi(t.substr(3)) : 1, std::stoul(t, nullptr, 16));
  return out;
}

// The page's worked examples, and the publication shown after some of them.
std::map<std::string, Bytes> examples;
std::map<std::string, std::string> published;
void readPage() {
  std::ifstream in(sourcePath("docs/protocol.md"));
  std::string line, name, last, block;
  const std::string marker = "<!-- example: ";
  while (std::getline(in, line)) {
    if (line.rfind(marker, 0) == 0) {
      name = line.substr(marker.size(), line.find(" -->") - marker.size());
      block = last = "";
    } else if (!name.empty() && line == "```") {
      examples[name] = hex(block);
      last = std::exchange(name, "");
    } else if (!name.empty() && line != "```hex") {
      block += line.substr(0, line.find('#')) + " ";
    } else if (!last.empty() && line.rfind("    {", 0) == 0) {
      published[last] = line.substr(4);
    }
  }
}

// keyd-sim, once it says it is bound.
std::unique_ptr<Child> startSim(std::vector<std::string> args) {
  args.insert(args.begin(), programPath("keyd-sim"));
  auto sim = Child::start(args);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  for (std::string err; sim && err.find("listening") == std::string::npos;) {
    if (std::chrono::steady_clock::now() > deadline) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    err += sim->drainStderr();
  }
  return sim;
}

// A datagram as keyd-sim prints it, without the sequence byte.
std::string shown(const Bytes& d) {
  static const std::regex seq("\"seq\":[0-9]+,");
  return std::regex_replace(kmsgjson::datagramToJson(d.data(), d.size()), seq, "");
}

TEST(KeyMessages, BitSevenComesOnlyFromSegmentsAndOnlyLinesSentTakeNumbers) {
  KMsg whole(MSG_REQ, 0x92);
  Bytes out(4);
  ASSERT_EQ(whole.getMsg(out.data(), 4), 4);
  EXPECT_EQ(out[1], 0x12) << "a message sent whole";

  auto seqOf = [](const std::string& line) {
    const Bytes d = kmsgjson::datagramOf(line);
    return d.size() > 1 ? int{d[1]} : -1;
  };
  const std::string tags = R"("tags":[{"id":0,"type":"u32","value":0}]})";
  const int first = seqOf(R"({"id":1,)" + tags);
  EXPECT_EQ(seqOf(R"({"id":1,"seq":127,)" + tags), 127);
  const auto refused = kmsgjson::fromJson(R"({"id":1,"seq":146,)" + tags);
  EXPECT_TRUE(refused.datagrams.empty() && refused.error.find("0..127") != std::string::npos)
      << refused.error;
  EXPECT_EQ(seqOf(R"({"id":1,"tags":[{"id":0,"type":"u8","value":256}]})"), -1);
  EXPECT_EQ(seqOf(R"({"raw":"01920000"})"), 0x92);
  EXPECT_EQ(seqOf(R"({"id":1,)" + tags), (first + 1) & 0x7F) << "no number taken in between";
}

TEST(Cabinet, AnswersEveryRequestOfTheTranslatorAsThePageShows) {
  readPage();
  Site site("pingTime=3600\n");
  site.startBus();
  site.subscribe();
  auto sim = startSim({"--cabinet", sourcePath("etc/cabinet.json"), "--report-interval", "1"});
  ASSERT_TRUE(sim);
  site.startTranslator();
  const std::string keepAlive = shown(examples["keepalive"]);
  const std::string config = "{\"sent\":" + shown(examples["site-config"]) + "}";
  // keyd-sim's next line but keep-alives and reported configurations is `want`
  // (any message sent when `want` is "sent").
  auto see = [&](const std::string& want) {
    for (auto line = sim->readLine(kWaitMs); line; line = sim->readLine(kWaitMs)) {
      const std::string s = std::regex_replace(*line, std::regex("\"seq\":[0-9]+,"), "");
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
  EXPECT_EQ(publication(), "site_info " + published["site-config"]);
  const char* rows[][4] = {
      // command, request, reply, publication (when not the page's)
      {R"({"command":"UNLOCK","RFID":"78187493530","state":"s"})", "unlock", "",
       R"({"LOCK_STATUS": "UNLOCKED", "RFID": "78187493530", "state": S, "CMD": "update_lock"})"},
      {R"({"command":"LOCK","RFID":"4328719365","state":"s"})", "lock", "lock-reply", ""},
      {R"({"command":"Battery"})", "battery-req", "battery", ""},
      {R"({"command":"req_transactions"})", "trans-req", "transfer-reply", ""}};
  for (const auto& [command, request, reply, document] : rows) {
    site.command(command);
    see(shown(examples[request]));
    see(*reply ? "{\"sent\":" + shown(examples[reply]) + "}" : "sent");
    EXPECT_EQ(publication(), std::string("command ") + (*document ? document : published[reply]));
  }
  // A lock it does not have is not answered (nothing is sent before the
  // next configuration report, within a second).
  Bytes unknown = examples["unlock"];
  unknown[12] = 0x0E;
  ASSERT_TRUE(UdpPeer().sendTo(5555, unknown));
  see(shown(unknown));
  see(R"({"cabinet":"no lock 123456780e: UNLOCK not answered"})");
  see(config);
}

TEST(Cabinet, RefusesABadFileNamingTheMember) {
  std::ifstream in(sourcePath("etc/cabinet.json"));
  const std::string good((std::istreambuf_iterator<char>(in)), {});
  const char* rows[][3] = {
      {"4660", "4294967295", "key.serial: expected an integer 0..4294967294"},
      {"\"box-1\"", "\" \"", "key.box: expected a text"},
      {"8080", "0", "server.port: expected an integer 1..65534"},
      {"\"0102030405\"", "\"01020304\"", "locks[0].tag: expected 10 hex digits"},
      {"\"00000000ff\"", "\"0102030405\"", "locks[1].tag: 0102030405 twice"},
      {"\"type\": 2", "\"type\": 2, \"x\": 1", "locks[2].x: unknown member"},
      {"\"transactions\": 12,", "", "transactions: missing"},
      {"{", "", "not a JSON file"}};
  for (const auto& [from, to, why] : rows) {
    std::string text = good;
    std::ofstream("/etc/ram/bad.json") << text.replace(text.find(from), std::strlen(from), to);
    auto sim = Child::start({programPath("keyd-sim"), "--cabinet", "/etc/ram/bad.json"});
    EXPECT_TRUE(sim && sim->wait(kWaitMs) == 2) << why;
    EXPECT_EQ(sim->drainStderr().find(std::string("cabinet /etc/ram/bad.json: ") + why), 10u);
  }
}

// How tshark shows a valid datagram's fields (values aggregated per field),
// read from its bytes.
std::string fieldsOf(const Bytes& d) {
  std::string col[8];  // tag ids, types, lengths, then the values by type code
  auto add = [](std::string& c, const std::string& v) { c += (c.empty() ? "" : ",") + v; };
  for (std::size_t at = 4; at < d.size();) {
    const unsigned type = d[at + 1], n = d[at + 2] << 8 | d[at + 3];
    unsigned long number = 0;
    for (unsigned i = 0; i < n && type != 1 && type != 5; ++i) number = number << 8 | d[at + 4 + i];
    add(col[0], std::to_string(d[at]));
    add(col[1], std::to_string(type));
    add(col[2], std::to_string(n));
    add(col[2 + type], type == 1   ? std::string(&d[at + 4], &d[at + 4] + n)
                       : type == 5 ? toHex(&d[at + 4], n)
                                   : std::to_string(number));
    at += 4 + n;
  }
  std::string out = std::to_string(d[0]) + "\t" + std::to_string(d[1] & 0x7F) + "\t" +
                    std::to_string(d[1] >> 7) + "\t" + std::to_string(d[2] << 8 | d[3]);
  for (const auto& c : col) out += "\t" + c;
  return out;
}

TEST(Dissector, ShowsEveryExampleAndNamesTheRuleAMalformedDatagramBreaks) {
  if (std::system("tshark --version >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "SKIPPED: tshark is not installed (scripts/setup.sh installs it)\n");
    std::exit(77);
  }
  readPage();
  UdpPeer peer;
  const std::string port = std::to_string(peer.port());
  auto sim = startSim({"--pcap", "/etc/ram/d.pcap", "--peer", "127.0.0.1:" + port});
  ASSERT_TRUE(sim);
  std::vector<std::pair<Bytes, std::string>> sent;  // datagram, expert message
  for (const auto& [name, bytes] : examples) sent.push_back({bytes, ""});
  sent.push_back({hex("00 00 00 03 2F 05 02 BC AA*700 2F 05 02 BC BB*700 2F 05 02 BC CC*700"),
                  "Datagram longer than 2048 bytes: the translator drops it unread"});
  for (const auto& [bytes, expert] : sent) {
    ASSERT_TRUE(sim->writeStdin(R"({"raw":")" + toHex(bytes.data(), bytes.size()) + "\"}\n"));
    ASSERT_EQ(peer.receive(kWaitMs), bytes);
  }
  const std::string p = "00 05 00 03 00 02 00 04 00 00 12 34 01 01 00 05 62 6F 78 2D 31 ";
  // Each datagram with the tag ids shown and the rule it breaks.
  const std::pair<std::string, const char*> broken[] = {{"01 00 00", "\t1"},
                                                        {p, "0,1\t2"},
                                                        {p + "00 02 00", "0,1\t2"},
                                                        {p + "01 01 00 05 41 42", "0,1,1\t3"},
                                                        {p + "2E 07 00 01 00", "0,1,46\t4"},
                                                        {p + "15 04 00 02 00 00", "0,1,21\t5"},
                                                        {p + "2F 01 03 F9 61*1017", "0,1,47\t6"},
                                                        {p + "01 01 00 03 41 00 42", "0,1,1\t7"},
                                                        {p + "00 04 00 01 00", "0,1,0\t8"},
                                                        {p + "0C 04 00 01 57 00", "0,1,12\t9"}};
  for (const auto& [bytes, shownIds] : broken)
    ASSERT_TRUE(peer.sendTo(5555, hex(bytes)) && sim->readLine(kWaitMs));
  sim->signal(SIGTERM);
  ASSERT_EQ(sim->wait(kWaitMs), 0);

  const std::string fields =
      " -e udp.srcport -e udp.dstport -e ip.checksum.status -e kmsg.id -e kmsg.seq -e kmsg.more"
      " -e kmsg.tag_count -e kmsg.tag.id -e kmsg.tag.type -e kmsg.tag.length -e kmsg.tag.str"
      " -e kmsg.tag.u32 -e kmsg.tag.u16 -e kmsg.tag.u8 -e kmsg.tag.bytes -e _ws.expert.message";
  ASSERT_EQ(std::system(("tshark -X lua_script:" + sourcePath("tools/wireshark/kmsg.lua") +
                         " -o ip.check_checksum:TRUE -r /etc/ram/d.pcap -T fields -E occurrence=a" +
                         fields + " >/etc/ram/d.txt 2>/dev/null")
                            .c_str()),
            0);
  std::ifstream lines("/etc/ram/d.txt");
  std::string line;
  for (const auto& [bytes, expert] : sent) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "5555\t" + port + "\t1\t" + fieldsOf(bytes) + "\t" + expert);
  }
  const std::regex malformed(port + "\t5555\t1(\t[^\t]*){4}\t([^\t]*)\t.*, rule (\\d): .*");
  for (const auto& [bytes, shownIds] : broken) {
    std::smatch m;
    ASSERT_TRUE(std::getline(lines, line) && std::regex_match(line, m, malformed)) << line;
    EXPECT_EQ(m[2].str() + "\t" + m[3].str(), shownIds) << line;
  }
  EXPECT_FALSE(std::getline(lines, line)) << line;
}

}  // namespace
