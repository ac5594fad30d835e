// Key messages to and from their one-line JSON form.
#include "kmsg_json.h"

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <stdexcept>

#include "kjson.h"

namespace kmsgjson {

namespace {

// Largest UDP payload over IPv4: the most a raw line may ask for.
constexpr size_t kMaxRaw = 65507;

// Why a line is refused; caught in fromJson.
struct BadLine : std::runtime_error {
  using std::runtime_error::runtime_error;
};
[[noreturn]] void bad(const std::string& why) { throw BadLine(why); }

std::string dump(const JsonPtr& value) {
  return value ? jsonDump(value.get(), JSON_COMPACT).value_or("") : "";
}

json_t* member(json_t* object, const char* key, const std::string& where) {
  json_t* value = json_object_get(object, key);
  if (!value) bad(where + "missing member \"" + key + "\"");
  return value;
}

void onlyMembers(json_t* object, std::initializer_list<std::string> allowed,
                 const std::string& where) {
  const char* key;
  json_t* value;
  json_object_foreach(object, key, value) {
    if (std::find(allowed.begin(), allowed.end(), key) == allowed.end())
      bad(where + "unknown member \"" + key + "\"");
  }
}

json_int_t integerIn(json_t* value, const std::string& name, json_int_t max) {
  if (!json_is_integer(value)) bad(name + ": expected an integer");
  const json_int_t n = json_integer_value(value);
  if (n < 0 || n > max)
    bad(name + ": " + std::to_string(n) + " is out of range 0.." + std::to_string(max));
  return n;
}

Bytes hexIn(json_t* value, const std::string& name) {
  if (!json_is_string(value)) bad(name + ": expected a hex string");
  const std::string_view text(json_string_value(value), json_string_length(value));
  size_t at = 0;
  auto bytes = fromHex(text, &at);
  if (!bytes) {
    if (at == text.size()) bad(name + ": odd number of hex digits");
    bad(name + ": not a hex digit at offset " + std::to_string(at));
  }
  return std::move(*bytes);
}

std::unique_ptr<KTag> tagIn(json_t* object, size_t index) {
  const std::string where = "tags[" + std::to_string(index) + "]";
  if (!json_is_object(object)) bad(where + ": expected an object");
  onlyMembers(object, {"id", "type", "value"}, where + ": ");
  const auto id =
      static_cast<unsigned char>(integerIn(member(object, "id", where + ": "), where + ".id", 0xFF));
  json_t* type = member(object, "type", where + ": ");
  if (!json_is_string(type)) bad(where + ".type: expected a string");
  const std::string typeName = json_string_value(type);
  json_t* value = member(object, "value", where + ": ");
  const std::string name = where + ".value";
  const std::string tooLong = name + ": longer than " + std::to_string(KMSG_MAX_VALUE) + " bytes";
  KTag* tag = nullptr;
  if (typeName == "u8") {
    tag = KTagFactory::createKTag(id, static_cast<unsigned char>(integerIn(value, name, 0xFF)));
  } else if (typeName == "u16") {
    tag = KTagFactory::createKTag(id, static_cast<unsigned short>(integerIn(value, name, 0xFFFF)));
  } else if (typeName == "u32") {
    tag = KTagFactory::createKTag(id, static_cast<unsigned int>(integerIn(value, name, 0xFFFFFFFF)));
  } else if (typeName == "str") {
    if (!json_is_string(value)) bad(name + ": expected a string");
    const std::string text(json_string_value(value), json_string_length(value));
    if (text.size() > KMSG_MAX_VALUE) bad(tooLong);
    if (text.find('\0') != std::string::npos) bad(name + ": a string holds no zero byte");
    tag = KTagFactory::createKTag(id, text);
  } else if (typeName == "bytes") {
    const Bytes bytes = hexIn(value, name);
    if (bytes.size() > KMSG_MAX_VALUE) bad(tooLong);
    tag = KTagFactory::createKTag(id, static_cast<const void*>(bytes.data()),
                                  static_cast<unsigned short>(bytes.size()));
  } else {
    bad(where + ".type: unknown type \"" + typeName + "\"");
  }
  if (!tag) bad(name + ": refused by the message codec");
  return std::unique_ptr<KTag>(tag);
}

std::vector<Bytes> datagramsFor(std::string_view line) {
  json_error_t error;
  JsonPtr root(json_loadb(line.data(), line.size(), JSON_REJECT_DUPLICATES | JSON_ALLOW_NUL, &error));
  if (!root) bad(std::string("not JSON: ") + error.text);
  if (!json_is_object(root.get())) bad("expected a JSON object");
  if (json_t* raw = json_object_get(root.get(), "raw")) {
    onlyMembers(root.get(), {"raw"}, "");
    Bytes bytes = hexIn(raw, "raw");
    if (bytes.size() > kMaxRaw) bad("raw: longer than " + std::to_string(kMaxRaw) + " bytes");
    return {std::move(bytes)};
  }
  onlyMembers(root.get(), {"id", "seq", "tags"}, "");
  const auto id = static_cast<unsigned char>(integerIn(member(root.get(), "id", ""), "id", 0xFF));
  json_t* seq = json_object_get(root.get(), "seq");
  const json_int_t number = seq ? integerIn(seq, "seq", 0xFF) : 0;
  if (number > 0x7F)
    bad("seq: " + std::to_string(number) +
        " is out of range 0..127 (bit 7 comes only from segmentation; "
        "{\"raw\":HEX} sends any bytes)");
  KMsg msg(id, static_cast<unsigned char>(number));
  json_t* tags = member(root.get(), "tags", "");
  if (!json_is_array(tags)) bad("tags: expected an array");
  size_t index;
  json_t* tag;
  json_array_foreach(tags, index, tag) {
    if (!msg.addTag(tagIn(tag, index)))
      bad("tags[" + std::to_string(index) + "]: message longer than " +
          std::to_string(KMSG_MAX_SIZE + 2) + " bytes");
  }
  // Only a line that is sent, and has no "seq" of its own, takes a number.
  if (!seq) msg.mSeq = KMsg::nextSequence();
  std::vector<Bytes> out = datagramsOf(msg);
  if (out.empty()) bad("the message codec cannot segment it");
  return out;
}

}  // namespace

std::vector<Bytes> datagramsOf(KMsg& msg) {
  std::vector<const KMsg*> parts{&msg};
  if (size_t{msg.mSize} + 2 > KMSG_SEGMENT_SIZE) {
    if (msg.segmentMessage(KMSG_SEGMENT_SIZE) <= 0) return {};
    parts.clear();
    while (const KMsg* segment = msg.getNextSegment()) parts.push_back(segment);
  }
  std::vector<Bytes> out;
  for (const KMsg* part : parts) {
    Bytes bytes(KMSG_SEGMENT_SIZE);
    const int n = part->getMsg(bytes.data(), static_cast<unsigned short>(bytes.size()));
    if (n < 0) return {};
    bytes.resize(static_cast<size_t>(n));
    out.push_back(std::move(bytes));
  }
  return out;
}

std::string toJson(const KMsg& msg) {
  JsonPtr tags(json_array());
  for (const auto& tag : msg.tags()) {
    json_t* value = nullptr;
    if (const auto* u8 = ktag_cast<KTagUInt8>(tag.get())) {
      value = json_integer(u8->getValue());
    } else if (const auto* u16 = ktag_cast<KTagUInt16>(tag.get())) {
      value = json_integer(u16->getValue());
    } else if (const auto* u32 = ktag_cast<KTagUInt32>(tag.get())) {
      value = json_integer(u32->getValue());
    } else if (const auto* str = ktag_cast<KTagString>(tag.get())) {
      value = jsonString(std::string_view(str->text()));
    } else if (const auto* bytes = ktag_cast<KTagBytes>(tag.get())) {
      value = json_string(toHex(bytes->data(), bytes->getLength()).c_str());
    }
    json_array_append_new(tags.get(), json_pack("{s:i,s:s,s:o}", "id", int{tag->mId}, "type",
                                                tag->typeName(), "value", value));
  }
  return dump(JsonPtr(json_pack("{s:i,s:i,s:o}", "id", int{msg.mId}, "seq", int{msg.mSeq}, "tags",
                                tags.release())));
}

std::string datagramToJson(const unsigned char* data, size_t size) {
  std::unique_ptr<KMsg> msg;
  if (size <= 0xFFFF) msg.reset(KMsg::parseMsg(data, static_cast<unsigned short>(size)));
  if (msg) return toJson(*msg);
  return dump(JsonPtr(json_pack("{s:s,s:s}", "error", "invalid key message", "hex",
                                toHex(data, size).c_str())));
}

Datagrams fromJson(std::string_view line) {
  Datagrams result;
  try {
    result.datagrams = datagramsFor(line);
  } catch (const BadLine& e) {
    result.error = e.what();
  }
  return result;
}

Bytes datagramOf(std::string_view line) {
  Datagrams made = fromJson(line);
  return made.datagrams.size() == 1 ? std::move(made.datagrams[0]) : Bytes{};
}

}  // namespace kmsgjson
