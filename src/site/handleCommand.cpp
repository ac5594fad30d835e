// Bus commands turned into key-daemon requests. Everything here runs on the
// main thread, inside the bus receive loop.
#include <log4cpp/Category.hh>

#include <cstring>

#include "cIncomingMsg.h"
#include "cKey.h"
#include "kmsg.h"
#include "kmsgBroker.h"
#include "siteSum.h"

int kmsgBroker::handleJSON_message(const char* text, size_t length) {
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
    cKlog::getLog("kmsgBroker").info("message received not a JSON object");
    return 1;
  }
  cIncomingMsg msgObj;
  // All three are fetched before any is tested, so each absent one is logged.
  auto command = getJSONString("command", document.get());
  auto rfid = getJSONString("RFID", document.get());
  auto state = getJSONString("state", document.get());
  if (!command) {
    debug("No CMD value found in incoming json message returning false");
    return 0;
  }
  msgObj.setMsgType(INMSG_CMD);
  debug("Getting command type");
  parseCmdType(*command, msgObj);
  const int type = msgObj.getCmdType();
  const bool lockCommand = type == CMD_LOCK || type == CMD_UNLOCK;
  if (lockCommand && (!rfid || !state)) {
    debug("Not a Transfer message and RFID or State missing");
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
  handleIncomingMsg(msgObj);
  return 1;
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

void kmsgBroker::handleIncomingMsg(cIncomingMsg& message) {
  switch (message.getMsgType()) {
    case INMSG_CMD:
      if (std::unique_ptr<KMsg> request = createCmd(message)) {
        mMiniClient->sendNoReply(request.release());  // the client owns it now
      } else {
        debug("createCmd(msgObj) returned Null. doing nothing");
      }
      break;
    case INMSG_CFG:
      debug("MSG CFG received");
      break;
    default:
      debug("Unknown Incoming message message type received");
      break;
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
    // The summary is held for both lookups, so the pump thread cannot
    // replace and delete it in between; no bus send or socket write
    // happens under this lock.
    std::lock_guard<std::mutex> lock(mSiteSumMutex);
    cKey* key = mCurrentSiteSum ? mCurrentSiteSum->getKey() : nullptr;
    if (!key || !key->getRFIDByIntValStr(rfid)) {
      debug("nothing Found value is NULL");
      return nullptr;
    }
    debug("MSgObj is a lock/unlock one");
    std::optional<RFtag> tag = key->getRFIDByIntValStr(rfid);
    if (!tag) {
      debug("nothing Found value is NULL");
      return nullptr;
    }
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
