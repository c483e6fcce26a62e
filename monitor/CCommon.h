// CCommon.h -- the monitor's log file, time and string helpers, and the
// message queue between the router and the statistics collector.
//
// DESIGN: the two worker threads talk only through g_queue. A message names
// the threads that are still to receive it; each thread polls the queue once
// per pass of its own loop with its own name. There is no wake-up: a message
// waits until its receiver's next pass. g_mutex guards the queue and the id
// counter and is taken only inside the three queue operations, never together
// with any other lock.

#ifndef MONITOR_CCOMMON_H_
#define MONITOR_CCOMMON_H_

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <deque>
#include <list>
#include <string>
#include <vector>

/// One message on the queue. A plain value: it is copied into and out of the
/// queue, and no pointer into the queue is ever handed out.
struct wqueue {
  int32_t id = 0;          ///< Set by EmitMessage; 0 marks a record never emitted.
  bool complete = false;   ///< A statistics reply covering all three categories.
  std::list<std::string> subscribers;  ///< Threads still to receive it; may repeat.
  std::string message;     ///< Payload, opaque to the queue.
  std::string from;        ///< Sender's name; only printed in the trace.
};

/// The start argument of both worker threads: where the queue and its lock are.
struct threadargs {
  std::deque<wqueue>* queue;
  pthread_mutex_t* mutex;
};

// Messages between thread_Router and thread_SysStats, oldest at the front.
// Guarded by g_mutex, which only the three CCommon queue operations take.
extern std::deque<wqueue> g_queue;
extern pthread_mutex_t g_mutex;
// The last message id handed out; the first message emitted gets 2. Guarded by g_mutex.
extern int32_t nMsgId;

/// The log path. The directory is never created by the monitor.
extern const char kLogFile[];

/// Static helpers only; no CCommon object is ever made.
class CCommon {
 public:
  virtual ~CCommon() {}

  /// Appends "YYYY-MM-DD HH:MM:SS - message" to the log file, dropping one
  /// trailing line feed of the message. A line that cannot be written is lost
  /// silently. Safe from any thread; the line goes out in a single write.
  static void Log(std::string message);

  /// Now, broken down in local time. Each caller gets its own record.
  static struct tm GetTime();
  /// Now as "%Y-%m-%d %X" (19 characters in the C locale).
  static std::string GetTimeString();

  /// Splits text (up to its first NUL) at separator. Runs of separators count
  /// as one, so no piece is ever empty.
  static std::vector<std::string> Tokenizer(std::string text, char separator);
  /// text (up to its first NUL) with every from replaced by to; replacing by
  /// NUL cuts the result there.
  static std::string Replace(std::string text, char from, char to);

  /// Gives msg the next id, traces it on stdout and appends it to the queue.
  static void EmitMessage(pthread_mutex_t* lock, std::deque<wqueue>* queue, wqueue msg);
  /// Takes the oldest message naming name, without blocking. Every occurrence
  /// of name leaves its subscriber list; if others remain, the message goes to
  /// the back of the queue. Returns false, leaving *out alone, if none names it.
  static bool WaitForMessage(pthread_mutex_t* lock, std::deque<wqueue>* queue, std::string name,
                             wqueue* out);
  /// Drops messages that were never emitted or that nobody is left to receive.
  static void Cleanup(pthread_mutex_t* lock, std::deque<wqueue>* queue);
};

#endif  // MONITOR_CCOMMON_H_
