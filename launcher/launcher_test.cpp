// launcher_test.cpp -- the launcher's pure pieces, its command reader and the
// players' update against a scratch database. The start sequence and the
// supervisor run end to end in tests/launcher_*_test.py.

#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <gtest/gtest.h>

// What launcher.cpp offers its tests.
std::string itos(int n);
std::string Replace(std::string text, const std::string& from, const std::string& to);
std::string languageForTimezone(const std::string& timezone);
std::string addressFromInetLine(const std::string& line);
bool isDottedIPv4(const std::string& text);
std::string addressSuffix(const std::string& address);
std::string playerIdentifier(const std::string& suffix, int player);
bool readCommandOutput(const std::string& command, std::string* last_line);
std::string findServerAddress();
std::string readTimezone();
void writePlayerIdentifiers(const std::string& suffix, const std::string& database);

namespace {

TEST(LauncherTest, LanguageFromTimezone) {
  const struct {
    const char* timezone;
    const char* language;
  } cases[] = {
      {"Europe/Vienna", "DE"},
      {"Europe/Berlin", "DE"},
      {"Europe/Copenhagen", "DA"},
      {"Europe/Madrid", "ES"},
      {"Europe/Paris", "FR"},
      {"Europe/Rome", "IT"},
      {"Europe/Amsterdam", "NL"},
      {"Europe/Stockholm", "NO"},
      {"Europe/Warsaw", "PL"},
      {"Europe/Lisbon", "PT"},
      {"Europe/Helsinki", "FI"},
      {"Europe/Prague", "CS"},
      {"Europe/Moscow", "RU"},
      {"Europe/Zurich", "EN"},
      {"America/New_York", "EN"},
      {"", "EN"},
      // A zone is found anywhere in the text, and only in its own case.
      {"posix/Europe/Paris", "FR"},
      {"europe/paris", "EN"},
      // The later row of the table wins, wherever each zone sits in the text.
      {"Europe/Berlin Europe/Rome", "IT"},
      {"Europe/Rome Europe/Berlin", "IT"},
      {"Europe/Moscow,Europe/Vienna", "RU"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.language, languageForTimezone(c.timezone)) << "time zone \"" << c.timezone << "\"";
}

TEST(LauncherTest, AddressFromBothIfconfigForms) {
  const struct {
    const char* line;
    const char* address;
  } cases[] = {
      // net-tools 2.10, as on this platform.
      {"        inet 192.168.1.25  netmask 255.255.255.0  broadcast 192.168.1.255", "192.168.1.25"},
      // Older net-tools.
      {"          inet addr:10.0.0.5  Bcast:10.0.0.255  Mask:255.255.255.0", "10.0.0.5"},
      {"inet 192.168.1.100", "192.168.1.100"},
      {"        inet6 fe80::1  prefixlen 64  scopeid 0x20<link>", ""},
      {"        inet", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.address, addressFromInetLine(c.line)) << c.line;
}

TEST(LauncherTest, OnlyDottedIPv4AddressesAreAccepted) {
  for (const char* good : {"192.168.1.25", "10.0.0.5", "0.0.0.0", "255.255.255.255"})
    EXPECT_TRUE(isDottedIPv4(good)) << good;
  for (const char* bad : {"", "et", "addr:10.0.0.5", "192.168.1", "1.2.3.4.5", "192.168.1.256",
                          " 192.168.1.25", "192.168.1.25;", "1.2.3.4\" OR 1=1 --", "fe80::1",
                          "0x1.2.3.4"})
    EXPECT_FALSE(isDottedIPv4(bad)) << bad;
}

TEST(LauncherTest, SuffixIsTheLastTwoDigitsOfTheAddress) {
  EXPECT_EQ("25", addressSuffix("192.168.1.25"));
  EXPECT_EQ("05", addressSuffix("10.0.0.5"));   // spans two parts
  EXPECT_EQ("00", addressSuffix("192.168.1.100"));
  EXPECT_EQ("01", addressSuffix("127.0.0.1"));  // the fallback address
  EXPECT_EQ("", addressSuffix("1"));
}

TEST(LauncherTest, PlayerIdentifierHasTwoDigitPlayerNumber) {
  EXPECT_EQ("00:00:00:11:25:03", playerIdentifier("25", 3));
  EXPECT_EQ("00:00:00:11:05:09", playerIdentifier("05", 9));
  EXPECT_EQ("00:00:00:11:00:10", playerIdentifier("00", 10));
  EXPECT_EQ("00:00:00:11:25:20", playerIdentifier("25", 20));
}

TEST(LauncherTest, ReplaceNeverSearchesInsertedText) {
  EXPECT_EQ("1921681100", Replace("192.168.1.100", ".", ""));
  EXPECT_EQ("a..b..c", Replace("a.b.c", ".", ".."));
  EXPECT_EQ("xaay", Replace("xay", "a", "aa"));
  EXPECT_EQ("abc", Replace("abc", ".", ""));
}

TEST(LauncherTest, CommandOutputIsTheLastLineWhole) {
  const std::string long_line(5000, 'x');
  const struct {
    std::string command;
    std::string last;
  } cases[] = {
      {"printf 'Europe/Rome\\nEurope/Berlin\\n'", "Europe/Berlin"},
      // A last line without newline keeps its last character.
      {"printf 'Europe/Rome\\nEurope/Berlin'", "Europe/Berlin"},
      {"printf 'Europe/Berlin\\n\\n'", ""},
      {"true", ""},
      // Longer than any read buffer: still one line.
      {"printf 'short\\n" + long_line + "\\n'", long_line},
      {"printf '" + long_line + "\\nshort\\n'", "short"},
  };
  for (const auto& c : cases) {
    std::string last = "stale";
    ASSERT_TRUE(readCommandOutput(c.command, &last)) << c.command;
    EXPECT_EQ(c.last, last) << c.command;
  }
}

// Uses up every file descriptor, so that no pipe can be opened, until Release.
class NoFreeDescriptorsTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved_)); }
  void TearDown() override { Release(); }

  void Exhaust() {
    struct rlimit low = saved_;
    low.rlim_cur = 256;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken_.push_back(fd);
  }
  void Release() {
    for (int fd : taken_) close(fd);
    taken_.clear();
    setrlimit(RLIMIT_NOFILE, &saved_);
  }

  struct rlimit saved_;
  std::vector<int> taken_;
};

TEST_F(NoFreeDescriptorsTest, CommandThatCannotStartLeavesTheFallbacks) {
  // Captured into a file, which has to be open before the descriptors run out.
  testing::internal::CaptureStdout();
  Exhaust();
  std::string last = "stale";
  bool read = readCommandOutput("echo never", &last);
  std::string address = findServerAddress();
  std::string timezone = readTimezone();
  Release();
  EXPECT_EQ("Error 94 while getting internal Timezone!\n", testing::internal::GetCapturedStdout());
  EXPECT_FALSE(read);
  EXPECT_EQ("stale", last);
  EXPECT_EQ("127.0.0.1", address);
  EXPECT_EQ("", timezone);
}

// A scratch media database in the test's temporary folder.
class PlayersTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "launcher_test." + std::to_string(getpid());
    ASSERT_EQ(0, system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str()));
    path_ = dir_ + "/tavrinmedia";
  }
  void TearDown() override { system(("rm -rf '" + dir_ + "'").c_str()); }

  // Creates a database at path from statements.
  static void Create(const std::string& path, const std::string& statements) {
    SQLite::Database db(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    db.exec(statements);
  }

  // Every row with the type of every value, in rowid order.
  static std::vector<std::string> Rows(const std::string& path) {
    SQLite::Database db(path, SQLite::OPEN_READONLY);
    SQLite::Statement rows(db,
                           "SELECT rowid, quote(Player_MAC), quote(PK_PlayerID), quote(islocal) "
                           "FROM Players ORDER BY rowid");
    std::vector<std::string> result;
    while (rows.executeStep())
      result.push_back(rows.getColumn(0).getString() + " " + rows.getColumn(1).getString() + " " +
                       rows.getColumn(2).getString() + " " + rows.getColumn(3).getString());
    return result;
  }

  // The statement the appliance has always run, with its values in double
  // quotes; the launcher must change exactly the rows that this changes.
  static void UpdateAsAlways(const std::string& path, const std::string& suffix) {
    SQLite::Database db(path, SQLite::OPEN_READWRITE);
    for (int n = 1; n <= 20; ++n) {
      std::string two = (n < 10 ? "0" : "") + std::to_string(n);
      db.exec("UPDATE Players SET Player_MAC=\"00:00:00:11:" + suffix + ":" + two +
              "\" WHERE PK_PlayerID=\"" + std::to_string(n) + "\" AND islocal=\"1\";");
    }
  }

  std::string CapturedUpdate(const std::string& suffix, const std::string& path) {
    testing::internal::CaptureStdout();
    writePlayerIdentifiers(suffix, path);
    return testing::internal::GetCapturedStdout();
  }

  std::string dir_;
  std::string path_;
};

TEST_F(PlayersTest, ChangesExactlyTheRowsOfTheQuotedStatement) {
  // Column types decide how "3" compares with 3, so each schema is tried.
  const char* schemas[] = {
      "CREATE TABLE Players (PK_PlayerID INTEGER PRIMARY KEY, Player_MAC TEXT, islocal TEXT);",
      "CREATE TABLE Players (PK_PlayerID INTEGER, Player_MAC TEXT, islocal INTEGER);",
      "CREATE TABLE Players (PK_PlayerID TEXT, Player_MAC TEXT, islocal TEXT);",
      "CREATE TABLE Players (PK_PlayerID, Player_MAC, islocal);",
  };
  const char* rows =
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 22) "
      "INSERT INTO Players (PK_PlayerID, Player_MAC, islocal) "
      "  SELECT i, 'old', CASE WHEN i % 4 = 0 THEN 1 ELSE '1' END FROM n;"
      "INSERT INTO Players (PK_PlayerID, Player_MAC, islocal) VALUES "
      "  (30, 'old', '0'), (31, 'old', NULL), (32, 'old', '01'), (33, 'old', 'true');"
      "UPDATE Players SET islocal = '0' WHERE PK_PlayerID = 7;";
  const char* untyped_rows =
      "INSERT INTO Players VALUES ('3', 'old', '1'), ('05', 'old', '1'), (' 6', 'old', '1'),"
      "  (8.0, 'old', '1'), ('9', 'old', 1);";
  int schema_number = 0;
  for (const char* schema : schemas) {
    SCOPED_TRACE(schema);
    std::string expected_path = path_ + ".expected" + std::to_string(++schema_number);
    std::string launcher_path = path_ + std::to_string(schema_number);
    std::string setup = std::string(schema) + rows;
    if (std::string(schema).find("INTEGER PRIMARY KEY") == std::string::npos) setup += untyped_rows;
    Create(expected_path, setup);
    Create(launcher_path, setup);

    UpdateAsAlways(expected_path, "25");
    EXPECT_EQ("", CapturedUpdate("25", launcher_path));

    std::vector<std::string> expected = Rows(expected_path);
    EXPECT_EQ(expected, Rows(launcher_path));
    // The comparison is only worth something if both changed some rows and left others.
    std::string all;
    for (const std::string& row : expected) all += row + "\n";
    EXPECT_NE(std::string::npos, all.find("'00:00:00:11:25:03'")) << all;
    EXPECT_NE(std::string::npos, all.find("'old'")) << all;
  }
}

// Whatever the suffix holds, it is a value, never part of the statement.
TEST_F(PlayersTest, SuffixCannotChangeTheStatement) {
  Create(path_,
         "CREATE TABLE Players (PK_PlayerID INTEGER PRIMARY KEY, Player_MAC TEXT, islocal TEXT);"
         "INSERT INTO Players VALUES (1, 'old', '1'), (2, 'old', '0'), (21, 'old', '1');");
  EXPECT_EQ("", CapturedUpdate("25\" WHERE 1; DROP TABLE Players; --", path_));
  EXPECT_EQ((std::vector<std::string>{
                "1 '00:00:00:11:25\" WHERE 1; DROP TABLE Players; --:01' 1 '1'",
                "2 'old' 2 '0'",
                "21 'old' 21 '1'",
            }),
            Rows(path_));
}

TEST_F(PlayersTest, EveryPlayerReportsItsOwnFailure) {
  std::string twenty_times;
  for (int n = 1; n <= 20; ++n) twenty_times += "exception: no such table: Players\n";
  // A missing file is created, empty, and then has no table.
  EXPECT_EQ(twenty_times, CapturedUpdate("25", path_));
  EXPECT_EQ(0, access(path_.c_str(), F_OK));

  std::string cannot_open;
  for (int n = 1; n <= 20; ++n) cannot_open += "exception: unable to open database file\n";
  EXPECT_EQ(cannot_open, CapturedUpdate("25", dir_ + "/missing/tavrinmedia"));
}

}  // namespace
