// Monitor.h -- the free functions of vigild's entry file.

#ifndef MONITOR_MONITOR_H_
#define MONITOR_MONITOR_H_

#include <string>

/// The monitor's version, shown by --help.
std::string GetVersion();
/// SIGINT handler: hands the signal to a watcher thread, which logs
/// "Close due to Signal" and ends the process with the signal number.
void __cb_signal(int signal);
/// Pipe mode: every line of stdin becomes one log line.
void ProcessSyslog();
/// Downloads the update server's probe and returns wget's speed text, e.g.
/// "(2.72 Gb/s)\n", or "" when there was no report.
std::string calcDownloadBwidth();

#endif  // MONITOR_MONITOR_H_
