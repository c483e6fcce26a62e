// SysStats.h -- the shell runner, the statistics collector and its probes.
// Runs on the collector thread (and the main thread in on-demand mode);
// nothing here calls libwebsockets.

#ifndef MONITOR_SYSSTATS_H_
#define MONITOR_SYSSTATS_H_

#include <string>

/// Runs command through /bin/sh and returns its whole standard output, the
/// last line too when it has no line feed. Standard error is not captured.
/// The exit status is ignored; "" when the shell cannot be started.
std::string execShellCommand(std::string command);

/// Runs command through /bin/sh and returns the last line of its standard
/// output, whole and without its line feed; "" when it printed nothing.
std::string getShellCommand(std::string command);

/// The statistics collector thread. arg is the threadargs record. Never returns.
void* thread_SysStats(void* arg);

#endif  // MONITOR_SYSSTATS_H_
