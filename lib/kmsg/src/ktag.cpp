// The tag value classes and the tag factory.
#include <algorithm>
#include <cstring>

#include "kmsg.h"

const char* KTag::typeName() const {
  switch (mType) {
    case KTYPE_STRING: return "str";
    case KTYPE_UINT32: return "u32";
    case KTYPE_UINT16: return "u16";
    case KTYPE_UINT8: return "u8";
    case KTYPE_BYTES: return "bytes";
  }
  return "?";
}

int KTagString::getValue(char* buffer, unsigned short capacity) const {
  if (buffer == nullptr || capacity == 0) return 0;
  const std::size_t n = std::min<std::size_t>(mText.size(), capacity - 1u);
  std::memcpy(buffer, mText.data(), n);
  buffer[n] = '\0';
  return 1;
}

std::unique_ptr<KTag> KTagString::clone() const {
  return std::unique_ptr<KTag>(new KTagString(*this));
}

void KTagString::putValue(unsigned char* out) const {
  std::memcpy(out, mText.data(), mText.size());
}

int KTagBytes::getValue(void* buffer, unsigned short length) const {
  if (buffer == nullptr) return 0;
  const std::size_t n = std::min<std::size_t>(mBytes.size(), length);
  auto* out = static_cast<unsigned char*>(buffer);
  if (n > 0) std::memcpy(out, mBytes.data(), n);
  std::memset(out + n, 0, length - n);
  return static_cast<int>(n);
}

std::unique_ptr<KTag> KTagBytes::clone() const {
  return std::unique_ptr<KTag>(new KTagBytes(*this));
}

void KTagBytes::putValue(unsigned char* out) const {
  if (!mBytes.empty()) std::memcpy(out, mBytes.data(), mBytes.size());
}

KTagUInt8* KTagFactory::createKTag(unsigned char id, unsigned char value) {
  return std::make_unique<KTagUInt8>(id, value).release();
}

KTagUInt16* KTagFactory::createKTag(unsigned char id, unsigned short value) {
  return std::make_unique<KTagUInt16>(id, value).release();
}

KTagUInt32* KTagFactory::createKTag(unsigned char id, unsigned int value) {
  return std::make_unique<KTagUInt32>(id, value).release();
}

KTagBytes* KTagFactory::createKTag(unsigned char id, const void* data, unsigned short length) {
  if (length > KMSG_MAX_VALUE || (data == nullptr && length > 0)) return nullptr;
  std::string bytes;
  if (length > 0) bytes.assign(static_cast<const char*>(data), length);
  return std::unique_ptr<KTagBytes>(new KTagBytes(id, std::move(bytes))).release();
}

KTagBytes* KTagFactory::createKTag(unsigned char id, void* data, unsigned short length) {
  return createKTag(id, static_cast<const void*>(data), length);
}

KTagString* KTagFactory::createKTag(unsigned char id, const std::string& text) {
  if (text.size() > KMSG_MAX_VALUE || text.find('\0') != std::string::npos) return nullptr;
  return std::unique_ptr<KTagString>(new KTagString(id, text)).release();
}

KTagString* KTagFactory::createKTag(unsigned char id, const char* text) {
  if (text == nullptr) return nullptr;
  return createKTag(id, std::string(text));
}
