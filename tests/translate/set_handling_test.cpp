// Key-daemon SET messages through the real broker: configuration adoption,
// change, request and ping; the three replies; RF tag conversion; and the
// reports that must publish nothing.
#include <jansson.h>

#include <string>
#include <thread>

#include "broker_fixture.h"

namespace translate {
namespace {

using namespace std::chrono_literals;

const Rf kLock1 = {0, 0, 0, 0, 1};
const Rf kLock2 = {0x12, 0x34, 0x56, 0x78, 0x9A};

std::string cfgJson(const std::string& locks, int transactions = 7) {
  return "{\"TAG_KEY_BOX\": \"box-1\", \"TAG_KEY_SW\": \"sw-2.0\", \"TAG_SRV_NAME\": "
         "\"srv.example\", \"TAG_SRV_PORT\": 8080, \"TAG_TRANS_CNT\": " +
         std::to_string(transactions) + ", \"Key\": {\"LOCKS\": [" + locks + "], \"Serial\": 4660}}";
}

class SetHandlingTest : public BrokerFixture {};

TEST_F(SetHandlingTest, FirstConfigurationIsAdoptedThenAnUnchangedOneSendsNothing) {
  auto cfg = SetMsg::config({kLock1});
  deliver(cfg);
  auto pubs = publications(1);
  ASSERT_EQ(pubs.size(), 1u);
  const std::string uuid = broker->getStateUuid();
  EXPECT_EQ(uuid.size(), 36u);
  EXPECT_EQ(pubs[0].topic, "site_info");
  EXPECT_EQ(pubs[0].payload,
            "{\"CFG\": " + cfgJson("{\"RFID\": \"1\"}") + ", \"state\": \"" + uuid + "\"}");
  EXPECT_TRUE(containsRun(brokerLines(), {"Set received. Handling it!", "Tag count: 7", "MSG ID: 0",
                                          "TAG ID: 0", "TAG_KEY_SN: 00001234", "TAG ID: 1",
                                          "TAG_KEY_BOX: box-1", "TAG ID: 8", "TAG_KEY_SW: sw-2.0",
                                          "TAG ID: 35", "TAG_SRV_NAME: srv.example", "TAG ID: 36",
                                          "TAG_SRV_PORT: 1F90", "TAG ID: 32", "TAG_TRANS_CNT: 00000007"}));
  EXPECT_TRUE(containsRun(
      brokerLines(),
      {"keySN= |4660|", "keyBoxN= |box-1| TRUE", "keySW= |sw-2.0|", "servName= |srv.example|",
       "servPort= |8080|", "transactionCnt= |7|", "lock list is  NOT EMPTY", "Checking if CFG message",
       "We have a CFG Message!", "keyBar= |255|", "lockStatus= | |", "lockDesc= | |",
       "lockType= |-1|", "lock list is  NOT EMPTY", "Checking if we have a reply Reply ",
       "Handling CFG change", "Checking if the site CFG has changed or first open",
       "No current Site so making it this one", "generate uuid=" + uuid, "CFG Message Sent",
       "Set Msg Handled!"}));

  clearLog();
  auto same = SetMsg::config({kLock1});
  deliver(same);
  EXPECT_TRUE(nothingPublished());
  auto lines = brokerLines();
  EXPECT_TRUE(containsRun(lines, {"Checking if the site CFG has changed or first open"}));
  EXPECT_TRUE(containsRun(lines, {"NO send required.", "Set Msg Handled!"}));
  // Compared twice (no request pending), then the candidate is released.
  EXPECT_EQ(capture->count("siteSum|CHECKING SITE SUMMES EQUAL"), 2);
  EXPECT_EQ(capture->count("siteSum|In SiteSum GARBAGE COLLECTOR"), 1);
  EXPECT_STREQ(broker->getStateUuid(), uuid.c_str());
}

TEST_F(SetHandlingTest, AChangedConfigurationReplacesTheSummaryUnderANewState) {
  auto first = SetMsg::config({kLock1});
  deliver(first);
  ASSERT_EQ(publications(1).size(), 1u);
  const std::string oldUuid = broker->getStateUuid();
  clearLog();
  auto changed = SetMsg::config({kLock1}, 8);
  deliver(changed);
  auto pubs = publications(1);
  ASSERT_EQ(pubs.size(), 1u);
  const std::string uuid = broker->getStateUuid();
  EXPECT_NE(uuid, oldUuid);
  EXPECT_EQ(pubs[0].payload,
            "{\"CFG\": " + cfgJson("{\"RFID\": \"1\"}", 8) + ", \"state\": \"" + uuid + "\"}");
  EXPECT_TRUE(containsRun(brokerLines(),
                          {"It has so deleting Current SiteSum data",
                           "assigning Current SiteSum data from mPingSiteSome",
                           "sending Current SiteSum data", "generate uuid=" + uuid, "CFG Message Sent"}));
  EXPECT_TRUE(containsRun(capture->lines(), {"keyDTranslator|It has so deleting Current SiteSum data",
                                             "siteSum|In SiteSum GARBAGE COLLECTOR",
                                             "siteSum|deleting  mKey"}));
  EXPECT_TRUE(containsRun(capture->messages("cKey"), {"MTRANSCOUNT!= dev_rhs->mTransactionCnt making val false"}));
}

TEST_F(SetHandlingTest, ReqCfgRepublishesOnceBeforeOrAfterTheFirstAdoption) {
  // Before the first configuration: the adoption leaves the request set, so
  // the next unchanged configuration is published again.
  ASSERT_EQ(command("{\"command\":\"req_cfg\"}"), 1);
  EXPECT_TRUE(broker->cfgRequested());
  auto cfg = SetMsg::config({kLock1, kLock2});
  deliver(cfg);
  ASSERT_EQ(publications(1).size(), 1u);
  EXPECT_TRUE(broker->cfgRequested());
  const std::string firstUuid = broker->getStateUuid();
  for (int round = 0; round < 2; ++round) {
    auto same = SetMsg::config({kLock1, kLock2});
    deliver(same);
    auto pubs = publications(1);
    ASSERT_EQ(pubs.size(), 1u) << "round " << round;
    EXPECT_EQ(pubs[0].topic, "site_info");
    EXPECT_NE(broker->getStateUuid(), firstUuid);
    EXPECT_FALSE(broker->cfgRequested());
    auto again = SetMsg::config({kLock1, kLock2});
    deliver(again);
    EXPECT_TRUE(nothingPublished());
    // After the adoption: one request, asked twice, gives one republication.
    command("{\"command\":\"req_cfg\"}");
    command("{\"command\":\"req_cfg\"}");
  }
}

class PingTest : public BrokerFixture {
 protected:
  PingTest() : BrokerFixture(1) {}
};

TEST_F(PingTest, AnUnchangedConfigurationAfterTheIntervalSendsOnePing) {
  auto cfg = SetMsg::config({kLock1});
  deliver(cfg);
  ASSERT_EQ(publications(1).size(), 1u);
  const std::string uuid = broker->getStateUuid();
  std::this_thread::sleep_for(1300ms);
  clearLog();
  auto same = SetMsg::config({kLock1});
  deliver(same);
  auto pubs = publications(1);
  ASSERT_EQ(pubs.size(), 1u);
  EXPECT_EQ(pubs[0].topic, "command");
  EXPECT_EQ(pubs[0].payload, "{\"CMD\": \"ping\", \"state\": \"" + uuid + "\"}");
  EXPECT_TRUE(containsRun(brokerLines(), {"No change so sending ping msg", "Sending Ping message",
                                          "Ping Message Sent", "Set Msg Handled!"}));
  // The flag was cleared and the timer restarted: no second ping at once.
  auto again = SetMsg::config({kLock1});
  deliver(again);
  EXPECT_TRUE(nothingPublished());
}

TEST_F(SetHandlingTest, ReportsThatAreNoConfigurationPublishNothing) {
  const std::vector<std::pair<const char*, SetMsg>> cases = [] {
    std::vector<std::pair<const char*, SetMsg>> c;
    auto base = [] { return SetMsg(); };
    c.emplace_back("no key serial", std::move(base().str(TAG_KEY_BOX, "b").str(TAG_KEY_SW, "s").str(TAG_SRV_NAME, "n").u16(TAG_SRV_PORT, 1).lock(kLock1)));
    c.emplace_back("key serial 0xFFFFFFFF", std::move(base().u32(TAG_KEY_SN, 0xFFFFFFFF).str(TAG_KEY_BOX, "b").str(TAG_KEY_SW, "s").str(TAG_SRV_NAME, "n").u16(TAG_SRV_PORT, 1).lock(kLock1)));
    c.emplace_back("key box exactly one blank", std::move(base().u32(TAG_KEY_SN, 1).str(TAG_KEY_BOX, " ").str(TAG_KEY_SW, "s").str(TAG_SRV_NAME, "n").u16(TAG_SRV_PORT, 1).lock(kLock1)));
    c.emplace_back("no key software", std::move(base().u32(TAG_KEY_SN, 1).str(TAG_KEY_BOX, "b").str(TAG_SRV_NAME, "n").u16(TAG_SRV_PORT, 1).lock(kLock1)));
    c.emplace_back("no server name", std::move(base().u32(TAG_KEY_SN, 1).str(TAG_KEY_BOX, "b").str(TAG_KEY_SW, "s").u16(TAG_SRV_PORT, 1).lock(kLock1)));
    c.emplace_back("server port 65535", std::move(base().u32(TAG_KEY_SN, 1).str(TAG_KEY_BOX, "b").str(TAG_KEY_SW, "s").str(TAG_SRV_NAME, "n").u16(TAG_SRV_PORT, 65535).lock(kLock1)));
    c.emplace_back("no lock", std::move(base().u32(TAG_KEY_SN, 1).str(TAG_KEY_BOX, "b").str(TAG_KEY_SW, "s").str(TAG_SRV_NAME, "n").u16(TAG_SRV_PORT, 1)));
    return c;
  }();
  for (auto& [what, msg] : const_cast<std::vector<std::pair<const char*, SetMsg>>&>(cases)) {
    clearLog();
    deliver(msg);
    EXPECT_EQ(capture->count("keyDTranslator|We have a CFG Message!"), 0) << what;
    EXPECT_EQ(capture->count("keyDTranslator|Handling CFG change"), 0) << what;
    EXPECT_EQ(capture->count("keyDTranslator|Set Msg Handled!"), 1) << what;
  }
  EXPECT_TRUE(nothingPublished());
  EXPECT_EQ(broker->getStateUuid(), nullptr);
}

TEST_F(SetHandlingTest, LockTagsBecomeTheirFortyBitDecimalText) {
  const std::vector<std::tuple<Rf, std::string, std::string>> cases = {
      {{0, 0, 0, 0, 0}, "0000000000", "0"},
      {{0, 0, 0, 0, 1}, "0000000001", "1"},
      {{0, 0, 0, 1, 0}, "0000000100", "256"},
      {{0x12, 0x34, 0x56, 0x78, 0x9A}, "123456789A", "78187493530"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "FFFFFFFFFF", "1099511627775"}};
  for (const auto& [tag, hex, decimal] : cases) {
    clearLog();
    SetMsg m;
    m.lock(tag);
    deliver(m);
    char b[5][24];
    for (int i = 0; i < 5; ++i) std::snprintf(b[i], sizeof b[i], "TAG_LOCK_TAG %d : %02X", i + 1, tag[i]);
    EXPECT_TRUE(containsRun(brokerLines(),
                            {"TAG ID: 19", "HEX string: |" + hex + "|", "Int VAL: |" + decimal + "|",
                             "THE return from sprintf " + std::to_string(decimal.size()),
                             "THE FINAL STRING " + decimal, b[0], b[1], b[2], b[3], b[4]}));
  }
  // Two lock tags: two locks, in order.
  clearLog();
  SetMsg two;
  two.lock(kLock2).lock(kLock1);
  deliver(two);
  auto lines = brokerLines();
  auto first = std::find(lines.begin(), lines.end(), "THE FINAL STRING 78187493530");
  auto second = std::find(lines.begin(), lines.end(), "THE FINAL STRING 1");
  EXPECT_TRUE(first != lines.end() && second != lines.end() && first < second);
  EXPECT_TRUE(nothingPublished());
}

TEST_F(SetHandlingTest, RepliesAndBatteryLevels) {
  auto reply = [](std::initializer_list<Rf> locks, bool withType) {
    SetMsg m;
    m.str(TAG_LOCK_STATUS, "OPEN").str(TAG_LOCK_DESC, "door");
    if (withType) m.u32(TAG_LOCK_TYPE, 2);
    for (const auto& l : locks) m.lock(l);
    m.u8(TAG_KEY_BATTERY, 40);
    return m;
  };
  // Transfer reply, before any state exists: no "state", no battery reply.
  auto transfer = reply({}, true);
  deliver(transfer);
  auto pubs = publications(2, 500ms);
  ASSERT_EQ(pubs.size(), 1u);
  EXPECT_EQ(pubs[0].topic, "command");
  EXPECT_EQ(pubs[0].payload, "{\"CMD\": \"update_key\", \"LOCK_STATUS\": \"OPEN\"}");
  EXPECT_TRUE(containsRun(brokerLines(), {"WE HAVE A TRANSFER REPLY", "building TRANSFERREPLY reply ",
                                          "Sending transfer Reply message", "Transfer Reply handled",
                                          "Set Msg Handled!"}));
  // Non-transfer with one lock: "RFID"; with two: none.
  auto one = reply({kLock2}, true);
  deliver(one);
  auto two = reply({kLock1, kLock2}, true);
  deliver(two);
  pubs = publications(2);
  ASSERT_EQ(pubs.size(), 2u);
  EXPECT_EQ(pubs[0].payload,
            "{\"LOCK_STATUS\": \"OPEN\", \"RFID\": \"78187493530\", \"CMD\": \"update_lock\"}");
  EXPECT_EQ(pubs[1].payload, "{\"LOCK_STATUS\": \"OPEN\", \"CMD\": \"update_lock\"}");
  // Neither (no lock type): no reply, the battery level goes out instead.
  clearLog();
  auto neither = reply({kLock1}, false);
  deliver(neither);
  pubs = publications(1);
  ASSERT_EQ(pubs.size(), 1u);
  EXPECT_EQ(pubs[0].payload,
            "{\"CMD\": \"update_key\", \"power_status\": \"OPEN\", \"TAG_KEY_SN\": -1, "
            "\"TAG_KEY_BOX\": \" \", \"TAG_KEY_BATTERY\": 40}");
  EXPECT_TRUE(containsRun(brokerLines(), {"WE HAVE A REPLY That is neither "}));
  EXPECT_TRUE(containsRun(brokerLines(), {"building BATTERY reply ", "Sending transfer Reply message",
                                          "Transfer Reply handled"}));
  // A battery level alone; 255 means none.
  SetMsg battery;
  battery.u8(TAG_KEY_BATTERY, 40);
  deliver(battery);
  pubs = publications(1);
  ASSERT_EQ(pubs.size(), 1u);
  EXPECT_EQ(pubs[0].payload,
            "{\"CMD\": \"update_key\", \"power_status\": \" \", \"TAG_KEY_SN\": -1, "
            "\"TAG_KEY_BOX\": \" \", \"TAG_KEY_BATTERY\": 40}");
  SetMsg none;
  none.u8(TAG_KEY_BATTERY, 255);
  deliver(none);
  EXPECT_TRUE(nothingPublished());
}

TEST_F(SetHandlingTest, AConfigurationThatIsAlsoAReplyGivesItsLockToTheReply) {
  auto cfgReply = [] {
    auto m = SetMsg::config({kLock2});
    m.str(TAG_LOCK_STATUS, "CLOSED").str(TAG_LOCK_DESC, "gate").u32(TAG_LOCK_TYPE, 1);
    return m;
  };
  auto first = cfgReply();
  deliver(first);
  auto pubs = publications(2);
  ASSERT_EQ(pubs.size(), 2u);
  const std::string uuid = broker->getStateUuid();
  EXPECT_EQ(pubs[0].topic, "site_info");
  EXPECT_EQ(pubs[0].payload, "{\"CFG\": " + cfgJson("{\"RFID\": \"78187493530\"}") +
                                 ", \"state\": \"" + uuid + "\"}");
  EXPECT_EQ(pubs[1].payload, "{\"LOCK_STATUS\": \"CLOSED\", \"RFID\": \"78187493530\", \"state\": \"" +
                                 uuid + "\", \"CMD\": \"update_lock\"}");
  // The adopted key lost its only lock to the reply, so the same report
  // compares as changed and is published again.
  auto second = cfgReply();
  deliver(second);
  pubs = publications(2);
  ASSERT_EQ(pubs.size(), 2u);
  EXPECT_EQ(pubs[0].topic, "site_info");
  EXPECT_NE(broker->getStateUuid(), uuid);
}

TEST_F(SetHandlingTest, OtherMessageIdsAndOddReportsAreLoggedOnly) {
  for (unsigned char id : {1, 2, 3, 4, 255}) {
    SetMsg m(id);
    m.u32(TAG_KEY_SN, 5);
    deliver(m);
  }
  EXPECT_TRUE(containsRun(brokerLines(), {"Received Message from key deamon", "Got MSG_REQ",
                                          "Request received. Doing Nothing",
                                          "Received Message from key deamon", "Unknown Message ID 2",
                                          "Received Message from key deamon", "Got MSG_EVT",
                                          "In handle EVT", "Received Message from key deamon",
                                          "Unknown Message ID 4"}));
  // No tags at all: the summary lines with their initial values.
  clearLog();
  SetMsg empty;
  deliver(empty);
  EXPECT_TRUE(containsRun(brokerLines(), {"keySN= |-1|", "keyBoxN= | | FALSE", "keySW= | |",
                                          "servName= | |", "servPort= |65535|", "transactionCnt= |0|",
                                          "lock list is EMPTY", "Checking if CFG message"}));
  // Unknown tag ids are skipped, a repeated tag overwrites, a long text is
  // cut to 127 characters, and a text that is not UTF-8 still renders.
  SetMsg odd;
  odd.u32(TAG_KEY_SN, 1).u32(TAG_KEY_SN, 0x1234).u8(45, 1).str(TAG_KEY_BOX, std::string(300, 'b'));
  odd.str(TAG_KEY_SW, "sw\xff\xfe").str(TAG_SRV_NAME, "srv.example").u16(TAG_SRV_PORT, 8080);
  odd.u32(TAG_TRANS_CNT, 7).lock(kLock1);
  clearLog();
  deliver(odd);
  EXPECT_EQ(capture->count("keyDTranslator|UNknown tag ID : 45"), 1);
  EXPECT_EQ(capture->count("keyDTranslator|keySN= |4660|"), 1);
  EXPECT_EQ(capture->count("keyDTranslator|TAG_KEY_BOX: " + std::string(127, 'b')), 1);
  auto pubs = publications(1);
  ASSERT_EQ(pubs.size(), 1u);
  json_error_t error;
  json_t* doc = json_loads(pubs[0].payload.c_str(), 0, &error);
  ASSERT_NE(doc, nullptr) << pubs[0].payload;
  json_t* cfg = json_object_get(doc, "CFG");
  EXPECT_STREQ(json_string_value(json_object_get(cfg, "TAG_KEY_SW")), "sw\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(std::string(json_string_value(json_object_get(cfg, "TAG_KEY_BOX"))), std::string(127, 'b'));
  json_decref(doc);
}

}  // namespace
}  // namespace translate
