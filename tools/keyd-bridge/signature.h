// cSignatureCheck: the check of signed commands with the site's key. A
// signed command carries the MQTT 5 user properties "expires" (Unix time,
// decimal), "nonce" (16 to 64 of [A-Za-z0-9_-]) and "sig" (64 lower-case hex
// digits): the HMAC-SHA256, with the key, of
//   keyd-command-v1 LF SITE LF APP LF EXPIRES LF NONCE LF PAYLOAD
// Each nonce is remembered until its command's "expires", so a command is
// taken once; "expires" may lie at most kMaxAhead seconds ahead, which bounds
// that memory (and at most kMaxNonces nonces are kept).
//
// Ownership: holds a copy of the key and the nonces. Threads: one at a time
// (the MQTT thread).
#ifndef KEYD_BRIDGE_SIGNATURE_H
#define KEYD_BRIDGE_SIGNATURE_H

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class cSignatureCheck {
 public:
  static constexpr long kMaxAhead = 300;
  static constexpr size_t kMaxNonces = 100000;

  struct Signed {
    std::optional<std::string> app, expires, nonce, sig;  // the user properties given
  };

  cSignatureCheck(std::vector<unsigned char> key, std::string site);

  // nullptr when the command is to be taken (its nonce is then remembered),
  // else the reason of its refusal: "unsigned", "bad signature", "signature
  // expired" or "replayed".
  const char* check(const Signed& props, const std::string& payload, std::time_t now);

 private:
  bool signatureMatches(const Signed& props, const std::string& payload) const;
  void forgetExpired(std::time_t now);

  const std::vector<unsigned char> mKey;
  const std::string mSite;
  std::unordered_map<std::string, std::time_t> mNonces;  // nonce -> its "expires"
};

#endif  // KEYD_BRIDGE_SIGNATURE_H
