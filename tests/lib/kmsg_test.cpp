// The key message codec: the worked examples of docs/protocol.md byte for
// byte, round trips and limits, segmentation, and a table of corrupted
// datagrams, each followed by a good one that must still decode. Messages are
// written as keyd-sim writes them (kmsg_json, built on the codec).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "child.h"
#include "kmsg_json.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Datagrams = std::vector<Bytes>;
using F = KTagFactory;

// Parses from a heap block of exactly the datagram's size, so ASan sees any
// read past its end.
std::unique_ptr<KMsg> parse(const Bytes& b) {
  auto block = std::make_unique<unsigned char[]>(b.size());
  std::copy(b.begin(), b.end(), block.get());
  return std::unique_ptr<KMsg>(KMsg::parseMsg(block.get(), static_cast<unsigned short>(b.size())));
}
std::string json(const Bytes& b) { return kmsgjson::datagramToJson(b.data(), b.size()); }

// "01 4F 78*3" -> 01 4F 78 78 78
Bytes hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  for (std::string t; in >> t;)
    out.insert(out.end(), t.size() > 3 ? std::stoi(t.substr(3)) : 1, std::stoul(t, nullptr, 16));
  return out;
}

// The ```hex block after each "<!-- example: NAME -->" line of the page,
// without its '#' comments.
std::map<std::string, Bytes> docExamples() {
  std::ifstream page(testsupport::sourcePath("docs/protocol.md"));
  std::map<std::string, Bytes> out;
  for (std::string line, name, block; std::getline(page, line);) {
    if (line.rfind("<!-- example: ", 0) == 0) {
      name = line.substr(14, line.find(" -->") - 14);
    } else if (!name.empty() && line == "```" && !block.empty()) {
      out[name] = hex(block);
      name.clear(), block.clear();
    } else if (!name.empty() && line != "```hex") {
      block += line.substr(0, line.find('#')) + " ";
    }
  }
  return out;
}

TEST(kmsgCodec, WorkedExamplesOfTheProtocolPageByteForByte) {
  auto doc = docExamples();
  ASSERT_EQ(doc.size(), 6u);
  const std::string x1007(1007, 'x');
  const std::pair<std::string, std::string> examples[] = {
      {"keepalive", R"({"id":1,"seq":0,"tags":[{"id":0,"type":"u32","value":0}]})"},
      {"unlock", R"({"id":1,"seq":1,"tags":[{"id":19,"type":"bytes","value":"123456789a"},)"
                 R"({"id":21,"type":"u8","value":0}]})"},
      {"trans-req", R"({"id":1,"seq":2,"tags":[{"id":26,"type":"u8","value":0}]})"},
      {"set-report",
       R"({"id":0,"seq":17,"tags":[{"id":0,"type":"u32","value":123456},)"
       R"({"id":1,"type":"str","value":"BOX-07"},{"id":8,"type":"str","value":"2.4.1"},)"
       R"({"id":35,"type":"str","value":"keys.local"},{"id":36,"type":"u16","value":8443},)"
       R"({"id":32,"type":"u32","value":42},{"id":19,"type":"bytes","value":"0102030405"},)"
       R"({"id":19,"type":"bytes","value":"000000fffe"},{"id":12,"type":"u8","value":87}]})"},
      {"segment-1", R"({"id":0,"seq":146,"tags":[{"id":19,"type":"bytes","value":"0a0b0c0d0e"},)"
                    R"({"id":23,"type":"str","value":")" + x1007 + R"("}]})"},
      {"segment-2", R"({"id":0,"seq":18,"tags":[{"id":20,"type":"str","value":"closed"}]})"}};
  for (const auto& [name, line] : examples) {
    EXPECT_EQ(json(doc[name]), line) << name << " decoded";
    EXPECT_EQ(kmsgjson::datagramOf(line), doc[name]) << name << " encoded";
  }
  // The message the two segments carry, sent whole, leaves as exactly those two.
  EXPECT_EQ(kmsgjson::fromJson(R"({"id":0,"seq":18,"tags":[{"id":19,"type":"bytes","value":)"
                               R"("0a0b0c0d0e"},{"id":23,"type":"str","value":")" + x1007 +
                               R"("},{"id":20,"type":"str","value":"closed"}]})")
                .datagrams,
            (Datagrams{doc["segment-1"], doc["segment-2"]}));
}

TEST(kmsgCodec, RoundTripsAndLimits) {
  for (const std::string& line :
       {std::string(R"({"id":3,"seq":127,"tags":[{"id":10,"type":"u8","value":0},)"
                    R"({"id":12,"type":"u8","value":255},{"id":36,"type":"u16","value":65535},)"
                    R"({"id":0,"type":"u32","value":4294967295},)"
                    R"({"id":24,"type":"u32","value":16909060},{"id":1,"type":"str","value":""},)"
                    R"({"id":19,"type":"bytes","value":""},{"id":26,"type":"u32","value":9}]})"),
        R"({"id":0,"seq":0,"tags":[{"id":35,"type":"str","value":")" + std::string(1016, 'm') +
            R"("}]})",
        R"({"id":200,"seq":255,"tags":[{"id":37,"type":"bytes","value":")" +
            std::string(2032, 'a') + R"("}]})"})
    EXPECT_EQ(json(kmsgjson::datagramOf(line)), line);
  // What the wire cannot carry is refused; getMsg never writes past the capacity.
  const Bytes max(KMSG_MAX_VALUE, 0xA5);
  EXPECT_EQ(F::createKTag(1, std::string(KMSG_MAX_VALUE + 1, 'a')), nullptr);
  EXPECT_EQ(F::createKTag(1, std::string("a\0b", 3)), nullptr);
  EXPECT_EQ(F::createKTag(19, max.data(), KMSG_MAX_VALUE + 1), nullptr);
  KMsg msg(MSG_REQ);
  ASSERT_EQ(msg.addTag(F::createKTag(19, max.data(), KMSG_MAX_VALUE)), 1);
  Bytes buf(1024, 0xCC);
  EXPECT_EQ(msg.getMsg(buf.data(), 1023), -1);
  EXPECT_EQ(buf, Bytes(1024, 0xCC));
  EXPECT_EQ(msg.segmentMessage(1023), 0) << "a tag that fits no segment";
  EXPECT_EQ(msg.getNextSegment(), nullptr);
  // The largest message (mSize 65535) takes no further tag and travels in 65 segments.
  for (int i = 0; i < 63; ++i) msg.addTag(F::createKTag(19, max.data(), KMSG_MAX_VALUE));
  ASSERT_EQ(msg.addTag(F::createKTag(19, max.data(), 65535 - msg.mSize - 4)), 1);
  EXPECT_EQ(msg.addTag(F::createKTag(19, max.data(), 0)), 0);
  ASSERT_EQ(msg.segmentMessage(1024), 65);
  for (KMsg* seg = msg.getNextSegment(); seg; seg = msg.getNextSegment())
    EXPECT_EQ(seg->getMsg(buf.data(), 1024), seg->mSize + 2);
}

TEST(kmsgCodec, SegmentsFillUpTo1024BytesAndTheLastHasNoMoreBit) {
  const std::string line =
      R"({"id":0,"seq":5,"tags":[{"id":100,"type":"bytes","value":")" + std::string(2024, '0') +
      R"("},{"id":101,"type":"u8","value":1},{"id":102,"type":"str","value":")" +
      std::string(1016, 'z') + R"("},{"id":0,"type":"u32","value":7}]})";
  EXPECT_EQ(kmsgjson::fromJson(line).datagrams,
            (Datagrams{hex("00 85 00 01 64 05 03 F4 00*1012"), hex("00 85 00 01 65 04 00 01 01"),
                       hex("00 85 00 01 66 01 03 F8 7A*1016"),
                       hex("00 05 00 01 00 02 00 04 00 00 00 07")}));
}

TEST(kmsgCodec, EveryCorruptionIsRejectedAndTheNextGoodDatagramStillDecodes) {
  const Bytes good = hex("00 11 00 05 13 05 00 05 01 02 03 04 05 01 01 00 02 41 42 0C 04 00 01 57"
                         " 00 02 00 04 00 01 E2 40 24 03 00 02 20 FB");
  std::vector<std::pair<const char*, Bytes>> bad = {
      {"fewer tags than counted", hex("01 00 00 02 00 02 00 04 00 00 00 00")},
      {"type code 6", hex("01 00 00 01 2E 06 00 01 00")},
      {"u8 of 2 bytes", hex("01 00 00 01 15 04 00 02 00 00")},
      {"u16 of 1 byte", hex("01 00 00 01 24 03 00 01 20")},
      {"u32 of 3 bytes", hex("01 00 00 01 00 02 00 03 00 00 00")},
      {"string with zero", hex("01 00 00 01 01 01 00 03 41 00 42")},
      {"key sn as u8", hex("01 00 00 01 00 04 00 01 00")},
      {"trans req as u16", hex("01 00 00 01 1A 03 00 02 00 00")},
      {"trailing byte", hex("01 00 00 01 00 02 00 04 00 00 00 00 00")},
      {"string over the limit", hex("01 00 00 01 2F 01 03 F9 61*1017")},
      {"bytes over the limit", hex("01 00 00 01 2F 05 03 F9 61*1017")}};
  for (size_t n = 0; n < good.size(); ++n) bad.push_back({"cut", Bytes(good.begin(), good.begin() + n)});
  const std::string expected = json(good);
  for (const auto& [what, bytes] : bad) {
    EXPECT_EQ(parse(bytes), nullptr) << what << " " << bytes.size();
    auto next = parse(good);
    ASSERT_NE(next, nullptr) << "after " << what;
    EXPECT_EQ(kmsgjson::toJson(*next), expected);
  }
  // Well formed: any id and sequence byte, unknown tag ids of any type, both
  // forms of the transactions request, no tags.
  for (const char* ok : {"C8 FF 00 00", "01 00 00 01 1A 02 00 04 00 00 00 00",
                         "01 00 00 03 2E 04 00 01 01 FF 05 00 00 2F 01 00 00",
                         "01 02 00 01 1A 04 00 01 00"})
    EXPECT_NE(parse(hex(ok)), nullptr) << ok;
}

}  // namespace
