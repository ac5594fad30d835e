// Signed commands: HMAC-SHA256 of OpenSSL's libcrypto, compared in constant time.
#include "signature.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>

#include "kjson.h"

namespace {

bool nonceText(const std::string& s) {
  return s.size() >= 16 && s.size() <= 64 && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-';
         });
}

bool sigText(const std::string& s) {
  return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::optional<std::time_t> decimal(const std::string& s) {
  if (s.empty() || s.size() > 18 ||
      !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  return static_cast<std::time_t>(std::stoll(s));
}

}  // namespace

cSignatureCheck::cSignatureCheck(std::vector<unsigned char> key, std::string site)
    : mKey(std::move(key)), mSite(std::move(site)) {}

bool cSignatureCheck::signatureMatches(const Signed& props, const std::string& payload) const {
  const std::string text = "keyd-command-v1\n" + mSite + "\n" + props.app.value_or("") + "\n" +
                           *props.expires + "\n" + *props.nonce + "\n" + payload;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), mKey.data(), static_cast<int>(mKey.size()),
            reinterpret_cast<const unsigned char*>(text.data()), text.size(), mac, &length) ||
      length != 32)
    return false;
  const std::optional<std::vector<unsigned char>> given = fromHex(*props.sig);
  return given && given->size() == 32 && CRYPTO_memcmp(given->data(), mac, 32) == 0;
}

void cSignatureCheck::forgetExpired(std::time_t now) {
  for (auto it = mNonces.begin(); it != mNonces.end();)
    it = it->second < now ? mNonces.erase(it) : std::next(it);
}

const char* cSignatureCheck::check(const Signed& props, const std::string& payload,
                                   std::time_t now) {
  if (!props.sig) return "unsigned";
  if (!props.expires || !props.nonce || !sigText(*props.sig) || !nonceText(*props.nonce))
    return "bad signature";
  const std::optional<std::time_t> expires = decimal(*props.expires);
  if (!expires || *expires > now + kMaxAhead || !signatureMatches(props, payload))
    return "bad signature";
  if (*expires < now) return "signature expired";
  if (mNonces.size() >= kMaxNonces) forgetExpired(now);
  auto seen = mNonces.find(*props.nonce);
  if (seen != mNonces.end() && seen->second >= now) return "replayed";
  // Full of nonces that have not expired: nothing new can be told from a
  // replay, so nothing is taken until some expire.
  if (seen == mNonces.end() && mNonces.size() >= kMaxNonces) return "replayed";
  mNonces[*props.nonce] = *expires;
  return nullptr;
}
