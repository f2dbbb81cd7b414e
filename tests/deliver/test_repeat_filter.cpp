// A refusal that repeats on every pass reaches the log once a minute, with the count of
// the repeats held back.

#include <gtest/gtest.h>

#include "deliver/repeat_filter.h"

namespace kestran {
namespace {

TEST(RepeatFilter, EachTextOnceAMinuteWithTheCountOfWhatWasHeldBack) {
  double now = 1000;
  TRepeatFilter filter([&] { return now; });
  EXPECT_EQ(filter.Pass("failed/ is a link"), "failed/ is a link");
  for (int i = 0; i < 3; ++i) {
    now += 15;  // a scan every 15 s
    EXPECT_FALSE(filter.Pass("failed/ is a link"));
  }
  // Another text is not held back by the first.
  EXPECT_EQ(filter.Pass("state not stored"), "state not stored");
  now += 15;
  EXPECT_EQ(filter.Pass("failed/ is a link"),
            "failed/ is a link (3 more times since the last report)");
  now += 60;
  EXPECT_EQ(filter.Pass("failed/ is a link"), "failed/ is a link");
  // Many distinct texts never grow it without bound, and a new one always passes.
  for (int i = 0; i < 5000; ++i) EXPECT_TRUE(filter.Pass("text " + std::to_string(i)));
}

}  // namespace
}  // namespace kestran
