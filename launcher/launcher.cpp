// launcher.cpp -- the appliance's start manager: the boot-time start sequence,
// the local players' identifiers in the media database, and the supervisor
// that keeps tws and vigild running.
//
// Everything done to the appliance is a fixed shell command line, named once
// below. The start sequence runs on the main thread alone; afterwards the main
// thread supervises, and at most one thread per service exists at a time,
// blocked in its service's command. Those threads share nothing with the
// supervisor but the two atomic flags twsrunning and monitorrunning.

#include <arpa/inet.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <sstream>
#include <string>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

extern char** environ;

const char VERSION[] = "1.1.01.07";

// True from the moment the supervisor starts a service's thread until that
// thread has finished; the supervisor sets them, the service threads clear them.
std::atomic<bool> twsrunning(false);
std::atomic<bool> monitorrunning(false);

namespace {

const char kMediaDatabase[] = "/usr/share/tavrinWS/db/tavrinmedia";

const char kHyphens[] = "-----------------------------------------------------------";

const char kPagePath[] = "/usr/share/squeezeboxserver/HTML/Default/index.html";
// What the music server's web interface on port 9000 shows while the
// appliance starts.
const char kPage[] =
    "<!DOCTYPE html><html><head><meta http-equiv=\"content-type\" content=\"text/html; "
    "charset=UTF-8\"><title>Tavrin Music Server</title><style type='text/css'>html, body "
    "{height: 100%; }.parent { width: 100%; height: 100%; display: table; text-align: center; "
    "}.parent > .child { display: table-cell; vertical-align: middle; }</style></head><body>"
    "<section class=\"parent\"><div class=\"child\">Tavrin Music Server<br>Status: "
    "running</div></section></body></html>";

const char kVersionRecordStart[] = "echo '-- actual info since boot --' > /var/www/versions.txt";

// Copies left over from an earlier start. The forced kill by pattern follows
// only a polite stop that succeeded, hence "&&".
const char* const kStaleServiceCommands[] = {
    "killall tws > /dev/null 2>&1 && pkill -SIGKILL -f tws > /dev/null 2>&1",
    "killall beacond > /dev/null 2>&1",
    "/etc/init.d/tavrinmediaserver stop > /dev/null 2>&1 && "
    "pkill -SIGKILL -f squeezeboxserver > /dev/null 2>&1",
    "killall vigild > /dev/null 2>&1 && pkill -SIGKILL -f vigild > /dev/null 2>&1",
};

const char kAvahiRestart[] = "/etc/init.d/avahi-daemon restart > /dev/null 2>&1";
const char kTimezoneCommand[] = "cat /etc/timezone";
const char kFinTimeout[] = "echo 60 > /proc/sys/net/ipv4/tcp_fin_timeout";
// The broadcaster is started once, in the background; nobody watches it.
const char kBeaconStart[] = "/usr/share/tavrinWS/bin/beacond > /dev/null 2>&1 &";
const char kMediaServerStart[] = "/etc/init.d/tavrinmediaserver start > /dev/null 2>&1";
// Its report of the outputs it found belongs on the console.
const char kZoneStart[] = "/usr/share/tavrinWS/bin/zonestart";

// Both services stay in the foreground while they run. tws writes to our
// console; the monitor traces its queue on stdout, which nobody wants here.
const char kTwsCommand[] = "/usr/share/tavrinWS/bin/tws";
const char kMonitorCommand[] = "/usr/share/tavrinWS/bin/vigild -z > /dev/null 2>&1";

// grep keeps the inet line alone, since only the last line of output is read.
// net-tools 2.10 prints "inet 192.168.1.25  netmask ...", older releases
// "inet addr:192.168.1.25  Bcast:..."; addressFromInetLine reads both.
const char kAddressCommand[] = "/sbin/ifconfig eth0 | grep 'inet '";

// The values are bound, so no text from outside ends up in the statement.
// PK_PlayerID is bound as text, the way the statement has always compared
// it, so that exactly the same rows match whatever the column's type.
const char kUpdatePlayer[] =
    "UPDATE Players SET Player_MAC=? WHERE PK_PlayerID=? AND islocal='1';";
const char kIdentifierPrefix[] = "00:00:00:11:";
const int kPlayers = 20;

// Language of the music server by time zone. Every row is tried in order and
// a later match wins. Stockholm gets NO, not SV, as the appliance always had it.
const struct {
  const char* zone;
  const char* language;
} kLanguages[] = {
    {"Europe/Vienna", "DE"},    {"Europe/Berlin", "DE"},   {"Europe/Copenhagen", "DA"},
    {"Europe/Madrid", "ES"},    {"Europe/Paris", "FR"},    {"Europe/Rome", "IT"},
    {"Europe/Amsterdam", "NL"}, {"Europe/Stockholm", "NO"}, {"Europe/Warsaw", "PL"},
    {"Europe/Lisbon", "PT"},    {"Europe/Helsinki", "FI"}, {"Europe/Prague", "CS"},
    {"Europe/Moscow", "RU"},
};

// One console line, written and flushed in one go so that lines of different
// threads do not mix within a line.
void say(const std::string& line) {
  std::string text = line + "\n";
  fputs(text.c_str(), stdout);
  fflush(stdout);
}

void sayError(const char* text) {
  fputs(text, stderr);
  fflush(stderr);
}

// Runs command through /bin/sh -c and waits for it; its status is not looked
// at. Not system(): glibc's system() ignores SIGINT in the whole process while
// it waits, and a service thread is always waiting, so SIGINT would never
// reach my_handler.
void runCommand(const char* command) {
  char sh[] = "sh";
  char c[] = "-c";
  char* argv[] = {sh, c, const_cast<char*>(command), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return;
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void runCommand(const std::string& command) { runCommand(command.c_str()); }

}  // namespace

// --- text and address pieces ----------------------------------------------

std::string itos(int n) {
  char text[16];
  snprintf(text, sizeof text, "%d", n);
  return text;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string languageForTimezone(const std::string& timezone) {
  std::string language = "EN";
  for (const auto& row : kLanguages)
    if (timezone.find(row.zone) != std::string::npos) language = row.language;
  return language;
}

std::string addressFromInetLine(const std::string& line) {
  std::istringstream words(line);
  std::string word;
  while (words >> word) {
    if (word != "inet") continue;
    if (!(words >> word)) return "";
    const std::string kOldLabel = "addr:";
    if (word.compare(0, kOldLabel.size(), kOldLabel) == 0) word.erase(0, kOldLabel.size());
    return word;
  }
  return "";
}

bool isDottedIPv4(const std::string& text) {
  // inet_pton takes exactly four decimal parts of 0 to 255, nothing else.
  struct in_addr address;
  return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

std::string addressSuffix(const std::string& address) {
  std::string digits = Replace(address, ".", "");
  return digits.size() < 2 ? "" : digits.substr(digits.size() - 2);
}

std::string playerIdentifier(const std::string& suffix, int player) {
  std::string number = itos(player);
  if (number.size() == 1) number = "0" + number;
  return kIdentifierPrefix + suffix + ":" + number;
}

// --- command output and the media database -------------------------------

bool readCommandOutput(const std::string& command, std::string* last_line) {
  // "e": the pipe must not leak into the services started later.
  FILE* pipe = popen(command.c_str(), "re");
  if (!pipe) return false;
  std::string line;  // the line being read, without its newline so far
  std::string last;  // the last line that ended with a newline
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    for (size_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        last.swap(line);
        line.clear();
      } else {
        line.push_back(buffer[i]);
      }
    }
  }
  pclose(pipe);
  *last_line = line.empty() ? last : line;
  return true;
}

std::string findServerAddress() {
  std::string line;
  if (!readCommandOutput(kAddressCommand, &line)) return "127.0.0.1";
  return addressFromInetLine(line);
}

std::string readTimezone() {
  std::string timezone;
  if (!readCommandOutput(kTimezoneCommand, &timezone)) {
    say("Error 94 while getting internal Timezone!");
    return "";
  }
  return timezone;
}

void writePlayerIdentifiers(const std::string& suffix, const std::string& database) {
  for (int player = 1; player <= kPlayers; ++player) {
    try {
      // Opened per player: each update is a transaction of its own, and a
      // database that fails for one player is tried again for the next.
      SQLite::Database db(database, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE, 0);
      SQLite::Statement update(db, kUpdatePlayer);
      update.bind(1, playerIdentifier(suffix, player));
      update.bind(2, itos(player));
      update.exec();
    } catch (const std::exception& e) {
      say(std::string("exception: ") + e.what());
    }
  }
}

// --- the start sequence ----------------------------------------------------

void updatePlayerAddress() {
  std::string address = findServerAddress();
  say("using Server IP:" + address);
  // Identifiers are made of the address's digits; anything else would write
  // nonsense into every local player.
  if (address.empty()) {
    say("no IPv4 address on eth0, player identifiers left unchanged");
    return;
  }
  if (!isDottedIPv4(address)) {
    say("\"" + address + "\" is not an IPv4 address, player identifiers left unchanged");
    return;
  }
  writePlayerIdentifiers(addressSuffix(address), kMediaDatabase);
}

void setLanguage() {
  std::string timezone = readTimezone();
  std::string language = languageForTimezone(timezone);
  say("using language: " + language + " from Timezone: " + timezone);
  runCommand("sed -i -e 's/^language: .*/language: " + language +
             "/' /var/lib/squeezeboxserver/prefs/server.prefs");
}

void writePlaceholderPage() {
  FILE* page = fopen(kPagePath, "w");
  if (!page) {
    say("Couldn't open index.html for 9000.");
    return;
  }
  fputs(kPage, page);
  fputs("\n", page);
  fflush(page);
  fclose(page);
}

void runStartSequence() {
  say("");
  say("");
  say(kHyphens);
  say(std::string("       TAVRIN START MANAGER Version ") + VERSION);
  say(kHyphens);
  say("getting ready ...");

  runCommand(kVersionRecordStart);
  runCommand(std::string("echo 'Start Manager Daemon: ") + VERSION + "' >> /var/www/versions.txt");

  writePlaceholderPage();

  for (const char* command : kStaleServiceCommands) runCommand(command);
  usleep(1000000);

  runCommand(kAvahiRestart);
  setLanguage();
  say("TAVRIN START MANAGER (Step 1/3) ...");

  updatePlayerAddress();
  say("TAVRIN START MANAGER (Step 2/3) ... ...");

  runCommand(kFinTimeout);
  runCommand(kBeaconStart);
  runCommand(kMediaServerStart);
  usleep(2000000);
  say("Querying Outputs, starting our internal Outputmanager:");
  say("");
  runCommand(kZoneStart);
  say("TAVRIN START MANAGER (Step 3/3) ... ... ...");
  sayError("Services running...:\n");
}

// --- the supervisor --------------------------------------------------------

std::string logstamp() {
  char stamp[80];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "%Y-%m-%d_%X", &local);
  return stamp;
}

// Async-signal-safe: no stdio, no allocation. Every console line is flushed
// when written, so nothing is left in stdout's buffer to lose.
void my_handler(int signal) {
  char line[32] = "Caught signal ";
  size_t length = sizeof "Caught signal " - 1;
  char digits[12];
  size_t count = 0;
  unsigned value = signal < 0 ? 0 : static_cast<unsigned>(signal);
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (count > 0) line[length++] = digits[--count];
  line[length++] = '\n';
  ssize_t written = write(STDOUT_FILENO, line, length);
  (void)written;
  _exit(1);
}

void* StartTWS(void*) {
  say("  * TAVRIN WEB SERVICES (TWS): " + logstamp());
  runCommand(kTwsCommand);
  usleep(1000000);
  twsrunning = false;
  return nullptr;
}

void* StartMonitor(void* arg) {
  say("  *Monitor, Thread ID:" + itos(static_cast<int>(reinterpret_cast<intptr_t>(arg))));
  runCommand(kMonitorCommand);
  sayError("\n## monitor stopped! ##\n");
  monitorrunning = false;
  return nullptr;
}

namespace {

// Starts body in a thread of its own once running is found false. The flag
// is set before the thread exists, so that a service that ends at once still
// leaves it false for the next pass. The thread is detached: nobody waits for
// it, and a service that keeps failing is restarted for ever, so an unjoined
// thread would keep its stack for good.
void startService(std::atomic<bool>* running, pthread_t* handle, void* (*body)(void*),
                  intptr_t argument, const char* failure) {
  if (*running) return;
  *running = true;
  int rc = pthread_create(handle, nullptr, body, reinterpret_cast<void*>(argument));
  if (rc != 0) {
    say(failure + itos(rc));
    exit(-1);
  }
  pthread_detach(*handle);
}

}  // namespace

// Never returns: the launcher ends only through my_handler or a thread that
// cannot be created. The services it started are left running either way.
void superviseServices() {
  struct sigaction action = {};
  action.sa_handler = my_handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);

  pthread_t tTWS;
  pthread_t tMonitor;
  for (;;) {
    startService(&twsrunning, &tTWS, StartTWS, 1, "Error:unable to create TWS-thread,");
    startService(&monitorrunning, &tMonitor, StartMonitor, 3,
                 "Error:unable to create vigild-thread,");
    usleep(400000);
  }
}

#ifndef LAUNCHER_UNIT_TEST
// Arguments are ignored: every path and command line is fixed.
int main() {
  runStartSequence();
  superviseServices();
}
#endif
