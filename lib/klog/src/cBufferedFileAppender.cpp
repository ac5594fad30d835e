// cBufferedFileAppender: the block-writing stand-in for log4cpp's
// FileAppender, its pattern formatting, and the flush thread of klog.
#include "cBufferedFileAppender.h"

#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <thread>

namespace {

// The FileAppender's open file and layout, which it keeps to itself.
struct FilePeek : log4cpp::FileAppender {
  static int fd(const log4cpp::FileAppender& file) { return file.*(&FilePeek::_fd); }
  static log4cpp::Layout& layout(log4cpp::FileAppender& file) {
    return (file.*(&FilePeek::_getLayout))();
  }
};

// Set once the flush thread's registry is gone (the process's static
// destructors ran it down). log4cpp deletes the appenders it still knows
// by name only after that, from its own static destructors: those then
// neither register nor wait for the thread.
std::atomic<bool> gFlusherGone{false};

// The flush thread and the appenders it serves. It sleeps until a line
// waits, then lets kDelay pass and writes what every appender holds; with
// nothing waiting it never wakes. Its static instance lives until the
// process's static destructors run: it then stops the thread, writes what
// waits and has every later line written at once.
class Flusher {
 public:
  static Flusher& get() {
    static Flusher flusher;
    return flusher;
  }
  void add(cBufferedFileAppender* appender) {
    std::lock_guard<std::mutex> guard(mMembers);
    mAppenders.push_back(appender);
    if (!mThread.joinable()) mThread = std::thread([this] { loop(); });
  }
  void remove(cBufferedFileAppender* appender) {
    std::lock_guard<std::mutex> guard(mMembers);
    mAppenders.erase(std::remove(mAppenders.begin(), mAppenders.end(), appender),
                     mAppenders.end());
  }
  // A line waits that was the first to wait in its appender.
  void wake() {
    {
      std::lock_guard<std::mutex> guard(mWake);
      mPending = true;
    }
    mWakeUp.notify_one();
  }
  // Runs f on every appender, holding the member list (so none goes meanwhile).
  template <class F>
  void forEach(F f) {
    std::lock_guard<std::mutex> guard(mMembers);
    for (cBufferedFileAppender* appender : mAppenders) f(*appender);
  }
  ~Flusher() {
    {
      std::lock_guard<std::mutex> guard(mWake);
      mStop = true;
    }
    mWakeUp.notify_one();
    if (mThread.joinable()) mThread.join();
    {
      std::lock_guard<std::mutex> guard(mMembers);
      for (cBufferedFileAppender* appender : mAppenders) appender->finish();
      mAppenders.clear();
      gFlusherGone.store(true);
    }
  }

 private:
  Flusher() = default;
  void loop() {
    pthread_setname_np(pthread_self(), "klog-flush");
    std::unique_lock<std::mutex> lock(mWake);
    for (;;) {
      mWakeUp.wait(lock, [this] { return mStop || mPending; });
      if (mStop) return;
      // The first line waits at most kDelay; the lines after it less.
      mWakeUp.wait_for(lock, cBufferedFileAppender::kDelay, [this] { return mStop; });
      if (mStop) return;
      mPending = false;
      lock.unlock();
      forEach([](cBufferedFileAppender& a) { a.flush(); });
      lock.lock();
    }
  }

  std::mutex mMembers;  // guards mAppenders and mThread; taken before an appender's own
  std::vector<cBufferedFileAppender*> mAppenders;
  std::thread mThread;
  std::mutex mWake;  // guards mPending and mStop; never held with another lock
  std::condition_variable mWakeUp;
  bool mPending = false;
  bool mStop = false;
};

// log4cpp's priorities: the smaller the value, the more severe.
constexpr int kUrgent = log4cpp::Priority::WARN;

}  // namespace

cBufferedFileAppender::cBufferedFileAppender(std::unique_ptr<log4cpp::FileAppender> file)
    : log4cpp::AppenderSkeleton(file->getName()),
      mFile(std::move(file)),
      mLayout(&FilePeek::layout(*mFile)) {
  setThreshold(mFile->getThreshold());
  if (auto* pattern = dynamic_cast<log4cpp::PatternLayout*>(mLayout))
    mFormatsItself = parse(pattern->getConversionPattern());
  mBuffer.reserve(kBlock + 1024);
  if (gFlusherGone.load())
    mWriteThrough = true;
  else
    Flusher::get().add(this);
}

cBufferedFileAppender::~cBufferedFileAppender() {
  if (!gFlusherGone.load()) Flusher::get().remove(this);
  flush();
}

bool cBufferedFileAppender::reopen() {
  std::lock_guard<std::mutex> guard(mMutex);
  writeOut();
  return mFile->reopen();
}

void cBufferedFileAppender::close() {
  std::lock_guard<std::mutex> guard(mMutex);
  writeOut();
  mFile->close();
}

void cBufferedFileAppender::setLayout(log4cpp::Layout* layout) {
  std::lock_guard<std::mutex> guard(mMutex);
  mFile->setLayout(layout);
  mLayout = &FilePeek::layout(*mFile);
  mFormatsItself = false;
}

void cBufferedFileAppender::flush() {
  std::lock_guard<std::mutex> guard(mMutex);
  writeOut();
}

void cBufferedFileAppender::finish() {
  std::lock_guard<std::mutex> guard(mMutex);
  writeOut();
  mWriteThrough = true;
}

void cBufferedFileAppender::finishAll() {
  if (!gFlusherGone.load()) Flusher::get().forEach([](cBufferedFileAppender& a) { a.finish(); });
}

void cBufferedFileAppender::flushAll() {
  if (!gFlusherGone.load()) Flusher::get().forEach([](cBufferedFileAppender& a) { a.flush(); });
}

// A line that became a LoggingEvent (the categories' own way): the layout
// writes it, the buffer keeps it.
void cBufferedFileAppender::_append(const log4cpp::LoggingEvent& event) {
  const std::string line = mLayout->format(event);
  std::unique_lock<std::mutex> lock(mMutex);
  const bool wasEmpty = mBuffer.empty();
  mBuffer += line;
  added(lock, event.priority, wasEmpty);
}

void cBufferedFileAppender::appendLine(const std::string& category, int priority,
                                       std::string_view message, const timeval& when) {
  const int threshold = getThreshold();
  if (threshold != log4cpp::Priority::NOTSET && priority > threshold) return;
  std::unique_lock<std::mutex> lock(mMutex);
  const bool wasEmpty = mBuffer.empty();
  format(category, priority, message, when);
  added(lock, priority, wasEmpty);
}

void cBufferedFileAppender::added(std::unique_lock<std::mutex>& lock, int priority,
                                  bool wasEmpty) {
  if (mWriteThrough || priority <= kUrgent || mBuffer.size() >= kBlock) {
    writeOut();
    return;
  }
  lock.unlock();
  if (wasEmpty && !gFlusherGone.load()) Flusher::get().wake();
}

void cBufferedFileAppender::writeOut() {
  const int fd = FilePeek::fd(*mFile);
  size_t done = 0;
  // As the FileAppender does, a failed write loses its lines; a short one
  // goes on with the rest.
  while (fd >= 0 && done < mBuffer.size()) {
    const ssize_t n = ::write(fd, mBuffer.data() + done, mBuffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  mBuffer.clear();
}

// ---------------------------------------------------------------- the pattern

bool cBufferedFileAppender::parse(const std::string& pattern) {
  std::vector<Piece> pieces;
  std::string datePattern;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      if (pieces.empty() || pieces.back().kind != Piece::text) pieces.push_back({Piece::text, ""});
      pieces.back().literal += pattern[i];
      continue;
    }
    if (++i == pattern.size()) return false;
    switch (pattern[i]) {
      case 'm':
        pieces.push_back({Piece::message, ""});
        break;
      case 'c':
        if (i + 1 < pattern.size() && pattern[i + 1] == '{') return false;  // a precision
        pieces.push_back({Piece::category, ""});
        break;
      case 'p':
        pieces.push_back({Piece::priority, ""});
        break;
      case 'n':
      case '%':
        if (pieces.empty() || pieces.back().kind != Piece::text) pieces.push_back({Piece::text, ""});
        pieces.back().literal += pattern[i] == 'n' ? '\n' : '%';
        break;
      case 'd': {
        std::string date = "%d";
        if (i + 1 < pattern.size() && pattern[i + 1] == '{') {
          const size_t end = pattern.find('}', i + 1);
          if (end == std::string::npos) return false;
          date = "%d" + pattern.substr(i + 1, end - i);
          i = end;
        }
        // One date pattern at most: its text is kept for one millisecond.
        if (!datePattern.empty() && datePattern != date) return false;
        datePattern = date;
        pieces.push_back({Piece::date, date});
        break;
      }
      default:  // widths, precisions and the other conversions: the layout's own
        return false;
    }
  }
  try {
    if (!datePattern.empty()) {
      mDateLayout = std::make_unique<log4cpp::PatternLayout>();
      mDateLayout->setConversionPattern(datePattern);
    }
    // The proof: a line with every kind of piece, as the layout writes it
    // and as this appender would.
    mPieces = std::move(pieces);
    log4cpp::LoggingEvent probe("klog.probe", "a 100% probe", "", log4cpp::Priority::NOTICE);
    probe.timeStamp = log4cpp::TimeStamp(1234567890, 123456);
    const std::string expected = mLayout->format(probe);
    const timeval when{1234567890, 123456};
    format(probe.categoryName, probe.priority, probe.message, when);
    const bool same = mBuffer == expected;
    mBuffer.clear();
    mDateSecond = -1;
    if (!same) mPieces.clear();
    return same;
  } catch (const std::exception&) {
    mPieces.clear();
    return false;
  }
}

const std::string& cBufferedFileAppender::dateText(const timeval& when) {
  const int milli = static_cast<int>(when.tv_usec / 1000);
  if (when.tv_sec != mDateSecond || milli != mDateMilli) {
    log4cpp::LoggingEvent event("", "", "", log4cpp::Priority::NOTSET);
    event.timeStamp =
        log4cpp::TimeStamp(static_cast<unsigned>(when.tv_sec), static_cast<unsigned>(when.tv_usec));
    mDate = mDateLayout->format(event);
    mDateSecond = when.tv_sec;
    mDateMilli = milli;
  }
  return mDate;
}

void cBufferedFileAppender::format(const std::string& category, int priority,
                                   std::string_view message, const timeval& when) {
  for (const Piece& piece : mPieces) {
    switch (piece.kind) {
      case Piece::text:
        mBuffer += piece.literal;
        break;
      case Piece::message:
        mBuffer += message;
        break;
      case Piece::category:
        mBuffer += category;
        break;
      case Piece::priority:
        mBuffer += log4cpp::Priority::getPriorityName(priority);
        break;
      case Piece::date:
        mBuffer += dateText(when);
        break;
    }
  }
}
