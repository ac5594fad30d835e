// What the fault tests use to play the key daemon and the bus: configuration
// reports made with the kmsg library, the key daemon's UDP end, "site_info"
// parsing, a flood thread and seeded mutations of datagrams and bus texts.
// Header-only; everything here belongs to the test that creates it.
#ifndef TESTS_FAULTS_FAULT_SUPPORT_H
#define TESTS_FAULTS_FAULT_SUPPORT_H

#include <arpa/inet.h>
#include <jansson.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kmsg.h"
#include "nlite.h"

namespace faults {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

inline std::string hex(const std::vector<unsigned char>& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}

// A complete configuration report with the lock 01 02 03 04 05 (decimal
// 4328719365); the transaction count numbers it, so a new count is a change.
inline Bytes report(unsigned transactions, const std::string& box = "box-1") {
  KMsg m(MSG_SET);
  const unsigned char lock[5] = {1, 2, 3, 4, 5};
  m.addTag(KTagFactory::createKTag(TAG_KEY_SN, 0x1234u));
  m.addTag(KTagFactory::createKTag(TAG_KEY_BOX, box));
  m.addTag(KTagFactory::createKTag(TAG_KEY_SW, std::string("sw-2")));
  m.addTag(KTagFactory::createKTag(TAG_SRV_NAME, std::string("srv")));
  m.addTag(KTagFactory::createKTag(TAG_SRV_PORT, static_cast<unsigned short>(8080)));
  m.addTag(KTagFactory::createKTag(TAG_TRANS_CNT, transactions));
  m.addTag(KTagFactory::createKTag(TAG_LOCK_TAG, lock, 5));
  Bytes out(m.mSize + 2u);
  m.getMsg(out.data(), static_cast<unsigned short>(out.size()));
  return out;
}

// A request as "id tag=value ...": bytes in hex, u8 in decimal.
inline std::string describe(KMsg& m) {
  std::string out = std::to_string(m.mId);
  for (const auto& t : m.tags()) {
    out += " " + std::to_string(t->mId) + "=";
    if (auto* b = ktag_cast<KTagBytes>(t.get())) out += hex(b->bytes());
    if (auto* u = ktag_cast<KTagUInt8>(t.get())) out += std::to_string(u->getValue());
  }
  return out;
}

// KeySide: the key daemon's end, a UDP socket on 127.0.0.1:5555 that learns
// the translator's address from its keep-alive (a request with one u32 tag
// 0). Owned by the test; send() may run on a flood thread, the rest on one.
class KeySide {
 public:
  ~KeySide() {
    if (mFd >= 0) ::close(mFd);
  }
  bool open() {
    mFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(5555);
    return ::bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  // The next datagram within ms (the translator sends only valid ones), or null.
  std::unique_ptr<KMsg> receive(int ms, bool* ping = nullptr) {
    pollfd p{mFd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return nullptr;
    unsigned char buf[4096];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(mFd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    std::unique_ptr<KMsg> m(n > 0 ? KMsg::parseMsg(buf, static_cast<unsigned short>(n)) : nullptr);
    auto* sn = m && m->tags().size() == 1 ? ktag_cast<KTagUInt32>(m->tags()[0].get()) : nullptr;
    const bool isPing = m && m->mId == MSG_REQ && sn && sn->mId == TAG_KEY_SN && !sn->getValue();
    if (isPing) mPeer = from;
    if (ping) *ping = isPing;
    return m;
  }
  bool awaitTranslator(int ms) {
    bool ping = false;
    for (auto end = Clock::now() + std::chrono::milliseconds(ms); !ping && Clock::now() < end;)
      receive(50, &ping);
    return ping;
  }
  // The next request that is not a keep-alive, within ms (0: only if waiting).
  std::unique_ptr<KMsg> request(int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    do {
      bool ping = false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      auto m = receive(static_cast<int>(std::max<long>(0, left.count())), &ping);
      if (m && !ping) return m;
    } while (Clock::now() < end);
    return nullptr;
  }
  void send(const Bytes& d) {
    ::sendto(mFd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&mPeer), sizeof mPeer);
  }
  int translatorPort() const { return ntohs(mPeer.sin_port); }

 private:
  int mFd = -1;
  sockaddr_in mPeer{};
};

struct SiteInfo {
  long long transactions = -1;
  std::string state, box;
};

inline std::optional<SiteInfo> parseSiteInfo(const nlite::Message& m) {
  json_error_t error;
  json_t* d = std::string(m.topic()) == "site_info"
                  ? json_loadb(m.buffer(), m.bufferSize(), 0, &error)
                  : nullptr;
  if (!d) return std::nullopt;
  SiteInfo s;
  json_t* cfg = json_object_get(d, "CFG");
  s.transactions = json_integer_value(json_object_get(cfg, "TAG_TRANS_CNT"));
  if (const char* v = json_string_value(json_object_get(d, "state"))) s.state = v;
  if (const char* v = json_string_value(json_object_get(cfg, "TAG_KEY_BOX"))) s.box = v;
  json_decref(d);
  return s;
}

inline std::optional<SiteInfo> nextSiteInfo(nlite::Client& sub, int ms) {
  for (auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
    if (nlite::Message* m = sub.receive()) {
      if (auto s = parseSiteInfo(*m)) return s;
    } else {
      sub.waitReadable(20);
    }
  }
  return std::nullopt;
}

// Flood: valid, changing reports at full speed from a thread of its own,
// until destroyed (20 s and 5,000,000 datagrams at most). Owned by the test.
class Flood {
 public:
  explicit Flood(KeySide& key)
      : mThread([this, &key] {
          std::vector<Bytes> reports;
          for (unsigned n = 0; n < 1000; ++n) reports.push_back(report(n));
          const auto end = Clock::now() + 20s;
          for (size_t i = 0; !mDone && i < 5000000 && Clock::now() < end; ++i, ++sent)
            key.send(reports[i % reports.size()]);
        }) {}
  ~Flood() {
    mDone = true;
    mThread.join();
  }
  std::atomic<size_t> sent{0};

 private:
  std::atomic<bool> mDone{false};
  std::thread mThread;  // last: starts once the counters exist
};

// Mutator: mutations of valid key messages and bus texts, reproducible from
// a seed. Returns new values owned by the caller; one thread.
class Mutator {
 public:
  explicit Mutator(unsigned seed) : mRng(seed) {}
  size_t below(size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(mRng) : 0; }
  std::string randomText(size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(below(256));
    return s;
  }
  Bytes datagram(const Bytes& valid) {
    Bytes d = valid;
    std::vector<size_t> tags;  // offsets of the tag headers: id, type, length (16 bit)
    for (size_t at = 4; at + 4 <= d.size(); at += 4 + (d[at + 2] << 8 | d[at + 3]))
      tags.push_back(at);
    switch (below(8)) {
      case 0:  // bit flips
        for (size_t i = 0, n = 1 + below(8); i < n; ++i) d[below(d.size())] ^= 1 << below(8);
        break;
      case 1:  // truncation
        d.resize(below(d.size()));
        break;
      case 2: {  // the tag count or one tag's value length: off by one, or any
        const size_t at = below(3) == 0 || tags.empty() ? 2 : tags[below(tags.size())] + 2;
        const unsigned old = d[at] << 8 | d[at + 1];
        const unsigned v = below(2) ? old + (below(2) ? 1u : 65535u) : below(65536);
        d[at] = static_cast<unsigned char>(v >> 8);
        d[at + 1] = static_cast<unsigned char>(v);
        break;
      }
      case 3:  // one tag's type code
        if (!tags.empty()) d[tags[below(tags.size())] + 1] = static_cast<unsigned char>(below(8));
        break;
      case 4: {  // random bytes, rarely longer than 2048 (up to the largest UDP payload)
        const std::string r = randomText(below(500) ? below(2100) : 2049 + below(65507 - 2048));
        d.assign(r.begin(), r.end());
        break;
      }
      case 5:  // empty
        d.clear();
        break;
      case 6:  // the tags twice
        d.insert(d.end(), valid.begin() + 4, valid.end());
        break;
      default:  // valid
        break;
    }
    return d;
  }
  // Every text stays under the bus's 256 KiB payload bound.
  std::string busText(const std::string& valid) {
    static const char* const kOthers[] = {
        "[]",
        "42",
        "\"UNLOCK\"",
        "null",
        "true",
        "[{\"command\":\"UNLOCK\"}]",
        "{}",
        "",
        "{\"command\":123}",
        "{\"command\":[\"LOCK\"],\"RFID\":{},\"state\":1}",
        "{\"command\":\"UNLOCK\",\"RFID\":4328719365,\"state\":null}",
        "{\"command\":\"UNL\\u0000OCK\",\"RFID\":\"4328\\u0000719365\",\"state\":\"s\"}",
        "{\"command\":\"LOCK\",\"command\":\"UNLOCK\",\"RFID\":\"1\",\"RFID\":\"4328719365\"}"};
    std::string t = valid;
    switch (below(8)) {
      case 0:
        for (size_t i = 0, n = 1 + below(4); i < n; ++i)
          t[below(t.size())] = static_cast<char>(below(256));
        break;
      case 1:
        t.resize(below(t.size()));
        break;
      case 2:
        t.insert(below(t.size() + 1), randomText(1 + below(64)));
        break;
      case 3:
        t = randomText(below(4096));
        break;
      case 4:  // a huge string
        t = "{\"command\":\"UNLOCK\",\"RFID\":\"" + std::string(100000 + below(100000), '7') +
            "\",\"state\":\"s\"}";
        break;
      case 5: {  // nesting far beyond the parser's depth limit, or within it
        const size_t n = below(2) ? 20000 : 1 + below(2000);
        t.clear();
        for (size_t i = 0; i < n; ++i) t += "{\"command\":";
        t += "\"LOCK\"" + std::string(n, '}');
        if (below(2)) t = std::string(5 * n, '[') + std::string(5 * n, ']');
        break;
      }
      case 6:  // other types, non-objects
        t = kOthers[below(sizeof kOthers / sizeof *kOthers)];
        break;
      default:  // valid
        break;
    }
    return t;
  }

 private:
  std::mt19937 mRng;
};

}  // namespace faults

#endif  // TESTS_FAULTS_FAULT_SUPPORT_H
