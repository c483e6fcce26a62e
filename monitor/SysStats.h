// SysStats.h -- the shell runner, the statistics collector and its probes.
// Runs on the collector thread (and the main thread in on-demand mode);
// nothing here calls libwebsockets.
//
// A probe is a thin runner around a pure parser: the named probe (cmdPing,
// cmdNC, cmdDisk, cmdCPU) builds its command line, runs it and stores one
// member of the caller's object; the parsers below read the command output
// and can be tested without a shell.

#ifndef MONITOR_SYSSTATS_H_
#define MONITOR_SYSSTATS_H_

#include <picojson.h>

#include <string>

#include "CCommon.h"

/// Runs command through /bin/sh and returns its whole standard output, the
/// last line too when it has no line feed. Standard error is not captured.
/// The exit status is ignored; "" when the shell cannot be started.
std::string execShellCommand(std::string command);

/// Runs command through /bin/sh and returns the last line of its standard
/// output, whole and without its line feed; "" when it printed nothing.
std::string getShellCommand(std::string command);

// --- probes -----------------------------------------------------------------
// Each probe replaces the member key of *out. The failure value is the number -1.

/// The public host pinged for the "internet" member of every network pass.
extern const char kInternetHost[];

/// Pings host four times and stores {"Avg","Loss","Max","Min"} under key;
/// true when ping printed anything. An empty host, a host that ping would not
/// take as a plain name or address (see isSafeHost), or one whose ping prints
/// nothing (unresolvable name) logs "Ping Failed for Host <host>", stores -1
/// and returns false. A host that does not answer is no failure: Loss 100.
bool cmdPing(std::string host, std::string key, picojson::object* out);

/// Tests whether host accepts TCP connections on port; stores and returns
/// the verdict as a boolean. Never stores -1. A host that isSafeHost refuses
/// is false without running anything.
bool cmdNC(std::string key, std::string host, int port, picojson::object* out);

/// Stores {"Free","Used"} of /dev/sda1 in GiB under key, or -1 when host is
/// not "localhost" or df reports nothing usable. Always returns true.
bool cmdDisk(std::string host, std::string key, picojson::object* out);

/// Stores {"Uptime","Cores"} plus the load averages and task counts of top
/// under key; the seven top figures only when top's output reads as exactly
/// seven of them, and -1 when top printed nothing. Always returns true.
bool cmdCPU(std::string key, picojson::object* out);

// --- parsers of command output (pure) -----------------------------------------

/// True when host holds only letters, digits, '.', '-', '_' and ':' and does
/// not start with '-': a name or address that reaches the shell and ping as
/// exactly one plain argument.
bool isSafeHost(const std::string& host);

/// What ping -q reports. Times stay 0 when no rtt line was printed.
struct PingTimes {
  double loss = 0;
  double min = 0;
  double avg = 0;
  double max = 0;
};
/// Reads the "N% packet loss" figure and the "rtt min/avg/max/mdev = a/b/c/d"
/// line of ping -q's output. A cut-off rtt line gives only the times it holds.
PingTimes parsePingOutput(const std::string& output);

struct DiskUsage {
  double used = 0;
  double free = 0;
};
/// Reads "USED AVAIL" (e.g. "3G 25G") as printed by the df pipeline; false
/// when it holds fewer than two figures.
bool parseDiskOutput(const std::string& output, DiskUsage* disk);

struct LoadFigures {
  double avg1 = 0, avg5 = 0, avg15 = 0;
  double total = 0, running = 0, sleeping = 0, zombie = 0;
};
/// Reads "avg1 avg5 avg15 total running sleeping zombie" as printed by the
/// top pipeline, the averages with a decimal point or a decimal comma; false
/// unless there are exactly seven figures.
bool parseLoadOutput(const std::string& output, LoadFigures* load);

/// The values stored by the probes, with the member names clients read.
picojson::value pingValue(const PingTimes& times);
picojson::value diskValue(const DiskUsage& disk);
/// load may be null: then only "Uptime" and "Cores" are present.
picojson::value cpuValue(double uptime, double cores, const LoadFigures* load);

// --- the collector ------------------------------------------------------------

/// The categories a request may name: "network", "system", "services".
struct Categories {
  bool network = false;
  bool system = false;
  bool services = false;
};
/// Sets the flag of each comma-separated word of request that names a
/// category exactly (case and blanks count); other words are ignored.
void addCategories(const std::string& request, Categories* wanted);

/// Looks up the neighbour whose hardware address, as bare upper-case hex
/// digits, contains serial, in arp -an; the address of the last one arp lists,
/// or "". A serial that is empty or holds anything but letters and digits finds
/// nothing and runs nothing.
std::string lookupHubstationByArp(const std::string& serial);

/// What the collector keeps between passes.
struct CollectorState {
  std::string gateway;     ///< Next hop of the default route at start-up, or "".
  std::string serial;      ///< MASTER of /etc/tavrin.conf, at most 13 characters.
  std::string hubstation;  ///< Address pinged as "hubstation"; resolved anew per network pass.
  std::string remembered;  ///< The address found at start-up, or ""; never changes.
};

/// The collector's start-up: logs "Thread SysStats started", reads the
/// gateway, the serial and the Hubstation address (the configured MASTERIP,
/// else the ARP look-up), and logs which source was used.
CollectorState startCollector();

/// Sets state->hubstation from MASTERIP, else the ARP look-up, else the
/// address remembered from start-up, logging each step.
void resolveHubstation(CollectorState* state);

/// One pass of the collector without its pause: drains every request for
/// "SysStats", measures the categories they name and emits one reply to
/// "Router" (complete when all three were measured). Returns false, emitting
/// nothing, when no request named a category.
bool runCollectorPass(threadargs* args, CollectorState* state);

/// The statistics collector thread. arg is the threadargs record. Never returns.
void* thread_SysStats(void* arg);

#endif  // MONITOR_SYSSTATS_H_
