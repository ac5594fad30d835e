// The conversation of docs/protocol.md through the real programs: keyd-sim's
// cabinet answering every request of the translator with the page's bytes
// and publications, its capture, the dissector over a capture, and the
// sequence byte of the library and of keyd-sim's lines.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

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
    out.insert(out.end(), t.size() > 2 ? std::stoi(t.substr(3)) : 1,
               std::stoul(t.substr(0, 2), nullptr, 16));
  return out;
}

// The page's worked examples, and the publication shown after some of them.
struct Page {
  std::map<std::string, Bytes> hex;
  std::map<std::string, std::string> published;
};
Page readPage() {
  std::ifstream in(sourcePath("docs/protocol.md"));
  Page page;
  std::string line, name, last, block;
  const std::string marker = "<!-- example: ";
  while (std::getline(in, line)) {
    if (line.rfind(marker, 0) == 0) {
      name = line.substr(marker.size(), line.find(" -->") - marker.size());
      block = last = "";
    } else if (!name.empty() && line == "```") {
      page.hex[name] = hex(block);
      last = name;
      name = "";
    } else if (!name.empty() && line != "```hex") {
      block += line.substr(0, line.find('#')) + " ";
    } else if (!last.empty() && line.rfind("    {", 0) == 0) {
      page.published[last] = line.substr(4);
    }
  }
  return page;
}

std::unique_ptr<Child> startSim(std::vector<std::string> args) {
  args.insert(args.begin(), programPath("keyd-sim"));
  auto sim = Child::start(args);
  std::string err;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (sim && err.find("keyd-sim: listening") == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    err += sim->drainStderr();
  }
  return sim;
}

void stop(Child& sim) {
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.wait(kWaitMs), 0);
}

// The UDP ports and payload of each packet of a capture keyd-sim made.
struct Frame {
  int from, to;
  Bytes payload;
};
std::vector<Frame> readCapture(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const Bytes all((std::istreambuf_iterator<char>(in)), {});
  std::vector<Frame> frames;
  for (std::size_t at = 24; at + 16 <= all.size();) {
    std::uint32_t size;
    std::memcpy(&size, &all[at + 8], 4);
    const unsigned char* p = &all[at + 16];
    frames.push_back({p[34] << 8 | p[35], p[36] << 8 | p[37], Bytes(p + 42, p + size)});
    at += 16 + size;
  }
  return frames;
}

Bytes noSeq(Bytes d) {
  if (d.size() > 1) d[1] = 0;
  return d;
}

TEST(KeyMessages, BitSevenComesOnlyFromSegmentsAndOnlyLinesSentTakeNumbers) {
  KMsg whole(MSG_REQ, 0x92);
  whole.addTag(KTagFactory::createKTag(TAG_KEY_SN, 0u));
  Bytes out(12), again(12);
  ASSERT_EQ(whole.getMsg(out.data(), 12), 12);
  EXPECT_EQ(out[1], 0x12) << "a message sent whole";
  out[1] = 0x92;  // a segment received re-encodes as it came
  std::unique_ptr<KMsg> segment(KMsg::parseMsg(out.data(), 12));
  ASSERT_TRUE(segment && segment->getMsg(again.data(), 12) == 12);
  EXPECT_EQ(again, out);

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
  Page page = readPage();
  Site site("pingTime=3600\n");
  site.startBus();
  site.subscribe();
  auto sim = startSim({"--cabinet", sourcePath("etc/cabinet.json"), "--pcap", "/etc/ram/c.pcap",
                       "--report-interval", "1"});
  ASSERT_TRUE(sim);
  site.startTranslator();
  const std::regex state("\"state\": \"[0-9a-f-]{36}\"");
  auto published = [&] {
    auto p = site.publication();
    return p ? p->topic + " " + std::regex_replace(p->payload, state, "\"state\": S") : "none";
  };
  EXPECT_EQ(published(), "site_info " + page.published["site-config"]);
  const char* rows[][4] = {
      // command, request, reply, publication (when not the page's)
      {R"({"command":"UNLOCK","RFID":"78187493530","state":"s"})", "unlock", "",
       R"({"LOCK_STATUS": "UNLOCKED", "RFID": "78187493530", "state": S, "CMD": "update_lock"})"},
      {R"({"command":"LOCK","RFID":"4328719365","state":"s"})", "lock", "lock-reply", ""},
      {R"({"command":"Battery"})", "battery-req", "battery", ""},
      {R"({"command":"req_transactions"})", "trans-req", "transfer-reply", ""}};
  std::vector<std::pair<Bytes, bool>> expected = {{page.hex["site-config"], false}};
  for (const auto& row : rows) {
    site.command(row[0]);
    EXPECT_EQ(published(), std::string("command ") + (*row[3] ? row[3] : page.published[row[2]]));
    expected.push_back({page.hex[row[1]], true});
    expected.push_back({page.hex[row[2]], false});
  }
  // A lock it does not have is not answered: the next answer is the battery's.
  UdpPeer peer;
  Bytes unknown = page.hex["unlock"];
  unknown[12] = 0x0E;
  ASSERT_TRUE(peer.sendTo(5555, unknown) && peer.sendTo(5555, page.hex["battery-req"]));
  EXPECT_TRUE(
      sim->waitForLine(R"({"cabinet":"no lock 123456780e: UNLOCK not answered"})", kWaitMs));
  EXPECT_EQ(noSeq(peer.receive(kWaitMs).value_or(Bytes{})), noSeq(page.hex["battery"]));
  expected.insert(expected.end(),
                  {{unknown, true}, {page.hex["battery-req"], true}, {page.hex["battery"], false}});
  auto configs = [&] {
    return std::count_if(sim->seenLines().begin(), sim->seenLines().end(),
                         [](auto& l) { return l.find("keysw-2.1") != std::string::npos; });
  };
  while (configs() < 2) ASSERT_TRUE(sim->readLine(kWaitMs)) << "no configuration report again";
  stop(*sim);

  // The capture: the first keep-alive, then what the cabinet was asked and
  // answered (further keep-alives and reported configurations aside).
  auto frames = readCapture("/etc/ram/c.pcap");
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(noSeq(frames[0].payload), noSeq(page.hex["keepalive"]));
  std::size_t next = 0;
  for (std::size_t i = 1; i < frames.size(); ++i) {
    const Bytes d = noSeq(frames[i].payload);
    if (d == noSeq(page.hex["keepalive"]) || (i > 1 && d == noSeq(page.hex["site-config"])))
      continue;
    ASSERT_LT(next, expected.size()) << "frame " << i;
    const auto& [bytes, toCabinet] = expected[next++];
    EXPECT_EQ(toCabinet ? frames[i].to : frames[i].from, 5555) << "frame " << i;
    EXPECT_TRUE(bytes.empty() || d == noSeq(bytes)) << "frame " << i;
  }
  EXPECT_EQ(next, expected.size());
}

TEST(Cabinet, RefusesABadFileNamingTheMember) {
  std::ifstream in(sourcePath("etc/cabinet.json"));
  const std::string good((std::istreambuf_iterator<char>(in)), {});
  const char* rows[][3] = {
      {"4660", "4294967295", "key.serial: expected an integer 0..4294967294"},
      {"\"box-1\"", "\" \"", "key.box: expected a text"},
      {"87", "255", "key.battery: expected an integer 0..254"},
      {"8080", "0", "server.port: expected an integer 1..65534"},
      {"\"0102030405\"", "\"01020304\"", "locks[0].tag: expected 10 hex digits"},
      {"\"00000000ff\"", "\"0102030405\"", "locks[1].tag: 0102030405 twice"},
      {"\"LOCKED\"", "\"OPEN\"", "locks[0].status: expected"},
      {"\"type\": 2", "\"type\": 2, \"x\": 1", "locks[2].x: unknown member"},
      {"\"transactions\": 12,", "", "transactions: missing"},
      {"{", "", "not a JSON file"}};
  for (const auto& [from, to, why] : rows) {
    std::string text = good;
    text.replace(text.find(from), std::strlen(from), to);
    std::ofstream("/etc/ram/bad.json") << text;
    auto sim = Child::start({programPath("keyd-sim"), "--cabinet", "/etc/ram/bad.json"});
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->wait(kWaitMs), 2) << why;
    EXPECT_EQ(
        sim->drainStderr().rfind(std::string("keyd-sim: cabinet /etc/ram/bad.json: ") + why, 0), 0u)
        << why;
  }
}

// What tshark shows of a valid datagram: the dissector's fields, values
// aggregated per field.
std::string fieldsOf(const Bytes& d) {
  std::unique_ptr<KMsg> msg(KMsg::parseMsg(d.data(), static_cast<unsigned short>(d.size())));
  if (!msg) return "invalid";
  std::string col[8];  // ids, types, lengths, then the values of each type code
  auto add = [](std::string& c, const std::string& v) { c += (c.empty() ? "" : ",") + v; };
  for (const auto& tag : msg->tags()) {
    add(col[0], std::to_string(tag->mId));
    add(col[1], std::to_string(tag->type()));
    add(col[2], std::to_string(tag->getLength()));
    std::string value;
    if (auto* s = ktag_cast<KTagString>(tag.get())) value = s->text();
    if (auto* b = ktag_cast<KTagBytes>(tag.get())) value = toHex(b->bytes().data(), b->getLength());
    if (auto* u = ktag_cast<KTagUInt32>(tag.get())) value = std::to_string(u->getValue());
    if (auto* u = ktag_cast<KTagUInt16>(tag.get())) value = std::to_string(u->getValue());
    if (auto* u = ktag_cast<KTagUInt8>(tag.get())) value = std::to_string(u->getValue());
    add(col[2 + tag->type()], value);
  }
  std::string out = std::to_string(d[0]) + "\t" + std::to_string(d[1] & 0x7F) + "\t" +
                    std::to_string(d[1] >> 7) + "\t" + std::to_string(msg->mTagCount);
  for (const auto& c : col) out += "\t" + c;
  return out;
}

TEST(Dissector, ShowsEveryExampleAndNamesTheRuleAMalformedDatagramBreaks) {
  if (std::system("tshark --version >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "SKIPPED: tshark is not installed (scripts/setup.sh installs it)\n");
    std::exit(77);
  }
  UdpPeer peer;
  auto sim =
      startSim({"--pcap", "/etc/ram/d.pcap", "--peer", "127.0.0.1:" + std::to_string(peer.port())});
  ASSERT_TRUE(sim);
  std::vector<std::pair<Bytes, std::string>> sent;  // datagram, expert message
  for (const auto& [name, bytes] : readPage().hex) sent.push_back({bytes, ""});
  sent.push_back({hex("00 00 00 03 2F 05 02 BC AA*700 2F 05 02 BC BB*700 2F 05 02 BC CC*700"),
                  "Datagram longer than 2048 bytes: the translator drops it unread"});
  for (const auto& [bytes, expert] : sent) {
    ASSERT_TRUE(sim->writeStdin(R"({"raw":")" + toHex(bytes.data(), bytes.size()) + "\"}\n"));
    ASSERT_EQ(peer.receive(kWaitMs), bytes);
  }
  const std::string p = "00 05 00 03 00 02 00 04 00 00 12 34 01 01 00 05 62 6F 78 2D 31 ";
  const std::pair<std::string, const char*> broken[] = {// datagram; tag ids shown, rule
                                                        {"01 00 00", "\t1"},
                                                        {p, "0,1\t2"},
                                                        {p + "00 02 00", "0,1\t2"},
                                                        {p + "01 01 00 05 41 42", "0,1,1\t3"},
                                                        {p + "2E 07 00 01 00", "0,1,46\t4"},
                                                        {p + "15 04 00 02 00 00", "0,1,21\t5"},
                                                        {p + "2F 01 03 F9 61*1017", "0,1,47\t6"},
                                                        {p + "01 01 00 03 41 00 42", "0,1,1\t7"},
                                                        {p + "00 04 00 01 00", "0,1,0\t8"},
                                                        {p + "0C 04 00 01 57 00", "0,1,12\t9"}};
  for (const auto& [bytes, shown] : broken) {
    ASSERT_TRUE(peer.sendTo(5555, hex(bytes)));
    ASSERT_TRUE(sim->readLine(kWaitMs));
  }
  stop(*sim);

  const std::string fields =
      " -e kmsg.id -e kmsg.seq -e kmsg.more -e kmsg.tag_count -e kmsg.tag.id -e kmsg.tag.type"
      " -e kmsg.tag.length -e kmsg.tag.str -e kmsg.tag.u32 -e kmsg.tag.u16 -e kmsg.tag.u8"
      " -e kmsg.tag.bytes -e _ws.expert.message";
  FILE* out = ::popen(("tshark -X lua_script:" + sourcePath("tools/wireshark/kmsg.lua") +
                       " -o ip.check_checksum:TRUE -r /etc/ram/d.pcap -T fields -E occurrence=a"
                       " -e udp.srcport -e udp.dstport -e ip.checksum.status" +
                       fields + " 2>/dev/null")
                          .c_str(),
                      "r");
  ASSERT_TRUE(out);
  std::string text;
  for (char buf[4096]; std::size_t n = std::fread(buf, 1, sizeof buf, out);) text.append(buf, n);
  EXPECT_EQ(::pclose(out), 0);
  std::vector<std::string> lines;
  std::istringstream split(text);
  for (std::string line; std::getline(split, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), sent.size() + std::size(broken));
  const std::string from = "5555\t" + std::to_string(peer.port()) + "\t1\t";
  for (std::size_t i = 0; i < sent.size(); ++i)
    EXPECT_EQ(lines[i], from + fieldsOf(sent[i].first) + "\t" + sent[i].second);
  const std::regex malformed(
      std::to_string(peer.port()) +
      "\t5555\t1\t[^\t]*\t[^\t]*\t[^\t]*\t[^\t]*\t([^\t]*)\t.*Invalid key message, rule (\\d): .*");
  for (std::size_t i = 0; i < std::size(broken); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[sent.size() + i], m, malformed)) << lines[sent.size() + i];
    EXPECT_EQ(m[1].str() + "\t" + m[2].str(), broken[i].second) << lines[sent.size() + i];
  }
}

}  // namespace
