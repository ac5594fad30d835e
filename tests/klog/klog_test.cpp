// Tests of cKlog against the real log4cpp: configuration from the
// translator's file, the fallback to syslog, filtering and whole lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/SyslogAppender.hh>
#include <string>
#include <thread>
#include <vector>

#include "cKlog.h"

namespace {

using Lines = std::vector<std::string>;

// Built before main, as the daemon's first logger is built before init.
const cKlog gEarly("klog.early");

class KlogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/klog-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    mDir = pattern;
  }
  void TearDown() override {
    cKlog::init((mDir / "missing.conf").c_str());  // closes the files below
    std::filesystem::remove_all(mDir);
  }
  // A configuration file holding the translator's keys beside `log4cpp`.
  std::string writeConf(const std::string& name, const std::string& log4cpp) {
    const std::string path = (mDir / name).string();
    std::ofstream(path) << "# translator\nhost=127.0.0.1\npingTime=10\n" << log4cpp;
    return path;
  }
  // rootCategory at DEBUG writing "<priority> <category>: <message>" lines.
  std::string fileConf(const std::string& name, const std::string& logFile,
                       const std::string& extra = "") {
    return writeConf(name,
                     "log4cpp.rootCategory=DEBUG, f\nlog4cpp.appender.f=FileAppender\n"
                     "log4cpp.appender.f.fileName=" +
                         (mDir / logFile).string() +
                         "\n"
                         "log4cpp.appender.f.layout=PatternLayout\n"
                         "log4cpp.appender.f.layout.ConversionPattern=%p %c: %m%n\n" +
                         extra);
  }
  Lines lines(const std::string& logFile) {
    std::ifstream in(mDir / logFile);
    Lines result;
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }
  std::filesystem::path mDir;
};

TEST_F(KlogTest, FileConfigurationWritesExactLinesInOrder) {
  ASSERT_TRUE(cKlog::init(fileConf("a.conf", "a.log").c_str()));
  ASSERT_TRUE(gEarly.debugEnabled()) << "a logger made before init takes the configuration";
  const cKlog late("klog.late");
  gEarly.debug("Setup started");
  late.info("%s at %d%%", "100% done, 5%% left", 7);  // remote text holding '%'
  gEarly.error("code %d: %s", -3, "%%");
  Lines expected = {"DEBUG klog.early: Setup started", "INFO klog.late: 100% done, 5%% left at 7%",
                    "ERROR klog.early: code -3: %%"};
  for (std::size_t size : {510, 511, 512, 513, 5000}) {  // around and beyond the stack buffer
    late.warn("<%s>", std::string(size - 2, 'x').c_str());
    expected.push_back("WARN klog.late: <" + std::string(size - 2, 'x') + ">");
  }
  EXPECT_EQ(lines("a.log"), expected);
}

TEST_F(KlogTest, FilteredLineIsNeitherFormattedNorSentAndInitReplacesPriorities) {
  ASSERT_TRUE(
      cKlog::init(fileConf("a.conf", "a.log", "log4cpp.category.klog.quiet=WARN\n").c_str()));
  const cKlog quiet("klog.quiet");
  EXPECT_FALSE(quiet.debugEnabled());
  int formatted = -1;
  quiet.debug("abc%n", &formatted);  // %n would store 3: proves vsnprintf never ran
  quiet.info("abc%n", &formatted);
  EXPECT_EQ(formatted, -1);
  quiet.warn("abc%n", &formatted);
  EXPECT_EQ(formatted, 3);
  EXPECT_EQ(lines("a.log"), Lines{"WARN klog.quiet: abc"});

  // A second init takes away the category's priority and the first file.
  ASSERT_TRUE(cKlog::init(fileConf("b.conf", "b.log").c_str()));
  EXPECT_TRUE(quiet.debugEnabled());
  quiet.debug("now %s", "written");
  EXPECT_EQ(lines("a.log").size(), 1U);
  EXPECT_EQ(lines("b.log"), Lines{"DEBUG klog.quiet: now written"});
}

TEST_F(KlogTest, UnusableConfigurationFallsBackToSyslogSilently) {
  const std::string appender =
      "log4cpp.appender.f=FileAppender\nlog4cpp.appender.f.fileName=" + (mDir / "x.log").string() +
      "\nlog4cpp.appender.f.layout=BasicLayout\n";
  const std::pair<const char*, std::string> cases[] = {
      {"missing file", (mDir / "none.conf").string()},
      {"directory", mDir.string()},
      {"no log4cpp keys", writeConf("plain.conf", "# log4cpp.rootCategory=DEBUG, f\n")},
      {"unknown appender class",
       writeConf("class.conf",
                 "log4cpp.rootCategory=DEBUG, f\nlog4cpp.appender.f=NoSuchAppender\n")},
      {"bad root priority", writeConf("prio.conf", "log4cpp.rootCategory=LOUD, f\n" + appender)},
      // The root is configured before the category fails: nothing may remain.
      {"bad category priority",
       writeConf("cat.conf",
                 "log4cpp.rootCategory=DEBUG, f\nlog4cpp.category.klog.x=LOUD\n" + appender)},
      {"undefined appender", writeConf("undef.conf", "log4cpp.rootCategory=DEBUG, g\n" + appender)},
  };
  const cKlog log("klog.fallback");
  for (const auto& [name, path] : cases) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(cKlog::init(fileConf("good.conf", "good.log").c_str()));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(cKlog::init(path.c_str()));
    EXPECT_FALSE(cKlog::init(path.c_str()));  // still a single syslog appender
    log.info("after the fallback");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    log4cpp::Category& root = log4cpp::Category::getRoot();
    EXPECT_EQ(root.getPriority(), log4cpp::Priority::INFO);
    const log4cpp::AppenderSet appenders = root.getAllAppenders();
    ASSERT_EQ(appenders.size(), 1U);
    EXPECT_NE(dynamic_cast<log4cpp::SyslogAppender*>(*appenders.begin()), nullptr);
    EXPECT_TRUE(cKlog::getLog("klog.x").getAllAppenders().empty());
    EXPECT_EQ(cKlog::getLog("klog.x").getPriority(), log4cpp::Priority::NOTSET);
  }
  EXPECT_TRUE(lines("x.log").empty());
}

TEST_F(KlogTest, ExampleConfigurationIsReadableByBothReaders) {
  const std::string path = std::string(KEYD_SOURCE_DIR) + "/etc/keyd-translator.conf";
  std::ifstream in(path);
  ASSERT_TRUE(in) << path;
  for (std::string line; std::getline(in, line);) {
    EXPECT_LT(line.size(), 255U) << line;  // the translator stops at longer lines
    if (line.empty() || line[0] == '#') continue;
    const std::size_t equals = line.find('=');  // the translator keeps blanks and comments
    ASSERT_TRUE(equals > 0 && equals != std::string::npos) << line;
    EXPECT_TRUE(line[equals - 1] != ' ' && line[equals + 1] != ' ' && line.back() != ' ' &&
                line.find_first_of("#\r") == std::string::npos)
        << line;
  }
  ASSERT_TRUE(cKlog::init(path.c_str()));
  log4cpp::Category& root = log4cpp::Category::getRoot();
  EXPECT_EQ(root.getPriority(), log4cpp::Priority::INFO);  // the local syslog at INFO
  ASSERT_EQ(root.getAllAppenders().size(), 1U);
  EXPECT_NE(dynamic_cast<log4cpp::SyslogAppender*>(*root.getAllAppenders().begin()), nullptr);
}

TEST_F(KlogTest, ConcurrentLoggingGivesWholeLines) {
  ASSERT_TRUE(cKlog::init(fileConf("a.conf", "a.log").c_str()));
  constexpr int kThreads = 4, kLines = 500;
  const std::string padding(300, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &padding] {
      const cKlog log(("klog.t" + std::to_string(t)).c_str());
      for (int i = 0; i < kLines; ++i) log.info("%d %s", i, padding.c_str());
    });
  for (std::thread& thread : threads) thread.join();

  std::vector<int> next(kThreads, 0);  // each thread's lines whole and in its order
  const Lines written = lines("a.log");
  ASSERT_EQ(written.size(), static_cast<std::size_t>(kThreads * kLines));
  for (const std::string& line : written) {
    int t = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "INFO klog.t%d:", &t), 1) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(line,
              "INFO klog.t" + std::to_string(t) + ": " + std::to_string(next[t]++) + " " + padding);
  }
}

}  // namespace
