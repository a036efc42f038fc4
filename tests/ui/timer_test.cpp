// Toolkit timers: ticks reach the callback through TimerProc as
// (WM_TIMER, id, host window). A timer never ticks early (but for the
// clock's granularity), while a busy machine delays ticks by any amount: the
// lower bounds are tight, and the upper ones only as tight as telling the
// right interval from a wrong one needs. Start times are taken before the
// timer is set. The window manager's minimum is about 10 ms on Wine and
// 15.6 ms on Windows.
#include <map>

#include "fixture.h"

namespace uitest {
namespace {

struct Tick {
  UINT_PTR id;
  LPARAM lParam;
  bool handledPtrNonNull;
  int handledOnEntry;
  LARGE_INTEGER at;
};
std::vector<Tick> g_ticks;

// How early a tick may seem: the timer's clock and the performance counter
// are read at different granularities (10-16 ms).
constexpr double kClockSlack = 0.05;

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return double(to.QuadPart - from.QuadPart) / double(f.QuadPart);
}

class TimerTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    g_ticks.clear();
    g_ticks.reserve(10000);
  }
  // Records every WM_TIMER; stops after `count` ticks of `stopId`.
  void StopAfter(UINT_PTR stopId, std::size_t count) {
    SetReaction([stopId, count](const Seen& s, int*) {
      if (s.message != WM_TIMER) return false;
      Tick t{s.wParam, s.lParam, s.handledPtrNonNull, s.handledOnEntry, {}};
      QueryPerformanceCounter(&t.at);
      if (g_ticks.size() < g_ticks.capacity()) g_ticks.push_back(t);
      std::size_t n = 0;
      for (const Tick& k : g_ticks) n += k.id == stopId;
      return n >= count;
    });
  }
  std::map<UINT_PTR, int> Counts() const {
    std::map<UINT_PTR, int> counts;
    for (const Tick& t : g_ticks) ++counts[t.id];
    return counts;
  }
};

TEST_F(TimerTest, TwoSecondTimerId7) {
  HWND host = MakeHost();
  StopAfter(7, 2);
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  ASSERT_NE(tk.AddTimer(7, 2), 0u);
  bool timedOut = true;
  EXPECT_EQ(RunBounded(tk, host, 10000, &timedOut), 1);
  EXPECT_FALSE(timedOut);
  ASSERT_EQ(g_ticks.size(), 2u);
  for (const Tick& t : g_ticks) {
    EXPECT_EQ(t.id, 7u);
    EXPECT_EQ(t.lParam, reinterpret_cast<LPARAM>(host)) << "the window, not the timer procedure";
    EXPECT_TRUE(t.handledPtrNonNull);
    EXPECT_EQ(t.handledOnEntry, 0);
  }
  // Tick k comes no sooner than 2k s after the timer was set; a second
  // taken as a millisecond would tick at once. The watchdog bounds the
  // other side.
  EXPECT_GT(Seconds(start, g_ticks[0].at), 2.0 - kClockSlack);
  EXPECT_GT(Seconds(start, g_ticks[1].at), 4.0 - kClockSlack);
  // Ticks go to TimerProc only: DllWndProc would have passed the timer
  // procedure's address in lParam.
  for (const Seen& s : Log()) {
    if (s.message == WM_TIMER) {
      EXPECT_EQ(s.lParam, reinterpret_cast<LPARAM>(host));
    }
  }
}

// 0 s asks for 0 ms, which the window manager raises to its minimum.
// Ten ticks within the watchdog's 5 s tell it from a second per tick.
TEST_F(TimerTest, ZeroSecondsTicksAtTheMinimum) {
  HWND host = MakeHost();
  StopAfter(1, 10);
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  ASSERT_NE(tk.AddTimer(1, 0), 0u);
  bool timedOut = true;
  RunBounded(tk, host, 5000, &timedOut);
  EXPECT_FALSE(timedOut);
  ASSERT_EQ(g_ticks.size(), 10u);
  const double mean = Seconds(start, g_ticks.back().at) / 10;
  EXPECT_GT(mean, 0.005);
  EXPECT_LT(mean, 0.5);
}

// -1 s wraps to 2^32 - 1000 ms, capped by the window manager: accepted, and
// no tick comes while a fast timer ticks ten times.
TEST_F(TimerTest, MinusOneSecondNeverTicksSoon) {
  HWND host = MakeHost();
  StopAfter(2, 10);
  EXPECT_NE(tk.AddTimer(1, -1), 0u);
  ASSERT_NE(tk.AddTimer(2, 0), 0u);
  bool timedOut = true;
  RunBounded(tk, host, 5000, &timedOut);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(Counts()[1], 0);
  EXPECT_EQ(Counts()[2], 10);
}

// An id already in use is restarted with the new interval: three ticks
// before the watchdog's 5 s, where the old interval would give none in 60 s.
TEST_F(TimerTest, ReusedIdTakesTheNewInterval) {
  HWND host = MakeHost();
  StopAfter(5, 3);
  ASSERT_NE(tk.AddTimer(5, 60), 0u);
  ASSERT_NE(tk.AddTimer(5, 0), 0u);
  bool timedOut = true;
  RunBounded(tk, host, 5000, &timedOut);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(Counts()[5], 3);
}

TEST_F(TimerTest, KillTimer) {
  HWND host = MakeHost();
  StopAfter(4, 10);
  ASSERT_NE(tk.AddTimer(3, 0), 0u);
  ASSERT_NE(tk.AddTimer(4, 0), 0u);
  EXPECT_NE(tk.KillTimer(3), 0);
  EXPECT_EQ(tk.KillTimer(3), 0) << "already gone";
  EXPECT_EQ(tk.KillTimer(99), 0) << "never made";
  bool timedOut = true;
  RunBounded(tk, host, 5000, &timedOut);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(Counts()[3], 0);
  EXPECT_EQ(Counts()[4], 10);
  EXPECT_NE(tk.KillTimer(4), 0);
}

// A callback's answer to a tick is its only effect: `handled` is not read.
TEST_F(TimerTest, HandledTickStillStops) {
  HWND host = MakeHost();
  SetReaction([](const Seen& s, int* handled) {
    if (s.message != WM_TIMER) return false;
    *handled = 1;
    return true;
  });
  ASSERT_NE(tk.AddTimer(1, 0), 0u);
  bool timedOut = true;
  RunBounded(tk, host, 5000, &timedOut);
  EXPECT_FALSE(timedOut);
}

// Timers end with their window.
TEST_F(TimerTest, TimersDieWithTheWindow) {
  MakeHost();
  ASSERT_NE(tk.AddTimer(1, 0), 0u);
  EXPECT_NE(tk.Finish(), 0);
  EXPECT_EQ(tk.KillTimer(1), 0);
  EXPECT_EQ(tk.AddTimer(1, 0), 0u);
}

}  // namespace
}  // namespace uitest
