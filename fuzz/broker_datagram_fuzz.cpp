// Fuzz target: one datagram from the key daemon, decoded and handed to the
// broker as the event pump would: SET reports end to end (classification,
// site summaries, replies, their JSON and bus publications). One broker
// serves the whole run, so adopted summaries and the state carry over.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_broker.h"
#include "kmsg.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzBroker();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 0xFFFF) return 0;
  std::unique_ptr<KMsg> msg(KMsg::parseMsg(data, static_cast<unsigned short>(size)));
  if (!msg) return 0;
  kmsgBroker& broker = fuzzBroker();
  // The sequence byte, which the broker never reads, steers the run: bit 0
  // turns the debug lines off, bit 1 asks for the configuration first (as
  // the bus command "req_cfg" does), bit 2 delivers the message twice, so
  // unchanged configurations (and the ping once due) are reached too.
  debugLines((msg->mSeq & 1) == 0);
  if (msg->mSeq & 2) {
    static const char kReqCfg[] = "{\"command\":\"req_cfg\"}";
    broker.handleJSON_message(kReqCfg, sizeof kReqCfg - 1);
  }
  broker.onMessage(msg.get());
  if (msg->mSeq & 4) broker.onMessage(msg.get());
  // The state, once there is one, is always a UUID text.
  if (const char* state = broker.getStateUuid())
    if (std::strlen(state) != 36) std::abort();
  return 0;
}
