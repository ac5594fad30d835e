// The configuration reader against the files operators actually write:
// blanks, comments, CR line ends, duplicates, overlong lines and junk.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "cConfigFile.h"
#include "configuration.h"

namespace {

class ConfigFileTest : public ::testing::Test {
 protected:
  std::string path = ::testing::TempDir() + "keyd-config-test.conf";
  void write(const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
  void TearDown() override { std::remove(path.c_str()); }
  cConfigFile conf;
};

TEST_F(ConfigFileTest, MissingFileReportsOnStdoutAndKeepsTheMap) {
  write("host=10.1.1.1\n");
  ASSERT_TRUE(conf.load(path.c_str()));
  std::remove(path.c_str());
  testing::internal::CaptureStdout();
  EXPECT_FALSE(conf.load(path.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to load input file " + path + "\n");
  EXPECT_STREQ(conf.getString("host", "127.0.0.1"), "10.1.1.1");
}

TEST_F(ConfigFileTest, EmptyFileLoadsAndEveryLookupGivesItsDefault) {
  write("host=old\n");
  ASSERT_TRUE(conf.load(path.c_str()));
  write("");
  EXPECT_TRUE(conf.load(path.c_str()));
  EXPECT_EQ(conf.size(), 0u);
  EXPECT_STREQ(conf.getString("host", "127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(conf.getInt("pingTime", 10), 10);
}

TEST_F(ConfigFileTest, KeysAndValuesAreNeverTrimmed) {
  write("host = 10.0.0.2\n"
        "srv=10.0.0.3 # the server\n"
        "#pingTime=3\n"
        " #subscriptions=a=b\n"
        "a=b=c\n"
        "=empty key\n"
        "novalue=\n"
        "no equals sign\n");
  ASSERT_TRUE(conf.load(path.c_str()));
  EXPECT_STREQ(conf.getString("host", "127.0.0.1"), "127.0.0.1");
  EXPECT_STREQ(conf.getString("host ", "-"), " 10.0.0.2");
  EXPECT_STREQ(conf.getString("srv", "-"), "10.0.0.3 ");
  EXPECT_EQ(conf.getInt("pingTime", 10), 10);
  EXPECT_STREQ(conf.getString(" ", "-"), "-");
  EXPECT_STREQ(conf.getString("a", "-"), "b=c");
  EXPECT_STREQ(conf.getString("", "-"), "empty key");
  EXPECT_STREQ(conf.getString("novalue", "-"), "");
  EXPECT_EQ(conf.size(), 5u);
}

TEST_F(ConfigFileTest, FirstOccurrenceWinsAndIntegersConvertLikeStrtol) {
  write("pingTime=5\npingTime=7\n"
        "empty=\nletters=abc\nlead=  42xyz\ncr=12\r\nneg=-3\n"
        "big=99999999999999\nsmall=-99999999999999\n");
  ASSERT_TRUE(conf.load(path.c_str()));
  EXPECT_EQ(conf.getInt("pingTime", 10), 5);
  EXPECT_EQ(conf.getInt("empty", 10), 0);
  EXPECT_EQ(conf.getInt("letters", 10), 0);
  EXPECT_EQ(conf.getInt("lead", 10), 42);
  EXPECT_EQ(conf.getInt("cr", 10), 12);
  EXPECT_EQ(conf.getInt("neg", 10), -3);
  EXPECT_EQ(conf.getInt("big", 10), INT_MAX);
  EXPECT_EQ(conf.getInt("small", 10), INT_MIN);
}

TEST_F(ConfigFileTest, CarriageReturnsStayInTextValues) {
  write("host=10.0.0.9\r\npingTime=30\r\n");
  ASSERT_TRUE(conf.load(path.c_str()));
  EXPECT_STREQ(conf.getString("host", "-"), "10.0.0.9\r");
  EXPECT_EQ(conf.getInt("pingTime", 10), 30);
}

TEST_F(ConfigFileTest, AnOverlongLineEndsTheReading) {
  const std::string k255 = "k=" + std::string(253, 'x');  // 255 characters: read whole
  write("a=1\n" + k255 + "\nb=2\n" + std::string(300, 'y') + "=3\nc=4\n");
  ASSERT_TRUE(conf.load(path.c_str()));
  EXPECT_STREQ(conf.getString("a", "-"), "1");
  EXPECT_EQ(std::string(conf.getString("k", "-")).size(), 253u);
  EXPECT_STREQ(conf.getString("b", "-"), "2");
  EXPECT_STREQ(conf.getString("c", "-"), "-");

  write("a=1\nk=" + std::string(254, 'x') + "\nb=2\n");  // 256 characters
  ASSERT_TRUE(conf.load(path.c_str()));
  EXPECT_STREQ(conf.getString("a", "-"), "1");
  EXPECT_STREQ(conf.getString("b", "-"), "-");
}

TEST_F(ConfigFileTest, LastLineWithoutNewlineAndZeroBytes) {
  write(std::string("a=x\0=y\nb=2", 10));
  ASSERT_TRUE(conf.load(path.c_str()));
  EXPECT_STREQ(conf.getString("a", "-"), "x");
  EXPECT_STREQ(conf.getString("b", "-"), "2");
}

TEST_F(ConfigFileTest, AnyByteSequenceLoadsWithoutHarm) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 300; ++round) {
    std::string bytes(rng() % 2000, '\0');
    for (auto& c : bytes) c = static_cast<char>(rng() % 8 == 0 ? '\n' : rng() % 8 == 1 ? '=' : rng());
    write(bytes);
    ASSERT_TRUE(conf.load(path.c_str()));
    for (size_t i = 0; i < conf.size(); ++i) conf.getInt("x", 0);
  }
}

TEST(ConfigurationTest, SubscriptionCountIsOnePlusCommas) {
  configuration& c = configuration::getInstance();
  c.setSubscriptions("a,b,c");
  EXPECT_EQ(c.getSubscriptionCount(), 3);
  c.setSubscriptions("UNKNOWN");
  EXPECT_EQ(c.getSubscriptionCount(), 1);
  c.setSubscriptions("");
  EXPECT_EQ(c.getSubscriptionCount(), 1);
  EXPECT_STREQ(c.getSubscriptions(), "");
  EXPECT_EQ(&c, &configuration::getInstance());
}

}  // namespace
