// Codec tests of libkmsg: round trips, segmentation, rejection of malformed
// datagrams, and the worked examples of docs/protocol.md byte for byte.
#include "kmsg.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "child.h"

namespace {

using Bytes = std::vector<unsigned char>;
using F = KTagFactory;
using U8 = unsigned char;
using U16 = unsigned short;

Bytes encode(const KMsg& msg) {
  Bytes out(0xFFFF);
  const int n = msg.getMsg(out.data(), static_cast<U16>(out.size()));
  EXPECT_GE(n, 0);
  out.resize(n < 0 ? 0 : n);
  return out;
}

// Parses from a heap block of exactly the datagram's size, so ASan sees any
// read past its end.
std::unique_ptr<KMsg> parse(const Bytes& b) {
  auto block = std::make_unique<U8[]>(b.size());
  std::copy(b.begin(), b.end(), block.get());
  return std::unique_ptr<KMsg>(KMsg::parseMsg(block.get(), static_cast<U16>(b.size())));
}

// Every tag as "19 bytes 0A0B", "1 str BOX-07", "0 u32 123456"; checks the
// value class too.
std::vector<std::string> describe(KMsg& msg) {
  std::vector<std::string> out;
  for (const auto& tag : msg.tags()) {
    std::ostringstream s;
    s << int{tag->mId} << ' ' << tag->typeName() << ' ';
    if (auto* t = ktag_cast<KTagUInt8>(tag.get()))
      s << int{t->getValue()};
    else if (auto* t = ktag_cast<KTagUInt16>(tag.get()))
      s << t->getValue();
    else if (auto* t = ktag_cast<KTagUInt32>(tag.get()))
      s << t->getValue();
    else if (auto* t = ktag_cast<KTagString>(tag.get()))
      s << t->text();
    else if (auto* t = ktag_cast<KTagBytes>(tag.get()))
      for (U8 c : t->bytes()) s << std::hex << std::uppercase << (c >> 4) << (c & 15);
    out.push_back(s.str());
  }
  return out;
}

// "01 4F 78*3" -> 01 4F 78 78 78
Bytes hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  for (std::string tok; in >> tok;) {
    const auto star = tok.find('*');
    const int count = star == std::string::npos ? 1 : std::stoi(tok.substr(star + 1));
    out.insert(out.end(), count, static_cast<U8>(std::stoul(tok.substr(0, 2), nullptr, 16)));
  }
  return out;
}

// The ```hex block after each "<!-- example: NAME -->" line of the page.
std::map<std::string, Bytes> docExamples() {
  std::ifstream page(testsupport::sourcePath("docs/protocol.md"));
  EXPECT_TRUE(page.good());
  std::map<std::string, Bytes> out;
  std::string line, name, block;
  const std::string marker = "<!-- example: ";
  while (std::getline(page, line)) {
    if (line.rfind(marker, 0) == 0) {
      name = line.substr(marker.size(), line.find(" -->") - marker.size());
      block.clear();
    } else if (!name.empty() && line == "```") {
      out[name] = hex(block);
      name.clear();
    } else if (!name.empty() && line != "```hex") {
      block += line.substr(0, line.find('#')) + "\n";
    }
  }
  return out;
}

std::unique_ptr<KMsg> makeMsg(U8 id, U8 seq, std::vector<KTag*> tags) {
  auto msg = std::make_unique<KMsg>(id);
  msg->mSeq = seq;
  for (KTag* t : tags) EXPECT_EQ(msg->addTag(t), 1);
  return msg;
}

U8 rf1[] = {0x12, 0x34, 0x56, 0x78, 0x9A}, rf2[] = {1, 2, 3, 4, 5}, rf3[] = {0, 0, 0, 0xFF, 0xFE},
   rf4[] = {10, 11, 12, 13, 14};

TEST(kmsgDocs, WorkedExamplesMatchTheCodecByteForByte) {
  std::map<std::string, std::unique_ptr<KMsg>> built;
  built["keepalive"] = makeMsg(MSG_REQ, 0x00, {F::createKTag(TAG_KEY_SN, 0u)});
  built["unlock"] = makeMsg(
      MSG_REQ, 0x01, {F::createKTag(TAG_LOCK_TAG, rf1, 5), F::createKTag(TAG_UNLOCK_REQ, U8{0})});
  built["trans-req"] = makeMsg(MSG_REQ, 0x02, {F::createKTag(TAG_TRANS_REQ, U8{0})});
  built["set-report"] =
      makeMsg(MSG_SET, 0x11,
              {F::createKTag(TAG_KEY_SN, 123456u), F::createKTag(TAG_KEY_BOX, "BOX-07"),
               F::createKTag(TAG_KEY_SW, "2.4.1"), F::createKTag(TAG_SRV_NAME, "keys.local"),
               F::createKTag(TAG_SRV_PORT, U16{8443}), F::createKTag(TAG_TRANS_CNT, 42u),
               F::createKTag(TAG_LOCK_TAG, rf2, 5), F::createKTag(TAG_LOCK_TAG, rf3, 5),
               F::createKTag(TAG_KEY_BATTERY, U8{87})});
  auto doc = docExamples();
  for (const auto& [name, msg] : built) {
    SCOPED_TRACE(name);
    EXPECT_EQ(encode(*msg), doc[name]);
    EXPECT_EQ(msg->mSize + 2u, doc[name].size());
    auto back = parse(doc[name]);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(describe(*back), describe(*msg));
    EXPECT_EQ(encode(*back), doc[name]) << "decoded and encoded again";
  }

  // The two-segment example: the segments, and the whole message they carry.
  auto whole = makeMsg(
      MSG_SET, 0x12,
      {F::createKTag(TAG_LOCK_TAG, rf4, 5), F::createKTag(TAG_LOCK_DESC, std::string(1007, 'x')),
       F::createKTag(TAG_LOCK_STATUS, "closed")});
  ASSERT_EQ(whole->segmentMessage(1024), 2);
  std::vector<std::string> carried;
  for (const char* name : {"segment-1", "segment-2"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(encode(*whole->getNextSegment()), doc[name]);
    auto back = parse(doc[name]);
    ASSERT_NE(back, nullptr);
    for (const auto& d : describe(*back)) carried.push_back(d);
  }
  EXPECT_EQ(doc["segment-1"].size(), 1024u);
  EXPECT_EQ(carried, describe(*whole));
}

TEST(kmsgCodec, RoundTripsEveryValueTypeAndLimit) {
  const std::string longText(200, 'k'), maxText(KMSG_MAX_VALUE, 'm');
  const Bytes maxBytes(KMSG_MAX_VALUE, 0xA5);
  auto msg =
      makeMsg(MSG_EVT, 0x7F,
              {F::createKTag(10, U8{0}), F::createKTag(TAG_KEY_BATTERY, U8{255}),
               F::createKTag(TAG_SRV_PORT, U16{0xFFFF}), F::createKTag(TAG_KEY_SN, 0xFFFFFFFFu),
               F::createKTag(TAG_LOCK_TYPE, 0x01020304u), F::createKTag(TAG_KEY_BOX, ""),
               F::createKTag(TAG_LOCK_DESC, longText), F::createKTag(TAG_SRV_NAME, maxText),
               F::createKTag(TAG_LOCK_TAG, static_cast<const void*>(nullptr), 0),
               F::createKTag(37, maxBytes.data(), KMSG_MAX_VALUE), F::createKTag(200, U16{7}),
               F::createKTag(TAG_TRANS_REQ, 9u)});
  const Bytes wire = encode(*msg);
  EXPECT_EQ(wire.size(), msg->mSize + 2u);
  auto back = parse(wire);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->mTagCount, 12);
  EXPECT_EQ(describe(*back), describe(*msg));
  EXPECT_EQ(encode(*back), wire) << "id, sequence and tags come back";

  // Text into the daemon's 128-byte buffer: cut and terminated.
  char text[128];
  EXPECT_EQ(ktag_cast<KTagString>(back->tags()[6].get())->getValue(text, sizeof text), 1);
  EXPECT_EQ(std::string(text), longText.substr(0, 127));

  // The factory refuses what the wire cannot carry.
  EXPECT_EQ(F::createKTag(1, std::string(KMSG_MAX_VALUE + 1, 'a')), nullptr);
  EXPECT_EQ(F::createKTag(1, std::string("a\0b", 3)), nullptr);
  EXPECT_EQ(F::createKTag(19, maxBytes.data(), KMSG_MAX_VALUE + 1), nullptr);

  // getMsg never writes past the capacity.
  Bytes buf(wire.size(), 0xCC);
  EXPECT_EQ(msg->getMsg(buf.data(), static_cast<U16>(wire.size() - 1)), -1);
  EXPECT_EQ(buf, Bytes(wire.size(), 0xCC));

  // New messages take consecutive 7-bit sequence numbers.
  KMsg a(MSG_REQ), b(MSG_REQ);
  EXPECT_EQ((a.mSeq + 1) & 0x7F, b.mSeq);
}

TEST(kmsgCodec, SegmentsEachFitAndParseByThemselves) {
  auto msg = makeMsg(MSG_SET, 0x05, {});
  for (int i = 0; i < 40; ++i)
    msg->addTag(F::createKTag(TAG_LOCK_DESC, std::string(100 + i, 'a' + i % 26)));
  msg->addTag(F::createKTag(TAG_KEY_BOX, std::string(KMSG_MAX_VALUE, 'z')));  // a segment alone
  msg->addTag(F::createKTag(TAG_KEY_SN, 1u));
  const int count = msg->segmentMessage(1024);
  ASSERT_GT(count, 4);
  std::vector<std::string> carried;
  int n = 0;
  while (KMsg* seg = msg->getNextSegment()) {
    const Bytes wire = encode(*seg);
    EXPECT_LE(wire.size(), 1024u);
    auto back = parse(wire);
    ASSERT_NE(back, nullptr) << "segment " << n;
    EXPECT_EQ(back->mId, MSG_SET);
    EXPECT_EQ(back->mSeq, ++n < count ? 0x85 : 0x05) << n;
    for (const auto& d : describe(*back)) carried.push_back(d);
  }
  EXPECT_EQ(n, count);
  EXPECT_EQ(carried, describe(*msg));

  // A message that fits is one segment identical to it; a limit smaller
  // than one tag gives none.
  auto small = makeMsg(MSG_REQ, 0x33, {F::createKTag(TAG_KEY_SN, 0u)});
  ASSERT_EQ(small->segmentMessage(1024), 1);
  EXPECT_EQ(encode(*small->getNextSegment()), encode(*small));
  EXPECT_EQ(small->segmentMessage(11), 0);
  EXPECT_EQ(small->getNextSegment(), nullptr);
}

TEST(kmsgCodec, RejectsEveryMalformedClassAndEveryTruncationAndRecovers) {
  const Bytes good =
      hex("00 11 00 05 13 05 00 05 01 02 03 04 05 01 01 00 02 41 42 0C 04 00 01 57"
          " 00 02 00 04 00 01 E2 40 24 03 00 02 20 FB");
  const std::vector<std::string> expected = {"19 bytes 0102030405", "1 str AB", "12 u8 87",
                                             "0 u32 123456", "36 u16 8443"};
  std::vector<std::pair<const char*, Bytes>> bad = {
      {"empty", {}},
      {"short header", hex("01 00 00")},
      {"fewer tags than counted", hex("01 00 00 02 00 02 00 04 00 00 00 00")},
      {"cut tag header", hex("01 00 00 01 00 02 00")},
      {"value past the end", hex("01 00 00 01 01 01 00 05 41 42")},
      {"type code 0", hex("01 00 00 01 2E 00 00 01 00")},
      {"type code 6", hex("01 00 00 01 2E 06 00 01 00")},
      {"u8 of 2 bytes", hex("01 00 00 01 15 04 00 02 00 00")},
      {"u16 of 1 byte", hex("01 00 00 01 24 03 00 01 20")},
      {"u32 of 3 bytes", hex("01 00 00 01 00 02 00 03 00 00 00")},
      {"string with zero", hex("01 00 00 01 01 01 00 03 41 00 42")},
      {"key sn as u8", hex("01 00 00 01 00 04 00 01 00")},
      {"lock tag as str", hex("01 00 00 01 13 01 00 01 41")},
      {"battery as u32", hex("01 00 00 01 0C 02 00 04 00 00 00 01")},
      {"trans req as u16", hex("01 00 00 01 1A 03 00 02 00 00")},
      {"trailing byte", hex("01 00 00 01 00 02 00 04 00 00 00 00 00")},
  };
  for (U8 type : {KTYPE_STRING, KTYPE_BYTES}) {  // one byte over the value limit
    Bytes over = hex("01 00 00 01 2F 00 03 F9");
    over[5] = type;
    over.resize(over.size() + KMSG_MAX_VALUE + 1, 'a');
    bad.push_back({"value over the limit", over});
  }
  for (std::size_t n = 0; n < good.size(); ++n)
    bad.push_back({"truncated", Bytes(good.begin(), good.begin() + n)});
  for (const auto& [what, bytes] : bad) {
    EXPECT_EQ(parse(bytes), nullptr) << what << " " << bytes.size();
    auto next = parse(good);
    ASSERT_NE(next, nullptr) << "after " << what;
    EXPECT_EQ(describe(*next), expected);
  }
  // Well-formed oddities: any message id and sequence byte, unknown tag ids
  // with any type, both forms of the transactions request, no tags.
  for (const char* ok : {"C8 FF 00 00", "01 00 00 01 1A 02 00 04 00 00 00 00",
                         "01 00 00 03 2E 04 00 01 01 FF 05 00 00 2F 01 00 00"}) {
    EXPECT_NE(parse(hex(ok)), nullptr) << ok;
  }
  auto trans = parse(hex("01 02 00 01 1A 04 00 01 00"));
  ASSERT_NE(trans, nullptr);
  EXPECT_EQ(describe(*trans), std::vector<std::string>{"26 u8 0"});
}

TEST(kmsgCodec, HugePayloadWrapsTheLoggedLengthAndStillSegments) {
  const Bytes block(KMSG_MAX_VALUE, 0x5A);
  for (unsigned size : {65534u, 65535u}) {
    SCOPED_TRACE(size);
    KMsg msg(MSG_REQ);
    for (int i = 0; i < 64; ++i)
      ASSERT_EQ(msg.addTag(F::createKTag(TAG_LOCK_TAG, block.data(), KMSG_MAX_VALUE)), 1);
    const auto rest = static_cast<U16>(size - msg.mSize - KMSG_TAG_HEADER_SIZE);
    ASSERT_EQ(msg.addTag(F::createKTag(TAG_LOCK_TAG, block.data(), rest)), 1);
    EXPECT_EQ(msg.mSize, size);
    EXPECT_EQ(static_cast<U16>(msg.mSize + 2), size - 65534);  // logged as 0 or 1 bytes
    EXPECT_EQ(msg.addTag(F::createKTag(TAG_LOCK_TAG, static_cast<const void*>(nullptr), 0)), 0);
    Bytes buf(0xFFFF, 0xCC);
    EXPECT_EQ(msg.getMsg(buf.data(), 0xFFFF), -1);
    ASSERT_EQ(msg.segmentMessage(1024), 65);
    std::size_t tags = 0;
    while (KMsg* seg = msg.getNextSegment()) tags += parse(encode(*seg))->mTagCount;
    EXPECT_EQ(tags, 65u);
  }
}

}  // namespace
