// Router_test.cpp -- the router's decisions (client lines, countdown, cache)
// and the outbox that stands in for the library's missing broadcast call.
// The websocket service itself is tested end to end on the real daemon.

#include "Router.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A queue of its own, so that the tests see only their own messages.
class RouterTest : public ::testing::Test {
 protected:
  RouterTest() {
    pthread_mutex_init(&mutex_, nullptr);
    args_ = threadargs{&queue_, &mutex_};
  }
  ~RouterTest() override { pthread_mutex_destroy(&mutex_); }

  // The messages on the queue, as "subscribers|from|message|complete".
  std::vector<std::string> Queued() const {
    std::vector<std::string> out;
    for (const wqueue& m : queue_) {
      std::string names;
      for (const std::string& n : m.subscribers) names += n + ",";
      out.push_back(names + "|" + m.from + "|" + m.message + "|" + (m.complete ? "1" : "0"));
    }
    return out;
  }

  void Put(const std::string& to, const std::string& text, bool complete) {
    wqueue m;
    m.subscribers.push_back(to);
    m.message = text;
    m.from = "SysStats";
    m.complete = complete;
    CCommon::EmitMessage(&mutex_, &queue_, m);
  }

  Broadcast Recorder() {
    return [this](const std::string& text) { sent_.push_back(text); };
  }

  std::deque<wqueue> queue_;
  pthread_mutex_t mutex_;
  threadargs args_;
  RouterState state_;
  std::vector<std::string> sent_;
};

const char kRequest[] = "SysStats,|Router|system,network,services|0";

TEST(ParseClientLineTest, ReadsFirstFieldExactly) {
  struct Case {
    const char* line;
    ClientCommand::Kind kind;
    const char* categories;
  } cases[] = {
      {"statscache", ClientCommand::kStatsCache, ""},
      {"statscache\n", ClientCommand::kStatsCache, ""},
      {"statscache/and more", ClientCommand::kStatsCache, ""},
      {"//statscache//", ClientCommand::kStatsCache, ""},
      {"statscache\r\n", ClientCommand::kIgnore, ""},
      {"statscache\n\n", ClientCommand::kIgnore, ""},
      {"Statscache", ClientCommand::kIgnore, ""},
      {" statscache", ClientCommand::kIgnore, ""},
      {"", ClientCommand::kIgnore, ""},
      {"\n", ClientCommand::kIgnore, ""},
      {"///", ClientCommand::kIgnore, ""},
      {"stats/system,network", ClientCommand::kStats, "system,network"},
      {"stats//services/x\n", ClientCommand::kStats, "services"},
      {"stats", ClientCommand::kIgnore, ""},
      {"stats/", ClientCommand::kIgnore, ""},
      {"stats\n", ClientCommand::kIgnore, ""},
  };
  for (const Case& c : cases) {
    ClientCommand command = parseClientLine(c.line);
    EXPECT_EQ(c.kind, command.kind) << "line: " << c.line;
    EXPECT_EQ(c.categories, command.categories) << "line: " << c.line;
  }
}

TEST_F(RouterTest, FirstPassAsksForAllCategories) {
  countDown(&args_, &state_, false);
  EXPECT_EQ(std::vector<std::string>{kRequest}, Queued());
}

// Passes between two requests: 290 while a client is connected, 9000 while
// nobody is, chosen when the request goes out.
TEST_F(RouterTest, RequestIntervalFollowsConnectedClients) {
  for (bool connected : {true, false}) {
    queue_.clear();
    state_.countdown = 0;
    countDown(&args_, &state_, connected);
    int passes = 0;
    do {
      countDown(&args_, &state_, !connected);  // what counts is the moment of the request
      ++passes;
    } while (queue_.size() == 1 && passes < 100000);
    EXPECT_EQ(connected ? 290 : 9000, passes);
    EXPECT_EQ(2u, queue_.size());
  }
}

TEST_F(RouterTest, MessagesForRouterAreForwardedAndCompleteOnesCached) {
  Put("SysStats", "for the collector", false);
  Put("Router", "{\"system\":{}}", false);
  Put("Router", "{\"a\":1}", true);
  Put("Router", "{\"services\":{}}", false);
  routeMessages(&args_, &state_, true, Recorder());
  EXPECT_EQ((std::vector<std::string>{"{\"system\":{}}", "{\"a\":1}", "{\"services\":{}}"}), sent_);
  EXPECT_EQ("{\"a\":1}", state_.cache.message);
  EXPECT_EQ(std::vector<std::string>{"SysStats,|SysStats|for the collector|0"}, Queued());
}

TEST_F(RouterTest, AnswerWithoutClientsIsTakenAndCachedButNotSent) {
  Put("Router", "{\"b\":2}", true);
  routeMessages(&args_, &state_, false, Recorder());
  EXPECT_TRUE(sent_.empty());
  EXPECT_TRUE(queue_.empty());
  EXPECT_EQ("{\"b\":2}", state_.cache.message);
}

TEST_F(RouterTest, StatsCacheSendsCacheOncePerLineAndAsksOnce) {
  state_.cache.message = "{\"c\":3}";
  state_.countdown = 200;
  for (const char* line : {"statscache", "statscache\n", "statscache/x", "statscache\r\n"}) {
    runClientLine(line, &args_, &state_, Recorder());
  }
  countDown(&args_, &state_, true);
  EXPECT_EQ(std::vector<std::string>(3, "{\"c\":3}"), sent_);
  EXPECT_EQ(std::vector<std::string>{kRequest}, Queued());
  EXPECT_EQ(290, state_.countdown);
}

TEST_F(RouterTest, StatsCacheBeforeAnyAnswerOnlyAsks) {
  state_.countdown = 200;
  runClientLine("statscache", &args_, &state_, Recorder());
  countDown(&args_, &state_, true);
  EXPECT_TRUE(sent_.empty());
  EXPECT_EQ(std::vector<std::string>{kRequest}, Queued());
}

TEST_F(RouterTest, StatsLineAsksForItsCategoriesFromNobody) {
  state_.countdown = 200;
  for (const char* line : {"stats/system,network", "stats", "stats/services\n", "x/stats/y"}) {
    runClientLine(line, &args_, &state_, Recorder());
  }
  EXPECT_EQ((std::vector<std::string>{"SysStats,||system,network|0", "SysStats,||services|0"}),
            Queued());
  EXPECT_EQ(200, state_.countdown);
  EXPECT_TRUE(sent_.empty());
}

TEST_F(RouterTest, IgnoredLinesChangeNothing) {
  state_.cache.message = "{}";
  state_.countdown = 5;
  for (const char* line : {"", "///", "hello", "statscache\r\n"}) {
    runClientLine(line, &args_, &state_, Recorder());
  }
  EXPECT_TRUE(sent_.empty());
  EXPECT_TRUE(queue_.empty());
  EXPECT_EQ(5, state_.countdown);
}

// --- Outbox ------------------------------------------------------------------

// Everything connection c can write now, as texts.
std::vector<std::string> Drain(Outbox* outbox, const void* c) {
  std::vector<std::string> texts;
  while (Outbox::Frame* frame = outbox->Next(c)) {
    texts.emplace_back(reinterpret_cast<const char*>(frame->text()), frame->size());
    outbox->Written(c);
  }
  return texts;
}

TEST(OutboxTest, EachConnectionGetsTextsAddedWhileJoinedOnceInOrder) {
  Outbox outbox;
  int a, b, c;
  outbox.Add("before anybody");
  outbox.Join(&a);
  outbox.Add("one");
  outbox.Join(&b);
  outbox.Add("two");
  EXPECT_EQ((std::vector<std::string>{"one", "two"}), Drain(&outbox, &a));
  outbox.Add("three");
  outbox.Join(&c);
  EXPECT_EQ((std::vector<std::string>{"three"}), Drain(&outbox, &a));
  EXPECT_EQ((std::vector<std::string>{"two", "three"}), Drain(&outbox, &b));
  EXPECT_TRUE(Drain(&outbox, &c).empty());
  EXPECT_TRUE(Drain(&outbox, &a).empty());
  EXPECT_EQ(0u, outbox.held());
}

TEST(OutboxTest, TextsAreFreedWhenTheLastOwerWritesOrLeaves) {
  Outbox outbox;
  int a, b;
  outbox.Join(&a);
  outbox.Join(&b);
  outbox.Add("x");
  outbox.Add("y");
  EXPECT_EQ((std::vector<std::string>{"x", "y"}), Drain(&outbox, &a));
  EXPECT_EQ(2u, outbox.held());
  EXPECT_EQ(2u, outbox.Behind(&b));
  outbox.Leave(&b);
  EXPECT_EQ(0u, outbox.held());
  outbox.Leave(&b);  // twice, or unknown: nothing happens
  outbox.Leave(&outbox);
  EXPECT_FALSE(outbox.empty());
  outbox.Leave(&a);
  EXPECT_TRUE(outbox.empty());
  outbox.Add("nobody to send to");
  EXPECT_EQ(0u, outbox.held());
}

TEST(OutboxTest, FrameKeepsRoomForTheHeaderAndAnyLength) {
  std::string text(100000, 'v');
  text[5] = '\0';
  Outbox::Frame frame(text);
  EXPECT_EQ(text.size(), frame.size());
  EXPECT_EQ(text, std::string(reinterpret_cast<const char*>(frame.text()), frame.size()));
  EXPECT_TRUE(frame.Holds(text));
  EXPECT_FALSE(frame.Holds(text.substr(1)));
}

TEST(OutboxTest, RepeatedTextSharesOneFrame) {
  Outbox outbox;
  int a;
  outbox.Join(&a);
  outbox.Add("same");
  Outbox::Frame* first = outbox.Next(&a);
  outbox.Written(&a);
  outbox.Add("same");  // the first copy is gone by now: a new frame
  outbox.Add("same");
  Outbox::Frame* second = outbox.Next(&a);
  outbox.Written(&a);
  EXPECT_EQ(second, outbox.Next(&a));
  EXPECT_NE(nullptr, first);
}

TEST(OutboxTest, LaggardsAreThoseTooFarBehind) {
  Outbox outbox;
  int reader, sleeper;
  outbox.Join(&reader);
  outbox.Join(&sleeper);
  for (int i = 0; i < 10; ++i) {
    outbox.Add(std::to_string(i));
    Drain(&outbox, &reader);
  }
  EXPECT_TRUE(outbox.Laggards(10).empty());
  EXPECT_EQ(std::vector<const void*>{&sleeper}, outbox.Laggards(9));
}

}  // namespace
