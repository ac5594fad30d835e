// The key message codec: the cases of kmsg.cases (the worked examples of
// docs/protocol.md byte for byte, segments, round trips, corrupted datagrams
// each followed by a good one), then what the factory and getMsg refuse, and
// the sequence byte of a message sent whole.
#include <gtest/gtest.h>

#include "child.h"
#include "kmsg_json.h"

namespace {

using testsupport::Bytes;
using testsupport::hexBytes;
using F = KTagFactory;

// From a heap block of exactly the datagram's size: ASan sees any read past it.
bool parses(const Bytes& b) {
  auto block = std::make_unique<unsigned char[]>(b.size());
  std::copy(b.begin(), b.end(), block.get());
  std::unique_ptr<KMsg> msg(KMsg::parseMsg(block.get(), static_cast<unsigned short>(b.size())));
  return msg != nullptr;
}
std::string json(const Bytes& b) { return kmsgjson::datagramToJson(b.data(), b.size()); }

TEST(kmsgCodec, CasesOfTheTable) {
  auto doc = testsupport::protocolPage().examples;
  std::vector<Bytes> pending;  // the datagrams of the last "send" not yet compared
  Bytes good;
  for (const auto& [number, verb, text] : testsupport::readTable("tests/lib/kmsg.cases")) {
    SCOPED_TRACE("kmsg.cases:" + std::to_string(number));
    if (verb == "doc") {
      const std::string name = text.substr(0, text.find(' ')),
                        message = text.substr(name.size() + 1);
      EXPECT_EQ(json(doc[name]), message);
      if (doc[name][1] < 0x80) {  // bit 7 comes only from segmentation (the "send" steps)
        EXPECT_EQ(kmsgjson::datagramOf(message), doc[name]);
      }
    } else if (verb == "round") {
      EXPECT_EQ(json(kmsgjson::datagramOf(text)), text);
    } else if (verb == "send") {
      EXPECT_TRUE(pending.empty());
      pending = kmsgjson::fromJson(text).datagrams;
    } else if (verb == "seg") {
      ASSERT_FALSE(pending.empty());
      EXPECT_EQ(pending.front(), text[0] == '@' ? doc[text.substr(1)] : hexBytes(text));
      pending.erase(pending.begin());
    } else if (verb == "good") {
      good = hexBytes(text);
      for (size_t n = 0; n <= good.size(); ++n)
        EXPECT_EQ(parses(Bytes(good.begin(), good.begin() + n)), n == good.size()) << n;
    } else {
      ASSERT_EQ(verb, "bad");
      EXPECT_FALSE(parses(hexBytes(text)));
      EXPECT_TRUE(parses(good)) << "after it";
    }
  }
  EXPECT_TRUE(pending.empty());
}

TEST(kmsgCodec, WhatTheWireCannotCarryIsRefused) {
  const Bytes max(KMSG_MAX_VALUE, 0xA5);
  EXPECT_EQ(F::createKTag(1, std::string(KMSG_MAX_VALUE + 1, 'a')), nullptr);
  EXPECT_EQ(F::createKTag(1, std::string("a\0b", 3)), nullptr);
  EXPECT_EQ(F::createKTag(19, max.data(), KMSG_MAX_VALUE + 1), nullptr);
  KMsg msg(MSG_REQ);
  ASSERT_EQ(msg.addTag(F::createKTag(19, max.data(), KMSG_MAX_VALUE)), 1);
  Bytes buf(1024, 0xCC);
  EXPECT_EQ(msg.getMsg(buf.data(), 1023), -1);
  EXPECT_EQ(buf, Bytes(1024, 0xCC)) << "nothing written past the capacity";
  KMsg whole(MSG_REQ, 0x92);  // bit 7 ("more") only on segments: never on a message sent whole
  ASSERT_EQ(whole.getMsg(buf.data(), 4), 4);
  EXPECT_EQ(buf[1], 0x12);
}

}  // namespace
