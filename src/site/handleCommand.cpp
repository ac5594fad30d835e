// Bus commands turned into key-daemon requests, and the audit line of each
// lock command. Everything here runs on the main thread, inside the bus
// receive loop.
#include <cstdlib>
#include <cstring>

#include "cIncomingMsg.h"
#include "cKey.h"
#include "kmsg.h"
#include "kmsgBroker.h"
#include "siteSum.h"

std::string auditValue(std::optional<std::string_view> value) {
  if (!value) return "-";
  const std::string text = repairUtf8(*value);
  // Quoted also when it would read as absent or as nothing.
  bool quote = text.empty() || text == "-";
  for (unsigned char c : text) quote = quote || c <= ' ' || c == '"' || c == 0x7F;
  if (!quote) return text;
  const JsonPtr string(jsonString(std::string_view(text)));
  return jsonDump(string.get(), JSON_ENCODE_ANY).value_or("-");
}

void kmsgBroker::auditCommand(std::string_view command, const char* appId,
                              std::optional<std::string_view> rfid,
                              std::optional<std::string_view> state, const char* outcome) const {
  const auto optional = [](const char* text) {
    return text ? std::optional<std::string_view>(text) : std::nullopt;
  };
  mAudit.info("command=%s app=%s rfid=%s state=%s outcome=%s", std::string(command).c_str(),
              auditValue(optional(appId)).c_str(), auditValue(rfid).c_str(),
              auditValue(state).c_str(), outcome);
}

int kmsgBroker::handleJSON_message(const char* text, size_t length, const char* appId) {
  json_error_t error;
  JsonPtr document(json_loadb(text, length, 0, &error));
  if (error.text[0] != '\0') {
    debug("PROBLEM WITH JSON LOADS: |%s|", error.text);
    debug("Source: |%s| ", error.source);
    debug("line: |%i| ", error.line);
    debug("column: |%i| ", error.column);
    debug("position: |%i| ", error.position);
  }
  debug("In handleJSON_message");
  if (!document || !json_is_object(document.get())) {
    static const cKlog plain("kmsgBroker");
    plain.info("message received not a JSON object");
    publishOutcome({}, appId, {}, {}, "bad-request");
    return 1;
  }
  cIncomingMsg msgObj;
  // All three are fetched before any is tested, so each absent one is logged.
  auto command = getJSONString("command", document.get());
  auto rfid = getJSONString("RFID", document.get());
  auto state = getJSONString("state", document.get());
  if (!command) {
    debug("No CMD value found in incoming json message returning false");
    publishOutcome({}, appId, rfid, state, "bad-request");
    return 0;
  }
  msgObj.setMsgType(INMSG_CMD);
  debug("Getting command type");
  parseCmdType(*command, msgObj);
  const int type = msgObj.getCmdType();
  const bool lockCommand = type == CMD_LOCK || type == CMD_UNLOCK;
  if (lockCommand && (!rfid || !state)) {
    debug("Not a Transfer message and RFID or State missing");
    auditCommand(*command, appId, rfid, state, "bad-request");
    publishOutcome(command, appId, rfid, state, "bad-request");
    return 0;
  }
  if (lockCommand) {
    debug("non transfer message that is fine");
    msgObj.setRFID(std::string(*rfid));
  } else if (type == CMD_CFG) {
    mCfgRequested.store(true);
  } else {
    debug("Error with  messaging typing in handleJSON_message ");
  }
  debug("Handling incoming message");
  const Fate fate = handleIncomingMsg(msgObj);
  // The first that applies: no link, a lock the site does not have, sent.
  const char* outcome = type == CMD_NONE               ? "ignored"
                        : !mMiniClient->connected()    ? "no-link"
                        : fate == Fate::dropped        ? "dropped"
                        : fate == Fate::none && lockCommand ? "unknown-lock"
                                                       : "sent";
  if (lockCommand) auditCommand(*command, appId, rfid, state, outcome);
  publishOutcome(command, appId, rfid, state, outcome);
  return 1;
}

void kmsgBroker::publishOutcome(std::optional<std::string_view> command, const char* appId,
                                std::optional<std::string_view> rfid,
                                std::optional<std::string_view> state, const char* outcome) {
  JsonPtr document(json_object());
  if (!document) std::abort();  // jansson is out of memory
  json_object_set_new(document.get(), "command", jsonString(command.value_or("-")));
  json_object_set_new(document.get(), "app", jsonString(std::string_view(appId ? appId : "-")));
  if (rfid) json_object_set_new(document.get(), "rfid", jsonString(*rfid));
  if (state) json_object_set_new(document.get(), "state", jsonString(*state));
  json_object_set_new(document.get(), "outcome", jsonString(std::string_view(outcome)));
  if (const std::optional<std::string> text = jsonDump(document.get(), 0))
    mBus->publishOutcome(text->data(), text->size());
}

std::optional<std::string_view> kmsgBroker::getJSONString(const char* name, json_t* object) {
  json_t* member = json_object_get(object, name);
  if (!member) {
    debug("'%s' key missing from request on TranGlam", name);
    return std::nullopt;
  }
  if (!json_is_string(member)) {
    debug("'%s' in kmsgBroker parse not a string", name);
    return std::nullopt;
  }
  // With its length: a text is compared whole, never up to an inner zero.
  return std::string_view(json_string_value(member), json_string_length(member));
}

void kmsgBroker::parseCmdType(std::string_view value, cIncomingMsg& message) {
  static constexpr std::string_view kNames[] = {"UNLOCK", "LOCK", "req_transactions", "Battery",
                                                "req_cfg"};
  for (int i = 0; i < 5; ++i) {
    if (value == kNames[i]) {
      message.setCmdType(i);
      return;
    }
  }
  debug("Unknown CMD type given");
}

kmsgBroker::Fate kmsgBroker::handleIncomingMsg(cIncomingMsg& message) {
  switch (message.getMsgType()) {
    case INMSG_CMD:
      if (std::unique_ptr<KMsg> request = createCmd(message)) {
        bool queued = false;
        mMiniClient->sendNoReply(request.release(), &queued);  // the client owns it now
        return queued ? Fate::queued : Fate::dropped;
      }
      debug("createCmd(msgObj) returned Null. doing nothing");
      return Fate::none;
    default:
      debug("Unknown Incoming message message type received");
      return Fate::none;
  }
}

std::unique_ptr<KMsg> kmsgBroker::createCmd(const cIncomingMsg& message) {
  auto request = std::make_unique<KMsg>(MSG_REQ);
  const int type = message.getCmdType();
  const char* rfid = message.getRFID() ? message.getRFID() : "";
  debug("Trying to get the value from server msg");
  debug("MSgObj msgCMDType = %d", type);
  debug("MSgObj rfid = %s", rfid);
  if (type == CMD_UNLOCK || type == CMD_LOCK) {
    // The summary is held for the lookup, so the pump thread cannot
    // replace and delete it meanwhile; no bus send or socket write happens
    // under this lock.
    ksync::MutexLock lock(mSiteSumMutex);
    cKey* key = mCurrentSiteSum ? mCurrentSiteSum->getKey() : nullptr;
    const std::optional<RFtag> tag = key ? key->getRFIDByIntValStr(rfid) : std::nullopt;
    if (!tag) {
      debug("nothing Found value is NULL");
      return nullptr;
    }
    debug("MSgObj is a lock/unlock one");
    request->addTag(KTagFactory::createKTag(TAG_LOCK_TAG, tag->data(), 5));
  }
  debug("Here I am!!!!");
  const unsigned char zero = 0;
  switch (type) {
    case CMD_UNLOCK:
      request->addTag(KTagFactory::createKTag(TAG_UNLOCK_REQ, zero));
      return request;
    case CMD_LOCK:
      request->addTag(KTagFactory::createKTag(TAG_LOCK_REQ, zero));
      return request;
    case CMD_REQ_TRANSACTIONS:
      request->addTag(KTagFactory::createKTag(TAG_TRANS_REQ, zero));
      return request;
    case CMD_BATTERY:
      request->addTag(KTagFactory::createKTag(TAG_KEY_BATTERY, zero));
      return request;
    case CMD_CFG:
      debug("CmdType is CMD_CFG so no message required");
      return nullptr;
    default:
      debug("Unknown CmdType given to createCmd");
      return nullptr;
  }
}
