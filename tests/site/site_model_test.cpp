// The site model: renderings, equality with its log lines, lookups by tag and
// by IntValStr, destructor lines, taking the only lock, and the list mutex.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cKey.h"
#include "cLock.h"
#include "logcapture.h"
#include "outGoingreply.h"
#include "siteSum.h"

namespace {

using Lines = std::vector<std::string>;

std::string dump(const JsonPtr& value) {
  JsonText text(json_dumps(value.get(), 0));
  return text ? text.get() : "<null>";
}

std::unique_ptr<cLock> makeLock(RFtag tag, const char* intValStr) {
  auto lock = std::make_unique<cLock>();
  lock->setRFtag(tag.data());
  if (intValStr) lock->setIntValStr(intValStr);
  return lock;
}

// Locks numbered n get the tag 00 00 00 00 n and the IntValStr "n".
std::unique_ptr<LockList> makeList(std::initializer_list<int> numbers) {
  auto list = std::make_unique<LockList>();
  for (int n : numbers)
    list->push_back(
        makeLock({0, 0, 0, 0, static_cast<unsigned char>(n)}, std::to_string(n).c_str()));
  return list;
}

std::unique_ptr<cKey> makeKey(std::unique_ptr<LockList> list = nullptr) {
  auto key = std::make_unique<cKey>();
  key->setKeySN(7);
  key->setKeyBoxN("box");
  key->setKeySW("sw 1.0");
  key->setServName("server");
  key->setServPort(8080);
  key->setTransactionCnt(3);
  if (list) key->setLockList(std::move(list));
  return key;
}

TEST(SiteRendering, KeyLockSummaryAndReply) {
  cKey defaults;
  EXPECT_EQ(dump(defaults.toJSON()), R"({"TAG_SRV_PORT": 65535, "TAG_TRANS_CNT": 0})");
  defaults.setServPort(0);
  defaults.setLockList(std::make_unique<LockList>());  // no locks: no "Key"
  EXPECT_EQ(dump(defaults.toJSON()), R"({"TAG_TRANS_CNT": 0})");

  auto key = makeKey(makeList({1, 2}));
  EXPECT_EQ(dump(key->toJSON()),
            R"({"TAG_KEY_BOX": "box", "TAG_KEY_SW": "sw 1.0", "TAG_SRV_NAME": "server", )"
            R"("TAG_SRV_PORT": 8080, "TAG_TRANS_CNT": 3, )"
            R"("Key": {"LOCKS": [{"RFID": "1"}, {"RFID": "2"}], "Serial": 7}})");
  key->setKeySN(0);  // Serial 0 is left out, -1 is not
  key->setKeySW(nullptr);
  EXPECT_EQ(dump(key->toJSON()),
            R"({"TAG_KEY_BOX": "box", "TAG_SRV_NAME": "server", "TAG_SRV_PORT": 8080, )"
            R"("TAG_TRANS_CNT": 3, "Key": {"LOCKS": [{"RFID": "1"}, {"RFID": "2"}]}})");
  key->setKeySN(-1);
  EXPECT_NE(dump(key->toJSON()).find(R"("Serial": -1)"), std::string::npos);

  siteSum summary;
  EXPECT_EQ(dump(summary.toJSON()), "{}");
  summary.setKey(std::make_unique<cKey>());
  EXPECT_EQ(dump(summary.toJSON()), R"({"CFG": {"TAG_SRV_PORT": 65535, "TAG_TRANS_CNT": 0}})");

  cLock bare;  // no IntValStr
  EXPECT_EQ(dump(bare.toJSON()), "{}");
  auto lock = makeLock({0, 0, 0, 1, 0}, "256");
  outGoingreply reply;
  EXPECT_EQ(dump(reply.toJSON()), "{}");
  reply.setLockStatus("OPEN");
  EXPECT_EQ(dump(reply.toJSON()), R"({"LOCK_STATUS": "OPEN"})");
  reply.setLock(&bare);  // a lock without IntValStr adds nothing
  EXPECT_EQ(dump(reply.toJSON()), R"({"LOCK_STATUS": "OPEN"})");
  reply.setLock(lock.get());
  EXPECT_EQ(dump(reply.toJSON()), R"({"LOCK_STATUS": "OPEN", "RFID": "256"})");
}

TEST(SiteRendering, TextsThatAreNotUtf8KeepTheirMembers) {
  cKey key;
  key.setKeyBoxN("bad\xff");
  EXPECT_EQ(
      dump(key.toJSON()),
      "{\"TAG_KEY_BOX\": \"bad\xEF\xBF\xBD\", \"TAG_SRV_PORT\": 65535, \"TAG_TRANS_CNT\": 0}");
  outGoingreply reply;
  reply.setLockStatus("\xfe");
  EXPECT_EQ(dump(reply.toJSON()), "{\"LOCK_STATUS\": \"\xEF\xBF\xBD\"}");

  testing::internal::CaptureStdout();
  EXPECT_EQ(dump(makeLock({1, 2, 3, 4, 5}, "\xc3(")->toJSON()), "{}");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR in creating cLock JSON OBJ");
}

TEST(SiteEquality, LocksCompareTextAndAllFiveTagBytes) {
  testsupport::LogCapture capture;
  auto a = makeLock({0, 1, 2, 3, 4}, "1");
  auto b = makeLock({0, 1, 2, 3, 5}, "1");  // differs after a zero byte
  EXPECT_FALSE(*a == *b);
  cLock bare;
  EXPECT_FALSE(bare == *a);
  cLock copy(*a);
  EXPECT_TRUE(copy == *a);
  EXPECT_EQ(capture.messages("cLock"),
            (Lines{"In Lock == operator ", "mRFtag not matching making val false",
                   "In Lock == operator ", "mIntValStr not matching making val false",
                   "mRFtag not matching making val false", "In Lock == operator "}));
  EXPECT_TRUE(bare == cLock());  // absent equals absent
}

TEST(SiteEquality, KeysLogEveryMismatchAndLookForLocksOneWayOnly) {
  auto left = makeKey(makeList({1}));
  cKey right;
  right.setKeySN(8);
  testsupport::LogCapture capture;
  EXPECT_FALSE(*left == right);
  EXPECT_EQ(capture.messages("cKey"),
            (Lines{"CHECKING KEYS ARE EQUAL", "MKEYSN!= dev_rhs->mKeySN making val false",
                   "MKEYBOXN!= dev_rhs->mKeyBoxN making val false",
                   "MKEYSW!= dev_rhs->mKeySW making val false",
                   "MSERVNAME!= dev_rhs->mServName making val false",
                   "MSERVPORT!= dev_rhs->mServPort making val false",
                   "MTRANSCOUNT!= dev_rhs->mTransactionCnt making val false",
                   "no matching lock  making val false", "KEY RETURN VAL Is false"}));

  auto two = makeKey(makeList({2, 4})), five = makeKey(makeList({1, 2, 3, 4, 5}));
  capture.clear();
  EXPECT_TRUE(*two == *five);
  EXPECT_EQ(capture.messages("cKey"), (Lines{"CHECKING KEYS ARE EQUAL", "matching lock found!",
                                             "matching lock found!", "KEY RETURN VAL Is true"}));
  EXPECT_EQ(capture.count("cLock|In Lock == operator "), 10);  // each against all five
  capture.clear();
  EXPECT_FALSE(*five == *two);
  EXPECT_EQ(
      capture.messages("cKey"),
      (Lines{"CHECKING KEYS ARE EQUAL", "no matching lock  making val false",
             "matching lock found!", "no matching lock  making val false", "matching lock found!",
             "no matching lock  making val false", "KEY RETURN VAL Is false"}));
  EXPECT_TRUE(*makeKey() == *five);  // an empty list on the left passes
  EXPECT_FALSE(*two == *makeKey());

  capture.clear();  // a lock equal to two locks matches twice
  EXPECT_TRUE(*makeKey(makeList({1})) == *makeKey(makeList({1, 1})));
  EXPECT_EQ(capture.count("cKey|matching lock found!"), 2);
}

TEST(SiteLookup, ByIntValStrAndByTag) {
  auto list = std::make_unique<LockList>();
  list->push_back(makeLock({0, 0xAB, 0, 0, 1}, "734439407617"));
  list->push_back(makeLock({0, 0xAB, 0, 0, 2}, "734439407618"));
  list->push_back(makeLock({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "1099511627775"));
  list->push_back(nullptr);
  list->push_back(makeLock({2, 2, 2, 2, 2}, "1099511627775"));
  auto key = makeKey(std::move(list));
  testsupport::LogCapture capture;

  EXPECT_EQ(key->getRFIDByIntValStr("734439407618"), (RFtag{0, 0xAB, 0, 0, 2}));
  EXPECT_FALSE(key->getRFIDByIntValStr("%s%n"));
  const unsigned char wanted[5] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, missing[5] = {0, 0xAB, 0, 0, 3};
  EXPECT_EQ(key->getIntValStrByRFID(wanted), std::optional<std::string>("1099511627775"));
  EXPECT_FALSE(key->getIntValStrByRFID(missing));
  EXPECT_EQ(capture.messages("cKey"),
            (Lines{"trying to get RFID matching IntValStr |734439407618|",
                   "FOUND a matching lock with RFID= 00AB000002 that matches 734439407618",
                   "trying to get RFID matching IntValStr |%s%n|", "No match",
                   "FOUND a matching lock with IntVarSTr = 1099511627775 IntVarSTr that "
                   "matches rfid FFFFFFFFFF"}));

  capture.clear();  // the same IntValStr twice: a copy of the later lock
  auto lock = key->getLockByIntValStr("1099511627775");
  ASSERT_TRUE(lock && lock->getRFtag());
  EXPECT_EQ(std::vector<unsigned char>(lock->getRFtag(), lock->getRFtag() + 5),
            std::vector<unsigned char>(5, 2));
  EXPECT_EQ(capture.messages("cKey"),
            (Lines{"FOUND a matching lock with intvarstr= 1099511627775",
                   "FOUND a matching lock with intvarstr= 1099511627775"}));
  EXPECT_FALSE(cKey().getRFIDByIntValStr("1"));
  EXPECT_FALSE(cKey().getLockByIntValStr("1"));
}

TEST(SiteLifecycle, DestructorsLogInOrder) {
  testsupport::LogCapture capture;
  {
    siteSum summary;
    summary.setSiteID("id");
    summary.setSiteLabel("label");
    auto list = std::make_unique<LockList>();
    list->push_back(makeLock({1, 2, 3, 4, 5}, "4328719365"));
    list->push_back(nullptr);
    summary.setKey(makeKey(std::move(list)));
  }
  { cKey bare; }  // only what it holds is deleted
  { cLock bare; }
  EXPECT_EQ(
      capture.lines(),
      (Lines{"siteSum|In SiteSum GARBAGE COLLECTOR", "siteSum|deleting  mSiteID",
             "siteSum|deleting  mSiteLabel", "siteSum|deleting  mKey",
             "cKey|in cKey GARBAGE Collector", "cKey|deleting mKeyBoxN", "cKey|deleting Lock list",
             "cKey|deleting ", "cLock|deleting mRFtag", "cLock|deleting mIntValStr",
             "cKey|deleting ", "cKey|deleting actual list", "cKey|in cKey GARBAGE Collector"}));
}

TEST(SiteLifecycle, TakeOnlyLockTakesASingleLockOnly) {
  auto key = makeKey(makeList({1, 2}));
  EXPECT_FALSE(key->takeOnlyLock());
  EXPECT_EQ(key->getLockList()->size(), 2u);
  key->setLockList(makeList({9}));
  auto taken = key->takeOnlyLock();
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->getIntValStr(), std::string("9"));
  EXPECT_TRUE(key->getLockList()->empty());
  EXPECT_FALSE(key->takeOnlyLock());
  EXPECT_EQ(dump(key->toJSON()).find("Key"), std::string::npos);
}

// The event pump replaces and empties a key's list while the main thread
// searches and renders it; under ThreadSanitizer this shows the list mutex
// covers every access.
TEST(SiteConcurrency, ListChangesWhileSearchingAndRendering) {
  auto key = makeKey(makeList({1}));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      if (i % 3 == 0)
        key->takeOnlyLock();
      else
        key->setLockList(makeList({1, 2}));
      if (i % 3 == 1) key->setLockList(makeList({1}));
    }
    done = true;
  });
  int found = 0;
  for (int i = 0; i < 2000 || !done; ++i) {
    found += key->getRFIDByIntValStr("1").has_value();
    EXPECT_EQ(dump(key->toJSON()).rfind(R"({"TAG_KEY_BOX": "box")", 0), 0u);
  }
  writer.join();
  EXPECT_GT(found, 0);
}

}  // namespace
