// Bus commands through the real broker: every failure path with its log
// lines, the requests the key daemon receives, and lock lookups racing the
// replacement of the site summary.
#include <atomic>
#include <string>
#include <thread>

#include "broker_fixture.h"

namespace translate {
namespace {

using namespace std::chrono_literals;

const Rf kZeroFirst = {0x00, 0x12, 0x00, 0x34, 0x56};  // IntValStr 302003286

class CommandHandlingTest : public BrokerFixture {
 protected:
  // Makes kZeroFirst's lock known through a first configuration report.
  void knowLock() {
    auto cfg = SetMsg::config({kZeroFirst});
    deliver(cfg);
    ASSERT_EQ(publications(1).size(), 1u);
    clearLog();
  }
  // The tags of a request as "id:type:value" texts.
  static std::vector<std::string> tagsOf(KMsg& m) {
    std::vector<std::string> out;
    m.gotoFirst();
    while (KTag* t = m.getTag()) {
      std::string v;
      if (auto* b = ktag_cast<KTagBytes>(t)) {
        for (unsigned char c : b->bytes()) v += std::to_string(c) + ".";
      } else if (auto* u8 = ktag_cast<KTagUInt8>(t)) {
        v = std::to_string(u8->getValue());
      }
      out.push_back(std::to_string(t->mId) + ":" + t->typeName() + ":" + v);
    }
    return out;
  }
};

TEST_F(CommandHandlingTest, LockAndUnlockOfAKnownLockReachTheKeyDaemon) {
  knowLock();
  ASSERT_EQ(command("{\"command\":\"UNLOCK\",\"RFID\":\"302003286\",\"state\":\"s\"}"), 1);
  auto req = request();
  ASSERT_TRUE(req);
  EXPECT_EQ(req->mId, MSG_REQ);
  EXPECT_EQ(tagsOf(*req), (std::vector<std::string>{"19:bytes:0.18.0.52.86.", "21:u8:0"}));
  EXPECT_TRUE(containsRun(allLines(), {
      "keyDTranslator|In handleJSON_message", "keyDTranslator|Getting command type",
      "keyDTranslator|non transfer message that is fine", "keyDTranslator|Handling incoming message",
      "keyDTranslator|Trying to get the value from server msg", "keyDTranslator|MSgObj msgCMDType = 0",
      "keyDTranslator|MSgObj rfid = 302003286",
      "cKey|trying to get RFID matching IntValStr |302003286|",
      "cKey|FOUND a matching lock with RFID= 0012003456 that matches 302003286",
      "keyDTranslator|MSgObj is a lock/unlock one",
      "cKey|trying to get RFID matching IntValStr |302003286|",
      "cKey|FOUND a matching lock with RFID= 0012003456 that matches 302003286",
      "keyDTranslator|Here I am!!!!", "cMiniClient|Sending Message with no reply"}));

  ASSERT_EQ(command("{\"command\":\"LOCK\",\"RFID\":\"302003286\",\"state\":\"s\"}"), 1);
  req = request();
  ASSERT_TRUE(req);
  EXPECT_EQ(tagsOf(*req), (std::vector<std::string>{"19:bytes:0.18.0.52.86.", "22:u8:0"}));
}

TEST_F(CommandHandlingTest, BatteryAndTransactionRequestsCarryOneByteTags) {
  ASSERT_EQ(command("{\"command\":\"Battery\"}"), 1);
  auto req = request();
  ASSERT_TRUE(req);
  EXPECT_EQ(tagsOf(*req), (std::vector<std::string>{"12:u8:0"}));
  EXPECT_TRUE(containsRun(brokerLines(), {
      "In handleJSON_message", "'RFID' key missing from request on TranGlam",
      "'state' key missing from request on TranGlam", "Getting command type",
      "Error with  messaging typing in handleJSON_message ", "Handling incoming message",
      "Trying to get the value from server msg", "MSgObj msgCMDType = 3", "MSgObj rfid = ",
      "Here I am!!!!"}));
  // "RFID" is neither tested nor stored for a transactions request.
  ASSERT_EQ(command("{\"command\":\"req_transactions\",\"RFID\":42}"), 1);
  req = request();
  ASSERT_TRUE(req);
  EXPECT_EQ(tagsOf(*req), (std::vector<std::string>{"26:u8:0"}));
}

TEST_F(CommandHandlingTest, EveryMalformedCommandIsLoggedAndDropped) {
  struct Case {
    std::string text;
    int result;
    std::vector<std::string> lines;  // broker lines after "In handleJSON_message"
  };
  const std::vector<Case> cases = {
      {"{\"RFID\":\"1\",\"state\":\"s\"}", 0,
       {"'command' key missing from request on TranGlam",
        "No CMD value found in incoming json message returning false"}},
      {"{\"command\":7}", 0,
       {"'command' in kmsgBroker parse not a string", "'RFID' key missing from request on TranGlam",
        "'state' key missing from request on TranGlam",
        "No CMD value found in incoming json message returning false"}},
      {"{\"command\":\"LOCK\",\"RFID\":\"302003286\",\"state\":5}", 0,
       {"'state' in kmsgBroker parse not a string", "Getting command type",
        "Not a Transfer message and RFID or State missing"}},
      {"{\"command\":\"UNLOCK\",\"state\":\"s\"}", 0,
       {"'RFID' key missing from request on TranGlam", "Getting command type",
        "Not a Transfer message and RFID or State missing"}},
      {"{\"command\":\"lock\",\"RFID\":\"1\",\"state\":\"s\"}", 1,
       {"Getting command type", "Unknown CMD type given",
        "Error with  messaging typing in handleJSON_message ", "Handling incoming message",
        "Trying to get the value from server msg", "MSgObj msgCMDType = 5", "MSgObj rfid = ",
        "Here I am!!!!", "Unknown CmdType given to createCmd",
        "createCmd(msgObj) returned Null. doing nothing"}},
      {"{\"command\":\"UNLOCK\",\"RFID\":\"123\",\"state\":\"s\"}", 1,
       {"Getting command type", "non transfer message that is fine", "Handling incoming message",
        "Trying to get the value from server msg", "MSgObj msgCMDType = 0", "MSgObj rfid = 123",
        "nothing Found value is NULL", "createCmd(msgObj) returned Null. doing nothing"}},
  };
  for (const auto& c : cases) {
    clearLog();
    EXPECT_EQ(command(c.text), c.result) << c.text;
    auto expected = c.lines;
    expected.insert(expected.begin(), "In handleJSON_message");
    EXPECT_EQ(brokerLines(), expected) << c.text;
  }
  // Texts that are no JSON object: the parse error lines (if any), then the
  // info line on the "kmsgBroker" category.
  for (const std::string text : {"[1,2]", "{\"command\":\"Battery\"} trailing", "{}{}", "", "\xff"}) {
    clearLog();
    EXPECT_EQ(command(text), 1) << text;
    auto lines = brokerLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "In handleJSON_message");
    EXPECT_EQ(lines.size(), text == "[1,2]" ? 1u : 6u) << text;
    if (lines.size() == 6) {
      EXPECT_EQ(lines[0].rfind("PROBLEM WITH JSON LOADS: |", 0), 0u);
    }
    EXPECT_EQ(capture->count("kmsgBroker|message received not a JSON object"), 1);
  }
  EXPECT_TRUE(noRequest());
}

TEST_F(CommandHandlingTest, UnknownLocksAndRequestsForConfigurationSendNothing) {
  knowLock();
  ASSERT_EQ(command("{\"command\":\"UNLOCK\",\"RFID\":\"0302003286\",\"state\":\"s\"}"), 1);
  EXPECT_TRUE(containsRun(allLines(), {"cKey|trying to get RFID matching IntValStr |0302003286|",
                                       "cKey|No match", "keyDTranslator|nothing Found value is NULL",
                                       "keyDTranslator|createCmd(msgObj) returned Null. doing nothing"}));
  // Texts that are no decimal number, or beyond 40 bits, match no lock.
  for (const char* rfid : {"abc", "-302003286", "1099511627776", "99999999999999999999999999"}) {
    clearLog();
    ASSERT_EQ(command(std::string("{\"command\":\"LOCK\",\"RFID\":\"") + rfid + "\",\"state\":\"s\"}"), 1);
    EXPECT_EQ(capture->count("cKey|No match"), 1) << rfid;
  }
  clearLog();
  ASSERT_EQ(command("{\"command\":\"req_cfg\"}"), 1);
  EXPECT_TRUE(broker->cfgRequested());
  EXPECT_TRUE(containsRun(brokerLines(), {
      "Getting command type", "Handling incoming message", "Trying to get the value from server msg",
      "MSgObj msgCMDType = 4", "MSgObj rfid = ", "Here I am!!!!",
      "CmdType is CMD_CFG so no message required", "createCmd(msgObj) returned Null. doing nothing"}));
  EXPECT_TRUE(noRequest());
}

// The pump thread replaces the current summary while the main thread looks
// locks up in it (ThreadSanitizer watches this one).
TEST_F(CommandHandlingTest, LookupsRaceSummaryReplacementsSafely) {
  capture.reset();  // thousands of lines would only slow the race down
  const Rf a = {1, 2, 3, 4, 5}, b = {5, 4, 3, 2, 1};
  std::atomic<bool> done{false};
  std::thread pump([&] {
    for (unsigned i = 0; i < 400; ++i) {
      // Alternating configurations, each one a change; every other one is
      // also a reply that takes its only lock out of the adopted key.
      auto m = SetMsg::config({i % 2 ? a : b}, i);
      if (i % 4 == 1) m.str(TAG_LOCK_STATUS, "x").str(TAG_LOCK_DESC, "y").u32(TAG_LOCK_TYPE, 1);
      deliver(m);
    }
    done = true;
  });
  int handled = 0;
  while (!done) {
    command("{\"command\":\"UNLOCK\",\"RFID\":\"4328719365\",\"state\":\"s\"}");
    ++handled;
  }
  pump.join();
  EXPECT_GT(handled, 0);
  EXPECT_EQ(publications(500, 1000ms).size(), 500u);  // 400 site_info + 100 update_lock
}

}  // namespace
}  // namespace translate
