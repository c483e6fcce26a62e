// CCommon.cpp -- log file, time and string helpers, and the message queue.

#include "CCommon.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>

std::deque<wqueue> g_queue;
pthread_mutex_t g_mutex;
int32_t nMsgId = 1;

const char kLogFile[] = "/var/log/tavrin/monitor.log";

namespace {

// Writes one whole trace line to stdout and flushes it.
void Trace(const std::string& line) {
  fwrite(line.data(), 1, line.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

}  // namespace

void CCommon::Log(std::string message) {
  if (!message.empty() && message.back() == '\n') message.pop_back();
  std::string line = GetTimeString() + " - " + message + "\n";
  // One write(2) on an O_APPEND descriptor: lines of different threads never
  // mix, and a line is never left half-buffered when the process ends.
  int fd = open(kLogFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = write(fd, line.data(), line.size());
  (void)written;  // A line that cannot be written is lost; the caller goes on.
  close(fd);
}

struct tm CCommon::GetTime() {
  time_t now = time(nullptr);
  struct tm local = {};
  localtime_r(&now, &local);
  return local;
}

std::string CCommon::GetTimeString() {
  struct tm local = GetTime();
  char buffer[80];
  size_t len = strftime(buffer, sizeof buffer, "%Y-%m-%d %X", &local);
  return std::string(buffer, len);
}

std::vector<std::string> CCommon::Tokenizer(std::string text, char separator) {
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

std::string CCommon::Replace(std::string text, char from, char to) {
  for (char& c : text) {
    if (c == '\0') break;
    if (c == from) c = to;
  }
  size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

void CCommon::EmitMessage(pthread_mutex_t* lock, std::deque<wqueue>* queue, wqueue msg) {
  pthread_mutex_lock(lock);  // queue {
  std::string names;
  for (const std::string& name : msg.subscribers) names += name;
  msg.id = ++nMsgId;
  Trace("Emit Id:" + std::to_string(msg.id) + " From " + msg.from +
        " Subscribers: " + std::to_string(msg.subscribers.size()) + ": " + names +
        ", Message:" + msg.message);
  queue->push_back(std::move(msg));
  pthread_mutex_unlock(lock);  // } queue
}

bool CCommon::WaitForMessage(pthread_mutex_t* lock, std::deque<wqueue>* queue, std::string name,
                             wqueue* out) {
  pthread_mutex_lock(lock);  // queue {
  for (auto it = queue->begin(); it != queue->end(); ++it) {
    const std::list<std::string>& names = it->subscribers;
    if (std::find(names.begin(), names.end(), name) == names.end()) continue;
    wqueue taken = std::move(*it);
    queue->erase(it);
    taken.subscribers.remove(name);
    if (!taken.subscribers.empty()) queue->push_back(taken);
    *out = std::move(taken);
    pthread_mutex_unlock(lock);  // } queue
    Trace(name + " got " + std::to_string(out->id));
    return true;
  }
  pthread_mutex_unlock(lock);  // } queue
  return false;
}

void CCommon::Cleanup(pthread_mutex_t* lock, std::deque<wqueue>* queue) {
  pthread_mutex_lock(lock);  // queue {
  for (auto it = queue->begin(); it != queue->end();) {
    if (it->id == 0 || it->subscribers.empty()) {
      Trace("Cleanup " + std::to_string(it->id));
      it = queue->erase(it);
    } else {
      ++it;
    }
  }
  pthread_mutex_unlock(lock);  // } queue
}
