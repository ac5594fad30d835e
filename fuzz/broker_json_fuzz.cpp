// Fuzz target: one bus command text handed to the broker as its bus loop
// would, against a current site summary that knows three locks (so lock and
// unlock commands can find theirs and reach the key daemon's queue).
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "fuzz_broker.h"
#include "kmsg.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A configuration report of key 0x1234 with the locks 302003286,
  // 4328719365 and 1099511627775 (their tags as decimal texts).
  const unsigned char locks[3][5] = {
      {0x00, 0x12, 0x00, 0x34, 0x56}, {1, 2, 3, 4, 5}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
  KMsg cfg(MSG_SET);
  cfg.addTag(KTagFactory::createKTag(TAG_KEY_SN, 0x1234u));
  cfg.addTag(KTagFactory::createKTag(TAG_KEY_BOX, "box-1"));
  cfg.addTag(KTagFactory::createKTag(TAG_KEY_SW, "sw-2.0"));
  cfg.addTag(KTagFactory::createKTag(TAG_SRV_NAME, "srv.example"));
  cfg.addTag(KTagFactory::createKTag(TAG_SRV_PORT, static_cast<unsigned short>(8080)));
  cfg.addTag(KTagFactory::createKTag(TAG_TRANS_CNT, 7u));
  for (const auto& lock : locks) cfg.addTag(KTagFactory::createKTag(TAG_LOCK_TAG, lock, 5));
  kmsgBroker& broker = fuzzBroker();
  broker.onMessage(&cfg);
  if (!broker.getStateUuid()) std::abort();  // the summary was not adopted
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kmsgBroker& broker = fuzzBroker();
  debugLines(size % 2 == 0);  // blanks around the text choose the log level
  const int result = broker.handleJSON_message(reinterpret_cast<const char*>(data), size);
  if (result != 0 && result != 1) std::abort();
  return 0;
}
