// Fuzz target for KMsg::parseMsg, the decoder of every datagram the key
// daemon sends. Besides the sanitizers, it checks what a valid datagram
// promises: it re-encodes into the same bytes, mSize + 2 is its length,
// every tag is of the class its type code names and of the dictionary's
// type for known ids, and its segments each fit 1024 bytes and parse alone.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "kmsg.h"

#define FUZZ_CHECK(cond) \
  do {                   \
    if (!(cond)) std::abort(); \
  } while (0)

namespace {

bool classMatches(KTag* tag) {
  switch (tag->type()) {
    case KTYPE_STRING: return ktag_cast<KTagString>(tag) != nullptr;
    case KTYPE_UINT32: return ktag_cast<KTagUInt32>(tag) != nullptr;
    case KTYPE_UINT16: return ktag_cast<KTagUInt16>(tag) != nullptr;
    case KTYPE_UINT8: return ktag_cast<KTagUInt8>(tag) != nullptr;
    case KTYPE_BYTES: return ktag_cast<KTagBytes>(tag) != nullptr;
  }
  return false;
}

bool dictionaryType(KTag* tag) {
  if (tag->mId >= kmsgDictionary->mTagCount) return true;
  if (tag->mId == TAG_TRANS_REQ && tag->type() == KTYPE_UINT8) return true;
  return kmsgDictionary->mTags[tag->mId].mType == tag->type();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 0xFFFF) return 0;
  std::unique_ptr<KMsg> msg(KMsg::parseMsg(data, static_cast<unsigned short>(size)));
  if (!msg) return 0;

  FUZZ_CHECK(msg->mSize + 2u == size);
  std::vector<unsigned char> out(size);
  FUZZ_CHECK(msg->getMsg(out.data(), static_cast<unsigned short>(size)) == static_cast<int>(size));
  FUZZ_CHECK(std::memcmp(out.data(), data, size) == 0);

  std::size_t count = 0;
  msg->gotoFirst();
  while (KTag* tag = msg->getTag()) {
    FUZZ_CHECK(classMatches(tag) && dictionaryType(tag));
    ++count;
  }
  FUZZ_CHECK(count == msg->mTagCount);

  const int segments = msg->segmentMessage(1024);
  FUZZ_CHECK(segments >= 1);
  std::size_t carried = 0;
  unsigned char buffer[1024];
  while (KMsg* seg = msg->getNextSegment()) {
    const int n = seg->getMsg(buffer, sizeof buffer);
    FUZZ_CHECK(n > 0);
    std::unique_ptr<KMsg> back(KMsg::parseMsg(buffer, static_cast<unsigned short>(n)));
    FUZZ_CHECK(back && back->mTagCount == seg->mTagCount);
    carried += back->mTagCount;
  }
  FUZZ_CHECK(carried == count);
  return 0;
}
