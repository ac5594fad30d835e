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
// Text values are read within this many bytes, terminator included.
constexpr unsigned short kTextLimit = 128;

// A value jansson made, or the end of the process: jansson returns null
// only when it is out of memory.
json_t* made(json_t* value) {
  if (!value) std::abort();
  return value;
}

// Reads a text tag into scratch; stores it in field when the read worked.
// Returns false when the tag is not a text tag at all.
bool readText(const KTag* tag, char (&scratch)[kTextLimit], std::string& field) {
  auto* text = ktag_cast<KTagString>(tag);
  if (!text) return false;
  if (text->getValue(scratch, kTextLimit)) field = scratch;
  return true;
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

void kmsgBroker::handleSetMsg(KMsg* msg) {
  debug("Set received. Handling it!");
  SetValues v;
  char scratch[kTextLimit] = "";
  // Most lines below are debug lines: whether they are written is asked
  // once per report, not once per line.
  const bool detail = debugEnabled();
  if (detail) {
    debug("Tag count: %d", msg->mTagCount);
    debug("MSG ID: %d", msg->mId);
  }

  // The lock list is made once at its size: it becomes the key's.
  size_t lockTags = 0;
  for (const auto& tag : msg->tags()) lockTags += tag->mId == TAG_LOCK_TAG;
  v.lockList->reserve(lockTags);

  msg->gotoFirst();
  while (KTag* tag = msg->getTag()) {
    if (detail) debug("TAG ID: %d", tag->mId);
    // The codec guarantees that a known tag id carries the value class of
    // its type; the checked casts below only make that visible.
    bool ok = true;
    switch (tag->mId) {
      case TAG_KEY_SN:
        if (auto* t = ktag_cast<KTagUInt32>(tag)) {
          v.keySN = static_cast<int32_t>(t->getValue());
          if (detail) debug("TAG_KEY_SN: %08X", t->getValue());
        } else ok = false;
        break;
      case TAG_KEY_BOX:
        if ((ok = readText(tag, scratch, v.keyBoxN)) && detail) debug("TAG_KEY_BOX: %s", scratch);
        break;
      case TAG_KEY_SW:
        if ((ok = readText(tag, scratch, v.keySW)) && detail) debug("TAG_KEY_SW: %s", scratch);
        break;
      case TAG_KEY_BAR:
        if (auto* t = ktag_cast<KTagUInt8>(tag)) {
          v.keyBar = t->getValue();
          if (detail) debug("keyBar: |%d|", v.keyBar);
        } else ok = false;
        break;
      case TAG_KEY_BATTERY:
        if (auto* t = ktag_cast<KTagUInt8>(tag)) {
          v.keyBattery = t->getValue();
          if (detail) debug("keyBattery: |%d|", v.keyBattery);
        } else ok = false;
        break;
      case TAG_LOCK_TAG: {
        auto* t = ktag_cast<KTagBytes>(tag);
        if (!t) {
          ok = false;
        } else if (t->getLength() != 5) {
          // A lock is named by exactly five bytes; anything else would
          // name a lock that does not exist.
          warn("TAG_LOCK_TAG of %d bytes ignored: a lock tag has 5", t->getLength());
        } else {
          unsigned char rf[6];
          t->getValue(rf, 5);
          rf[5] = 0;
          // The lock's name is the decimal text of its 40 bits, first byte
          // most significant. Made without printf: this runs for every lock
          // of every report, and the hex text is only needed for the log.
          unsigned long long value = 0;
          for (int i = 0; i < 5; ++i) value = (value << 8) | rf[i];
          char decimal[24];
          const char* end = std::to_chars(decimal, decimal + sizeof decimal - 1, value).ptr;
          decimal[end - decimal] = '\0';
          const int written = static_cast<int>(end - decimal);
          if (detail) {
            debug("HEX string: |%s|", toHex(rf, 5, true).c_str());
            debug("Int VAL: |%llu|", value);
            debug("THE return from sprintf %d", written);
            debug("THE FINAL STRING %s", decimal);
          }
          auto lock = std::make_unique<cLock>();
          lock->setRFtag(rf);
          lock->setIntValStr(decimal);
          v.lockList->push_back(std::move(lock));
          if (detail)
            for (int i = 0; i < 5; ++i) debug("TAG_LOCK_TAG %d : %02X", i + 1, rf[i]);
        }
        break;
      }
      case TAG_LOCK_STATUS:
        if ((ok = readText(tag, scratch, v.lockStatus)) && detail)
          debug("lockStatus: %s", v.lockStatus.c_str());
        break;
      case TAG_LOCK_DESC:
        if ((ok = readText(tag, scratch, v.lockDesc)) && detail)
          debug("lockDesc: %s", v.lockDesc.c_str());
        break;
      case TAG_LOCK_TYPE:
        if (auto* t = ktag_cast<KTagUInt32>(tag)) {
          v.lockType = static_cast<int32_t>(t->getValue());
          if (detail) debug("TAG_LOCK_TYPE: %08X", t->getValue());
        } else ok = false;
        break;
      case TAG_TRANS_CNT:
        if (auto* t = ktag_cast<KTagUInt32>(tag)) {
          v.transactionCnt = static_cast<int32_t>(t->getValue());
          if (detail) debug("TAG_TRANS_CNT: %08X", t->getValue());
        } else ok = false;
        break;
      case TAG_SRV_NAME:
        if ((ok = readText(tag, scratch, v.servName)) && detail) debug("TAG_SRV_NAME: %s", scratch);
        break;
      case TAG_SRV_PORT:
        if (auto* t = ktag_cast<KTagUInt16>(tag)) {
          v.servPort = t->getValue();
          if (detail) debug("TAG_SRV_PORT: %04X", t->getValue());
        } else ok = false;
        break;
      default:
        debug("UNknown tag ID : %d", tag->mId);
        break;
    }
    if (!ok) warn("Tag %d of type %s ignored: not its value type", tag->mId, tag->typeName());
  }

  // Classification.
  const bool haveLocks = !v.lockList->empty();
  const bool isCfg = v.keySN != -1 && v.keyBoxN != kAbsent && v.keySW != kAbsent &&
                     v.servName != kAbsent && v.servPort != 0xFFFF && haveLocks;
  if (detail) {
    debug("keySN= |%i|", v.keySN);
    if (v.keyBoxN != kAbsent)
      debug("keyBoxN= |%s| TRUE", v.keyBoxN.c_str());
    else
      debug("keyBoxN= |%s| FALSE", v.keyBoxN.c_str());
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
  }
  bool transferReply = false, nonTransferReply = false;
  if (v.lockStatus != kAbsent && v.lockDesc != kAbsent) {
    if (v.lockType == -1) {
      debug("WE HAVE A REPLY That is neither ");
    } else if (!haveLocks) {
      debug("WE HAVE A TRANSFER REPLY");
      transferReply = true;
    } else {
      debug("WE HAVE A NONONONONON TRANSFER REPLY");
      nonTransferReply = true;
    }
  }

  // Acting. The candidate's key takes over the lock list; a non-transfer
  // reply then takes its lock from that same list.
  std::unique_ptr<siteSum> candidate;
  cKey* listOwner = nullptr;
  if (isCfg) {
    debug("Handling CFG change");
    candidate = std::make_unique<siteSum>();
    mPingSiteSome = candidate.get();
    auto key = std::make_unique<cKey>();
    key->setKeySN(v.keySN);
    key->setKeyBoxN(v.keyBoxN.c_str());
    key->setKeySW(v.keySW.c_str());
    key->setServName(v.servName.c_str());
    key->setServPort(static_cast<uint16_t>(v.servPort));
    key->setTransactionCnt(v.transactionCnt);
    key->setLockList(std::move(v.lockList));
    listOwner = key.get();
    candidate->setKey(std::move(key));
    handleCfg(candidate);  // may adopt it (then candidate is empty)
  }

  if (nonTransferReply) {
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
  } else if (transferReply) {
    debug("building TRANSFERREPLY reply ");
    JsonPtr document(made(json_object()));
    json_object_set_new(document.get(), "CMD", made(json_string("update_key")));
    // Before the first "site_info" there is no state yet: "state" is left
    // out, as for the non-transfer reply.
    if (mStateUuid) json_object_set_new(document.get(), "state", jsonString(mStateUuid->c_str()));
    json_object_set_new(document.get(), "LOCK_STATUS", jsonString(v.lockStatus.c_str()));
    debug("Sending transfer Reply message");
    if (publishCommand(document) == 0) mUpdateKeySent.fetch_add(1, std::memory_order_relaxed);
    mAudit.info("reply=update_key status=%s state=%s", auditField(v.lockStatus).c_str(),
                auditValue(mStateUuid).c_str());
    debug("Transfer Reply handled");
  } else if (v.keyBattery != 255) {
    debug("building BATTERY reply ");
    JsonPtr document(made(json_object()));
    json_object_set_new(document.get(), "CMD", made(json_string("update_key")));
    if (mStateUuid) json_object_set_new(document.get(), "state", jsonString(mStateUuid->c_str()));
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

  // What the handling still owns goes before it is told handled: a
  // candidate that was not adopted, with its key and locks, or else the lock
  // list that no configuration took over.
  candidate.reset();
  if (mPingSiteSome != mCurrentSiteSum.get()) mPingSiteSome = nullptr;
  v.lockList.reset();
  debug("Set Msg Handled!");
}

void kmsgBroker::handleCfg(std::unique_ptr<siteSum>& candidate) {
  debug("Checking if the site CFG has changed or first open");
  if (!mCurrentSiteSum && mFirstOpen) {
    adopt(candidate);
    return;
  }
  if (!(*candidate == *mCurrentSiteSum)) {
    replace(candidate);
    return;
  }
  if (mCfgRequested.load()) {
    replace(candidate);
    return;
  }
  // The comparison is made a second time before the ping, for its lines;
  // it has no other effect, so it is left out when they would not be written.
  if (comparisonLogged()) (void)(*candidate == *mCurrentSiteSum);
  if (mPingTimer->getPingDue()) {
    sendPing();
    return;
  }
  debug("NO send required.");
}

void kmsgBroker::adopt(std::unique_ptr<siteSum>& candidate) {
  debug("No current Site so making it this one");
  {
    std::lock_guard<std::mutex> lock(mSiteSumMutex);
    mCurrentSiteSum = std::move(candidate);
  }
  sendSiteInfo();
  mFirstOpen = false;
}

void kmsgBroker::replace(std::unique_ptr<siteSum>& candidate) {
  debug("It has so deleting Current SiteSum data");
  {
    std::lock_guard<std::mutex> lock(mSiteSumMutex);
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
  if (!mCurrentSiteSum->appendJSONMembers(text)) {
    JsonPtr document = mCurrentSiteSum->toJSON();
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
  JsonPtr document(made(json_object()));
  json_object_set_new(document.get(), "CMD", made(json_string("ping")));
  if (mStateUuid) json_object_set_new(document.get(), "state", jsonString(mStateUuid->c_str()));
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
