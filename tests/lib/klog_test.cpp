// cKlog against the real log4cpp: exact lines as the configuration file says,
// filtering, whole lines from concurrent threads, and the silent fallback to
// syslog when the file does not configure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <log4cpp/Category.hh>
#include <log4cpp/SyslogAppender.hh>
#include <thread>

#include "cKlog.h"

namespace {

const std::string kLog = ::testing::TempDir() + "klog-" + std::to_string(::getpid());

// A new configuration file of the translator's keys and `log4cpp`; its path.
// The files go when the test program ends.
std::string conf(const std::string& log4cpp) {
  static struct Files : std::vector<std::string> {
    ~Files() {
      for (const auto& path : *this) std::remove(path.c_str());
    }
  } files;
  files.push_back(kLog + "." + std::to_string(files.size()) + ".conf");
  std::ofstream(files.back()) << "host=127.0.0.1\npingTime=10\n" << log4cpp;
  return files.back();
}
const std::string kFile = "log4cpp.appender.f=FileAppender\nlog4cpp.appender.f.fileName=" + kLog +
                          "\nlog4cpp.appender.f.layout=PatternLayout\n"
                          "log4cpp.appender.f.layout.ConversionPattern=%p %c: %m%n\n";

TEST(Klog, ExactLinesFilteredByCategoryAndWholeFromConcurrentThreads) {
  std::remove(kLog.c_str());
  ASSERT_TRUE(cKlog::init(
      conf("log4cpp.rootCategory=DEBUG, f\nlog4cpp.category.klog.quiet=WARN\n" + kFile).c_str()));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)  // each thread's lines whole and in its order
    threads.emplace_back([t] {
      const cKlog log(("klog.t" + std::to_string(t)).c_str());
      for (int i = 0; i < 500; ++i) log.info("%d %s", i, std::string(300, 'p').c_str());
    });
  for (std::thread& thread : threads) thread.join();
  const cKlog quiet("klog.quiet");
  int formatted = -1;
  quiet.info("abc%n", &formatted);  // %n would store 3: a filtered line is never formatted
  EXPECT_EQ(formatted, -1);
  quiet.warn("%s at %d%% <%s>", "100% done, 5%% left", 7, std::string(5000, 'x').c_str());
  std::ifstream in(kLog);
  std::vector<int> next(4, 0);
  std::string line;
  for (int t = 0; std::getline(in, line) && line.rfind("INFO klog.t", 0) == 0;) {
    t = line[11] - '0';
    ASSERT_EQ(line, "INFO klog.t" + std::to_string(t) + ": " + std::to_string(next[t]++) + " " +
                        std::string(300, 'p'));
  }
  EXPECT_EQ(next, std::vector<int>(4, 500));
  EXPECT_EQ(line, "WARN klog.quiet: 100% done, 5%% left at 7% <" + std::string(5000, 'x') + ">");
  EXPECT_FALSE(std::getline(in, line));
  std::remove(kLog.c_str());
}

TEST(Klog, AnUnusableConfigurationFallsBackToSyslogSilently) {
  for (const std::string& path :
       {kLog + ".missing", conf("# log4cpp.rootCategory=DEBUG, f\n"),
        conf("log4cpp.rootCategory=DEBUG, f\nlog4cpp.appender.f=NoSuchAppender\n"),
        conf("log4cpp.rootCategory=LOUD, f\n" + kFile),
        conf("log4cpp.rootCategory=DEBUG, g\n" + kFile),
        // The root is configured before the category fails: nothing of it may remain.
        conf("log4cpp.rootCategory=DEBUG, f\nlog4cpp.category.klog.x=LOUD\n" + kFile)}) {
    ASSERT_TRUE(cKlog::init(conf("log4cpp.rootCategory=DEBUG, f\n" + kFile).c_str()));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(cKlog::init(path.c_str()));
    EXPECT_FALSE(cKlog::init(path.c_str()));  // still a single syslog appender
    cKlog("klog.x").info("after the fallback");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    log4cpp::Category& root = log4cpp::Category::getRoot();
    EXPECT_EQ(root.getPriority(), log4cpp::Priority::INFO);
    ASSERT_EQ(root.getAllAppenders().size(), 1U) << path;
    EXPECT_TRUE(dynamic_cast<log4cpp::SyslogAppender*>(*root.getAllAppenders().begin()));
    EXPECT_TRUE(cKlog::getLog("klog.x").getAllAppenders().empty());
  }
  std::ifstream in(kLog);
  EXPECT_EQ(in.peek(), EOF) << "nothing written into the file";
  std::remove(kLog.c_str());
}

}  // namespace
