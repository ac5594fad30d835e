// BrokerFixture: a real kmsgBroker in this test process, inside the test's
// own sandbox: its /etc/ram holds the test's configuration, the real bus
// daemon runs on the ports of that configuration, a UDP socket on
// 127.0.0.1:5555 plays the key daemon, and a bus client subscribed to
// "site_info" and "command" sees every publication.
//
// Tests call onMessage and handleJSON_message directly from the test
// thread, as the pump and the main thread would; the key daemon side never
// sends, so the pump thread stays idle.
#ifndef TESTS_TRANSLATE_BROKER_FIXTURE_H
#define TESTS_TRANSLATE_BROKER_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "child.h"
#include "kmsg.h"
#include "kmsgBroker.h"
#include "logcapture.h"
#include "nlite.h"

namespace translate {

using Rf = std::vector<unsigned char>;

// A SET message under construction.
class SetMsg {
 public:
  SetMsg() : mMsg(std::make_unique<KMsg>(MSG_SET)) {}
  explicit SetMsg(unsigned char id) : mMsg(std::make_unique<KMsg>(id)) {}
  SetMsg& u32(unsigned char id, unsigned value);
  SetMsg& u16(unsigned char id, unsigned short value);
  SetMsg& u8(unsigned char id, unsigned char value);
  SetMsg& str(unsigned char id, const std::string& text);
  SetMsg& lock(const Rf& tag);
  // A complete configuration: key serial 0x1234, key box "box-1", key
  // software "sw-2.0", server "srv.example" port 8080, the transaction
  // count and the locks given.
  static SetMsg config(std::initializer_list<Rf> locks, unsigned transactions = 7);
  KMsg* get() { return mMsg.get(); }

 private:
  std::unique_ptr<KMsg> mMsg;
};

struct Publication {
  std::string topic;
  std::string payload;
};

class BrokerFixture : public ::testing::Test {
 protected:
  // pingTime written into the translator's configuration.
  explicit BrokerFixture(int pingTime = 3600) : mPingTime(pingTime) {}
  void SetUp() override;
  void TearDown() override;

  void deliver(SetMsg& msg) { broker->onMessage(msg.get()); }
  int command(const std::string& text) { return broker->handleJSON_message(text.data(), text.size()); }

  // The next publications, waiting up to `within` for each.
  std::vector<Publication> publications(size_t n, std::chrono::milliseconds within =
                                                      std::chrono::milliseconds(2000));
  // True when nothing is published within the time.
  bool nothingPublished(std::chrono::milliseconds within = std::chrono::milliseconds(300));
  // The next request the key daemon receives (keep-alive pings skipped).
  std::unique_ptr<KMsg> request(std::chrono::milliseconds within = std::chrono::milliseconds(2000));
  bool noRequest(std::chrono::milliseconds within = std::chrono::milliseconds(300));
  // The broker's log lines since the last clear.
  std::vector<std::string> brokerLines() const { return capture->messages("keyDTranslator"); }
  // Every log line since the last clear, as "category|message".
  std::vector<std::string> allLines() const { return capture->lines(); }
  void clearLog() { capture->clear(); }

  std::unique_ptr<testsupport::Child> bus;
  std::unique_ptr<kmsgBroker> broker;
  std::unique_ptr<nlite::Client> subscriber;
  std::unique_ptr<testsupport::LogCapture> capture;
  int keyDaemon = -1;

 private:
  int mPingTime;
};

// Checks that `expected` appears in `lines` in this order, each right after
// the previous one (a contiguous run); prints both on failure.
::testing::AssertionResult containsRun(const std::vector<std::string>& lines,
                                       const std::vector<std::string>& expected);

}  // namespace translate

#endif  // TESTS_TRANSLATE_BROKER_FIXTURE_H
