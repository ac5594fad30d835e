// Cabinet: the key cabinet keyd-sim plays with --cabinet FILE.json: a key
// (serial, box, software, battery), its server, a transaction count and its
// locks, each with a status that UNLOCK and LOCK requests change. It makes
// the reports the translator understands and answers its requests.
//
// Ownership: keyd-sim's simulator owns the one Cabinet; every message it
// returns is new and owned by the caller. Threads: keyd-sim's main thread.
#ifndef KEYD_SIM_CABINET_H
#define KEYD_SIM_CABINET_H

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kmsg.h"

class Cabinet {
 public:
  // Reads the file; nullopt with `error` set to "MEMBER: what is wrong"
  // (or why the file cannot be read) when it does not describe a cabinet.
  static std::optional<Cabinet> load(const std::string& path, std::string& error);

  // The site configuration report: key, server, transactions, every lock.
  std::unique_ptr<KMsg> configuration() const;

  // What a request gets. `reply` is null when it is not answered; `note`
  // then says why (empty for a keep-alive, which needs no answer).
  struct Answer {
    std::unique_ptr<KMsg> reply;
    std::string note;
  };
  Answer answer(const KMsg& request);

  // The translator's keep-alive: MSG_REQ with TAG_KEY_SN u32 0 alone.
  static bool isKeepAlive(const KMsg& msg);

 private:
  struct Lock {
    std::array<unsigned char, 5> tag;
    std::string description, status;
    std::uint32_t type;
  };
  Cabinet() = default;
  // The lock takes the status; the lock status reply that says so.
  static std::unique_ptr<KMsg> lockReply(Lock& lock, const char* status);

  std::uint32_t mSerial = 0, mTransactions = 0;
  std::string mBox, mSoftware, mServer;
  std::uint16_t mPort = 0;
  std::uint8_t mBattery = 0;
  std::vector<Lock> mLocks;
};

#endif  // KEYD_SIM_CABINET_H
