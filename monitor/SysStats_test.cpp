// SysStats_test.cpp -- the shell runner, the probes' parsers on ping, df and
// top output captured on Debian 12, and the probes and collector pass on the
// real tools. Runs inside a throw-away appliance: the log, /etc/tavrin.conf,
// /usr/bin/df and the neighbour table are the appliance's own.

#include "SysStats.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

TEST(SysStatsTest, ShellRunnerReturnsOutputAndLastLine) {
  std::string long_line(2500, 'x');
  long_line[0] = 'a';
  long_line[2499] = 'z';
  struct Case {
    std::string command, whole, last;
  } cases[] = {
      {"printf 'a\\nb\\n'", "a\nb\n", "b"},
      // A last line without a line feed is kept whole.
      {"printf abc", "abc", "abc"},
      {"printf 'a\\nbc'", "a\nbc", "bc"},
      {"printf 'a\\n\\n'", "a\n\n", ""},
      {"true", "", ""},
      {"no-such-command-here 2>/dev/null", "", ""},
      {"echo only-stderr >&2", "", ""},
      {"printf '%s\\n' " + long_line, long_line + "\n", long_line},
      {"printf 'first\\n%s' " + long_line, "first\n" + long_line, long_line},
      {"printf 'a\\0b\\n'", std::string("a\0b\n", 4), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.whole, execShellCommand(c.command)) << c.command;
    EXPECT_EQ(c.last, getShellCommand(c.command)) << c.command;
  }
}

TEST(SysStatsTest, ShellRunnerIgnoresExitStatus) {
  EXPECT_EQ("out\n", execShellCommand("echo out; exit 3"));
  EXPECT_EQ("out", getShellCommand("echo out; exit 3"));
}

// Output much larger than a pipe buffer must not block or be cut.
TEST(SysStatsTest, ShellRunnerReadsLargeOutput) {
  std::string out = execShellCommand("seq 1 100000");
  EXPECT_EQ(588895u, out.size());
  EXPECT_EQ("100000", getShellCommand("seq 1 100000"));
}

// --- helpers ------------------------------------------------------------------

std::string ReadFile(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const char* path) {
  return access(path, F_OK) == 0;
}

// The messages logged while body runs, without their time stamps.
template <typename Body>
std::vector<std::string> LogOf(Body body) {
  size_t before = ReadFile(kLogFile).size();
  body();
  std::vector<std::string> messages;
  std::istringstream lines(ReadFile(kLogFile).substr(before));
  for (std::string line; std::getline(lines, line);) {
    size_t dash = line.find(" - ");
    messages.push_back(dash == std::string::npos ? line : line.substr(dash + 3));
  }
  return messages;
}

std::string Json(const picojson::object& object) {
  return picojson::value(object).serialize();
}

// Puts text at /etc/tavrin.conf for the life of the object.
class ConfigFile {
 public:
  explicit ConfigFile(const std::string& text) {
    saved_ = rename(kPath, kSaved) == 0;
    std::ofstream(kPath) << text;
  }
  ~ConfigFile() {
    unlink(kPath);
    if (saved_) rename(kSaved, kPath);
  }

 private:
  static constexpr const char* kPath = "/etc/tavrin.conf";
  static constexpr const char* kSaved = "/etc/tavrin.conf.saved";
  bool saved_ = false;
};

// --- parsers ------------------------------------------------------------------

TEST(SysStatsTest, PingOutputGivesLossAndTimes) {
  const char kHeading[] =
      "PING 192.0.2.1 (192.0.2.1) 56(84) bytes of data.\n"
      "--- 192.0.2.1 ping statistics ---\n";
  struct Case {
    std::string output;
    double loss, min, avg, max;
  } cases[] = {
      {std::string(kHeading) + "4 packets transmitted, 4 received, 0% packet loss, time 3055ms\n"
                               "rtt min/avg/max/mdev = 0.063/0.074/0.103/0.016 ms\n",
       0, 0.063, 0.074, 0.103},
      // A host that drops echo requests: no rtt line at all.
      {std::string(kHeading) + "4 packets transmitted, 0 received, 100% packet loss, time 3074ms\n",
       100, 0, 0, 0},
      // No neighbour answered ARP: ping counts errors and adds a pipe line.
      {std::string(kHeading) +
           "4 packets transmitted, 0 received, +4 errors, 100% packet loss, time 3070ms\n"
           "pipe 4\n",
       100, 0, 0, 0},
      {std::string(kHeading) + "4 packets transmitted, 2 received, 50% packet loss, time 3075ms\n"
                               "rtt min/avg/max/mdev = 0.379/0.554/0.730/0.175 ms\n",
       50, 0.379, 0.554, 0.730},
      // A cut-off rtt line gives the times it holds and nothing beyond.
      {std::string(kHeading) + "4 packets transmitted, 2 received, 50% packet loss, time 3075ms\n"
                               "rtt min/avg/max/mdev = 0.379/0.554",
       50, 0.379, 0.554, 0},
      {"rtt min/avg/max/mdev = 0.379", 0, 0.379, 0, 0},
      {"rtt min/avg/max", 0, 0, 0, 0},
      // "rtt" in the host name puts it in the heading piece, which has no slashes.
      {"PING rtt.example (192.0.2.3) 56(84) bytes of data.\n"
       "--- rtt.example ping statistics ---\n"
       "4 packets transmitted, 0 received, 100% packet loss, time 3074ms\n",
       100, 0, 0, 0},
      {"", 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    PingTimes t = parsePingOutput(c.output);
    EXPECT_DOUBLE_EQ(c.loss, t.loss) << c.output;
    EXPECT_DOUBLE_EQ(c.min, t.min) << c.output;
    EXPECT_DOUBLE_EQ(c.avg, t.avg) << c.output;
    EXPECT_DOUBLE_EQ(c.max, t.max) << c.output;
  }
}

TEST(SysStatsTest, DiskOutputNeedsTwoFigures) {
  DiskUsage disk;
  ASSERT_TRUE(parseDiskOutput("3G 25G\n", &disk));
  EXPECT_EQ(3, disk.used);
  EXPECT_EQ(25, disk.free);
  // awk prints a lone blank when df printed no figures.
  for (const char* output : {"", " \n", "\n", "3G\n"}) {
    EXPECT_FALSE(parseDiskOutput(output, &disk)) << output;
  }
}

TEST(SysStatsTest, LoadOutputNeedsExactlySevenFigures) {
  for (const char* output : {"0.15 0.10 0.05 120 1 119 0\n", "0,15 0,10 0,05 120 1 119 0\n"}) {
    LoadFigures load;
    ASSERT_TRUE(parseLoadOutput(output, &load)) << output;
    EXPECT_DOUBLE_EQ(0.15, load.avg1) << output;
    EXPECT_DOUBLE_EQ(0.10, load.avg5) << output;
    EXPECT_DOUBLE_EQ(0.05, load.avg15) << output;
    EXPECT_EQ(120, load.total);
    EXPECT_EQ(1, load.running);
    EXPECT_EQ(119, load.sleeping);
    EXPECT_EQ(0, load.zombie);
  }
  // A process named zombie appends its CPU time after a line feed, which
  // does not separate figures: the zombie count still reads 0.
  LoadFigures load;
  ASSERT_TRUE(parseLoadOutput("0.79 0.59 0.28 7 1 6 0\n0:00.01\n", &load));
  EXPECT_EQ(0, load.zombie);
  // One named "x total, zombie" adds a figure of its own.
  EXPECT_FALSE(parseLoadOutput("0.79 0.59 0.28 7 1 6 0\n0:00.01\nx total,\n", &load));
  EXPECT_FALSE(parseLoadOutput("120 1 119 0\n", &load));
  EXPECT_FALSE(parseLoadOutput("\n", &load));
}

// Numbers that cannot be written as JSON must not end the collector.
TEST(SysStatsTest, NonFiniteFiguresReadAsZero) {
  PingTimes t = parsePingOutput("nan% packet loss, rtt min/avg/max/mdev = inf/nan/1e999/0 ms");
  EXPECT_EQ("{\"Avg\":0,\"Loss\":0,\"Max\":0,\"Min\":0}", pingValue(t).serialize());
}

// The document clients read: member names, their order and the number text.
TEST(SysStatsTest, DocumentIsWrittenAsClientsReadIt) {
  const char kSummary[] = "--- 192.0.2.1 ping statistics ---\n4 packets transmitted, 4 received, ";
  picojson::object network;
  network["gateway"] = pingValue(parsePingOutput(
      std::string(kSummary) +
      "0% packet loss, time 3004ms\nrtt min/avg/max/mdev = 0.25/0.5/0.75/0.1 ms\n"));
  network["hubstation"] = picojson::value(-1.0);
  network["internet"] = pingValue(parsePingOutput(
      std::string(kSummary) +
      "0% packet loss, time 3004ms\nrtt min/avg/max/mdev = 18.25/20.5/24.75/2.1 ms\n"));
  LoadFigures load;
  ASSERT_TRUE(parseLoadOutput("0.25 0.50 0.75 120 1 119 0\n", &load));
  DiskUsage disk;
  ASSERT_TRUE(parseDiskOutput("3G 25G\n", &disk));
  picojson::object system;
  system["serviceTMS"] = picojson::value(true);
  system["disk"] = diskValue(disk);
  system["cpu"] = cpuValue(600, 4, &load);
  picojson::object services;
  services["version"] = picojson::value(std::string("1.1"));
  services["updatelevel"] = picojson::value(std::string("2"));
  picojson::object document;
  document["system"] = picojson::value(system);
  document["services"] = picojson::value(services);
  document["network"] = picojson::value(network);
  EXPECT_EQ(
      "{\"network\":{\"gateway\":{\"Avg\":0.5,\"Loss\":0,\"Max\":0.75,\"Min\":0.25},"
      "\"hubstation\":-1,\"internet\":{\"Avg\":20.5,\"Loss\":0,\"Max\":24.75,\"Min\":18.25}},"
      "\"services\":{\"updatelevel\":\"2\",\"version\":\"1.1\"},"
      "\"system\":{\"cpu\":{\"Avg1\":0.25,\"Avg15\":0.75,\"Avg5\":0.5,\"Cores\":4,"
      "\"Tasks_Running\":1,\"Tasks_Sleeping\":119,\"Tasks_Total\":120,\"Tasks_Zombie\":0,"
      "\"Uptime\":600},\"disk\":{\"Free\":25,\"Used\":3},\"serviceTMS\":true}}",
      Json(document));

  ASSERT_TRUE(parseLoadOutput("0,15 0,10 0,05 120 1 119 0\n", &load));
  EXPECT_EQ(
      "{\"Avg1\":0.14999999999999999,\"Avg15\":0.050000000000000003,"
      "\"Avg5\":0.10000000000000001,\"Cores\":4,\"Tasks_Running\":1,\"Tasks_Sleeping\":119,"
      "\"Tasks_Total\":120,\"Tasks_Zombie\":0,\"Uptime\":600}",
      cpuValue(600, 4, &load).serialize());
  EXPECT_EQ("{\"Cores\":0,\"Uptime\":600}", cpuValue(600, 0, nullptr).serialize());
}

TEST(SysStatsTest, OnlyPlainNamesAndAddressesAreSafeHosts) {
  for (const char* host :
       {"192.0.2.1", "www.google.com", "hub_1-a.local", "fe80::1", "2001:db8::2"}) {
    EXPECT_TRUE(isSafeHost(host)) << host;
  }
  for (const char* host : {"", ";touch /tmp/x", "a b", "$(id)", "`id`", "a|b", "a&b", "a\nb", "'a'",
                           "a>b", "-f", "-w100000", "h\xc3\xb6st"}) {
    EXPECT_FALSE(isSafeHost(host)) << host;
  }
}

TEST(SysStatsTest, CategoriesComeFromExactWords) {
  struct Case {
    std::string request;
    bool network, system, services;
  } cases[] = {
      {"system,network,services", true, true, true},
      {"services,services", false, false, true},
      {"system, network", false, true, false},
      {",,network,,", true, false, false},
      {"cpu", false, false, false},
      {"System", false, false, false},
      {"", false, false, false},
  };
  for (const Case& c : cases) {
    Categories wanted;
    addCategories(c.request, &wanted);
    EXPECT_EQ(c.network, wanted.network) << c.request;
    EXPECT_EQ(c.system, wanted.system) << c.request;
    EXPECT_EQ(c.services, wanted.services) << c.request;
  }
}

// --- probes on the real tools ---------------------------------------------------

// Values of /etc/tavrin.conf reach cmdPing; none may run anything.
TEST(SysStatsTest, PingRefusesHostWithShellCharacters) {
  for (std::string host : {"", ";touch /tmp/pinged", "$(touch /tmp/pinged)", "-w100000"}) {
    picojson::object out;
    bool read = true;
    std::vector<std::string> log = LogOf([&] { read = cmdPing(host, "gateway", &out); });
    EXPECT_FALSE(read) << host;
    EXPECT_EQ("{\"gateway\":-1}", Json(out)) << host;
    EXPECT_EQ(std::vector<std::string>{"Ping Failed for Host " + host}, log);
  }
  EXPECT_FALSE(Exists("/tmp/pinged"));
}

TEST(SysStatsTest, PingOfUnresolvableNameFails) {
  picojson::object out;
  out["internet"] = picojson::value(true);
  bool read = true;
  std::vector<std::string> log =
      LogOf([&] { read = cmdPing("no-such-host.invalid", "internet", &out); });
  EXPECT_FALSE(read);
  EXPECT_EQ("{\"internet\":-1}", Json(out));
  EXPECT_EQ(std::vector<std::string>{"Ping Failed for Host no-such-host.invalid"}, log);
}

// A listener on 127.0.0.1 that closes every connection it accepts, as a web
// server does after answering nc's bad request, or that holds them open.
class Listener {
 public:
  explicit Listener(bool hold = false) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ADD_FAILURE() << "cannot listen on 127.0.0.1";
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, hold] {
      int client;
      while ((client = accept(fd_, nullptr, nullptr)) >= 0) {
        if (hold)
          held_.push_back(client);
        else
          close(client);
      }
    });
  }
  ~Listener() {
    shutdown(fd_, SHUT_RDWR);  // ends the accept above
    thread_.join();
    close(fd_);
    for (int client : held_) close(client);
  }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
  std::vector<int> held_;  // written by thread_ only, read after it ends
  std::thread thread_;
};

TEST(SysStatsTest, PortTestIsTrueExactlyWhenThePortAccepts) {
  int port;
  {
    Listener listener;
    port = listener.port();
    picojson::object out;
    EXPECT_TRUE(cmdNC("serviceTMS", "localhost", port, &out));
    EXPECT_EQ("{\"serviceTMS\":true}", Json(out));
    EXPECT_FALSE(cmdNC("serviceTMS", "localhost;touch /tmp/nc-ran", port, &out));
    EXPECT_EQ("{\"serviceTMS\":false}", Json(out));
  }
  picojson::object out;
  EXPECT_FALSE(cmdNC("serviceTMS", "localhost", port, &out));
  EXPECT_EQ("{\"serviceTMS\":false}", Json(out));
  EXPECT_FALSE(Exists("/tmp/nc-ran"));
}

// A server that never closes the connection must not block the collector.
TEST(SysStatsTest, PortTestEndsWhenTheServerHoldsTheConnection) {
  Listener listener(/*hold=*/true);
  picojson::object out;
  EXPECT_TRUE(cmdNC("serviceTMS", "localhost", listener.port(), &out));
  EXPECT_EQ("{\"serviceTMS\":true}", Json(out));
}

// /dev/sda1 does not exist here: a df double stands in for the whole of /usr/bin/df.
TEST(SysStatsTest, DiskIsMeasuredOnlyOnLocalhost) {
  const char kDf[] = "/usr/bin/df";
  const char kRealDf[] = "/usr/bin/df.real";
  picojson::object out;
  cmdDisk("localhost", "disk", &out);
  EXPECT_EQ("{\"disk\":-1}", Json(out)) << "the real df without /dev/sda1";

  ASSERT_EQ(0, rename(kDf, kRealDf));
  std::ofstream(kDf) << "#!/bin/sh\n"
                        "echo \"$@\" >> /tmp/df-calls\n"
                        "printf ' Used Avail\\n   3G   25G\\n'\n";
  chmod(kDf, 0755);
  EXPECT_TRUE(cmdDisk("localhost", "disk", &out));
  EXPECT_EQ("{\"disk\":{\"Free\":25,\"Used\":3}}", Json(out));
  EXPECT_EQ("-BG /dev/sda1 --output=used,avail\n", ReadFile("/tmp/df-calls"));
  EXPECT_TRUE(cmdDisk("192.168.1.5", "disk", &out));
  EXPECT_EQ("{\"disk\":-1}", Json(out));
  EXPECT_EQ("-BG /dev/sda1 --output=used,avail\n", ReadFile("/tmp/df-calls")) << "df ran again";
  unlink("/tmp/df-calls");
  ASSERT_EQ(0, rename(kRealDf, kDf));
}

// The real top, /proc and gawk of this machine.
TEST(SysStatsTest, CpuReadsUptimeCoresAndTop) {
  double before = atof(ReadFile("/proc/uptime").c_str());
  picojson::object out;
  EXPECT_TRUE(cmdCPU("cpu", &out));
  double after = atof(ReadFile("/proc/uptime").c_str());
  ASSERT_TRUE(out["cpu"].is<picojson::object>()) << Json(out);
  picojson::object cpu = out["cpu"].get<picojson::object>();
  std::string members;
  for (const auto& member : cpu) members += member.first + " ";
  EXPECT_EQ("Avg1 Avg15 Avg5 Cores Tasks_Running Tasks_Sleeping Tasks_Total Tasks_Zombie Uptime ",
            members);
  EXPECT_EQ(sysconf(_SC_NPROCESSORS_CONF), cpu["Cores"].get<double>());
  EXPECT_LE(static_cast<int>(before), cpu["Uptime"].get<double>());
  EXPECT_GE(static_cast<int>(after), cpu["Uptime"].get<double>());
  EXPECT_GE(cpu["Tasks_Running"].get<double>(), 1);
  EXPECT_EQ(cpu["Tasks_Total"].get<double>(), cpu["Tasks_Running"].get<double>() +
                                                  cpu["Tasks_Sleeping"].get<double>() +
                                                  cpu["Tasks_Zombie"].get<double>());
}

// --- the collector -----------------------------------------------------------------

// Neighbours entered by hand on a veth pair of the appliance, as arp -an lists
// them after the appliance has talked to them.
class NeighbourTable : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, system("ip link add v0 type veth peer name v1 && ip link set v0 up &&"
                        " ip link set v1 up"));
    Add("192.0.2.5", "00:04:20:ab:cd:ef");
    Add("192.0.2.6", "00:04:20:00:00:01");
  }
  void TearDown() override { system("ip link del v0"); }
  void Add(const std::string& address, const std::string& mac) {
    ASSERT_EQ(
        0,
        system(
            ("ip neigh replace " + address + " lladdr " + mac + " dev v0 nud permanent").c_str()));
  }
  void Remove(const std::string& address) {
    ASSERT_EQ(0, system(("ip neigh del " + address + " dev v0").c_str()));
  }
};

TEST_F(NeighbourTable, ArpLookUpFindsTheSerialInHardwareAddresses) {
  EXPECT_EQ("192.0.2.5", lookupHubstationByArp("000420ABCDEF"));
  EXPECT_EQ("192.0.2.6", lookupHubstationByArp("000420000001"));
  EXPECT_EQ("", lookupHubstationByArp("000420FFFFFF"));
  EXPECT_EQ("", lookupHubstationByArp(""));
  // Both match: the one arp lists last wins.
  std::string listed =
      getShellCommand("arp -an | grep -v incomplete | cut -d'(' -f2 | cut -d')' -f1");
  EXPECT_EQ(listed, lookupHubstationByArp("000420"));
  EXPECT_EQ("", lookupHubstationByArp("000420;touch"));
  EXPECT_EQ("", lookupHubstationByArp("x;touch /tmp/arp-ran;"));
  EXPECT_FALSE(Exists("/tmp/arp-ran"));
}

TEST_F(NeighbourTable, StartUpReadsGatewaySerialAndHubstation) {
  struct Case {
    std::string config, serial, hubstation, source;
  } cases[] = {
      {"MASTER=000420ABCDEF\nMASTERIP=10.0.0.5=x\n", "000420ABCDEF", "10.0.0.5",
       "Using tavrin.conf to resolve Hubstation IP"},
      {"MASTER=000420ABCDEF\n", "000420ABCDEF", "192.0.2.5", "Using ARP to resolve Hubstation IP"},
      {"MASTER=QRSTUVWXYZ0123456\n", "QRSTUVWXYZ012", "", "Using ARP to resolve Hubstation IP"},
      {"", "", "", "Using ARP to resolve Hubstation IP"},
  };
  for (const Case& c : cases) {
    ConfigFile config(c.config);
    CollectorState state;
    std::vector<std::string> log = LogOf([&] { state = startCollector(); });
    EXPECT_EQ("", state.gateway) << "the appliance has no default route";
    EXPECT_EQ(c.serial, state.serial) << c.config;
    EXPECT_EQ(c.hubstation, state.hubstation) << c.config;
    EXPECT_EQ(c.hubstation, state.remembered) << c.config;
    EXPECT_EQ((std::vector<std::string>{"Thread SysStats started", c.source}), log) << c.config;
  }
  ASSERT_EQ(0, system("ip route add default via 192.0.2.1 dev v0 onlink"));
  EXPECT_EQ("192.0.2.1", startCollector().gateway);
}

TEST_F(NeighbourTable, HubstationFallsBackFromConfigurationToArpToStartUp) {
  using Log = std::vector<std::string>;
  CollectorState state;
  state.serial = "000420ABCDEF";
  state.remembered = "192.0.2.9";
  auto resolve = [&state] { return LogOf([&state] { resolveHubstation(&state); }); };
  {
    ConfigFile config("MASTER=000420ABCDEF\nMASTERIP=10.0.0.5\n");
    EXPECT_EQ(Log{"Using Hubstation IP 10.0.0.5"}, resolve());
    EXPECT_EQ("10.0.0.5", state.hubstation);
  }
  EXPECT_EQ((Log{"Hubstation IP from ARP 192.0.2.5", "Using Hubstation IP 192.0.2.5"}), resolve());
  EXPECT_EQ("192.0.2.5", state.hubstation);
  Remove("192.0.2.5");
  EXPECT_EQ((Log{"Hubstation IP from ARP ", "Hubstation IP from last positive Query 192.0.2.9",
                 "Using Hubstation IP 192.0.2.9"}),
            resolve());
  EXPECT_EQ("192.0.2.9", state.hubstation);
  state.remembered = "";
  EXPECT_EQ((Log{"Hubstation IP from ARP ", "Using Hubstation IP "}), resolve());
  EXPECT_EQ("", state.hubstation);
}

// One pass of the collector on a queue of its own.
class CollectorPassTest : public testing::Test {
 protected:
  void SetUp() override { pthread_mutex_init(&lock_, nullptr); }
  void TearDown() override { pthread_mutex_destroy(&lock_); }

  void Request(const std::string& categories) {
    wqueue request;
    request.subscribers = {"SysStats"};
    request.message = categories;
    request.from = "Router";
    CCommon::EmitMessage(&lock_, &queue_, request);
  }

  pthread_mutex_t lock_;
  std::deque<wqueue> queue_;
  threadargs args_{&queue_, &lock_};
  CollectorState state_;
};

TEST_F(CollectorPassTest, OneReplyPerPassWithTheRequestedCategories) {
  ConfigFile config("VERSION_TWSS=1.1\nUPDATELEVEL=2\n");
  struct Case {
    std::vector<std::string> requests;
    std::string members;  // empty: no reply
    bool complete;
  } cases[] = {
      {{"system,network,services"}, "network services system ", true},
      {{"services", "network", "system"}, "network services system ", true},
      {{"system", "network"}, "network system ", false},
      {{"services,services"}, "services ", false},
      {{"system, network"}, "system ", false},
      {{"cpu"}, "", false},
      {{"System"}, "", false},
      {{""}, "", false},
      {{}, "", false},
  };
  for (const Case& c : cases) {
    std::string requests;
    for (const std::string& r : c.requests) {
      Request(r);
      requests += "[" + r + "]";
    }
    bool replied = false;
    std::vector<std::string> log = LogOf([&] { replied = runCollectorPass(&args_, &state_); });
    EXPECT_EQ(!c.members.empty(), replied) << requests;
    wqueue reply;
    if (c.members.empty()) {
      EXPECT_TRUE(queue_.empty()) << requests;
      EXPECT_TRUE(log.empty()) << requests;
      continue;
    }
    ASSERT_EQ(1u, queue_.size()) << requests;
    ASSERT_TRUE(CCommon::WaitForMessage(&lock_, &queue_, "Router", &reply));
    EXPECT_TRUE(reply.subscribers.empty()) << "addressed to Router alone";
    EXPECT_EQ("SysStats", reply.from);
    EXPECT_EQ(c.complete, reply.complete) << requests;
    picojson::value document;
    ASSERT_EQ("", picojson::parse(document, reply.message)) << reply.message;
    std::string members;
    for (const auto& member : document.get<picojson::object>()) members += member.first + " ";
    EXPECT_EQ(c.members, members) << requests;
  }
}

// Inside the test appliance: no default route, no name server, no Hubstation.
TEST_F(CollectorPassTest, EveryMemberIsPresentWhenNothingCanBeMeasured) {
  ConfigFile config("VERSION_TWSS=\n");
  Request("network,system,services");
  std::vector<std::string> log = LogOf([&] { runCollectorPass(&args_, &state_); });
  wqueue reply;
  ASSERT_TRUE(CCommon::WaitForMessage(&lock_, &queue_, "Router", &reply));
  std::string document = reply.message;
  EXPECT_EQ(0u, document.find("{\"network\":{\"gateway\":-1,\"hubstation\":-1,\"internet\":-1},"
                              "\"services\":{\"updatelevel\":\"\",\"version\":\"\"},"
                              "\"system\":{\"cpu\":{\"Avg1\":"))
      << document;
  std::string tail = ",\"disk\":-1,\"serviceTMS\":false}}";
  EXPECT_EQ(tail, document.substr(document.size() - tail.size())) << document;
  EXPECT_EQ((std::vector<std::string>{"Hubstation IP from ARP ", "Using Hubstation IP ",
                                      std::string("Ping Failed for Host ") + kInternetHost,
                                      "Ping Failed for Host ", "Ping Failed for Host "}),
            log);
}

}  // namespace
