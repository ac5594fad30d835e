// KMsg: building, serialising, segmenting and parsing key messages.
// The byte layout is documented in docs/protocol.md.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "kmsg.h"

namespace {

// Sequence numbers handed to new messages, across all threads.
std::atomic<unsigned> gKmsgSequence{0};

std::size_t encodedSize(const KTag& tag) { return KMSG_TAG_HEADER_SIZE + tag.getLength(); }

void put16(unsigned char* out, std::size_t value) {
  out[0] = static_cast<unsigned char>(value >> 8);
  out[1] = static_cast<unsigned char>(value);
}

unsigned get16(const unsigned char* in) { return (unsigned{in[0]} << 8) | in[1]; }

std::uint32_t getBE(const unsigned char* in, std::size_t n) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = (v << 8) | in[i];
  return v;
}

// Whether a tag id may carry this value type. Ids of the dictionary carry
// their dictionary type, so a reader that downcasts by tag id is never
// wrong; the transactions request alone also travels as one byte.
bool typeAllowed(unsigned char id, unsigned char type) {
  if (id >= kmsgDictionary->mTagCount) return true;
  if (id == TAG_TRANS_REQ && type == KTYPE_UINT8) return true;
  return kmsgDictionary->mTags[id].mType == type;
}

// One slot of a parsed message's block holds any of the value classes.
constexpr std::size_t kSlot =
    (std::max({sizeof(KTagUInt8), sizeof(KTagUInt16), sizeof(KTagUInt32), sizeof(KTagString),
               sizeof(KTagBytes)}) +
     alignof(std::max_align_t) - 1) /
    alignof(std::max_align_t) * alignof(std::max_align_t);
static_assert(alignof(KTagString) <= alignof(std::max_align_t) &&
                  alignof(KTagBytes) <= alignof(std::max_align_t),
              "a slot is aligned for every value class");

}  // namespace

unsigned char KMsg::nextSequence() {
  return static_cast<unsigned char>(gKmsgSequence.fetch_add(1) & 0x7F);
}

KMsg::KMsg(unsigned char id) : KMsg(id, nextSequence()) {}

KMsg::KMsg(unsigned char id, unsigned char seq)
    : mId(id), mSeq(seq), mSize(KMSG_HEADER_SIZE - 2), mTagCount(0) {}

KMsg::KMsg(unsigned char id, unsigned char seq, Raw) : KMsg(id, seq) { mRaw = true; }

KMsg::~KMsg() = default;

KTagPtr KMsg::decodeInBlock(unsigned char id, unsigned char type, const unsigned char* v,
                            std::size_t n, std::size_t& used) {
  void* slot = mBlock.get() + used * kSlot;
  KTag* tag = nullptr;
  switch (type) {
    case KTYPE_UINT8:
      if (n == 1) tag = new (slot) KTagUInt8(id, v[0]);
      break;
    case KTYPE_UINT16:
      if (n == 2) tag = new (slot) KTagUInt16(id, static_cast<std::uint16_t>(getBE(v, 2)));
      break;
    case KTYPE_UINT32:
      if (n == 4) tag = new (slot) KTagUInt32(id, getBE(v, 4));
      break;
    case KTYPE_STRING:  // the factory's limits: no zero byte, no overlong value
      if (n <= KMSG_MAX_VALUE && std::memchr(v, 0, n) == nullptr)
        tag = new (slot) KTagString(id, std::string(reinterpret_cast<const char*>(v), n));
      break;
    case KTYPE_BYTES:
      if (n <= KMSG_MAX_VALUE)
        tag = new (slot) KTagBytes(id, std::string(reinterpret_cast<const char*>(v), n));
      break;
  }
  if (tag) ++used;
  return KTagPtr(tag, KTagDeleter{true});
}

void KMsg::append(KTagPtr tag) {
  mBytes += encodedSize(*tag);
  mSize = static_cast<unsigned short>(mBytes - 2);
  mTags.push_back(std::move(tag));
  mTagCount = static_cast<unsigned short>(mTags.size());
}

int KMsg::addTag(std::unique_ptr<KTag> tag) {
  if (!tag || mBytes - 2 + encodedSize(*tag) > KMSG_MAX_SIZE) return 0;
  append(KTagPtr(tag.release()));
  return 1;
}

int KMsg::addTag(KTag* tag) { return addTag(std::unique_ptr<KTag>(tag)); }

int KMsg::getMsg(void* buffer, unsigned short capacity) const {
  if (buffer == nullptr || mBytes > capacity) return -1;
  auto* out = static_cast<unsigned char*>(buffer);
  out[0] = mId;
  // A message sent whole never has bit 7: the sequence number is 0..127.
  out[1] = mRaw ? mSeq : static_cast<unsigned char>(mSeq & ~KMSG_SEQ_MORE);
  put16(out + 2, mTags.size());
  std::size_t pos = KMSG_HEADER_SIZE;
  for (const auto& tag : mTags) {
    out[pos] = tag->mId;
    out[pos + 1] = tag->type();
    put16(out + pos + 2, tag->getLength());
    tag->putValue(out + pos + KMSG_TAG_HEADER_SIZE);
    pos += encodedSize(*tag);
  }
  return static_cast<int>(pos);
}

int KMsg::segmentMessage(int maxBytes) {
  mSegments.clear();
  mSegmentCursor = 0;
  const std::size_t limit =
      maxBytes < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(maxBytes), 0xFFFF);
  std::vector<std::unique_ptr<KMsg>> segments;
  auto startSegment = [&] {
    const auto seq = static_cast<unsigned char>(mSeq | KMSG_SEQ_MORE);
    segments.push_back(std::unique_ptr<KMsg>(new KMsg(mId, seq, Raw{})));
  };
  if (limit < KMSG_HEADER_SIZE) return 0;
  startSegment();
  for (const auto& tag : mTags) {
    const std::size_t size = encodedSize(*tag);
    if (KMSG_HEADER_SIZE + size > limit) return 0;
    if (segments.back()->mBytes + size > limit) startSegment();
    segments.back()->append(KTagPtr(tag->clone().release()));
  }
  segments.back()->mSeq = static_cast<unsigned char>(mSeq & ~KMSG_SEQ_MORE);
  mSegments = std::move(segments);
  return static_cast<int>(mSegments.size());
}

void KMsg::resetSegment() { mSegmentCursor = 0; }

KMsg* KMsg::getNextSegment() {
  if (mSegmentCursor >= mSegments.size()) return nullptr;
  return mSegments[mSegmentCursor++].get();
}

KMsg* KMsg::parseMsg(const void* data, unsigned short length) {
  if (data == nullptr || length < KMSG_HEADER_SIZE) return nullptr;
  const auto* in = static_cast<const unsigned char*>(data);
  std::unique_ptr<KMsg> msg(new KMsg(in[0], in[1], Raw{}));
  const unsigned count = get16(in + 2);
  // Every tag takes at least its header: a count beyond that is refused
  // below, and reserves no more than the datagram can hold.
  const std::size_t most =
      std::min<std::size_t>(count, (length - KMSG_HEADER_SIZE) / KMSG_TAG_HEADER_SIZE);
  msg->mTags.reserve(most);
  if (most > 0) msg->mBlock.reset(new unsigned char[most * kSlot]);
  std::size_t pos = KMSG_HEADER_SIZE, used = 0;
  for (unsigned i = 0; i < count; ++i) {
    if (length - pos < KMSG_TAG_HEADER_SIZE) return nullptr;
    const unsigned char id = in[pos];
    const unsigned char type = in[pos + 1];
    const std::size_t n = get16(in + pos + 2);
    pos += KMSG_TAG_HEADER_SIZE;
    if (n > length - pos || !typeAllowed(id, type)) return nullptr;
    KTagPtr tag = msg->decodeInBlock(id, type, in + pos, n, used);
    if (!tag) return nullptr;
    msg->append(std::move(tag));
    pos += n;
  }
  if (pos != length) return nullptr;  // trailing bytes
  return msg.release();
}

void KMsg::gotoFirst() { mCursor = 0; }

KTag* KMsg::getTag() {
  if (mCursor >= mTags.size()) return nullptr;
  return mTags[mCursor++].get();
}
