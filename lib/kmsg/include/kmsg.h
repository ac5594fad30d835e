// libkmsg: key messages exchanged with the key daemon as UDP datagrams.
//
// A message (KMsg) has a one-byte message id, a sequence byte and an ordered
// list of tags; each tag (KTag) has a one-byte tag id and a typed value held
// by one of the five value classes. The byte layout on the wire, the
// segmentation rules and the list of invalid datagrams are documented in
// docs/protocol.md; the codec tests check that page byte for byte.
#ifndef KMSG_KMSG_H
#define KMSG_KMSG_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

// Message ids.
constexpr unsigned char MSG_SET = 0;
constexpr unsigned char MSG_REQ = 1;
constexpr unsigned char MSG_EVT = 3;

// Tag ids the translator reads or sends (all 46 ids 0..45 are in the
// dictionary below; ids without a name are not used).
constexpr unsigned char TAG_KEY_SN = 0;
constexpr unsigned char TAG_KEY_BOX = 1;
constexpr unsigned char TAG_KEY_SW = 8;
constexpr unsigned char TAG_KEY_BAR = 11;
constexpr unsigned char TAG_KEY_BATTERY = 12;
constexpr unsigned char TAG_LOCK_TAG = 19;
constexpr unsigned char TAG_LOCK_STATUS = 20;
constexpr unsigned char TAG_UNLOCK_REQ = 21;
constexpr unsigned char TAG_LOCK_REQ = 22;
constexpr unsigned char TAG_LOCK_DESC = 23;
constexpr unsigned char TAG_LOCK_TYPE = 24;
constexpr unsigned char TAG_TRANS_REQ = 26;
constexpr unsigned char TAG_TRANS_CNT = 32;
constexpr unsigned char TAG_SRV_NAME = 35;
constexpr unsigned char TAG_SRV_PORT = 36;

// Value type codes: they name the value class and travel with every tag.
constexpr unsigned char KTYPE_STRING = 1;  // KTagString
constexpr unsigned char KTYPE_UINT32 = 2;  // KTagUInt32
constexpr unsigned char KTYPE_UINT16 = 3;  // KTagUInt16
constexpr unsigned char KTYPE_UINT8 = 4;   // KTagUInt8
constexpr unsigned char KTYPE_BYTES = 5;   // KTagBytes

// Wire limits (docs/protocol.md, "Limits").
constexpr std::size_t KMSG_HEADER_SIZE = 4;      // id, seq, tag count (16 bit)
constexpr std::size_t KMSG_TAG_HEADER_SIZE = 4;  // id, type, value length (16 bit)
constexpr std::size_t KMSG_SEGMENT_SIZE = 1024;  // largest datagram the translator sends
// Largest string or byte value: one tag always fits into one segment.
constexpr std::size_t KMSG_MAX_VALUE = KMSG_SEGMENT_SIZE - KMSG_HEADER_SIZE - KMSG_TAG_HEADER_SIZE;
// Largest mSize: every byte after the id and sequence bytes.
constexpr std::size_t KMSG_MAX_SIZE = 0xFFFF;
// Top bit of the sequence byte: set on every segment but the last.
constexpr unsigned char KMSG_SEQ_MORE = 0x80;
// The key daemon's fixed UDP port on the box (127.0.0.1).
constexpr int KMSG_DAEMON_PORT = 5555;

// KTag: one tag of a message, base of the five value classes.
// A tag belongs to the message it was added to (or parsed into); callers
// get borrowed pointers. Used by one thread at a time, like its message.
class KTag {
 public:
  virtual ~KTag() = default;
  KTag& operator=(const KTag&) = delete;

  // The value type code (KTYPE_*) of this tag's class.
  unsigned char type() const { return mType; }
  // "u8", "u16", "u32", "str" or "bytes".
  const char* typeName() const;
  // Number of value bytes on the wire.
  virtual unsigned short getLength() const = 0;
  // A copy of this tag, owned by the caller.
  virtual std::unique_ptr<KTag> clone() const = 0;

  unsigned char mId;

 protected:
  KTag(unsigned char id, unsigned char type) : mId(id), mType(type) {}
  KTag(const KTag&) = default;

 private:
  friend class KMsg;
  // Writes exactly getLength() bytes.
  virtual void putValue(unsigned char* out) const = 0;

  const unsigned char mType;
};

// Checked downcast: the tag as class T (one of the five final value classes
// below), or null when it is not a T. The type code tells: each code is
// made by exactly one class (KTag's constructor is for them alone).
template <class T>
T* ktag_cast(KTag* tag) {
  static_assert(std::is_final_v<T>, "a value class");
  return tag && tag->type() == T::kType ? static_cast<T*>(tag) : nullptr;
}
template <class T>
const T* ktag_cast(const KTag* tag) {
  static_assert(std::is_final_v<T>, "a value class");
  return tag && tag->type() == T::kType ? static_cast<const T*>(tag) : nullptr;
}

// KTagUInt: the three unsigned integer value classes, sent big-endian.
// Ownership and threads as for KTag.
template <class Self, class V, unsigned char Code>
class KTagUInt : public KTag {
 public:
  static constexpr unsigned char kType = Code;
  KTagUInt(unsigned char id, V value) : KTag(id, Code), mValue(value) {}
  V getValue() const { return mValue; }
  unsigned short getLength() const override { return sizeof(V); }
  std::unique_ptr<KTag> clone() const override {
    return std::make_unique<Self>(static_cast<const Self&>(*this));
  }

 private:
  void putValue(unsigned char* out) const override {
    for (std::size_t i = 0; i < sizeof(V); ++i) {
      out[i] = static_cast<unsigned char>(mValue >> (8 * (sizeof(V) - 1 - i)));
    }
  }
  V mValue;
};

class KTagUInt8 final : public KTagUInt<KTagUInt8, std::uint8_t, KTYPE_UINT8> {
 public:
  using KTagUInt::KTagUInt;
};
class KTagUInt16 final : public KTagUInt<KTagUInt16, std::uint16_t, KTYPE_UINT16> {
 public:
  using KTagUInt::KTagUInt;
};
class KTagUInt32 final : public KTagUInt<KTagUInt32, std::uint32_t, KTYPE_UINT32> {
 public:
  using KTagUInt::KTagUInt;
};

// KTagString: a text of at most KMSG_MAX_VALUE bytes without zero bytes.
// Made by KTagFactory or parseMsg, which check those limits; ownership and
// threads as for KTag.
class KTagString final : public KTag {
 public:
  static constexpr unsigned char kType = KTYPE_STRING;
  // Copies the text into buffer, cut to capacity - 1 bytes and
  // NUL-terminated. Returns 1 when a text was delivered, 0 when buffer is
  // null or capacity is 0.
  int getValue(char* buffer, unsigned short capacity) const;
  const std::string& text() const { return mText; }
  unsigned short getLength() const override { return static_cast<unsigned short>(mText.size()); }
  std::unique_ptr<KTag> clone() const override;

 private:
  friend class KTagFactory;
  friend class KMsg;  // parseMsg builds tags in the message's own block
  KTagString(unsigned char id, std::string text) : KTag(id, kType), mText(std::move(text)) {}
  void putValue(unsigned char* out) const override;
  std::string mText;
};

// KTagBytes: a byte string of at most KMSG_MAX_VALUE bytes.
// Made by KTagFactory or parseMsg; ownership and threads as for KTag.
class KTagBytes final : public KTag {
 public:
  static constexpr unsigned char kType = KTYPE_BYTES;
  // Copies min(length, getLength()) bytes into buffer and zero-fills the
  // rest of the length bytes. Returns the number of value bytes copied.
  int getValue(void* buffer, unsigned short length) const;
  // The getLength() value bytes, lent.
  const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(mBytes.data()); }
  unsigned short getLength() const override { return static_cast<unsigned short>(mBytes.size()); }
  std::unique_ptr<KTag> clone() const override;

 private:
  friend class KTagFactory;
  friend class KMsg;  // parseMsg builds tags in the message's own block
  KTagBytes(unsigned char id, std::string bytes) : KTag(id, kType), mBytes(std::move(bytes)) {}
  void putValue(unsigned char* out) const override;
  // Any byte values; a string keeps a short value (a lock's five bytes)
  // inside the tag, without an allocation of its own.
  std::string mBytes;
};

// KTagFactory: makes tags. Every tag returned is new and owned by the
// caller until passed to KMsg::addTag. Null when a string or byte value is
// longer than KMSG_MAX_VALUE, a string holds a zero byte, or a pointer is
// null with a nonzero length. Safe on any thread.
class KTagFactory {
 public:
  static KTagUInt8* createKTag(unsigned char id, unsigned char value);
  static KTagUInt16* createKTag(unsigned char id, unsigned short value);
  static KTagUInt32* createKTag(unsigned char id, unsigned int value);
  static KTagBytes* createKTag(unsigned char id, void* data, unsigned short length);
  static KTagBytes* createKTag(unsigned char id, const void* data, unsigned short length);
  static KTagString* createKTag(unsigned char id, const char* text);
  static KTagString* createKTag(unsigned char id, const std::string& text);
};

// Releases a tag of a message: deletes a tag made on its own (by the
// factory, a clone), and only destroys one that a parsed message built in
// its block of tags (the block goes with the message).
struct KTagDeleter {
  bool inBlock = false;
  void operator()(KTag* tag) const {
    if (inBlock)
      tag->~KTag();
    else
      delete tag;
  }
};
using KTagPtr = std::unique_ptr<KTag, KTagDeleter>;

// KMsg: a key message, or one segment of one.
// The caller owns a message made with new or returned by parseMsg (release
// with delete); the message owns its tags and its segments, and the
// pointers getTag and getNextSegment return stay valid until the message is
// destroyed or segmented again. One thread uses a message at a time;
// constructing messages is safe on any thread.
class KMsg {
 public:
  // An empty message; mSeq takes the next value (0..127) of the
  // process-wide sequence counter.
  explicit KMsg(unsigned char id);
  // An empty message with this sequence number; takes no counter value.
  KMsg(unsigned char id, unsigned char seq);
  // Takes the next value (0..127) of the process-wide sequence counter.
  static unsigned char nextSequence();
  virtual ~KMsg();
  KMsg(const KMsg&) = delete;
  KMsg& operator=(const KMsg&) = delete;

  // Appends the tag and takes ownership of it. Returns 1, or 0 when tag is
  // null or mSize would pass KMSG_MAX_SIZE (the tag is then deleted).
  int addTag(KTag* tag);
  int addTag(std::unique_ptr<KTag> tag);

  // Serialises the message (mSize + 2 bytes) into buffer. Returns the
  // number of bytes written, or -1 when buffer is null or capacity is
  // smaller than mSize + 2; nothing is then written. A message with mSize
  // 65534 or 65535 never fits (unsigned short capacity): send it segmented.
  // The sequence byte written is mSeq without bit 7 for a message built
  // with a constructor, and mSeq as it is for a segment or a parsed message.
  int getMsg(void* buffer, unsigned short capacity) const;

  // Splits the tags, in order, into segments that each serialise into at
  // most maxBytes bytes (at most 65535). Replaces earlier segments and
  // rewinds the segment cursor. Returns the number of segments, or 0 (and
  // no segments) when one tag alone does not fit into maxBytes.
  int segmentMessage(int maxBytes);
  void resetSegment();
  // The next segment, owned by this message; null after the last.
  KMsg* getNextSegment();

  // Decodes one datagram. Returns a new message owned by the caller, or
  // null when the bytes are not a valid message (docs/protocol.md,
  // "Invalid datagrams"). Reads only data[0..length). Safe on any thread.
  static KMsg* parseMsg(const void* data, unsigned short length);

  // Tag cursor: gotoFirst rewinds; getTag returns the tag at the cursor
  // (owned by the message) and advances; null after the last.
  void gotoFirst();
  KTag* getTag();
  // All tags in order, for code that prefers iteration to the cursor.
  const std::vector<KTagPtr>& tags() const { return mTags; }

  unsigned char mId;
  // Low 7 bits: sequence number; top bit: more segments follow. May be
  // set by the caller before serialising; bit 7 comes only from
  // segmentMessage (getMsg leaves out a bit 7 set here on a built message).
  unsigned char mSeq;
  // Bytes after the id and sequence bytes: serialised length - 2.
  // mSize and mTagCount are reports; the codec does not read them back.
  unsigned short mSize;
  unsigned short mTagCount;

 private:
  struct Raw {};  // a segment or parsed message: its sequence byte is sent as it is
  KMsg(unsigned char id, unsigned char seq, Raw);
  void append(KTagPtr tag);
  // Builds a parsed tag in the next free slot of mBlock; null when the
  // value does not fit its type.
  KTagPtr decodeInBlock(unsigned char id, unsigned char type, const unsigned char* value,
                        std::size_t n, std::size_t& used);

  bool mRaw = false;                      // made with Raw
  std::size_t mBytes = KMSG_HEADER_SIZE;  // serialised length; mSize is mBytes - 2
  // A parsed message's tags, built in one allocation rather than one each
  // (a report of ten locks has seventeen tags). Declared before mTags: the
  // tags are destroyed before their block.
  std::unique_ptr<unsigned char[]> mBlock;
  std::vector<KTagPtr> mTags;
  std::size_t mCursor = 0;
  std::vector<std::unique_ptr<KMsg>> mSegments;
  std::size_t mSegmentCursor = 0;
};

// The protocol dictionary: message ids with their tag lists, every tag id
// with its value type, and one auxiliary entry. Constant data.
struct KMsgDictMessage {
  std::uint8_t mId;
  std::uint8_t mTagListLength;
  const std::uint32_t* mTagList;  // null when mTagListLength is 0
};
struct KMsgDictTag {
  std::uint32_t mId;
  std::uint32_t mType;  // KTYPE_*
};
struct KMsgDictAux {
  std::uint32_t mFirst;
  std::uint32_t mSecond;
};
struct KMsgDictionary {
  std::uint8_t mFirst;          // 1
  std::uint8_t mSecond;         // 1
  std::uint8_t mMessageCount;   // 7
  std::uint8_t mTagCount;       // 46
  std::uint32_t mAuxCount;      // 1
  const KMsgDictMessage* mMessages;
  const KMsgDictTag* mTags;     // in id order: mTags[i].mId == i
  const KMsgDictAux* mAux;
};
extern const KMsgDictionary* const kmsgDictionary;

#endif  // KMSG_KMSG_H
