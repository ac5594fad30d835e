// cBufferedFileAppender: stands in for a FileAppender that log4cpp's
// configurator made from the configuration file. It keeps that appender (its
// file, layout and threshold) and writes the same lines, but in blocks: a
// line waits in memory until kBlock bytes wait, until kDelay has passed
// (a thread of klog's, "klog-flush", writes them), or until a line of WARN
// or above comes, which is written at once with everything before it.
// flushAll() writes every waiting line now; finishAll() does that and makes
// every later line go out at once (for a process that ends without its
// destructors). When the layout is a pattern it can write itself (literal
// text, %m %c %p %n %% and %d with or without {format}) it also takes lines
// that never became a log4cpp::LoggingEvent (appendLine), as cKlog sends
// them; they come out exactly as the layout would write them.
//
// Ownership: made by cKlog's configuration code, which attaches it to the
// categories by reference and deletes it; it owns the FileAppender it took
// over. Threads: any thread may append; the lines of one thread keep their
// order. The flush thread only writes what waits.
#ifndef KLOG_CBUFFEREDFILEAPPENDER_H
#define KLOG_CBUFFEREDFILEAPPENDER_H

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <sys/time.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class cBufferedFileAppender : public log4cpp::AppenderSkeleton {
 public:
  // Bytes that wait before the appender writes them without delay.
  static constexpr size_t kBlock = 64 * 1024;
  // The longest a line waits for the flush thread.
  static constexpr std::chrono::milliseconds kDelay{100};

  // Takes over file (its name, layout, threshold and open file).
  explicit cBufferedFileAppender(std::unique_ptr<log4cpp::FileAppender> file);
  // Writes what waits; the FileAppender it took over then closes the file.
  ~cBufferedFileAppender() override;
  cBufferedFileAppender(const cBufferedFileAppender&) = delete;
  cBufferedFileAppender& operator=(const cBufferedFileAppender&) = delete;

  bool reopen() override;  // writes what waits, then reopens the file
  void close() override;   // writes what waits, then closes the file
  bool requiresLayout() const override { return true; }
  // The layout of the FileAppender it took over; lines made by appendLine
  // stop once it is replaced (formatsItself() is then false).
  void setLayout(log4cpp::Layout* layout) override;

  // True when appendLine writes what the layout writes.
  bool formatsItself() const { return mFormatsItself; }
  // One line of `category` at `priority` with the text `message`, made at
  // `when`, as the layout writes it; the threshold applies as for doAppend.
  // Only when formatsItself().
  void appendLine(const std::string& category, int priority, std::string_view message,
                  const timeval& when);
  // Writes what waits now.
  void flush();
  // Writes what waits and every later line at once.
  void finish();

  // flush() of every appender of this kind.
  static void flushAll();
  // Writes what every appender of this kind holds and has every later line
  // written at once.
  static void finishAll();

 protected:
  void _append(const log4cpp::LoggingEvent& event) override;

 private:
  // One piece of the pattern.
  struct Piece {
    enum Kind { text, message, category, priority, date } kind;
    std::string literal;  // for text; for date, the date's own pattern ("%d{...}")
  };
  bool parse(const std::string& pattern);
  // Appends the line to mBuffer; caller holds mMutex.
  void format(const std::string& category, int priority, std::string_view message,
              const timeval& when);
  // The text of a date piece for that time; caller holds mMutex.
  const std::string& dateText(const timeval& when);
  // Takes the formatted line (already in mBuffer) into account: writes at
  // once when urgent or when a block waits. Caller holds the lock; it is
  // released on return. Wakes the flush thread when the line is the first
  // to wait.
  void added(std::unique_lock<std::mutex>& lock, int priority, bool wasEmpty);
  void writeOut();  // caller holds mMutex

  std::unique_ptr<log4cpp::FileAppender> mFile;
  log4cpp::Layout* mLayout;  // mFile's
  bool mFormatsItself = false;
  std::vector<Piece> mPieces;
  std::mutex mMutex;  // guards everything below
  std::string mBuffer;
  bool mWriteThrough = false;
  // The date pattern's last text, for the millisecond it was made in.
  std::unique_ptr<log4cpp::PatternLayout> mDateLayout;
  long long mDateSecond = -1;
  int mDateMilli = -1;
  std::string mDate;
};

#endif  // KLOG_CBUFFEREDFILEAPPENDER_H
