// keyd-sim: stands in for the key daemon. Every datagram received on its UDP
// socket is printed as one JSON line; every JSON line of standard input is
// sent to the peer as a key message. One thread, one ppoll loop.
#include <arpa/inet.h>
#include <jansson.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kmsg.h"

namespace {

constexpr const char* kDefaultListen = "127.0.0.1:5555";
constexpr std::size_t kMaxQueuedLines = 10000;
constexpr std::size_t kMaxQueuedBytes = 64u << 20;
constexpr std::size_t kMaxLine = 1u << 20;  // longer input lines are refused
constexpr std::size_t kMaxRaw = 65507;      // largest UDP payload over IPv4
constexpr std::size_t kReadChunk = 65536;

const char* const kUsage =
    "usage: keyd-sim [--listen ADDR:PORT] [--peer ADDR:PORT]\n"
    "       keyd-sim --help\n"
    "\n"
    "Stands in for the key daemon: binds a UDP socket to --listen (default\n"
    "127.0.0.1:5555) and talks to its peer, the sender of the most recent\n"
    "datagram received (--peer names one until a datagram arrives).\n"
    "\n"
    "Each datagram received is printed on standard output as one JSON line:\n"
    "  {\"id\":1,\"seq\":5,\"tags\":[{\"id\":0,\"type\":\"u32\",\"value\":0}]}\n"
    "\"seq\" is the whole sequence byte (0..255; 128 and up: more segments\n"
    "follow), \"type\" one of \"u8\", \"u16\", \"u32\", \"str\", \"bytes\"; integers are\n"
    "JSON numbers, str a JSON string (bytes that are not UTF-8 show as U+FFFD),\n"
    "bytes lower-case hex. Segments are printed one line each, as they arrive.\n"
    "A datagram that is no valid key message prints\n"
    "  {\"error\":\"invalid key message\",\"hex\":\"<the whole datagram>\"}\n"
    "\n"
    "Each line of standard input is sent to the peer: a message in the same\n"
    "shape (\"seq\" optional, else the next sequence number), in segments of at\n"
    "most 1024 bytes when it is longer, or {\"raw\":\"HEX\"} for exactly those\n"
    "bytes as one datagram. A bad line prints {\"error\":\"...\"} and is skipped;\n"
    "blank lines are ignored. Lines wait until a peer is known; while 10000\n"
    "lines (or 64 MiB) wait, standard input is not read. End of input only\n"
    "stops reading. Once bound, \"keyd-sim: listening on ADDR:PORT\" goes to\n"
    "standard error. Runs until SIGINT or SIGTERM (exit 0); exit 1 when the\n"
    "socket cannot be bound, 2 on bad options. ADDR is an IPv4 address.\n"
    "\n"
    "Examples:\n"
    "  # be the key daemon on its usual port and watch what the translator sends\n"
    "  keyd-sim\n"
    "  # send a keep-alive request to 127.0.0.1:6000, then print the replies\n"
    "  echo '{\"id\":1,\"tags\":[{\"id\":0,\"type\":\"u32\",\"value\":0}]}' |\n"
    "      keyd-sim --listen 127.0.0.1:5556 --peer 127.0.0.1:6000\n";

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

using Bytes = std::vector<unsigned char>;
using Datagrams = std::vector<Bytes>;

struct JsonRelease {
  void operator()(json_t* value) const { json_decref(value); }
};
using Json = std::unique_ptr<json_t, JsonRelease>;

// Why an input line is refused; caught per line.
struct BadLine : std::runtime_error {
  using std::runtime_error::runtime_error;
};
[[noreturn]] void bad(const std::string& why) { throw BadLine(why); }

std::optional<sockaddr_in> parseAddress(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return std::nullopt;
  for (char c : port)
    if (c < '0' || c > '9') return std::nullopt;  // strtol would take " +80"
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(port.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < 1 || value > 65535) return std::nullopt;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(value));
  if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &addr.sin_addr) != 1) return std::nullopt;
  return addr;
}

std::string toHex(const unsigned char* data, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += "0123456789abcdef"[data[i] >> 4];
    out += "0123456789abcdef"[data[i] & 0xF];
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text with every byte that does not belong to a well-formed UTF-8
// sequence replaced by U+FFFD (the wire imposes no encoding on strings).
std::string toUtf8(const std::string& in) {
  std::string out;
  for (std::size_t i = 0; i < in.size();) {
    const auto c = static_cast<unsigned char>(in[i]);
    const std::size_t n = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    bool ok = n > 0 && i + n <= in.size();
    for (std::size_t k = 1; ok && k < n; ++k) ok = (in[i + k] & 0xC0) == 0x80;
    if (ok && n > 2) {  // overlong forms, surrogates, beyond U+10FFFF
      const auto d = static_cast<unsigned char>(in[i + 1]);
      ok = !((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) ||
             (c == 0xF4 && d > 0x8F));
    }
    out += ok ? in.substr(i, n) : "\xEF\xBF\xBD";
    i += ok ? n : 1;
  }
  return out;
}

void printJson(const Json& value) {
  std::unique_ptr<char, decltype(&std::free)> text(json_dumps(value.get(), JSON_COMPACT),
                                                   &std::free);
  if (!text) return;
  std::fputs(text.get(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void printError(const std::string& why) { printJson(Json(json_pack("{s:s}", "error", why.c_str()))); }

Json messageJson(const KMsg& msg) {
  Json tags(json_array());
  for (const auto& tag : msg.tags()) {
    json_t* value = nullptr;
    if (const auto* u8 = ktag_cast<KTagUInt8>(tag.get())) {
      value = json_integer(u8->getValue());
    } else if (const auto* u16 = ktag_cast<KTagUInt16>(tag.get())) {
      value = json_integer(u16->getValue());
    } else if (const auto* u32 = ktag_cast<KTagUInt32>(tag.get())) {
      value = json_integer(u32->getValue());
    } else if (const auto* str = ktag_cast<KTagString>(tag.get())) {
      const std::string text = toUtf8(str->text());
      value = json_stringn(text.data(), text.size());
    } else if (const auto* bytes = ktag_cast<KTagBytes>(tag.get())) {
      value = json_string(toHex(bytes->bytes().data(), bytes->bytes().size()).c_str());
    }
    json_array_append_new(tags.get(), json_pack("{s:i,s:s,s:o}", "id", int{tag->mId}, "type",
                                                 tag->typeName(), "value", value));
  }
  return Json(json_pack("{s:i,s:i,s:o}", "id", int{msg.mId}, "seq", int{msg.mSeq}, "tags",
                        tags.release()));
}

// --- input lines -------------------------------------------------------

json_t* member(json_t* object, const char* key, const std::string& where) {
  json_t* value = json_object_get(object, key);
  if (!value) bad(where + "missing member \"" + key + "\"");
  return value;
}

void onlyMembers(json_t* object, std::initializer_list<std::string> allowed,
                 const std::string& where) {
  const char* key;
  json_t* value;
  json_object_foreach(object, key, value) {
    if (std::find(allowed.begin(), allowed.end(), key) == allowed.end())
      bad(where + "unknown member \"" + key + "\"");
  }
}

json_int_t integerIn(json_t* value, const std::string& name, json_int_t max) {
  if (!json_is_integer(value)) bad(name + ": expected an integer");
  const json_int_t n = json_integer_value(value);
  if (n < 0 || n > max)
    bad(name + ": " + std::to_string(n) + " is out of range 0.." + std::to_string(max));
  return n;
}

Bytes hexIn(json_t* value, const std::string& name) {
  if (!json_is_string(value)) bad(name + ": expected a hex string");
  const char* text = json_string_value(value);
  const std::size_t n = json_string_length(value);
  if (n % 2 != 0) bad(name + ": odd number of hex digits");
  Bytes out;
  out.reserve(n / 2);
  for (std::size_t i = 0; i < n; i += 2) {
    const int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
    if (hi < 0 || lo < 0)
      bad(name + ": not a hex digit at offset " + std::to_string(hi < 0 ? i : i + 1));
    out.push_back(static_cast<unsigned char>(hi << 4 | lo));
  }
  return out;
}

std::unique_ptr<KTag> tagIn(json_t* object, std::size_t index) {
  const std::string where = "tags[" + std::to_string(index) + "]";
  if (!json_is_object(object)) bad(where + ": expected an object");
  onlyMembers(object, {"id", "type", "value"}, where + ": ");
  json_t* idValue = member(object, "id", where + ": ");
  const auto id = static_cast<unsigned char>(integerIn(idValue, where + ".id", 0xFF));
  json_t* type = member(object, "type", where + ": ");
  if (!json_is_string(type)) bad(where + ".type: expected a string");
  const std::string typeName = json_string_value(type);
  json_t* value = member(object, "value", where + ": ");
  const std::string name = where + ".value";
  const std::string tooLong = name + ": longer than " + std::to_string(KMSG_MAX_VALUE) + " bytes";
  KTag* tag = nullptr;
  if (typeName == "u8") {
    tag = KTagFactory::createKTag(id, static_cast<unsigned char>(integerIn(value, name, 0xFF)));
  } else if (typeName == "u16") {
    tag = KTagFactory::createKTag(id, static_cast<unsigned short>(integerIn(value, name, 0xFFFF)));
  } else if (typeName == "u32") {
    tag = KTagFactory::createKTag(id, static_cast<unsigned int>(integerIn(value, name, 0xFFFFFFFF)));
  } else if (typeName == "str") {
    if (!json_is_string(value)) bad(name + ": expected a string");
    const std::string text(json_string_value(value), json_string_length(value));
    if (text.size() > KMSG_MAX_VALUE) bad(tooLong);
    if (text.find('\0') != std::string::npos) bad(name + ": a string holds no zero byte");
    tag = KTagFactory::createKTag(id, text);
  } else if (typeName == "bytes") {
    const Bytes bytes = hexIn(value, name);
    if (bytes.size() > KMSG_MAX_VALUE) bad(tooLong);
    tag = KTagFactory::createKTag(id, static_cast<const void*>(bytes.data()),
                                  static_cast<unsigned short>(bytes.size()));
  } else {
    bad(where + ".type: unknown type \"" + typeName + "\"");
  }
  if (!tag) bad(name + ": refused by the message codec");
  return std::unique_ptr<KTag>(tag);
}

// The datagrams one input line asks for. A message that fits into one
// datagram goes out whole (its sequence byte exactly as given); a longer one
// in segments of at most KMSG_SEGMENT_SIZE bytes.
Datagrams datagramsFor(const std::string& line) {
  json_error_t error;
  Json root(json_loadb(line.data(), line.size(), JSON_REJECT_DUPLICATES | JSON_ALLOW_NUL, &error));
  if (!root) bad(std::string("not JSON: ") + error.text);
  if (!json_is_object(root.get())) bad("expected a JSON object");
  if (json_t* raw = json_object_get(root.get(), "raw")) {
    onlyMembers(root.get(), {"raw"}, "");
    Bytes bytes = hexIn(raw, "raw");
    if (bytes.size() > kMaxRaw) bad("raw: longer than " + std::to_string(kMaxRaw) + " bytes");
    return {std::move(bytes)};
  }
  onlyMembers(root.get(), {"id", "seq", "tags"}, "");
  KMsg msg(static_cast<unsigned char>(integerIn(member(root.get(), "id", ""), "id", 0xFF)));
  if (json_t* seq = json_object_get(root.get(), "seq"))
    msg.mSeq = static_cast<unsigned char>(integerIn(seq, "seq", 0xFF));
  json_t* tags = member(root.get(), "tags", "");
  if (!json_is_array(tags)) bad("tags: expected an array");
  std::size_t index;
  json_t* tag;
  json_array_foreach(tags, index, tag) {
    if (!msg.addTag(tagIn(tag, index)))
      bad("tags[" + std::to_string(index) + "]: message longer than " +
          std::to_string(KMSG_MAX_SIZE + 2) + " bytes");
  }
  std::vector<const KMsg*> parts{&msg};
  if (std::size_t{msg.mSize} + 2 > KMSG_SEGMENT_SIZE) {
    if (msg.segmentMessage(KMSG_SEGMENT_SIZE) <= 0) bad("the message codec cannot segment it");
    parts.clear();
    while (const KMsg* segment = msg.getNextSegment()) parts.push_back(segment);
  }
  Datagrams out;
  for (const KMsg* part : parts) {
    Bytes bytes(KMSG_SEGMENT_SIZE);
    const int n = part->getMsg(bytes.data(), static_cast<unsigned short>(bytes.size()));
    if (n < 0) bad("the message codec cannot serialise it");
    bytes.resize(static_cast<std::size_t>(n));
    out.push_back(std::move(bytes));
  }
  return out;
}

// Simulator: the socket, the peer, the input buffer and the queue of lines
// waiting for a peer. main owns it and it owns the socket; everything runs
// on the main thread.
class Simulator {
 public:
  Simulator(int sock, std::optional<sockaddr_in> peer) : mSock(sock), mPeer(peer) {}
  ~Simulator() { ::close(mSock); }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Until SIGINT or SIGTERM. Those two must be blocked on entry: they are
  // let through only while ppoll waits, so no stop request is missed.
  int run(const sigset_t& waitMask) {
    while (!gStop) {
      const bool wantInput = !mInputEnded && (mPeer || !queueFull());
      pollfd fds[2] = {{mSock, POLLIN, 0}, {wantInput ? STDIN_FILENO : -1, POLLIN, 0}};
      if (::ppoll(fds, 2, nullptr, &waitMask) < 0) {
        if (errno == EINTR) continue;
        std::perror("keyd-sim: ppoll");
        return 1;
      }
      if (fds[0].revents != 0) receive();
      if (fds[1].revents != 0) readInput();
    }
    return 0;
  }

 private:
  bool queueFull() const {
    return mQueue.size() >= kMaxQueuedLines || mQueuedBytes >= kMaxQueuedBytes;
  }

  void receive() {
    for (int i = 0; i < 64; ++i) {  // then give standard input its turn
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(mSock, mBuffer.data(), mBuffer.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
          std::perror("keyd-sim: recvfrom");
        return;
      }
      show(static_cast<std::size_t>(n));
      const bool hadPeer = mPeer.has_value();
      mPeer = from;
      if (!hadPeer) {
        for (const auto& datagrams : mQueue) send(datagrams);
        mQueue.clear();
        mQueuedBytes = 0;
        processInput();
      }
    }
  }

  void show(std::size_t n) {
    std::unique_ptr<KMsg> msg;
    if (n <= 0xFFFF) msg.reset(KMsg::parseMsg(mBuffer.data(), static_cast<unsigned short>(n)));
    if (msg) {
      printJson(messageJson(*msg));
    } else {
      printJson(Json(json_pack("{s:s,s:s}", "error", "invalid key message", "hex",
                               toHex(mBuffer.data(), n).c_str())));
    }
  }

  void send(const Datagrams& datagrams) {
    for (const auto& bytes : datagrams) {
      if (::sendto(mSock, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&*mPeer),
                   sizeof *mPeer) < 0) {
        printError(std::string("send failed: ") + std::strerror(errno));
        return;
      }
    }
  }

  // One read per wakeup: stdin keeps its blocking mode (a terminal shares
  // that flag with the shell), and poll said a read will not block.
  void readInput() {
    char chunk[kReadChunk];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n < 0) std::perror("keyd-sim: reading standard input");
    if (n <= 0) {
      mInputEnded = true;
    } else {
      mInput.append(chunk, static_cast<std::size_t>(n));
    }
    processInput();
  }

  // Handles the complete lines buffered, and a last line without newline
  // once input has ended, as long as there is a peer or room in the queue.
  void processInput() {
    std::size_t pos = 0, newline = 0;
    while ((mPeer || !queueFull()) && (newline = mInput.find('\n', pos)) != std::string::npos) {
      takeLine(mInput.substr(pos, newline - pos));
      pos = newline + 1;
    }
    mInput.erase(0, pos);
    if (mInput.find('\n') != std::string::npos) return;  // the queue is full
    if (mSkipping || mInput.size() > kMaxLine) {
      takeLine(std::move(mInput));  // refused or skipped, not sent
      mSkipping = !mInputEnded;
      mInput.clear();
    } else if (mInputEnded && !mInput.empty() && (mPeer || !queueFull())) {
      takeLine(std::move(mInput));
      mInput.clear();
    }
  }

  void takeLine(std::string line) {
    if (mSkipping) {  // the rest of an overlong line
      mSkipping = false;
    } else if (line.size() > kMaxLine) {
      printError("line longer than " + std::to_string(kMaxLine) + " bytes");
    } else {
      handleLine(std::move(line));
    }
  }

  void handleLine(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) return;
    Datagrams datagrams;
    try {
      datagrams = datagramsFor(line);
    } catch (const BadLine& e) {
      printError(e.what());
      return;
    }
    if (mPeer) {
      send(datagrams);
      return;
    }
    for (const auto& bytes : datagrams) mQueuedBytes += bytes.size();
    mQueue.push_back(std::move(datagrams));
  }

  const int mSock;
  std::optional<sockaddr_in> mPeer;
  Bytes mBuffer = Bytes(65536);  // any UDP datagram is read whole
  std::string mInput;
  bool mInputEnded = false;
  bool mSkipping = false;  // inside an overlong line
  std::deque<Datagrams> mQueue;
  std::size_t mQueuedBytes = 0;
};

int usageError(const std::string& text) {
  std::fprintf(stderr, "keyd-sim: %s\nTry 'keyd-sim --help'.\n", text.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string listenText = kDefaultListen;
  sockaddr_in listenAddr = *parseAddress(listenText);
  std::optional<sockaddr_in> peer;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg != "--listen" && arg != "--peer") return usageError("unknown argument '" + arg + "'");
    if (i + 1 >= argc) return usageError(arg + " needs ADDR:PORT");
    const auto addr = parseAddress(argv[++i]);
    if (!addr)
      return usageError(arg + ": not an IPv4 ADDR:PORT with port 1..65535: '" + argv[i] + "'");
    if (arg == "--listen") {
      listenAddr = *addr;
      listenText = argv[i];
    } else {
      peer = addr;
    }
  }

  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0 ||
      ::bind(sock, reinterpret_cast<const sockaddr*>(&listenAddr), sizeof listenAddr) != 0) {
    std::fprintf(stderr, "keyd-sim: cannot bind %s: %s\n", listenText.c_str(), std::strerror(errno));
    if (sock >= 0) ::close(sock);
    return 1;
  }
  Simulator sim(sock, peer);

  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a signal ends the wait in ppoll
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  std::fprintf(stderr, "keyd-sim: listening on %s\n", listenText.c_str());
  return sim.run(waitMask);
}
