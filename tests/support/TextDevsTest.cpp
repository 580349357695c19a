#include "support/TextDevs.h"

#include <gtest/gtest.h>

#include <setjmp.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <atomic>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

// A list that remembers on which thread each change was made.
class TRecordingList : public TStringLineList {
 public:
  void Add(std::string_view Line) override {
    Record();
    TStringLineList::Add(Line);
  }
  void AppendToLast(std::string_view Text) override {
    Record();
    TStringLineList::AppendToLast(Text);
  }
  void Clear() override {
    Record();
    TStringLineList::Clear();
  }
  void TextPending() override {
    std::lock_guard lock(PendingMutex);
    PendingThreads.push_back(std::this_thread::get_id());
  }

  std::vector<std::thread::id> ChangeThreads;
  std::mutex PendingMutex;
  std::vector<std::thread::id> PendingThreads;

 private:
  void Record() { ChangeThreads.push_back(std::this_thread::get_id()); }
};

std::string Chars(char c, std::size_t n) { return std::string(n, c); }

// One step of a case: w Write, l WriteLine, a Append, c Close, x clear the
// list, e add lines to it from elsewhere.
struct TStep {
  char Op;
  std::string Text;
};

struct TLinesCase {
  const char* Name;
  std::vector<std::string> Before;  // the list when the channel is bound
  bool Rewrite;                     // else opened for appending
  std::vector<TStep> Steps;
  std::vector<std::string> Expected;
};

void PrintTo(const TLinesCase& c, std::ostream* os) { *os << c.Name; }

class TextDevsLinesTest : public ::testing::TestWithParam<TLinesCase> {};

TEST_P(TextDevsLinesTest, ListAfterSteps) {
  const TLinesCase& c = GetParam();
  TStringLineList list;
  list.Lines = c.Before;
  TTextChannel channel;
  channel.AssignLinesDevice(list);
  EXPECT_EQ(list.Lines, c.Before) << "binding must not touch the list";
  if (c.Rewrite)
    channel.Rewrite();
  else
    channel.Append();
  for (const TStep& step : c.Steps) {
    switch (step.Op) {
      case 'w': channel.Write(step.Text); break;
      case 'l': channel.WriteLine(step.Text); break;
      case 'a': channel.Append(); break;
      case 'c': channel.Close(); break;
      case 'x': list.Clear(); break;
      case 'e': list.Lines.insert(list.Lines.end(), {"e1", "e2", "e3"}); break;
      default: FAIL() << "unknown step " << step.Op;
    }
  }
  channel.Close();
  EXPECT_EQ(list.Lines, c.Expected);
}

const std::string A127 = Chars('a', 127);
const std::string X130 = Chars('x', 130);

INSTANTIATE_TEST_SUITE_P(
    TextDevs, TextDevsLinesTest,
    ::testing::Values(
        TLinesCase{"WriteLineAbc", {}, true, {{'l', "abc"}}, {"abc"}},
        TLinesCase{"PiecesJoin", {}, true, {{'w', "ab"}, {'l', "c"}}, {"abc"}},
        TLinesCase{"PiecesJoinAcrossFullBuffer", {}, true, {{'w', A127}, {'w', "b"}, {'l', "c"}}, {A127 + "bc"}},
        TLinesCase{"LongLineStaysOne", {}, true, {{'l', Chars('l', 300)}, {'l', "n"}}, {Chars('l', 300), "n"}},
        TLinesCase{"LongLineInSmallPieces", {}, true,
                   {{'w', Chars('p', 100)}, {'w', Chars('q', 100)}, {'w', Chars('r', 100)}, {'l', ""}},
                   {Chars('p', 100) + Chars('q', 100) + Chars('r', 100)}},
        TLinesCase{"EmptyWriteLineAddsLine", {}, true, {{'l', ""}, {'l', ""}}, {"", ""}},
        TLinesCase{"EmptyWriteLineFinishesLine", {}, true, {{'w', "x"}, {'l', ""}, {'l', "y"}}, {"x", "y"}},
        TLinesCase{"InnerLineEndsKept", {}, true, {{'w', "a\r\nb\r\n"}, {'c', {}}, {'a', {}}, {'l', "c"}}, {"a\r\nb", "c"}},
        TLinesCase{"InnerLineEndsInOneHandOver", {}, true, {{'w', "a\r\n"}, {'l', "b"}}, {"a\r\nb"}},
        TLinesCase{"WriteWithoutLineEndContinued", {}, true, {{'w', "a"}, {'c', {}}, {'a', {}}, {'w', "b"}}, {"a", "b"}},
        // Line ends that fill the buffer exactly, or straddle it, end one line.
        TLinesCase{"LineEndFillsBuffer", {}, true, {{'l', Chars('f', 126)}, {'l', "g"}}, {Chars('f', 126), "g"}},
        TLinesCase{"LineEndStraddlesBuffer", {}, true, {{'l', A127}, {'l', "g"}}, {A127, "g"}},
        TLinesCase{"ClearedWhileUnfinished", {}, true, {{'w', X130}, {'x', {}}, {'l', "z"}}, {"xxz"}},
        TLinesCase{"ClearedAfterLine", {}, true, {{'l', "a"}, {'x', {}}, {'l', "b"}}, {"b"}},
        // Without the repair the long line would be split over two lines.
        TLinesCase{"LinesAddedElsewhere", {}, true, {{'l', "a"}, {'e', {}}, {'l', "b"}, {'l', X130}},
                   {"a", "e1", "e2", "e3", "b", X130}},
        TLinesCase{"RewriteClears", {"old", "older"}, true, {{'l', "new"}}, {"new"}},
        TLinesCase{"AppendKeeps", {"old"}, false, {{'l', "new"}}, {"old", "new"}},
        TLinesCase{"AppendStartsNewLine", {}, true, {{'w', X130}, {'c', {}}, {'a', {}}, {'l', "d"}}, {X130, "d"}},
        TLinesCase{"ReopenHandsOverBuffer", {}, true, {{'w', "ab"}, {'a', {}}, {'l', "c"}}, {"ab", "c"}},
        TLinesCase{"CloseWithEmptyBufferAddsNothing", {"old"}, false, {}, {"old"}}),
    [](const ::testing::TestParamInfo<TLinesCase>& p) { return p.param.Name; });

TEST(TextDevsErrorsTest, RefusedOperations) {
  TTextChannel unbound;
  EXPECT_THROW(unbound.Rewrite(), ETextChannelError);
  EXPECT_THROW(unbound.Append(), ETextChannelError);
  EXPECT_THROW(unbound.Reset(), ETextChannelError);
  EXPECT_THROW(unbound.WriteLine("x"), ETextChannelError);

  TStringLineList list;
  for (const bool lines : {true, false}) {
    TTextChannel ch;
    if (lines)
      ch.AssignLinesDevice(list);
    else
      ch.AssignNullDevice();
    EXPECT_THROW(ch.Write("x"), ETextChannelError) << "bound but never opened";
    EXPECT_THROW(ch.Reset(), ETextChannelError);
    ch.Rewrite();
    ch.Write("kept");
    EXPECT_THROW(ch.Reset(), ETextChannelError);
    EXPECT_FALSE(ch.IsOpen()) << "reading closes the open channel first";
    EXPECT_THROW(ch.WriteLine("x"), ETextChannelError);
    EXPECT_THROW(ch.Write("x"), ETextChannelError);
    if (lines) {
      EXPECT_EQ(list.Lines, std::vector<std::string>{"kept"});
    }
  }
}

TEST(TextDevsStatesTest, WantsTextOnlyWhenLinesOpen) {
  TStringLineList list;
  TTextChannel ch;
  EXPECT_FALSE(ch.WantsText());
  ch.AssignLinesDevice(list);
  EXPECT_FALSE(ch.WantsText());
  ch.Rewrite();
  EXPECT_TRUE(ch.WantsText());
  EXPECT_TRUE(ch.IsOpen());
  ch.Close();
  EXPECT_FALSE(ch.WantsText());
  ch.AssignNullDevice();
  ch.Rewrite();
  EXPECT_TRUE(ch.IsOpen());
  EXPECT_FALSE(ch.WantsText());
}

TEST(TextDevsNullTest, DiscardsEverythingAndLeavesListAlone) {
  TStringLineList list;
  list.Lines = {"before"};
  TTextChannel ch;
  ch.AssignLinesDevice(list);
  ch.Append();
  ch.Write("half");
  ch.AssignNullDevice();  // rebinding hands the text over first
  EXPECT_EQ(list.Lines, (std::vector<std::string>{"before", "half"}));
  ch.Rewrite();
  std::thread other([&] { ch.WriteLine(Chars('o', 300)); });
  other.join();
  ch.Write(Chars('n', 1000));
  ch.WriteLine("");
  ch.DrainPending();
  ch.Append();
  ch.Close();
  EXPECT_EQ(list.Lines, (std::vector<std::string>{"before", "half"}));
}

// The text another thread writes as its line number I: some lines are
// longer than the buffer and written in several pieces.
std::string ThreadLine(char who, int i) {
  std::string line = std::string(1, who) + "-" + std::to_string(i) + ":";
  if (i % 4 == 0) line += Chars(static_cast<char>('a' + i % 26), 150 + static_cast<std::size_t>(i));
  return line;
}

void WriteThreadLine(TTextChannel& ch, char who, int i) {
  const std::string line = ThreadLine(who, i);
  if (i % 2 == 0) {
    ch.WriteLine(line);
    return;
  }
  // Odd lines in pieces, with a line end only at the last one.
  for (std::size_t at = 0; at < line.size(); at += 7) ch.Write(line.substr(at, 7));
  ch.WriteLine();
}

TEST(TextDevsThreadsTest, EachThreadsLinesArriveWholeAndInOrderOnOwner) {
  constexpr int N = 300;
  TRecordingList list;
  TTextChannel ch;
  ch.AssignLinesDevice(list);
  ch.Rewrite();
  const std::thread::id owner = std::this_thread::get_id();

  std::atomic<bool> go{false}, done{false};
  std::thread other([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < N; ++i) WriteThreadLine(ch, 'T', i);
    ch.Write("tail without line end");
    done = true;
  });
  go = true;
  for (int i = 0; i < N; ++i) {
    WriteThreadLine(ch, 'O', i);
    if (i % 3 == 0) ch.DrainPending();
  }
  while (!done) ch.DrainPending();
  other.join();
  ch.Close();

  std::vector<std::string> own, others;
  bool tailSeen = false;
  for (const std::string& line : list.Lines) {
    if (line == "tail without line end")
      tailSeen = true;
    else if (line.starts_with("O-"))
      own.push_back(line);
    else if (line.starts_with("T-"))
      others.push_back(line);
    else
      ADD_FAILURE() << "mixed or broken line: " << line;
  }
  EXPECT_TRUE(tailSeen) << "unfinished text is handed over at Close";
  ASSERT_EQ(own.size(), static_cast<std::size_t>(N));
  ASSERT_EQ(others.size(), static_cast<std::size_t>(N));
  for (int i = 0; i < N; ++i) {
    EXPECT_EQ(own[static_cast<std::size_t>(i)], ThreadLine('O', i));
    EXPECT_EQ(others[static_cast<std::size_t>(i)], ThreadLine('T', i));
  }
  for (const std::thread::id id : list.ChangeThreads) ASSERT_EQ(id, owner);
  std::lock_guard lock(list.PendingMutex);
  EXPECT_FALSE(list.PendingThreads.empty());
  for (const std::thread::id id : list.PendingThreads) EXPECT_NE(id, owner);
}

TEST(TextDevsThreadsTest, QueuedLineWaitsForOwnersUnfinishedLine) {
  TRecordingList list;
  TTextChannel ch;
  ch.AssignLinesDevice(list);
  ch.Rewrite();
  ch.Write(X130);  // 128 of them are in the list already, unfinished
  std::thread other([&] { ch.WriteLine("other"); });
  other.join();
  ch.DrainPending();
  EXPECT_EQ(list.Lines, std::vector<std::string>{Chars('x', 128)});
  ch.WriteLine("end");
  EXPECT_EQ(list.Lines, (std::vector<std::string>{X130 + "end", "other"}));
}

TEST(TextDevsThreadsTest, OnlyTheOwnerOpensAndClosesTheList) {
  TStringLineList list;
  TTextChannel ch;
  ch.AssignLinesDevice(list);
  ch.Rewrite();
  std::thread other([&] {
    EXPECT_THROW(ch.Close(), ETextChannelError);
    EXPECT_THROW(ch.Rewrite(), ETextChannelError);
  });
  other.join();
  EXPECT_TRUE(ch.IsOpen());
}

TEST(TextDevsThreadsTest, RebindingWhileAnotherThreadWrites) {
  TRecordingList first, second;
  TTextChannel ch;
  std::atomic<bool> stop{false};
  std::atomic<int> refused{0};
  std::thread writer([&] {
    while (!stop) {
      try {
        ch.WriteLine("whole line");
      } catch (const ETextChannelError&) {
        ++refused;
      }
    }
  });
  for (int round = 0; round < 40; ++round) {
    TRecordingList& list = round % 2 == 0 ? first : second;
    ch.AssignLinesDevice(list);
    ch.Append();
    ch.WriteLine("own");
    std::this_thread::yield();
    ch.DrainPending();
    if (round % 3 == 0) {
      ch.AssignNullDevice();
      ch.Rewrite();
    } else {
      ch.Close();
    }
  }
  stop = true;
  writer.join();
  for (const TRecordingList* list : {&first, &second}) {
    for (const std::string& line : list->Lines) EXPECT_TRUE(line == "own" || line == "whole line") << line;
    for (const std::thread::id id : list->ChangeThreads) EXPECT_EQ(id, std::this_thread::get_id());
  }
  EXPECT_EQ(std::count(first.Lines.begin(), first.Lines.end(), "own") +
                std::count(second.Lines.begin(), second.Lines.end(), "own"),
            40);
}

}  // namespace

namespace {

// A writer that holds back while the owner is behind reads how far behind.
TEST(TextDevsThreadsTest, QueuedLinesCountsFinishedLinesUntilTheOwnerTakesThem) {
  TStringLineList list;
  TTextChannel ch;
  ch.AssignLinesDevice(list);
  ch.Rewrite();
  std::thread other([&] {
    ch.WriteLine("one");
    ch.Write("two, unfinished");
    ch.WriteLine(" and finished");
  });
  other.join();
  EXPECT_EQ(ch.QueuedLines(), 2u);
  ch.DrainPending();
  EXPECT_EQ(ch.QueuedLines(), 0u);
  EXPECT_EQ(list.Lines, (std::vector<std::string>{"one", "two, unfinished and finished"}));
  std::thread again([&] { ch.WriteLine("four"); });
  again.join();
  EXPECT_EQ(ch.QueuedLines(), 1u);
  ch.Close();
  EXPECT_EQ(ch.QueuedLines(), 0u);
  EXPECT_EQ(list.Lines.back(), "four");
}

}  // namespace

namespace {

// Jumps out of the channel, as the way out of a fault does, when asked to
// at a wake-up or at a given line.
class TJumpingList : public TStringLineList {
 public:
  sigjmp_buf* Out = nullptr;
  std::string AtLine;
  void Add(std::string_view Line) override {
    if (Out && Line == AtLine) siglongjmp(*Out, 1);
    TStringLineList::Add(Line);
  }
  void TextPending() override {
    if (Out && AtLine.empty()) siglongjmp(*Out, 1);
  }
};

}  // namespace

// A jump out of a wake-up (other thread) and out of a block (owner) skips
// the clean-ups; giving back what was taken since the mark leaves the
// channel usable: later lines arrive, and Close does not wait for ever.
TEST(TextDevsThreadsTest, AJumpOutOfTheChannelGivesBackWhatWasTakenSinceTheMark) {
  TJumpingList list;
  TTextChannel ch;
  ch.AssignLinesDevice(list);
  ch.Rewrite();
  const auto jumpOut = [&](const std::string& atLine, const std::function<void()>& write) {
    sigjmp_buf out;
    const TTextChannel::TMark mark = TTextChannel::MarkHeld();
    list.AtLine = atLine;
    list.Out = &out;
    bool jumped = false;
    if (sigsetjmp(out, 0) == 0) {
      write();
    } else {
      jumped = true;
      ch.ReleaseAbandoned(mark);
    }
    list.Out = nullptr;
    return jumped;
  };
  std::thread([&] { EXPECT_TRUE(jumpOut("", [&] { ch.WriteLine("woke nobody"); })); }).join();
  // Outside the frames the jump leaves, whose destructors it skips.
  const std::vector<std::string> block{"in the block"};
  EXPECT_TRUE(jumpOut("in the block", [&] { ch.WriteLinesWhole(block, {}); }));
  std::thread([&] { ch.WriteLine("later"); }).join();
  ch.WriteLine("owner");
  std::promise<void> closed;
  std::thread([&] {
    ch.AssignNullDevice();  // waits for wake-ups still running, as Close does
    closed.set_value();
  }).detach();
  ASSERT_EQ(closed.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(list.Lines, (std::vector<std::string>{"woke nobody", "later", "owner"}));
}
