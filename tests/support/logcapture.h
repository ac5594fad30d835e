// LogCapture: collects the lines that the translator's objects log, so tests
// can assert the exact log texts. While it exists, the root category is at
// DEBUG and every line is kept as "category|message".
//
// The test owns it; any thread may log while it exists.
#ifndef TESTS_SUPPORT_LOGCAPTURE_H
#define TESTS_SUPPORT_LOGCAPTURE_H

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line so far, as "category|message".
  std::vector<std::string> lines() const;
  // The messages of one category, in order.
  std::vector<std::string> messages(const std::string& category) const;
  // How many lines equal "category|message" exactly.
  int count(const std::string& categoryAndMessage) const;
  // Waits until count(line) >= n; false when it did not happen in time.
  bool waitFor(const std::string& categoryAndMessage, int n, std::chrono::milliseconds within);
  void clear();

 private:
  class Appender;
  Appender* mAppender;  // owned by the root category while attached
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_LOGCAPTURE_H
