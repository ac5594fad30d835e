// The configuration reader against the files operators actually write:
// blanks, comments, CR line ends, duplicates, overlong lines and junk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "cConfigFile.h"
#include "configuration.h"

namespace {

using namespace std::string_literals;

class ConfigFileTest : public ::testing::Test {
 protected:
  void write(const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
  bool load(const std::string& bytes) {
    write(bytes);
    return conf.load(path.c_str());
  }
  void TearDown() override { std::remove(path.c_str()); }
  // One file per test process: ctest runs the cases in parallel.
  std::string path = ::testing::TempDir() + "keyd-config-" + std::to_string(::getpid()) + ".conf";
  cConfigFile conf;
};

TEST_F(ConfigFileTest, MissingFileKeepsTheMapAndEmptyFileEmptiesIt) {
  ASSERT_TRUE(load("host=10.1.1.1\n"));
  std::remove(path.c_str());
  testing::internal::CaptureStdout();
  EXPECT_FALSE(conf.load(path.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to load input file " + path + "\n");
  EXPECT_STREQ(conf.getString("host", "127.0.0.1"), "10.1.1.1") << "a failed load keeps the map";

  EXPECT_TRUE(load(""));
  EXPECT_EQ(conf.size(), 0u);
  EXPECT_STREQ(conf.getString("host", "127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(conf.getInt("pingTime", 10), 10);
}

TEST_F(ConfigFileTest, LinesAreTakenAsWrittenAndTheFirstOccurrenceWins) {
  ASSERT_TRUE(
      load("host = 10.0.0.2\nsrv=10.0.0.3 # the server\n#pingTime=3\n #subs=a=b\n"
           "a=b=c\n=empty key\nno equals sign\nsrv=second\nletters=abc\nnum=12\r\n"
           "zero=x\0=y\nlast=2"s));
  const std::pair<const char*, const char*> expected[] = {
      {"host", "-"},        {"host ", " 10.0.0.2"},  // blanks around '=' are kept
      {"srv", "10.0.0.3 "},                          // a comment ends it; the first one wins
      {"#pingTime", "-"},   {" #subs", "-"},         // comment lines
      {"a", "b=c"},         {"", "empty key"},       // the first '=' splits
      {"num", "12\r"},      {"zero", "x"},           // CR kept; a zero byte ends the text
      {"last", "2"}};
  for (const auto& [key, value] : expected) EXPECT_STREQ(conf.getString(key, "-"), value) << key;
  EXPECT_EQ(conf.size(), 8u);
  EXPECT_EQ(conf.getInt("letters", 10), 0);
  EXPECT_EQ(conf.getInt("num", 10), 12);
}

TEST_F(ConfigFileTest, AnOverlongLineEndsTheReading) {
  // 255 characters are read whole; the first line of 256 ends the file.
  ASSERT_TRUE(
      load("a=1\nk=" + std::string(253, 'x') + "\nb=2\nl=" + std::string(254, 'y') + "\nc=3\n"));
  EXPECT_STREQ(conf.getString("a", "-"), "1");
  EXPECT_EQ(std::string(conf.getString("k", "-")), std::string(253, 'x'));
  EXPECT_STREQ(conf.getString("b", "-"), "2");
  EXPECT_STREQ(conf.getString("l", "-"), "-");
  EXPECT_STREQ(conf.getString("c", "-"), "-");
}

TEST_F(ConfigFileTest, AnyByteSequenceLoadsWithoutHarm) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 300; ++round) {
    std::string bytes(rng() % 2000, '\0');
    for (auto& c : bytes)
      c = static_cast<char>(rng() % 8 == 0 ? '\n' : rng() % 8 == 1 ? '=' : rng());
    ASSERT_TRUE(load(bytes));
    conf.getInt("x", 0);
  }
}

TEST(ConfigurationTest, SubscriptionCountIsOnePlusCommas) {
  configuration& c = configuration::getInstance();
  const std::pair<const char*, int> cases[] = {{"a,b,c", 3}, {"UNKNOWN", 1}, {"", 1}, {",", 2}};
  for (const auto& [text, count] : cases) {
    c.setSubscriptions(text);
    EXPECT_EQ(c.getSubscriptionCount(), count) << text;
    EXPECT_STREQ(c.getSubscriptions(), text);
  }
}

}  // namespace
