// What the key daemon sends, turned into bus publications: the broker's
// listener operation and its SET handling, and the audit line of each lock
// reply. Everything here runs on the event pump thread, one message at a time.
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cKey.h"
#include "cLock.h"
#include "kmsg.h"
#include "kmsgBroker.h"
#include "outGoingreply.h"
#include "siteSum.h"

namespace {

// A text field of a SET message that was not received.
constexpr const char* kAbsent = " ";

// A value jansson made, or the end of the process: jansson returns null
// only when it is out of memory.
json_t* made(json_t* value) {
  if (!value) std::abort();
  return value;
}

// A text field as an audit value: "-" when it was not received.
std::string auditField(const std::string& field) {
  return auditValue(field == kAbsent ? std::nullopt : std::optional<std::string_view>(field));
}

// True when comparing two summaries writes lines: their comparison logs
// in these three categories, at debug level only.
bool comparisonLogged() {
  static const cKlog sum("siteSum"), key("cKey"), lock("cLock");
  return sum.debugEnabled() || key.debugEnabled() || lock.debugEnabled();
}

}  // namespace

// What one SET message carried; lives for the handling of that message.
struct kmsgBroker::SetValues {
  int32_t keySN = -1;
  std::string keyBoxN = kAbsent;
  std::string keySW = kAbsent;
  int keyBar = 255;
  int keyBattery = 255;
  std::unique_ptr<LockList> lockList = std::make_unique<LockList>();
  std::string lockStatus = kAbsent;
  std::string lockDesc = kAbsent;
  int32_t lockType = -1;
  int32_t transactionCnt = 0;
  std::string servName = kAbsent;
  int servPort = 0xFFFF;
};

void kmsgBroker::onMessage(KMsg* msg) {
  debug("Received Message from key deamon");
  switch (msg->mId) {
    case MSG_SET:
      debug("Got MSG_SET");
      handleSetMsg(msg);
      break;
    case MSG_REQ:
      debug("Got MSG_REQ");
      handleReqMsg(msg);
      break;
    case MSG_EVT:
      debug("Got MSG_EVT");
      handleEvtMsg(msg);
      break;
    default:
      debug("Unknown Message ID %d", msg->mId);
      break;
  }
}

void kmsgBroker::logLockList(bool haveLocks) const {
  if (haveLocks)
    debug("lock list is  NOT EMPTY");
  else
    debug("lock list is EMPTY");
}

void kmsgBroker::handleReqMsg(KMsg*) { debug("Request received. Doing Nothing"); }

void kmsgBroker::handleEvtMsg(KMsg*) { debug("In handle EVT"); }

// A report's road: its tags are read, the report is classified, a
// configuration goes to the comparison, and a reply or a battery level is
// published.
void kmsgBroker::handleSetMsg(KMsg* msg) {
  debug("Set received. Handling it!");
  // Most lines below are debug lines: whether they are written is asked
  // once per report, not once per line.
  const bool detail = debugEnabled();
  SetValues v;
  readSetTags(msg, v, detail);
  const bool isCfg = isSiteConfiguration(v, detail);
  const SetReply reply = whichReply(v);

  // The candidate's key takes over the lock list; a lock reply then takes
  // its lock from that same list.
  std::unique_ptr<siteSum> candidate;
  cKey* listOwner = nullptr;
  if (isCfg) {
    debug("Handling CFG change");
    candidate = buildCandidate(v, listOwner);
    handleCfg(candidate);  // may adopt it (then candidate is empty)
  }
  switch (reply) {
    case SetReply::lock:
      sendLockReply(v, listOwner);
      break;
    case SetReply::transfer:
      sendTransferReply(v);
      break;
    case SetReply::battery:
      sendBatteryReply(v);
      break;
    case SetReply::none:
      break;
  }

  // What the handling still owns goes before it is told handled: a
  // candidate that was not adopted, with its key and locks, or else the lock
  // list that no configuration took over.
  candidate.reset();
  v.lockList.reset();
  debug("Set Msg Handled!");
}

void kmsgBroker::readSetTags(KMsg* msg, SetValues& v, bool detail) {
  if (detail) {
    debug("Tag count: %d", msg->mTagCount);
    debug("MSG ID: %d", msg->mId);
  }
  // The lock list is made once at its size: it becomes the key's.
  size_t lockTags = 0;
  for (const auto& tag : msg->tags()) lockTags += tag->mId == TAG_LOCK_TAG;
  v.lockList->reserve(lockTags);

  char scratch[kTextLimit] = "";
  msg->gotoFirst();
  while (KTag* tag = msg->getTag()) {
    if (detail) debug("TAG ID: %d", tag->mId);
    if (!readSetTag(tag, v, scratch, detail))
      warn("Tag %d of type %s ignored: not its value type", tag->mId, tag->typeName());
  }
}

// Reads a text tag into scratch and stores it in field when the read
// worked; with a line format, logs the scratch text (whatever the read
// left there) or, with `scratchShown` false, the field.
bool kmsgBroker::readText(const KTag* tag, char (&scratch)[kTextLimit], std::string& field,
                          const char* line, bool scratchShown) {
  auto* text = ktag_cast<KTagString>(tag);
  if (!text) return false;
  if (text->getValue(scratch, kTextLimit)) field = scratch;
  if (line) debug(line, scratchShown ? scratch : field.c_str());
  return true;
}

// Reads a number tag of class T into field; with a line format, logs the
// value (the format's one conversion).
template <class T, class Field>
bool kmsgBroker::readNumber(const KTag* tag, Field& field, const char* line) {
  auto* t = ktag_cast<T>(tag);
  if (!t) return false;
  field = static_cast<Field>(t->getValue());
  if (line) debug(line, t->getValue());
  return true;
}

// The codec guarantees that a known tag id carries the value class of its
// type; the checked casts below only make that visible. False when the tag
// is not of its id's value class.
bool kmsgBroker::readSetTag(const KTag* tag, SetValues& v, char (&scratch)[kTextLimit],
                            bool detail) {
  switch (tag->mId) {
    case TAG_KEY_SN:
      return readNumber<KTagUInt32>(tag, v.keySN, detail ? "TAG_KEY_SN: %08X" : nullptr);
    case TAG_KEY_BOX:
      return readText(tag, scratch, v.keyBoxN, detail ? "TAG_KEY_BOX: %s" : nullptr, true);
    case TAG_KEY_SW:
      return readText(tag, scratch, v.keySW, detail ? "TAG_KEY_SW: %s" : nullptr, true);
    case TAG_KEY_BAR:
      return readNumber<KTagUInt8>(tag, v.keyBar, detail ? "keyBar: |%d|" : nullptr);
    case TAG_KEY_BATTERY:
      return readNumber<KTagUInt8>(tag, v.keyBattery, detail ? "keyBattery: |%d|" : nullptr);
    case TAG_LOCK_TAG:
      if (auto* t = ktag_cast<KTagBytes>(tag)) {
        readLockTag(*t, v, detail);
        return true;
      }
      return false;
    case TAG_LOCK_STATUS:
      return readText(tag, scratch, v.lockStatus, detail ? "lockStatus: %s" : nullptr, false);
    case TAG_LOCK_DESC:
      return readText(tag, scratch, v.lockDesc, detail ? "lockDesc: %s" : nullptr, false);
    case TAG_LOCK_TYPE:
      return readNumber<KTagUInt32>(tag, v.lockType, detail ? "TAG_LOCK_TYPE: %08X" : nullptr);
    case TAG_TRANS_CNT:
      return readNumber<KTagUInt32>(tag, v.transactionCnt, detail ? "TAG_TRANS_CNT: %08X" : nullptr);
    case TAG_SRV_NAME:
      return readText(tag, scratch, v.servName, detail ? "TAG_SRV_NAME: %s" : nullptr, true);
    case TAG_SRV_PORT:
      return readNumber<KTagUInt16>(tag, v.servPort, detail ? "TAG_SRV_PORT: %04X" : nullptr);
    default:
      debug("UNknown tag ID : %d", tag->mId);
      return true;
  }
}

// A lock is named by exactly five bytes; its name on the bus is the
// decimal text of their 40 bits, first byte most significant.
void kmsgBroker::readLockTag(const KTagBytes& tag, SetValues& v, bool detail) {
  if (tag.getLength() != 5) {
    // Anything else would name a lock that does not exist.
    warn("TAG_LOCK_TAG of %d bytes ignored: a lock tag has 5", tag.getLength());
    return;
  }
  unsigned char rf[6];
  tag.getValue(rf, 5);
  rf[5] = 0;
  // Made without printf: this runs for every lock of every report, and the
  // hex text is only needed for the log.
  unsigned long long value = 0;
  for (int i = 0; i < 5; ++i) value = (value << 8) | rf[i];
  char decimal[24];
  const char* end = std::to_chars(decimal, decimal + sizeof decimal - 1, value).ptr;
  decimal[end - decimal] = '\0';
  if (detail) {
    debug("HEX string: |%s|", toHex(rf, 5, true).c_str());
    debug("Int VAL: |%llu|", value);
    debug("THE return from sprintf %d", static_cast<int>(end - decimal));
    debug("THE FINAL STRING %s", decimal);
  }
  auto lock = std::make_unique<cLock>();
  lock->setRFtag(rf);
  lock->setIntValStr(decimal);
  v.lockList->push_back(std::move(lock));
  if (detail)
    for (int i = 0; i < 5; ++i) debug("TAG_LOCK_TAG %d : %02X", i + 1, rf[i]);
}

// A complete configuration: the key's serial, box, software, server name
// and port, and at least one lock. Logs what was read.
bool kmsgBroker::isSiteConfiguration(const SetValues& v, bool detail) {
  const bool haveLocks = !v.lockList->empty();
  const bool isCfg = v.keySN != -1 && v.keyBoxN != kAbsent && v.keySW != kAbsent &&
                     v.servName != kAbsent && v.servPort != 0xFFFF && haveLocks;
  if (!detail) return isCfg;
  debug("keySN= |%i|", v.keySN);
  debug(v.keyBoxN != kAbsent ? "keyBoxN= |%s| TRUE" : "keyBoxN= |%s| FALSE", v.keyBoxN.c_str());
  debug("keySW= |%s|", v.keySW.c_str());
  debug("servName= |%s|", v.servName.c_str());
  debug("servPort= |%i|", v.servPort);
  debug("transactionCnt= |%i|", v.transactionCnt);
  logLockList(haveLocks);
  debug("Checking if CFG message");
  if (isCfg) debug("We have a CFG Message!");
  debug("keyBar= |%i|", v.keyBar);
  debug("lockStatus= |%s|", v.lockStatus.c_str());
  debug("lockDesc= |%s|", v.lockDesc.c_str());
  debug("lockType= |%i|", v.lockType);
  logLockList(haveLocks);
  debug("Checking if we have a reply Reply ");
  return isCfg;
}

// A status with a description is a lock reply (with a lock) or a transfer
// reply (without one), when it has a lock type; otherwise a battery level
// is a battery report.
kmsgBroker::SetReply kmsgBroker::whichReply(const SetValues& v) {
  if (v.lockStatus != kAbsent && v.lockDesc != kAbsent) {
    if (v.lockType == -1) {
      debug("WE HAVE A REPLY That is neither ");
    } else if (v.lockList->empty()) {
      debug("WE HAVE A TRANSFER REPLY");
      return SetReply::transfer;
    } else {
      debug("WE HAVE A NONONONONON TRANSFER REPLY");
      return SetReply::lock;
    }
  }
  return v.keyBattery != 255 ? SetReply::battery : SetReply::none;
}

// The candidate summary of a configuration report; its key takes over the
// report's lock list (listOwner: that key, lent).
std::unique_ptr<siteSum> kmsgBroker::buildCandidate(SetValues& v, cKey*& listOwner) {
  auto candidate = std::make_unique<siteSum>();
  auto key = std::make_unique<cKey>();
  key->setKeySN(v.keySN);
  key->setKeyBoxN(v.keyBoxN.c_str());
  key->setKeySW(v.keySW.c_str());
  key->setServName(v.servName.c_str());
  key->setServPort(static_cast<uint16_t>(v.servPort));
  key->setTransactionCnt(v.transactionCnt);
  key->setLockList(std::move(v.lockList));  // v.lockList is null from here on
  listOwner = key.get();
  candidate->setKey(std::move(key));
  return candidate;
}

// A new document holding "CMD" and, once there is one, the state.
JsonPtr kmsgBroker::commandDocument(const char* cmd) const {
  JsonPtr document(made(json_object()));
  json_object_set_new(document.get(), "CMD", made(json_string(cmd)));
  if (mStateUuid) json_object_set_new(document.get(), "state", jsonString(mStateUuid->c_str()));
  return document;
}

// "update_lock": the lock's status and RFID; the lock leaves the key that
// holds it (listOwner, when the report was also a configuration) or the
// report's own list.
void kmsgBroker::sendLockReply(SetValues& v, cKey* listOwner) {
  debug("building NONTRANSFERREPLY reply ");
  {
    outGoingreply reply;
    reply.setLockStatus(v.lockStatus.c_str());
    std::unique_ptr<cLock> taken;
    if (listOwner) {
      // The key may be the current summary's, searched by the main thread:
      // the lock leaves its list under the key's own mutex.
      taken = listOwner->takeOnlyLock();
    } else if (v.lockList->size() == 1) {
      taken = std::move(v.lockList->front());
      v.lockList->clear();
    }
    reply.setLock(taken.get());
    JsonPtr document = reply.toJSON();
    if (mStateUuid) json_object_set_new(document.get(), "state", jsonString(mStateUuid->c_str()));
    json_object_set_new(document.get(), "CMD", made(json_string("update_lock")));
    debug("Sending non transfer Reply message");
    if (publishCommand(document) == 0) mUpdateLockSent.fetch_add(1, std::memory_order_relaxed);
    const char* rfid = taken ? taken->getIntValStr() : nullptr;
    mAudit.info("reply=update_lock rfid=%s status=%s state=%s",
                auditValue(rfid ? std::optional<std::string_view>(rfid) : std::nullopt).c_str(),
                auditField(v.lockStatus).c_str(), auditValue(mStateUuid).c_str());
  }  // the document, the lock taken out and the reply record go here
  debug("Non transfer Reply handled");
}

// "update_key" of a transfer: the status alone. Before the first
// "site_info" there is no state yet: "state" is left out.
void kmsgBroker::sendTransferReply(const SetValues& v) {
  debug("building TRANSFERREPLY reply ");
  JsonPtr document = commandDocument("update_key");
  json_object_set_new(document.get(), "LOCK_STATUS", jsonString(v.lockStatus.c_str()));
  debug("Sending transfer Reply message");
  if (publishCommand(document) == 0) mUpdateKeySent.fetch_add(1, std::memory_order_relaxed);
  mAudit.info("reply=update_key status=%s state=%s", auditField(v.lockStatus).c_str(),
              auditValue(mStateUuid).c_str());
  debug("Transfer Reply handled");
}

// "update_key" of a battery level, with the key's serial and box.
void kmsgBroker::sendBatteryReply(const SetValues& v) {
  debug("building BATTERY reply ");
  JsonPtr document = commandDocument("update_key");
  json_object_set_new(document.get(), "power_status", jsonString(v.lockStatus.c_str()));
  json_object_set_new(document.get(), "TAG_KEY_SN", made(json_integer(v.keySN)));
  json_object_set_new(document.get(), "TAG_KEY_BOX", jsonString(v.keyBoxN.c_str()));
  json_object_set_new(document.get(), "TAG_KEY_BATTERY", made(json_integer(v.keyBattery)));
  debug("Sending transfer Reply message");
  if (publishCommand(document) == 0) mUpdateKeySent.fetch_add(1, std::memory_order_relaxed);
  mAudit.info("reply=update_key power=%s battery=%d state=%s", auditField(v.lockStatus).c_str(),
              v.keyBattery, auditValue(mStateUuid).c_str());
  debug("Transfer Reply handled");
}

void kmsgBroker::handleCfg(std::unique_ptr<siteSum>& candidate) {
  debug("Checking if the site CFG has changed or first open");
  if (!pumpSiteSum() && mFirstOpen) {
    adopt(candidate);
    return;
  }
  if (!(*candidate == *pumpSiteSum())) {
    replace(candidate);
    return;
  }
  if (mCfgRequested.load()) {
    replace(candidate);
    return;
  }
  // The comparison is made a second time before the ping, for its lines;
  // it has no other effect, so it is left out when they would not be written.
  if (comparisonLogged()) (void)(*candidate == *pumpSiteSum());
  if (mPingTimer->getPingDue()) {
    sendPing();
    return;
  }
  debug("NO send required.");
}

void kmsgBroker::adopt(std::unique_ptr<siteSum>& candidate) {
  debug("No current Site so making it this one");
  {
    ksync::MutexLock lock(mSiteSumMutex);
    mCurrentSiteSum = std::move(candidate);
  }
  sendSiteInfo();
  mFirstOpen = false;
}

void kmsgBroker::replace(std::unique_ptr<siteSum>& candidate) {
  debug("It has so deleting Current SiteSum data");
  {
    ksync::MutexLock lock(mSiteSumMutex);
    mCurrentSiteSum.reset();
    debug("assigning Current SiteSum data from mPingSiteSome");
    mCurrentSiteSum = std::move(candidate);
  }
  debug("sending Current SiteSum data");
  sendSiteInfo();
  mCfgRequested.store(false);
}

void kmsgBroker::sendSiteInfo() {
  // The key of the current summary may be searched by the main thread at
  // the same time; its rendering takes the key's own mutex. The text is
  // written as jansson would serialise the summary's document with "state"
  // added; jansson builds it only when a lock's name is not plain text.
  // One text for every "site_info": it keeps the capacity of the longest.
  std::string& text = mSiteInfoText;
  text.assign(1, '{');
  if (!pumpSiteSum()->appendJSONMembers(text)) {
    JsonPtr document = pumpSiteSum()->toJSON();
    generateStateUuid();
    json_object_set_new(document.get(), "state", jsonString(mStateUuid->c_str()));
    JsonText dumped(json_dumps(document.get(), 0));
    text = dumped ? dumped.get() : "";
  } else {
    generateStateUuid();
    text += text.size() > 1 ? ", \"state\": \"" : "\"state\": \"";
    text += *mStateUuid;
    text += "\"}";
  }
  if (!text.empty() && mBus->publish(text.data(), text.size(), "site_info") == 0) {
    debug("CFG Message Sent");
    mSiteInfoSent.fetch_add(1, std::memory_order_relaxed);
  }
}

void kmsgBroker::sendPing() {
  debug("No change so sending ping msg");
  JsonPtr document = commandDocument("ping");
  debug("Sending Ping message");
  if (publish(document, "command") == 0) {
    debug("Ping Message Sent");
    mPingsSent.fetch_add(1, std::memory_order_relaxed);
  }
  mPingTimer->setPingDue(false);
  mPingTimer->restart();
}

void kmsgBroker::generateStateUuid() {
  char text[cStateUuids::kTextLength + 1];
  mStateUuids.next(text);
  debug("generate uuid=%s", text);
  setStateUuid(text);
}

void kmsgBroker::setStateUuid(const char* uuid) {
  if (mStateUuid)
    mStateUuid->assign(uuid);  // in place: no new allocation per "site_info"
  else
    mStateUuid.emplace(uuid);
}

int kmsgBroker::publish(const JsonPtr& document, const char* topic) {
  JsonText text(json_dumps(document.get(), 0));
  if (!text) return -1;
  return mBus->publish(text.get(), std::strlen(text.get()), topic);
}

int kmsgBroker::publishCommand(const JsonPtr& document) {
  const int result = publish(document, "command");
  if (result != 0) debug("Problem sending Message");
  return result;
}
