// Cabinet: reading the cabinet file, the reports it makes and its answers
// to the translator's requests.
#include "cabinet.h"

#include <algorithm>
#include <initializer_list>
#include <stdexcept>
#include <tuple>

#include "kjson.h"

namespace {

// Texts the translator reads whole: it keeps at most 127 bytes of a text,
// and takes a text of one blank for one it did not receive.
constexpr std::size_t kMaxText = 127;

struct BadMember : std::runtime_error {
  using std::runtime_error::runtime_error;
};

json_t* member(json_t* object, const std::string& where, const char* key) {
  json_t* value = json_object_get(object, key);
  if (!value) throw BadMember(where + key + ": missing");
  return value;
}

json_t* objectIn(json_t* value, const std::string& name,
                 std::initializer_list<std::string> members) {
  if (!json_is_object(value)) throw BadMember(name + ": expected an object");
  const char* key;
  json_t* item;
  json_object_foreach(value, key, item) {
    if (std::find(members.begin(), members.end(), key) == members.end())
      throw BadMember((name.empty() ? "" : name + ".") + key + ": unknown member");
  }
  return value;
}

std::uint32_t numberIn(json_t* object, const std::string& where, const char* key, json_int_t min,
                       json_int_t max) {
  json_t* value = member(object, where, key);
  if (!json_is_integer(value) || json_integer_value(value) < min || json_integer_value(value) > max)
    throw BadMember(where + key + ": expected an integer " + std::to_string(min) + ".." +
                    std::to_string(max));
  return static_cast<std::uint32_t>(json_integer_value(value));
}

std::string textIn(json_t* object, const std::string& where, const char* key) {
  json_t* value = member(object, where, key);
  const std::string text = json_is_string(value) ? json_string_value(value) : "";
  if (text.empty() || text.size() != json_string_length(value) || text.size() > kMaxText ||
      text == " ")
    throw BadMember(where + key +
                    ": expected a text of 1..127 bytes without zero bytes, not \" \"");
  return text;
}

std::string tagHex(const std::array<unsigned char, 5>& tag) {
  return toHex(tag.data(), tag.size());
}

KTag* bytesTag(const std::array<unsigned char, 5>& tag) {
  return KTagFactory::createKTag(TAG_LOCK_TAG, static_cast<const void*>(tag.data()), 5);
}

// A tag of the request with this id and class, or null.
template <class T>
const T* find(const KMsg& msg, unsigned char id) {
  for (const auto& tag : msg.tags())
    if (tag->mId == id)
      if (const T* typed = ktag_cast<T>(tag.get())) return typed;
  return nullptr;
}

}  // namespace

std::optional<Cabinet> Cabinet::load(const std::string& path, std::string& error) {
  json_error_t parseError;
  JsonPtr root(json_load_file(path.c_str(), JSON_REJECT_DUPLICATES, &parseError));
  if (!root) {
    error = std::string("not a JSON file: ") + parseError.text;
    return std::nullopt;
  }
  Cabinet c;
  try {
    objectIn(root.get(), "", {"key", "server", "transactions", "locks"});
    json_t* key =
        objectIn(member(root.get(), "", "key"), "key", {"serial", "box", "software", "battery"});
    c.mSerial = numberIn(key, "key.", "serial", 0, 0xFFFFFFFE);  // all ones: no serial
    c.mBox = textIn(key, "key.", "box");
    c.mSoftware = textIn(key, "key.", "software");
    c.mBattery = static_cast<std::uint8_t>(numberIn(key, "key.", "battery", 0, 254));  // 255: none
    json_t* server = objectIn(member(root.get(), "", "server"), "server", {"name", "port"});
    c.mServer = textIn(server, "server.", "name");
    c.mPort = static_cast<std::uint16_t>(numberIn(server, "server.", "port", 1, 65534));
    c.mTransactions = numberIn(root.get(), "", "transactions", 0, 0xFFFFFFFF);
    json_t* locks = member(root.get(), "", "locks");
    if (!json_is_array(locks) || json_array_size(locks) == 0)
      throw BadMember("locks: expected an array of at least one lock");
    size_t i;
    json_t* item;
    json_array_foreach(locks, i, item) {
      const std::string where = "locks[" + std::to_string(i) + "]";
      objectIn(item, where, {"tag", "description", "type", "status"});
      json_t* tag = member(item, where + ".", "tag");
      auto bytes = json_is_string(tag) ? fromHex(json_string_value(tag)) : std::nullopt;
      if (!bytes || bytes->size() != 5) throw BadMember(where + ".tag: expected 10 hex digits");
      Lock lock;
      std::copy(bytes->begin(), bytes->end(), lock.tag.begin());
      for (const Lock& other : c.mLocks)
        if (other.tag == lock.tag) throw BadMember(where + ".tag: " + tagHex(lock.tag) + " twice");
      lock.description = textIn(item, where + ".", "description");
      lock.type = numberIn(item, where + ".", "type", 0, 0xFFFFFFFE);  // all ones: no type
      lock.status = textIn(item, where + ".", "status");
      if (lock.status != "LOCKED" && lock.status != "UNLOCKED")
        throw BadMember(where + ".status: expected \"LOCKED\" or \"UNLOCKED\"");
      c.mLocks.push_back(std::move(lock));
    }
    // The translator takes every datagram by itself: the configuration must
    // not be split.
    const std::size_t size = KMSG_HEADER_SIZE + 6 * KMSG_TAG_HEADER_SIZE + 4 + 2 + 4 +
                             c.mBox.size() + c.mSoftware.size() + c.mServer.size() +
                             c.mLocks.size() * (KMSG_TAG_HEADER_SIZE + 5);
    if (size > KMSG_SEGMENT_SIZE)
      throw BadMember("locks: the configuration report would take " + std::to_string(size) +
                      " bytes, more than one datagram (" + std::to_string(KMSG_SEGMENT_SIZE) + ")");
  } catch (const BadMember& e) {
    error = e.what();
    return std::nullopt;
  }
  return c;
}

std::unique_ptr<KMsg> Cabinet::configuration() const {
  auto msg = std::make_unique<KMsg>(MSG_SET);
  msg->addTag(KTagFactory::createKTag(TAG_KEY_SN, unsigned{mSerial}));
  msg->addTag(KTagFactory::createKTag(TAG_KEY_BOX, mBox));
  msg->addTag(KTagFactory::createKTag(TAG_KEY_SW, mSoftware));
  msg->addTag(KTagFactory::createKTag(TAG_SRV_NAME, mServer));
  msg->addTag(KTagFactory::createKTag(TAG_SRV_PORT, static_cast<unsigned short>(mPort)));
  msg->addTag(KTagFactory::createKTag(TAG_TRANS_CNT, unsigned{mTransactions}));
  for (const Lock& lock : mLocks) msg->addTag(bytesTag(lock.tag));
  return msg;
}

std::unique_ptr<KMsg> Cabinet::lockReply(Lock& lock, const char* status) {
  lock.status = status;
  auto msg = std::make_unique<KMsg>(MSG_SET);
  msg->addTag(bytesTag(lock.tag));
  msg->addTag(KTagFactory::createKTag(TAG_LOCK_STATUS, lock.status));
  msg->addTag(KTagFactory::createKTag(TAG_LOCK_DESC, lock.description));
  msg->addTag(KTagFactory::createKTag(TAG_LOCK_TYPE, unsigned{lock.type}));
  return msg;
}

bool Cabinet::isKeepAlive(const KMsg& msg) {
  if (msg.mId != MSG_REQ || msg.tags().size() != 1) return false;
  const auto* sn = ktag_cast<KTagUInt32>(msg.tags()[0].get());
  return sn && sn->mId == TAG_KEY_SN && sn->getValue() == 0;
}

Cabinet::Answer Cabinet::answer(const KMsg& request) {
  if (request.mId != MSG_REQ || isKeepAlive(request)) return {};
  for (const auto& [id, name, status] : {std::make_tuple(TAG_UNLOCK_REQ, "UNLOCK", "UNLOCKED"),
                                         std::make_tuple(TAG_LOCK_REQ, "LOCK", "LOCKED")}) {
    if (!find<KTagUInt8>(request, id)) continue;
    const auto* tag = find<KTagBytes>(request, TAG_LOCK_TAG);
    if (!tag || tag->getLength() != 5)
      return {nullptr, std::string(name) + " without a lock tag: not answered"};
    for (Lock& lock : mLocks)
      if (std::equal(lock.tag.begin(), lock.tag.end(), tag->data()))
        return {lockReply(lock, status), ""};
    return {nullptr, "no lock " + toHex(tag->data(), 5) + ": " + name + " not answered"};
  }
  const bool battery = find<KTagUInt8>(request, TAG_KEY_BATTERY) != nullptr;
  if (!battery && !find<KTagUInt8>(request, TAG_TRANS_REQ) &&
      !find<KTagUInt32>(request, TAG_TRANS_REQ))
    return {nullptr, "request not understood: not answered"};
  auto msg = std::make_unique<KMsg>(MSG_SET);
  if (battery) {
    msg->addTag(KTagFactory::createKTag(TAG_KEY_SN, unsigned{mSerial}));
    msg->addTag(KTagFactory::createKTag(TAG_KEY_BOX, mBox));
    msg->addTag(KTagFactory::createKTag(TAG_KEY_BATTERY, static_cast<unsigned char>(mBattery)));
  } else {
    msg->addTag(KTagFactory::createKTag(TAG_LOCK_STATUS, "TRANSFERRED"));
    msg->addTag(
        KTagFactory::createKTag(TAG_LOCK_DESC, std::to_string(mTransactions) + " transactions"));
    msg->addTag(KTagFactory::createKTag(TAG_LOCK_TYPE, 0u));
    msg->addTag(KTagFactory::createKTag(TAG_TRANS_CNT, unsigned{mTransactions}));
  }
  return {std::move(msg), ""};
}
