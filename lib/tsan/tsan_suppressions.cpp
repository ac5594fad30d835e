// ThreadSanitizer's suppressions for every program of the thread build: the
// runtime asks the executable for them at start-up.
//
// libzmq is not instrumented. The hand-over of its objects between the
// caller's thread and its I/O thread goes through synchronisation that
// ThreadSanitizer cannot see.
extern "C" const char* __tsan_default_suppressions() {
  return
      // Races reported inside libzmq: its own synchronisation is invisible.
      "race:libzmq.so\n"
      // The calls libzmq itself makes (malloc, free, memcpy, locks) are
      // ignored: otherwise every message its I/O thread frees goes through
      // the report path, whose list of racy addresses grows by one each time,
      // so after some ten thousand publications each takes milliseconds.
      "called_from_lib:libzmq.so\n";
}
