// cKlog against the real log4cpp: exact lines from the configuration file,
// filtering, the fallback to syslog and whole lines from concurrent threads.
#include "cKlog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <log4cpp/Category.hh>
#include <log4cpp/SyslogAppender.hh>
#include <thread>
#include <vector>

#include "child.h"

namespace {

using Lines = std::vector<std::string>;

const cKlog gEarly("klog.early");  // made before init, as the daemon's first logger

class KlogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(mkdtemp(mDir.data())); }
  void TearDown() override {
    cKlog::init("/nonexistent");  // closes the files
    std::filesystem::remove_all(mDir);
  }
  // The translator's own keys, then `log4cpp`, in a new file.
  std::string conf(const std::string& log4cpp) {
    const std::string path = mDir + "/" + std::to_string(++mFiles) + ".conf";
    std::ofstream(path) << "host=127.0.0.1\npingTime=10\n" << log4cpp;
    return path;
  }
  // The root at DEBUG into the file `log`: "<priority> <category>: <message>".
  std::string fileConf(const std::string& log, const std::string& extra = "") {
    return conf("log4cpp.rootCategory=DEBUG, f\nlog4cpp.appender.f=FileAppender\n"
                "log4cpp.appender.f.fileName=" + mDir + "/" + log +
                "\nlog4cpp.appender.f.layout=PatternLayout\n"
                "log4cpp.appender.f.layout.ConversionPattern=%p %c: %m%n\n" + extra);
  }
  Lines lines(const std::string& log) {
    std::ifstream in(mDir + "/" + log);
    Lines out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  std::string mDir = "/tmp/klog-test-XXXXXX";
  int mFiles = 0;
};

TEST_F(KlogTest, ExactLinesFilteredByCategoryUntilTheNextInit) {
  ASSERT_TRUE(cKlog::init(fileConf("a.log", "log4cpp.category.klog.quiet=WARN\n").c_str()));
  const cKlog late("klog.late"), quiet("klog.quiet");
  gEarly.debug("Setup started");
  late.info("%s at %d%%", "100% done, 5%% left", 7);  // remote text holding '%'
  Lines expected = {"DEBUG klog.early: Setup started", "INFO klog.late: 100% done, 5%% left at 7%"};
  for (size_t size : {511, 512, 513, 5000}) {  // around and beyond the stack buffer
    late.warn("<%s>", std::string(size - 2, 'x').c_str());
    expected.push_back("WARN klog.late: <" + std::string(size - 2, 'x') + ">");
  }
  int formatted = -1;
  quiet.info("abc%n", &formatted);  // %n would store 3: a filtered line is never formatted
  EXPECT_EQ(formatted, -1);
  quiet.warn("abc%n", &formatted);
  EXPECT_EQ(formatted, 3);
  expected.push_back("WARN klog.quiet: abc");
  EXPECT_EQ(lines("a.log"), expected);
  // A second init takes away the category's priority and the first file.
  ASSERT_TRUE(cKlog::init(fileConf("b.log").c_str()));
  quiet.debug("now %s", "written");
  EXPECT_EQ(lines("a.log").size(), expected.size());
  EXPECT_EQ(lines("b.log"), Lines{"DEBUG klog.quiet: now written"});
  EXPECT_TRUE(cKlog::init(testsupport::sourcePath("etc/keyd-translator.conf").c_str()));
}

TEST_F(KlogTest, AnUnusableConfigurationFallsBackToSyslogSilently) {
  const std::string appender = "log4cpp.appender.f=FileAppender\nlog4cpp.appender.f.fileName=" +
                               mDir + "/x.log\nlog4cpp.appender.f.layout=BasicLayout\n";
  const std::string cases[] = {
      mDir + "/missing.conf", mDir,  // a directory
      conf("# log4cpp.rootCategory=DEBUG, f\n"),
      conf("log4cpp.rootCategory=DEBUG, f\nlog4cpp.appender.f=NoSuchAppender\n"),
      conf("log4cpp.rootCategory=LOUD, f\n" + appender),
      // The root is configured before the category fails: nothing may remain.
      conf("log4cpp.rootCategory=DEBUG, f\nlog4cpp.category.klog.x=LOUD\n" + appender),
      conf("log4cpp.rootCategory=DEBUG, g\n" + appender)};
  for (const auto& path : cases) {
    ASSERT_TRUE(cKlog::init(fileConf("good.log").c_str()));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(cKlog::init(path.c_str())) << path;
    EXPECT_FALSE(cKlog::init(path.c_str())) << path;  // still a single syslog appender
    cKlog("klog.x").info("after the fallback");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    log4cpp::Category& root = log4cpp::Category::getRoot();
    EXPECT_EQ(root.getPriority(), log4cpp::Priority::INFO);
    ASSERT_EQ(root.getAllAppenders().size(), 1U) << path;
    EXPECT_NE(dynamic_cast<log4cpp::SyslogAppender*>(*root.getAllAppenders().begin()), nullptr);
    EXPECT_TRUE(cKlog::getLog("klog.x").getAllAppenders().empty()) << path;
    EXPECT_EQ(cKlog::getLog("klog.x").getPriority(), log4cpp::Priority::NOTSET) << path;
  }
  EXPECT_TRUE(lines("x.log").empty());
}

TEST_F(KlogTest, ConcurrentThreadsWriteWholeLines) {
  ASSERT_TRUE(cKlog::init(fileConf("a.log").c_str()));
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
  EXPECT_EQ(written.size(), size_t{kThreads * kLines});
  for (const std::string& line : written) {
    int t = -1;
    ASSERT_TRUE(std::sscanf(line.c_str(), "INFO klog.t%d:", &t) == 1 && t >= 0 && t < kThreads);
    ASSERT_EQ(line, "INFO klog.t" + std::to_string(t) + ": " + std::to_string(next[t]++) + " " + padding);
  }
}

}  // namespace
