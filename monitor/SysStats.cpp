// SysStats.cpp -- the shell runner, the statistics collector and its probes.
// Every command line run here is a named constant, written once.

#include "SysStats.h"

#include <stdio.h>
#include <unistd.h>

#include "CCommon.h"

namespace {

// Feeds the standard output of command to sink, chunk by chunk, then waits
// for the shell. Returns false when the shell could not be started.
template <typename Sink>
bool RunShell(const std::string& command, Sink sink) {
  // "e": the pipe is not inherited by the commands that later calls start.
  FILE* pipe = popen(command.c_str(), "re");
  if (!pipe) return false;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) sink(buffer, n);
  pclose(pipe);
  return true;
}

}  // namespace

std::string execShellCommand(std::string command) {
  std::string output;
  RunShell(command, [&output](const char* data, size_t n) { output.append(data, n); });
  return output;
}

std::string getShellCommand(std::string command) {
  std::string last;     // the last line that ended with a line feed
  std::string current;  // the line being read
  RunShell(command, [&](const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (data[i] == '\n') {
        last.swap(current);
        current.clear();
      } else {
        current.push_back(data[i]);
      }
    }
  });
  return current.empty() ? last : current;
}

void* thread_SysStats(void*) {
  CCommon::Log("Thread SysStats started");
  for (;;) sleep(1);
}
