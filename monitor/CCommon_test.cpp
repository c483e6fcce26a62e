// CCommon_test.cpp -- the log writer, the string helpers and the message queue.
// Runs inside a throw-away appliance: the log is the real /var/log/tavrin file.

#include "CCommon.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace {

// The monitor's unit tests write the appliance's fixed paths (the log,
// /etc/tavrin.conf, /usr/bin/df) and add network links: they run only where
// /etc, /usr and /var are throw-away overlays, as in tests/appliance.
class InsideAppliance : public testing::Environment {
 public:
  void SetUp() override {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    int overlays = 0;
    while (std::getline(mounts, line)) {
      std::istringstream fields(line);
      std::string id, parent, device, root, point;
      fields >> id >> parent >> device >> root >> point;
      bool fixed_path = point == "/etc" || point == "/usr" || point == "/var";
      if (fixed_path && line.find(" - overlay ") != std::string::npos) ++overlays;
    }
    if (overlays < 3) {
      fprintf(stderr, "monitor_test writes /etc, /usr and /var: run it inside a throw-away "
                      "appliance (tests/appliance/appliance.py run -- monitor_test)\n");
      exit(2);
    }
  }
};
testing::Environment* const kInsideAppliance =
    testing::AddGlobalTestEnvironment(new InsideAppliance);

std::string ReadLog() {
  std::ifstream in(kLogFile);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The log's text written while body runs.
template <typename Body>
std::string LogOf(Body body) {
  size_t before = ReadLog().size();
  body();
  return ReadLog().substr(before);
}

const char kStamp[] = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d";

TEST(CCommonTest, LogLinesCarryTimeStampAndDropOneLineFeed) {
  struct Case {
    std::string message, lines;
  } cases[] = {
      {"x", "x\n"},
      {"x\n", "x\n"},
      {"x\n\n", "x\n\n"},
      {"x\r\n", "x\r\n"},
      {"", "\n"},
  };
  for (const Case& c : cases) {
    std::string written = LogOf([&] { CCommon::Log(c.message); });
    std::smatch m;
    ASSERT_TRUE(std::regex_match(written, m, std::regex(std::string("(") + kStamp + ") - ([^]*)")))
        << written;
    EXPECT_EQ(c.lines, m[2].str()) << "message: " << c.message;
  }
}

TEST(CCommonTest, LogWithoutLogDirectoryWritesNothing) {
  ASSERT_EQ(0, rename("/var/log/tavrin", "/var/log/tavrin.away"));
  CCommon::Log("lost");
  EXPECT_NE(0, access(kLogFile, F_OK));
  ASSERT_EQ(0, rename("/var/log/tavrin.away", "/var/log/tavrin"));
  CCommon::Log("found");
  EXPECT_EQ(std::string::npos, ReadLog().find("lost"));
}

TEST(CCommonTest, TimeStringIsNineteenCharacters) {
  EXPECT_TRUE(std::regex_match(CCommon::GetTimeString(), std::regex(kStamp)));
}

TEST(CCommonTest, TokenizerDropsEmptyPieces) {
  using Pieces = std::vector<std::string>;
  struct Case {
    std::string text;
    char separator;
    Pieces pieces;
  } cases[] = {
      {"a,b,,c", ',', {"a", "b", "c"}},
      {",a,", ',', {"a"}},
      {"abc", ',', {"abc"}},
      {"", ',', {}},
      {",,,", ',', {}},
      {"stats/system", '/', {"stats", "system"}},
      {"a b\n,c", ',', {"a b\n", "c"}},
      {std::string("a,b\0,c", 6), ',', {"a", "b"}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.pieces, CCommon::Tokenizer(c.text, c.separator)) << c.text;
}

TEST(CCommonTest, ReplaceSwapsEveryCharacter) {
  EXPECT_EQ("0.25", CCommon::Replace("0,25", ',', '.'));
  EXPECT_EQ("0.1 0.2", CCommon::Replace("0,1 0,2", ',', '.'));
  EXPECT_EQ("a.b", CCommon::Replace("a.b", ',', '.'));
  EXPECT_EQ("", CCommon::Replace("", ',', '.'));
  EXPECT_EQ("a", CCommon::Replace("a,b", ',', '\0'));
  EXPECT_EQ("a.b", CCommon::Replace(std::string("a,b\0,c", 6), ',', '.'));
}

// A fresh queue and lock per test; the trace goes to stdout.
class QueueTest : public testing::Test {
 protected:
  void SetUp() override { pthread_mutex_init(&lock_, nullptr); }
  void TearDown() override { pthread_mutex_destroy(&lock_); }

  int32_t Emit(std::list<std::string> subscribers, std::string message, std::string from = "T") {
    wqueue msg;
    msg.subscribers = std::move(subscribers);
    msg.message = std::move(message);
    msg.from = std::move(from);
    CCommon::EmitMessage(&lock_, &queue_, msg);
    return queue_.back().id;
  }
  std::string Take(const std::string& name) {
    wqueue out;
    if (!CCommon::WaitForMessage(&lock_, &queue_, name, &out)) return "none";
    std::string text = out.message + "->";
    for (const std::string& s : out.subscribers) text += s;
    return text;
  }


 public:
  pthread_mutex_t lock_;
  std::deque<wqueue> queue_;
};

TEST_F(QueueTest, IdsGrowByOnePerMessage) {
  int32_t first = Emit({"A"}, "1");
  EXPECT_EQ(first + 1, Emit({"B"}, "2", "other"));
  EXPECT_EQ(first + 1, nMsgId);
}

TEST_F(QueueTest, MessageForTwoIsRequeuedBehindLaterOnes) {
  Emit({"A", "B"}, "M1");
  Emit({"B"}, "M2");
  EXPECT_EQ("M1->B", Take("A"));
  ASSERT_EQ(2u, queue_.size());
  EXPECT_EQ("M2", queue_[0].message);
  EXPECT_EQ("M1", queue_[1].message);
  EXPECT_EQ("M2->", Take("B"));
  EXPECT_EQ("M1->", Take("B"));
  EXPECT_TRUE(queue_.empty());
}

TEST_F(QueueTest, RepeatedSubscriberIsServedOnce) {
  Emit({"A", "A"}, "twice");
  EXPECT_EQ("twice->", Take("A"));
  EXPECT_EQ("none", Take("A"));
  EXPECT_TRUE(queue_.empty());
}

TEST_F(QueueTest, WaitLeavesRecordAloneWhenNothingIsAddressed) {
  wqueue out;
  out.message = "untouched";
  EXPECT_FALSE(CCommon::WaitForMessage(&lock_, &queue_, "A", &out));
  Emit({"B"}, "for B");
  EXPECT_FALSE(CCommon::WaitForMessage(&lock_, &queue_, "A", &out));
  EXPECT_FALSE(CCommon::WaitForMessage(&lock_, &queue_, "b", &out));
  EXPECT_EQ("untouched", out.message);
  EXPECT_EQ(1u, queue_.size());
}

TEST_F(QueueTest, TraceLines) {
  testing::internal::CaptureStdout();
  int32_t id = Emit({"Router", "SysStats"}, "system,network,services", "Router");
  Take("Router");
  int32_t orphan1 = Emit({}, "x");
  int32_t orphan2 = Emit({}, "y");
  EXPECT_EQ("none", Take("nobody"));
  CCommon::Cleanup(&lock_, &queue_);
  std::string expected =
      "Emit Id:" + std::to_string(id) +
      " From Router Subscribers: 2: RouterSysStats, Message:system,network,services\n"
      "Router got " + std::to_string(id) + "\n"
      "Emit Id:" + std::to_string(orphan1) + " From T Subscribers: 0: , Message:x\n"
      "Emit Id:" + std::to_string(orphan2) + " From T Subscribers: 0: , Message:y\n"
      "Cleanup " + std::to_string(orphan1) + "\n"
      "Cleanup " + std::to_string(orphan2) + "\n";
  EXPECT_EQ(expected, testing::internal::GetCapturedStdout());
  ASSERT_EQ(1u, queue_.size());
  EXPECT_EQ("system,network,services", queue_[0].message);
}

TEST_F(QueueTest, CleanupDropsNeverEmittedRecords) {
  queue_.push_back(wqueue());
  queue_.back().subscribers = {"A"};
  Emit({"A"}, "kept");
  testing::internal::CaptureStdout();
  CCommon::Cleanup(&lock_, &queue_);
  EXPECT_EQ("Cleanup 0\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ("kept->", Take("A"));
}

// Two threads emitting and taking at once: every message arrives exactly once
// (run under ThreadSanitizer too).
TEST_F(QueueTest, ConcurrentSendersAndReceiversLoseNothing) {
  const int kCount = 500;
  testing::internal::CaptureStdout();
  auto sender = [](void* self) -> void* {
    auto* t = static_cast<QueueTest*>(self);
    for (int i = 0; i < kCount; ++i) {
      wqueue msg;
      msg.subscribers = {"R"};
      msg.message = std::to_string(i);
      CCommon::EmitMessage(&t->lock_, &t->queue_, msg);
    }
    return nullptr;
  };
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, nullptr, sender, this));
  int next = 0;
  while (next < kCount) {
    wqueue out;
    if (CCommon::WaitForMessage(&lock_, &queue_, "R", &out)) {
      EXPECT_EQ(std::to_string(next), out.message);
      ++next;
    }
    CCommon::Cleanup(&lock_, &queue_);
  }
  pthread_join(thread, nullptr);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(queue_.empty());
}

}  // namespace
