// cObjectListener: what receives the key messages that the key daemon sends.
//
// The event pump calls onMessage on its own thread, one message at a time;
// the message is lent for the duration of the call and must not be kept.
#ifndef KEYD_COBJECTLISTENER_H
#define KEYD_COBJECTLISTENER_H

class KMsg;

class cObjectListener {
 public:
  virtual void onMessage(KMsg* msg) = 0;
  virtual ~cObjectListener() = default;
};

#endif  // KEYD_COBJECTLISTENER_H
