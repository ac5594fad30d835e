#include "broker_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace translate {

SetMsg& SetMsg::u32(unsigned char id, unsigned value) {
  mMsg->addTag(KTagFactory::createKTag(id, value));
  return *this;
}
SetMsg& SetMsg::u16(unsigned char id, unsigned short value) {
  mMsg->addTag(KTagFactory::createKTag(id, value));
  return *this;
}
SetMsg& SetMsg::u8(unsigned char id, unsigned char value) {
  mMsg->addTag(KTagFactory::createKTag(id, value));
  return *this;
}
SetMsg& SetMsg::str(unsigned char id, const std::string& text) {
  mMsg->addTag(KTagFactory::createKTag(id, text));
  return *this;
}
SetMsg& SetMsg::lock(const Rf& tag) {
  mMsg->addTag(KTagFactory::createKTag(TAG_LOCK_TAG, tag.data(), static_cast<unsigned short>(tag.size())));
  return *this;
}

SetMsg SetMsg::config(std::initializer_list<Rf> locks, unsigned transactions) {
  SetMsg m;
  m.u32(TAG_KEY_SN, 0x1234).str(TAG_KEY_BOX, "box-1").str(TAG_KEY_SW, "sw-2.0");
  m.str(TAG_SRV_NAME, "srv.example").u16(TAG_SRV_PORT, 8080).u32(TAG_TRANS_CNT, transactions);
  for (const auto& l : locks) m.lock(l);
  return m;
}

void BrokerFixture::SetUp() {
  const int channeler = testsupport::freeTcpPort();
  const int broadcaster = testsupport::freeTcpPort();
  std::ofstream("/etc/ram/nembad.conf") << "nemba.channeler.port=" << channeler
                                        << "\nnemba.broadcaster.port=" << broadcaster << "\n";
  std::ofstream("/etc/ram/keyd-translator.conf")
      << "host=127.0.0.1\npingTime=" << mPingTime << "\n"
      << "log4cpp.rootCategory=DEBUG, file\n"
         "log4cpp.appender.file=FileAppender\n"
         "log4cpp.appender.file.fileName=/etc/ram/keyd-translator.log\n"
         "log4cpp.appender.file.layout=PatternLayout\n"
         "log4cpp.appender.file.layout.ConversionPattern=%c %m%n\n";
  bus = testsupport::Child::start({testsupport::programPath("nembad")});
  ASSERT_TRUE(bus);
  ASSERT_TRUE(bus->waitForLine("nembad: channeler", 10000));

  keyDaemon = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(5555);
  ASSERT_EQ(::bind(keyDaemon, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  const char* topics[] = {"site_info", "command"};
  subscriber = std::make_unique<nlite::Client>("test-subscriber", channeler, broadcaster, topics, 2);
  ASSERT_TRUE(subscriber->waitConnected(5000));

  broker = std::make_unique<kmsgBroker>();
  // After the broker's logging set-up, which replaces the configuration.
  capture = std::make_unique<testsupport::LogCapture>();
}

void BrokerFixture::TearDown() {
  broker.reset();
  subscriber.reset();
  capture.reset();
  if (keyDaemon >= 0) ::close(keyDaemon);
}

std::vector<Publication> BrokerFixture::publications(size_t n, std::chrono::milliseconds within) {
  std::vector<Publication> got;
  auto deadline = std::chrono::steady_clock::now() + within;
  while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
    if (nlite::Message* m = subscriber->receive()) {
      got.push_back({m->topic(), std::string(m->buffer(), m->bufferSize())});
      deadline = std::chrono::steady_clock::now() + within;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return got;
}

bool BrokerFixture::nothingPublished(std::chrono::milliseconds within) {
  return publications(1, within).empty();
}

std::unique_ptr<KMsg> BrokerFixture::request(std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return nullptr;
    pollfd p{keyDaemon, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return nullptr;
    unsigned char buf[4096];
    ssize_t n = ::recv(keyDaemon, buf, sizeof buf, 0);
    if (n <= 0) continue;
    std::unique_ptr<KMsg> m(KMsg::parseMsg(buf, static_cast<unsigned short>(n)));
    if (!m) continue;
    m->gotoFirst();
    KTag* first = m->getTag();
    auto* sn = ktag_cast<KTagUInt32>(first);
    const bool ping = m->mTagCount == 1 && sn && sn->mId == TAG_KEY_SN && sn->getValue() == 0;
    if (!ping) return m;
  }
}

bool BrokerFixture::noRequest(std::chrono::milliseconds within) { return request(within) == nullptr; }

::testing::AssertionResult containsRun(const std::vector<std::string>& lines,
                                       const std::vector<std::string>& expected) {
  for (size_t start = 0; start + expected.size() <= lines.size(); ++start) {
    size_t i = 0;
    while (i < expected.size() && lines[start + i] == expected[i]) ++i;
    if (i == expected.size()) return ::testing::AssertionSuccess();
  }
  std::ostringstream out;
  out << "expected run:\n";
  for (const auto& e : expected) out << "  |" << e << "|\n";
  out << "in lines:\n";
  for (const auto& l : lines) out << "  |" << l << "|\n";
  return ::testing::AssertionFailure() << out.str();
}

}  // namespace translate
