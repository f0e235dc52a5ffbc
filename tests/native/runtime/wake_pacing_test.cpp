#include "bridge/runtime/detail/wake_pacing.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace tyvo::rt::detail {
namespace {

using namespace std::chrono_literals;

constexpr Clock::time_point at(std::chrono::nanoseconds since_boot) { return Clock::time_point(since_boot); }

// Each alarm the pacing asks for, for a deadline `due` seen at `now`: never before due unless
// the thread will spin to due, and then by no more than the lead.
void expect_sound(const WakePacing& pacing, Clock::time_point due, Clock::time_point now) {
  const Clock::time_point alarm = pacing.alarm_for(due, now);
  EXPECT_GE(alarm, due - WakePacing::spin_lead);
  EXPECT_LT(alarm, due + WakePacing::grid);
}

TEST(WakePacing, AfterAQuietSpellTheAlarmGoesOffEarlyAndTheThreadSpinsOnlyWithinItsAllowance) {
  WakePacing pacing;
  Clock::time_point now = at(10s);
  int spins = 0;
  // A deadline every 3 ms for a second: quiet enough to spin each time, but spinning the whole
  // lead each time would cost 5 % of a core, more than the allowance pays for.
  for (int i = 0; i < 333; ++i) {
    const Clock::time_point due = now + 3ms;
    expect_sound(pacing, due, now);
    const Clock::time_point alarm = pacing.alarm_for(due, now);
    if (alarm < due) {
      EXPECT_EQ(alarm, due - WakePacing::spin_lead);
      ASSERT_TRUE(pacing.spins_to(due, alarm));
      pacing.spun(alarm, due);
      ++spins;
    } else {
      EXPECT_FALSE(pacing.spins_to(due, due - WakePacing::spin_lead));  // cannot pay for it
    }
    pacing.woke(due);
    now = due;
  }
  EXPECT_FALSE(pacing.dense(now));
  // The first spins come from the banked allowance, the rest from what one second earns.
  const auto spun = spins * WakePacing::spin_lead;
  EXPECT_GE(spins, 10);
  EXPECT_LE(spun, 2ms + std::chrono::microseconds(999'000) / 64 + WakePacing::spin_lead);
}

TEST(WakePacing, NoSpinWhileTheLastWakeUpsRunsMayStillBeOnTheirWay) {
  WakePacing pacing;
  pacing.woke(at(5s));
  const Clock::time_point due = at(5s) + 1ms;
  EXPECT_EQ(pacing.alarm_for(due, at(5s)), due);
  EXPECT_FALSE(pacing.spins_to(due, due - 100us));
  // Later on, spinning is back.
  const Clock::time_point later = at(6s);
  EXPECT_EQ(pacing.alarm_for(later, at(5s) + 10ms), later - WakePacing::spin_lead);
}

TEST(WakePacing, DenseWakeUpsGoOffOnWholeMillisecondsUntilTheyThinOutOrPause) {
  WakePacing pacing;
  Clock::time_point now = at(20s);
  for (int i = 0; i < 100 && !pacing.dense(now); ++i) {
    now += 200us;
    pacing.woke(now);
  }
  ASSERT_TRUE(pacing.dense(now));
  // Rounded up to the next whole millisecond of the steady clock; a whole millisecond stays.
  EXPECT_EQ(pacing.alarm_for(now + 300us, now), at(20s) + std::chrono::ceil<std::chrono::milliseconds>(
                                                                 now + 300us - at(20s)));
  EXPECT_EQ(pacing.alarm_for(at(20s) + 50ms, now), at(20s) + 50ms);
  EXPECT_FALSE(pacing.spins_to(now + 100us, now));
  for (int i = 0; i < 1000; ++i) expect_sound(pacing, now + std::chrono::nanoseconds(i * 7'919), now);

  // A wake-up every two milliseconds keeps it dense (wake-ups on the grid come that way)...
  for (int i = 0; i < 50; ++i) {
    now += 2ms;
    pacing.woke(now);
  }
  EXPECT_TRUE(pacing.dense(now));
  // ...five milliseconds apart they thin out...
  for (int i = 0; i < 50 && pacing.dense(now); ++i) {
    now += 5ms;
    pacing.woke(now);
  }
  EXPECT_FALSE(pacing.dense(now));

  // ...and dense again, one pause of eight milliseconds ends it at once, even before a wake-up.
  for (int i = 0; i < 100 && !pacing.dense(now); ++i) {
    now += 100us;
    pacing.woke(now);
  }
  ASSERT_TRUE(pacing.dense(now));
  EXPECT_FALSE(pacing.dense(now + 8ms));
  const Clock::time_point due = now + 20ms;
  EXPECT_EQ(pacing.alarm_for(due, now + 9ms), due - WakePacing::spin_lead);
}

}  // namespace
}  // namespace tyvo::rt::detail
