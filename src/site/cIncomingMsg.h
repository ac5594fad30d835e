// cIncomingMsg: one command received on the bus, as the broker understood
// it: its message type, its command type and the RFID text of a lock or
// unlock command.
// Ownership: it owns its copy of the RFID text. Threads: built and used on
// the main thread within the handling of one bus text.
#ifndef SITE_CINCOMINGMSG_H
#define SITE_CINCOMINGMSG_H

#include <optional>
#include <string>

#include "optionalText.h"

// Incoming message types.
enum { INMSG_CMD = 0, INMSG_CFG = 1, INMSG_NONE = 2 };
// Command types, in the order the command names are matched.
enum { CMD_UNLOCK = 0, CMD_LOCK = 1, CMD_REQ_TRANSACTIONS = 2, CMD_BATTERY = 3, CMD_CFG = 4, CMD_NONE = 5 };

class cIncomingMsg {
 public:
  virtual ~cIncomingMsg() = default;

  void setMsgType(int type) { mMsgType = type; }
  int getMsgType() const { return mMsgType; }
  void setCmdType(int type) { mCmdType = type; }
  int getCmdType() const { return mCmdType; }
  void setRFID(const std::string& rfid) { mRFID = rfid; }
  // The held RFID text, or null.
  const char* getRFID() const { return textOf(mRFID); }

 private:
  int mMsgType = INMSG_NONE;
  int mCmdType = CMD_NONE;
  std::optional<std::string> mRFID;
};

#endif  // SITE_CINCOMINGMSG_H
