// The real keyd-translator binary in its own sandbox, with the real bus
// daemon and bus tool: start-up output, configuration files, bus commands
// printed by the run loop, and the way signals end it.
#include <gtest/gtest.h>
#include <signal.h>

#include <jansson.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "child.h"

using testsupport::Child;
using testsupport::programPath;

namespace {

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc) << text;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class TranslatorTest : public ::testing::Test {
 protected:
  // Starts the bus daemon (it reads /etc/ram/nembad.conf as the translator
  // does) and waits until it is bound.
  void startBus() {
    bus = Child::start({programPath("nembad")});
    ASSERT_TRUE(bus);
    ASSERT_TRUE(bus->waitForLine("nembad: channeler", 10000));
  }
  std::unique_ptr<Child> startTranslator(const std::vector<int>& ignored = {}) {
    auto t = Child::start({programPath("keyd-translator")}, ignored);
    EXPECT_TRUE(t);
    return t;
  }
  // Publishes one command on the translator's command topic.
  void publish(int port, const std::string& app, const std::string& text) {
    auto pub = Child::start({programPath("nlite"), "pub", "--channeler-port",
                             std::to_string(port), "--app", app, "TransGlam", text});
    ASSERT_TRUE(pub);
    EXPECT_EQ(pub->wait(10000), 0) << pub->drainStderr();
  }
  // Sends the signal and checks the orderly end: status 0 within 3 s, the
  // last line "Broker OUT!", nothing on standard error.
  void stopWith(Child& t, int sig) {
    t.signal(sig);
    EXPECT_EQ(t.wait(3000), 0);
    auto rest = t.readRemainingLines(1000);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back(), "Broker OUT!");
    EXPECT_EQ(t.drainStderr(), "");
  }
  std::unique_ptr<Child> bus;
};

TEST_F(TranslatorTest, WithoutFilesItUsesTheDefaultsAndPrintsBusCommands) {
  startBus();  // on the default ports 5557 and 5558
  auto t = startTranslator();
  EXPECT_EQ(t->readLine(5000), "RUN ME LIKE A LEOPARD");
  EXPECT_EQ(t->readLine(5000), "RUNNING  in strat");
  EXPECT_EQ(t->readLine(5000), "Failed to load input file /etc/ram/keyd-translator.conf");
  EXPECT_EQ(t->readLine(5000), "Failed to load input file /etc/ram/nembad.conf");
  publish(5557, "opsconsole", "{\"command\":\"Battery\"}");
  EXPECT_EQ(t->readLine(5000), "{\"command\":\"Battery\"} from opsconsole");
  stopWith(*t, SIGTERM);
}

TEST_F(TranslatorTest, WithFilesItUsesTheirPortsAndLogsThroughTheirAppender) {
  writeFile("/etc/ram/nembad.conf", "nemba.channeler.port=6101\nnemba.broadcaster.port=6102\n");
  writeFile("/etc/ram/keyd-translator.conf",
            "host=127.0.0.1\npingTime=30\nsubscriptions=a,b\n"
            "log4cpp.rootCategory=DEBUG, file\n"
            "log4cpp.appender.file=FileAppender\n"
            "log4cpp.appender.file.fileName=/etc/ram/keyd-translator.log\n"
            "log4cpp.appender.file.layout=PatternLayout\n"
            "log4cpp.appender.file.layout.ConversionPattern=%c %p %m%n\n");
  startBus();
  auto t = startTranslator();
  EXPECT_EQ(t->readLine(5000), "RUN ME LIKE A LEOPARD");
  EXPECT_EQ(t->readLine(5000), "RUNNING  in strat");
  // Any payload is printed as it came: not JSON, empty, and without an
  // application id.
  publish(6101, "", "not json at all");
  EXPECT_EQ(t->readLine(5000), "not json at all from ");
  publish(6101, "ops", "");
  EXPECT_EQ(t->readLine(5000), " from ops");
  stopWith(*t, SIGINT);

  const std::string log = readFile("/etc/ram/keyd-translator.log");
  size_t at = 0;
  for (const char* line :
       {"keyDTranslator DEBUG channeler port |6101|", "keyDTranslator DEBUG broadcaster port |6102|",
        "keyDTranslator DEBUG Setup complete", "keyDTranslator DEBUG RUNNING  MSGBROKER",
        "keyDTranslator DEBUG JSON message received", "keyDTranslator DEBUG END"}) {
    size_t found = log.find(line, at);
    EXPECT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << log;
    if (found != std::string::npos) at = found;
  }
  // The first line is written before the logging is configured.
  EXPECT_EQ(log.find("Setup started"), std::string::npos);
}

TEST_F(TranslatorTest, SignalsEndItInOrderWhateverThePreviousDisposition) {
  // Ignored beforehand (as under nohup-like parents): the handler still
  // ends the loop and the process exits with 0.
  for (int sig : {SIGTERM, SIGINT}) {
    auto t = startTranslator({sig});
    ASSERT_TRUE(t->waitForLine("Failed to load input file /etc/ram/nembad.conf", 5000));
    stopWith(*t, sig);
  }
  // Default disposition, and a signal that arrives as soon as the handler
  // is in place (it is installed before the configuration is read).
  auto t = startTranslator();
  ASSERT_TRUE(t->waitForLine("Failed to load input file /etc/ram/nembad.conf", 5000));
  stopWith(*t, SIGINT);
  const std::vector<std::string> expected = {"RUN ME LIKE A LEOPARD", "RUNNING  in strat",
                                             "Failed to load input file /etc/ram/keyd-translator.conf",
                                             "Failed to load input file /etc/ram/nembad.conf",
                                             "Broker OUT!"};
  EXPECT_EQ(t->seenLines(), expected);
}

// The whole job: the simulated key daemon reports a site, the bus sees
// "site_info"; an UNLOCK published on the bus reaches the key daemon.
TEST_F(TranslatorTest, ASiteReportIsPublishedAndAnUnlockReachesTheKeyDaemon) {
  startBus();
  auto keyd = Child::start({programPath("keyd-sim")});  // 127.0.0.1:5555
  ASSERT_TRUE(keyd);
  auto sub = Child::start({programPath("nlite"), "sub", "--ready", "--count", "1", "--timeout",
                           "30", "site_info"});
  ASSERT_TRUE(sub);
  std::string err;
  for (int i = 0; i < 500 && err.find("ready") == std::string::npos; ++i) {
    err += sub->drainStderr();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_NE(err.find("ready"), std::string::npos);
  auto t = startTranslator();
  // The keep-alive makes the translator keyd-sim's peer.
  ASSERT_TRUE(keyd->waitForLine("\"tags\":[{\"id\":0,\"type\":\"u32\",\"value\":0}]", 10000));
  ASSERT_TRUE(keyd->writeStdin(
      "{\"id\":0,\"tags\":[{\"id\":0,\"type\":\"u32\",\"value\":4660},"
      "{\"id\":1,\"type\":\"str\",\"value\":\"box-1\"},"
      "{\"id\":8,\"type\":\"str\",\"value\":\"sw-2\"},"
      "{\"id\":35,\"type\":\"str\",\"value\":\"srv\"},"
      "{\"id\":36,\"type\":\"u16\",\"value\":8080},"
      "{\"id\":32,\"type\":\"u32\",\"value\":3},"
      "{\"id\":19,\"type\":\"bytes\",\"value\":\"0102030405\"}]}\n"));
  auto line = sub->readLine(10000);
  ASSERT_TRUE(line);
  json_error_t error;
  json_t* outer = json_loads(line->c_str(), 0, &error);
  ASSERT_NE(outer, nullptr) << *line;
  EXPECT_STREQ(json_string_value(json_object_get(outer, "topic")), "site_info");
  EXPECT_STREQ(json_string_value(json_object_get(outer, "app")), "MetaGlam");
  json_t* doc = json_loads(json_string_value(json_object_get(outer, "payload")), 0, &error);
  ASSERT_NE(doc, nullptr);
  const char* state = json_string_value(json_object_get(doc, "state"));
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(std::string(state).size(), 36u);
  json_t* locks = json_object_get(json_object_get(json_object_get(doc, "CFG"), "Key"), "LOCKS");
  EXPECT_STREQ(json_string_value(json_object_get(json_array_get(locks, 0), "RFID")), "4328719365");
  const std::string unlock =
      std::string("{\"command\":\"UNLOCK\",\"RFID\":\"4328719365\",\"state\":\"") + state + "\"}";
  json_decref(doc);
  json_decref(outer);
  publish(5557, "opsconsole", unlock);
  EXPECT_TRUE(keyd->waitForLine("[{\"id\":19,\"type\":\"bytes\",\"value\":\"0102030405\"},"
                                "{\"id\":21,\"type\":\"u8\",\"value\":0}]", 10000));
  EXPECT_TRUE(t->waitForLine(unlock + " from opsconsole", 5000));
  stopWith(*t, SIGTERM);
  keyd->signal(SIGTERM);
  EXPECT_EQ(keyd->wait(3000), 0);
}

}  // namespace
