// SysStats.cpp -- the shell runner, the statistics collector and its probes.
// Every command line run here is a named constant below, written once.
// Runs on the collector thread only (the shell runner also on the main thread
// in on-demand mode); nothing here calls libwebsockets.

#include "SysStats.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <vector>

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

namespace {

// --- command lines, each written once -------------------------------------

const char kThreadName[] = "SysStats";
const char kReplyTo[] = "Router";

// The next hop of the default route; read once, at start-up.
const char kGatewayCommand[] = "/sbin/ip route | awk '/default/ { print $3 }'";
// Values of /etc/tavrin.conf. Each command keeps the last matching line, so
// a key written twice takes its later value. The serial is cut to 13
// characters, the most the look-up needs.
const char kMasterCommand[] = "cat /etc/tavrin.conf | grep MASTER= | cut -c8-20";
const char kMasterIpCommand[] = "cat /etc/tavrin.conf | grep MASTERIP= | cut -d\"=\" -f2";
const char kVersionCommand[] = "cat /etc/tavrin.conf | grep VERSION_TWSS | cut -d\"=\" -f2";
const char kUpdateLevelCommand[] = "cat /etc/tavrin.conf | grep UPDATELEVEL | cut -d\"=\" -f2";

// arp -an prints "? (198.51.100.2) at 00:04:20:ab:cd:ef [ether] on eth1";
// this leaves "198.51.100.2 000420ABCDEF" to match the serial against.
const char kArpCommandStart[] =
    "arp -an | sed 's/[:()]//g' | cut -d\" \" -f2,4 | tr '[a-f]' '[A-F]' | grep ";
const char kArpCommandEnd[] = " | cut -d\" \" -f1";

// -q leaves only the heading and the summary; sed drops ping's empty lines.
const char kPingCommandStart[] = "/bin/ping -c 4 -q ";
const char kPingCommandEnd[] = " | sed '/^$/d'";

// netcat-openbsd reports "succeeded" on stderr, so stderr must join the pipe;
// with 2>/dev/null every port would read as closed. nc keeps reading after
// its input ends, so a server that holds the connection open would block the
// collector for good: -w 3 ends an idle connection after three seconds.
const char kNcCommandStart[] = "echo -e \"\" | nc -v -w 3 ";
const char kNcCommandEnd[] = " 2>&1";

// df prints a heading and one line of figures; with the line feeds deleted
// they form one awk record whose third and fourth fields are the figures.
const char kDiskCommand[] =
    "/bin/df -BG /dev/sda1 --output=used,avail | tr -d \"\n\" | awk -- '{print $3,$4}'";

const char kUptimeCommand[] = "/bin/cat /proc/uptime | cut -d' ' -f1 | awk -- '{print int($1)}'";
const char kCoresCommand[] = "/bin/cat /proc/cpuinfo | awk -- '/processor/ {++c} END {print c}'";
// Prints "avg1 avg5 avg15 total running sleeping zombie" from top's heading.
// gawk, not mawk: mawk rejects --use-lc-numeric, so cpu would always read -1.
// Under a decimal-comma locale the averages come out as 0,15; the parser
// turns the comma back into a point.
const char kLoadCommand[] =
    R"cmd(top -b -n 1 | sed '/^$/d' | awk --use-lc-numeric  -- 'BEGIN {OFS=""; ORS=""; cpuavg=0} /average|zombie/ {for(i=1;i<=NF;i++) { if ($i == "average:") { avg=sprintf("%.2f %.2f %.2f",substr($(i+1),1,length($(i+1))-1),substr($(i+2),1,length($(i+2))-1),$(i+3)); print avg" ";} if ($i == "total,") print $(i - 1)" "; if ($i == "running,") print $(i-1)" "; if ($i == "sleeping,") print $(i-1)" "; if ($i == "zombie") print $(i-1)"\n"}}')cmd";

const double kFailure = -1;

// atof, except that "nan" or "inf" read as 0: picojson throws on a
// non-finite number, which would end the collector thread.
double readNumber(const std::string& text) {
  double value = strtod(text.c_str(), nullptr);
  return std::isfinite(value) ? value : 0;
}

// atoi without its undefined behaviour on figures beyond int.
double readWhole(const std::string& text) {
  return static_cast<double>(strtoll(text.c_str(), nullptr, 10));
}

bool isSafeSerial(const std::string& serial) {
  if (serial.empty()) return false;
  for (char c : serial) {
    if (!isalnum(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

const char kInternetHost[] = "www.google.com";

// --- parsers ------------------------------------------------------------------

bool isSafeHost(const std::string& host) {
  // A leading '-' would reach ping as an option.
  if (host.empty() || host[0] == '-') return false;
  for (char c : host) {
    bool plain =
        isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' || c == ':';
    if (!plain) return false;
  }
  return true;
}

PingTimes parsePingOutput(const std::string& output) {
  // The summary reads "4 packets transmitted, 4 received, 0% packet loss,
  // time 3004ms\nrtt min/avg/max/mdev = 0.412/0.498/0.611/0.071 ms": cut at
  // commas, the loss starts its piece and the times share the last piece.
  PingTimes times;
  for (const std::string& piece : CCommon::Tokenizer(output, ',')) {
    if (piece.find("packet loss") != std::string::npos) times.loss = readNumber(piece);
    if (piece.find("rtt") == std::string::npos) continue;
    // Fields at slashes: "...rtt min", "avg", "max", "mdev = MIN", "AVG",
    // "MAX", "MDEV ms". A cut-off line, or a host name holding "rtt" in the
    // heading, has fewer fields; only those that exist are read.
    std::vector<std::string> fields = CCommon::Tokenizer(piece, '/');
    if (fields.size() > 3) {
      const std::string& field = fields[3];
      size_t equals = field.find('=');
      times.min = readNumber(equals == std::string::npos ? field : field.substr(equals + 1));
    }
    if (fields.size() > 4) times.avg = readNumber(fields[4]);
    if (fields.size() > 5) times.max = readNumber(fields[5]);
  }
  return times;
}

bool parseDiskOutput(const std::string& output, DiskUsage* disk) {
  std::vector<std::string> pieces = CCommon::Tokenizer(output, ' ');
  // awk prints a lone blank when df printed no figures.
  if (pieces.size() < 2) return false;
  disk->used = readWhole(pieces[0]);
  disk->free = readWhole(pieces[1]);
  return true;
}

bool parseLoadOutput(const std::string& output, LoadFigures* load) {
  std::vector<std::string> pieces = CCommon::Tokenizer(output, ' ');
  // More pieces mean a process line of top matched too (a command named
  // "zombie"); the figures can then no longer be told apart.
  if (pieces.size() != 7) return false;
  load->avg1 = readNumber(CCommon::Replace(pieces[0], ',', '.'));
  load->avg5 = readNumber(CCommon::Replace(pieces[1], ',', '.'));
  load->avg15 = readNumber(CCommon::Replace(pieces[2], ',', '.'));
  load->total = readWhole(pieces[3]);
  load->running = readWhole(pieces[4]);
  load->sleeping = readWhole(pieces[5]);
  load->zombie = readWhole(pieces[6]);
  return true;
}

picojson::value pingValue(const PingTimes& times) {
  picojson::object ping;
  ping["Loss"] = picojson::value(times.loss);
  ping["Min"] = picojson::value(times.min);
  ping["Max"] = picojson::value(times.max);
  ping["Avg"] = picojson::value(times.avg);
  return picojson::value(ping);
}

picojson::value diskValue(const DiskUsage& disk) {
  picojson::object usage;
  usage["Used"] = picojson::value(disk.used);
  usage["Free"] = picojson::value(disk.free);
  return picojson::value(usage);
}

picojson::value cpuValue(double uptime, double cores, const LoadFigures* load) {
  picojson::object cpu;
  cpu["Uptime"] = picojson::value(uptime);
  cpu["Cores"] = picojson::value(cores);
  if (load) {
    cpu["Avg1"] = picojson::value(load->avg1);
    cpu["Avg5"] = picojson::value(load->avg5);
    cpu["Avg15"] = picojson::value(load->avg15);
    cpu["Tasks_Total"] = picojson::value(load->total);
    cpu["Tasks_Running"] = picojson::value(load->running);
    cpu["Tasks_Sleeping"] = picojson::value(load->sleeping);
    cpu["Tasks_Zombie"] = picojson::value(load->zombie);
  }
  return picojson::value(cpu);
}

// --- probes -------------------------------------------------------------------

bool cmdPing(std::string host, std::string key, picojson::object* out) {
  // Values of /etc/tavrin.conf end up here: only a plain name or address may
  // reach the shell.
  std::string output;
  if (isSafeHost(host)) output = execShellCommand(kPingCommandStart + host + kPingCommandEnd);
  if (output.empty()) {
    CCommon::Log("Ping Failed for Host " + host);
    (*out)[key] = picojson::value(kFailure);
    return false;
  }
  (*out)[key] = pingValue(parsePingOutput(output));
  return true;
}

bool cmdNC(std::string key, std::string host, int port, picojson::object* out) {
  bool accepted = false;
  if (isSafeHost(host)) {
    std::string output =
        execShellCommand(kNcCommandStart + host + " " + std::to_string(port) + kNcCommandEnd);
    accepted = output.find("succeeded") != std::string::npos;
  }
  (*out)[key] = picojson::value(accepted);
  return accepted;
}

bool cmdDisk(std::string host, std::string key, picojson::object* out) {
  // Only the appliance's own disk can be measured.
  DiskUsage disk;
  if (host == "localhost" && parseDiskOutput(execShellCommand(kDiskCommand), &disk)) {
    (*out)[key] = diskValue(disk);
  } else {
    (*out)[key] = picojson::value(kFailure);
  }
  return true;
}

bool cmdCPU(std::string key, picojson::object* out) {
  double uptime = readWhole(execShellCommand(kUptimeCommand));
  double cores = readWhole(execShellCommand(kCoresCommand));
  std::string output = execShellCommand(kLoadCommand);
  // Nothing at all means top is missing or failed: the whole member fails,
  // although uptime and cores were read.
  if (output.empty()) {
    (*out)[key] = picojson::value(kFailure);
    return true;
  }
  LoadFigures load;
  (*out)[key] = cpuValue(uptime, cores, parseLoadOutput(output, &load) ? &load : nullptr);
  return true;
}

// --- the collector ------------------------------------------------------------

void addCategories(const std::string& request, Categories* wanted) {
  for (const std::string& word : CCommon::Tokenizer(request, ',')) {
    if (word == "network") wanted->network = true;
    if (word == "system") wanted->system = true;
    if (word == "services") wanted->services = true;
  }
}

std::string lookupHubstationByArp(const std::string& serial) {
  // The serial comes from /etc/tavrin.conf and is pasted into the pipeline
  // unquoted: anything but letters and digits must not reach the shell.
  if (!isSafeSerial(serial)) return "";
  return getShellCommand(kArpCommandStart + serial + kArpCommandEnd);
}

CollectorState startCollector() {
  CCommon::Log("Thread SysStats started");
  CollectorState state;
  state.gateway = getShellCommand(kGatewayCommand);
  state.serial = getShellCommand(kMasterCommand);
  state.hubstation = getShellCommand(kMasterIpCommand);
  if (state.hubstation.empty()) {
    state.hubstation = lookupHubstationByArp(state.serial);
    CCommon::Log("Using ARP to resolve Hubstation IP");
  } else {
    CCommon::Log("Using tavrin.conf to resolve Hubstation IP");
  }
  // The Hubstation may be silent when a later pass looks it up, and then
  // drop out of the neighbour table: keep what start-up found.
  state.remembered = state.hubstation;
  return state;
}

void resolveHubstation(CollectorState* state) {
  state->hubstation = getShellCommand(kMasterIpCommand);
  if (state->hubstation.empty()) {
    state->hubstation = lookupHubstationByArp(state->serial);
    CCommon::Log("Hubstation IP from ARP " + state->hubstation);
    if (state->hubstation.empty() && !state->remembered.empty()) {
      state->hubstation = state->remembered;
      CCommon::Log("Hubstation IP from last positive Query " + state->hubstation);
    }
  }
  CCommon::Log("Using Hubstation IP " + state->hubstation);
}

bool runCollectorPass(threadargs* args, CollectorState* state) {
  // Requests that arrived while the last pass measured are served together.
  Categories wanted;
  wqueue request;
  while (CCommon::WaitForMessage(args->mutex, args->queue, kThreadName, &request)) {
    addCategories(request.message, &wanted);
  }

  picojson::object document;
  if (wanted.network) {
    resolveHubstation(state);
    picojson::object network;
    cmdPing(kInternetHost, "internet", &network);
    cmdPing(state->gateway, "gateway", &network);
    cmdPing(state->hubstation, "hubstation", &network);
    document["network"] = picojson::value(network);
  }
  if (wanted.system) {
    picojson::object system;
    cmdCPU("cpu", &system);
    cmdDisk("localhost", "disk", &system);
    cmdNC("serviceTMS", "localhost", 9000, &system);
    document["system"] = picojson::value(system);
  }
  if (wanted.services) {
    picojson::object services;
    services["version"] = picojson::value(getShellCommand(kVersionCommand));
    services["updatelevel"] = picojson::value(getShellCommand(kUpdateLevelCommand));
    document["services"] = picojson::value(services);
  }
  if (document.empty()) return false;

  wqueue reply;
  reply.complete = wanted.network && wanted.system && wanted.services;
  reply.subscribers.push_back(kReplyTo);
  reply.message = picojson::value(document).serialize();
  reply.from = kThreadName;
  CCommon::EmitMessage(args->mutex, args->queue, reply);
  return true;
}

void* thread_SysStats(void* arg) {
  threadargs* args = static_cast<threadargs*>(arg);
  CollectorState state = startCollector();
  for (;;) {
    runCollectorPass(args, &state);
    sleep(1);
  }
  return nullptr;
}
