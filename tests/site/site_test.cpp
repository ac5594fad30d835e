// The key's lookups by RF tag and by decimal name, as a caller holding a
// site's key uses them: a name held twice, a tag and a name the key does
// not hold, and the key's auxiliary value.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "cKey.h"

namespace {

// Locks "1" (tag 0000000001), "2" (0000000002) and "1" again with the tag 0100000001.
std::unique_ptr<cKey> keyWithLocks() {
  auto list = std::make_unique<LockList>();
  for (const auto& [tag, name] : {std::pair{RFtag{0, 0, 0, 0, 1}, "1"},
                                  std::pair{RFtag{0, 0, 0, 0, 2}, "2"},
                                  std::pair{RFtag{1, 0, 0, 0, 1}, "1"}}) {
    auto lock = std::make_unique<cLock>();
    lock->setRFtag(tag.data());
    lock->setIntValStr(name);
    list->push_back(std::move(lock));
  }
  list->push_back(nullptr);  // an empty entry is skipped
  auto key = std::make_unique<cKey>();
  key->setLockList(std::move(list));
  return key;
}

TEST(Key, LookupsFindTheFirstTagAndTheLastLockOfAName) {
  const auto key = keyWithLocks();
  EXPECT_EQ(key->getRFIDByIntValStr("1"), (RFtag{0, 0, 0, 0, 1}));  // the first of the name
  EXPECT_EQ(key->getRFIDByIntValStr("3"), std::nullopt);
  EXPECT_EQ(key->getIntValStrByRFID(RFtag{0, 0, 0, 0, 2}.data()), std::optional<std::string>("2"));
  EXPECT_EQ(key->getIntValStrByRFID(RFtag{0, 0, 0, 0, 3}.data()), std::nullopt);
  const std::unique_ptr<cLock> last = key->getLockByIntValStr("1");  // a copy of the later one
  ASSERT_TRUE(last);
  EXPECT_EQ(RFtag(*reinterpret_cast<const RFtag*>(last->getRFtag())), (RFtag{1, 0, 0, 0, 1}));
  EXPECT_EQ(key->getLockByIntValStr("9"), nullptr);
  key->setKeyAux(-7);
  EXPECT_EQ(key->getKeyAux(), -7);
}

}  // namespace
