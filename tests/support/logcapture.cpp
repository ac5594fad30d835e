#include "logcapture.h"

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>

#include <algorithm>
#include <mutex>
#include <thread>

namespace testsupport {

class LogCapture::Appender : public log4cpp::AppenderSkeleton {
 public:
  Appender() : AppenderSkeleton("testsupport.capture") {}
  void close() override {}
  bool requiresLayout() const override { return false; }
  void setLayout(log4cpp::Layout* layout) override { delete layout; }

  std::vector<std::string> snapshot() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mMutex);
    mLines.clear();
  }

 protected:
  void _append(const log4cpp::LoggingEvent& event) override {
    std::lock_guard<std::mutex> lock(mMutex);
    mLines.push_back(event.categoryName + "|" + event.message);
  }

 private:
  mutable std::mutex mMutex;
  std::vector<std::string> mLines;
};

LogCapture::LogCapture() : mAppender(new Appender()) {
  log4cpp::Category& root = log4cpp::Category::getRoot();
  root.setPriority(log4cpp::Priority::DEBUG);
  root.addAppender(mAppender);  // the category owns it from here
}

LogCapture::~LogCapture() { log4cpp::Category::getRoot().removeAppender(mAppender); }

std::vector<std::string> LogCapture::lines() const { return mAppender->snapshot(); }

std::vector<std::string> LogCapture::messages(const std::string& category) const {
  std::vector<std::string> out;
  for (const auto& line : lines())
    if (line.compare(0, category.size() + 1, category + "|") == 0)
      out.push_back(line.substr(category.size() + 1));
  return out;
}

int LogCapture::count(const std::string& categoryAndMessage) const {
  auto all = lines();
  return static_cast<int>(std::count(all.begin(), all.end(), categoryAndMessage));
}

bool LogCapture::waitFor(const std::string& categoryAndMessage, int n,
                         std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (count(categoryAndMessage) < n) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void LogCapture::clear() { mAppender->clear(); }

}  // namespace testsupport
