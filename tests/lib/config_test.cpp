// The configuration reader: a table of file texts and the map each gives,
// numbers, and a failed load that keeps the map.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <map>

#include "cConfigFile.h"

namespace {

using namespace std::string_literals;

TEST(ConfigFile, FileTextsGiveTheirMaps) {
  const std::string path = ::testing::TempDir() + "keyd-config-" + std::to_string(::getpid());
  const std::pair<std::string, std::map<std::string, std::string>> cases[] = {
      // Blanks kept, '#' ends the text, the first '=' splits, the first
      // occurrence wins, CR kept, a zero byte ends the line's text.
      {"host = 10.0.0.2\nsrv=10.0.0.3 # the server\n#pingTime=3\n #subs=a=b\na=b=c\n=empty key\n"
       "no equals sign\nsrv=second\nnum=12\r\nzero=x\0=y\nlast=2"s,
       {{"host ", " 10.0.0.2"},
        {"srv", "10.0.0.3 "},
        {"a", "b=c"},
        {"", "empty key"},
        {"num", "12\r"},
        {"zero", "x"},
        {"last", "2"}}},
      // Lines of 255 characters are read; the first one longer ends the reading.
      {"a=1\nk=" + std::string(253, 'x') + "\nb=2\nl=" + std::string(254, 'y') + "\nc=3\n",
       {{"a", "1"}, {"k", std::string(253, 'x')}, {"b", "2"}}},
      {"", {}},
      {"text=abc\nnum=-12\nbig=99999999999\n",
       {{"text", "abc"}, {"num", "-12"}, {"big", "99999999999"}}}};
  cConfigFile conf;
  for (const auto& [text, map] : cases) {
    std::ofstream(path, std::ios::binary) << text;
    ASSERT_TRUE(conf.load(path.c_str()));
    EXPECT_EQ(conf.size(), map.size());
    for (const auto& [key, value] : map)
      EXPECT_STREQ(conf.getString(key.c_str(), "-"), value.c_str());
  }
  std::remove(path.c_str());
  EXPECT_FALSE(conf.load(path.c_str()));  // and the map stays
  EXPECT_EQ(conf.getInt("text", 1) + conf.getInt("num", 1) + conf.getInt("none", 1), -11);
  EXPECT_EQ(conf.getInt("big", 1), INT_MAX);
}

}  // namespace
