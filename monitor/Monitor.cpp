// Monitor.cpp -- vigild's entry: the command line, the short modes and
// daemon mode, which starts the router and collector threads.

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "CCommon.h"
#include "Monitor.h"
#include "Router.h"
#include "SysStats.h"

namespace {

const char kHyphens[] = "-----------------------------------------------------------";
const char kStatsDir[] = "/usr/share/tavrinWS/stats";

// The update server's probe: a file whose only use is to be downloaded.
const char kProbeUrl[] = "http://update.tavrin-music.net/preflight/probe";
// wget writes its report on stderr, hence 2>&1. Its closing line reads
// "... (2.72 Gb/s) - '/dev/null' saved [n/n]": the file name is quoted with
// ASCII quotes, with U+2018/U+2019 under a UTF-8 locale, or with two U+00BB
// on older builds, so the match accepts all three. cut keeps "(speed unit)".
const char kDownloadCommandStart[] = "wget -O /dev/null --report-speed=bits ";
const char kDownloadCommandEnd[] =
    " 2>&1 |  grep -E \"\\- (\xC2\xBB\xC2\xBB|'|\xE2\x80\x98)/dev/null\" | cut -d\" \" -f3-4";

const char kSyslogSample[] =
    "{\"jsonsample\": { \"key1\": \"value1\", \"key2\": {\"key21\":\"value21\", "
    "\"key22\":\"value22\"},\"key3\": [\"value31\",\"value32\"]}}";

// SIGINT is turned into a byte on this pipe; SignalWatcher, an ordinary
// thread, does the logging that a signal handler may not do (localtime and
// open can deadlock when the signal lands inside malloc or another log line).
int signal_pipe[2] = {-1, -1};
// Set by the handler before it writes to the pipe.
volatile sig_atomic_t caught_signal = 0;

void* SignalWatcher(void*) {
  unsigned char signo;
  while (read(signal_pipe[0], &signo, 1) != 1) {
    if (errno != EINTR) return nullptr;
  }
  CCommon::Log("Close due to Signal");
  // _exit, not exit: the other threads may still use the globals that exit()
  // would destroy.
  _exit(signo);
}

// The status main returns. A SIGINT that came while the mode was ending (pipe
// mode sees the end of its input just then) still ends the process through
// the watcher, with its log line and status.
int Finish(int status) {
  if (caught_signal) {
    for (;;) pause();
  }
  return status;
}

void PrintHelp() {
  std::cout << "\n\n"
            << kHyphens << "\n"
            << "       TAVRIN Monitor Version " << GetVersion() << "\n"
            << kHyphens << "\n"
            << "usage:\nmonitor = Start Monitor as daemon\n"
            << "-p | --pipemode: Send Syslog Messages for processing\n"
            << "-z | --daemon: Daemon Mode\n"
            << "-o | --ondemand: command - Execute on-demand command" << std::flush;
}

void RunOnDemand(const std::string& command) {
  std::string value;
  if (command == "downloadbwidth") value = calcDownloadBwidth();
  std::cout << "{\"command\":\"" << command << "\", \"value\":\"" << value << "\"}" << std::endl;
}

// Makes sure the statistics directory exists; ends the process when it cannot.
void CheckCreateStatsDir() {
  CCommon::Log("Check and Create Stats Directory");
  struct stat st;
  if (stat(kStatsDir, &st) == 0 && S_ISDIR(st.st_mode)) return;
  CCommon::Log("Stats Directory does not exist, creating");
  if (mkdir(kStatsDir, 0775) != 0) {
    CCommon::Log("Could not create stats dir");
    exit(1);
  }
}

pthread_t tRouter;
pthread_t tSysStats;

void StartThread(pthread_t* thread, void* (*body)(void*), threadargs* args, const char* name) {
  int rc = pthread_create(thread, nullptr, body, args);
  if (rc != 0) {
    fprintf(stderr, "vigild: cannot start the %s thread: %s\n", name, strerror(rc));
    _exit(1);
  }
}

void StartDaemon() {
  CheckCreateStatsDir();
  CCommon::Log("Daemonizing...");
  pthread_mutex_init(&g_mutex, nullptr);
  threadargs* args = new threadargs{&g_queue, &g_mutex};  // lives as long as the process
  StartThread(&tRouter, thread_Router, args, "router");
  StartThread(&tSysStats, thread_SysStats, args, "collector");
  void* status = nullptr;
  pthread_join(tRouter, &status);
  std::cout << "Exit with Status " << static_cast<int>(reinterpret_cast<intptr_t>(status))
            << std::endl;
  // The collector may be inside a queue operation right now: end the process
  // without destroying g_mutex or running the destructor of g_queue.
  _exit(0);
}

}  // namespace

std::string GetVersion() { return "1.1.1.14"; }

void __cb_signal(int signal) {
  caught_signal = signal;
  unsigned char signo = static_cast<unsigned char>(signal);
  ssize_t written = write(signal_pipe[1], &signo, 1);
  (void)written;
}

void ProcessSyslog() {
  // read(2) rather than getline: a read cut short by a signal is no end of
  // input, and a line must not be split where the signal landed.
  std::string pending;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      CCommon::Log(pending.substr(start, end - start));
    }
    pending.erase(0, start);
  }
  if (!pending.empty()) CCommon::Log(pending);  // a last line without a line feed
}

std::string calcDownloadBwidth() {
  return execShellCommand(std::string(kDownloadCommandStart) + kProbeUrl + kDownloadCommandEnd);
}

int main(int argc, char** argv) {
  pthread_t watcher;
  if (pipe2(signal_pipe, O_CLOEXEC) == 0 &&
      pthread_create(&watcher, nullptr, SignalWatcher, nullptr) == 0) {
    pthread_detach(watcher);
    signal(SIGINT, __cb_signal);
  }
  CCommon::Log("--- Tavrin Monitor ---");

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") {
      PrintHelp();
      return Finish(0);
    }
    if (arg == "--ondemand" || arg == "-o") {
      if (i + 1 >= argc) {
        fprintf(stderr, "vigild: %s needs a command name, e.g. %s downloadbwidth\n", argv[i],
                argv[i]);
        return Finish(64);
      }
      RunOnDemand(argv[i + 1]);
      return Finish(0);
    }
    if (arg == "--pipemode" || arg == "-p") {
      ProcessSyslog();
      return Finish(0);
    }
    if (arg == "--testsyslog") {
      syslog(LOG_LOCAL0 | LOG_INFO, "JSON::%s", kSyslogSample);
      return Finish(0);
    }
    if (arg == "--daemon" || arg == "-z") {
      StartDaemon();
      return Finish(0);
    }
  }
  return Finish(0);
}
