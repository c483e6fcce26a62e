// SysStats_test.cpp -- the shell runner, on real /bin/sh command lines.

#include "SysStats.h"

#include <gtest/gtest.h>

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

}  // namespace
