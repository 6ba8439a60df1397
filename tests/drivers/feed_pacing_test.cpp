// The feed driver's pacing and its choice between producer and placeholder, on a test clock.
#include <gtest/gtest.h>

#include "drivers/feed/pacer.h"

namespace frix::feed {
namespace {

using namespace std::chrono_literals;

const Clock::time_point t0 = Clock::time_point() + 1000s;

TEST(FeedPacer, FramesComeAtTheIntervalFromTheStart) {
    Pacer pacer(33ms);
    pacer.restart(t0);
    EXPECT_EQ(pacer.due(), t0);
    pacer.delivered(t0);
    EXPECT_EQ(pacer.due(), t0 + 33ms);
    // A little late: the next one keeps the grid, so the rate does not drift.
    pacer.delivered(t0 + 40ms);
    EXPECT_EQ(pacer.due(), t0 + 66ms);
}

TEST(FeedPacer, AHiccupOfAFewFramesCostsNoFrames) {
    Pacer pacer(33ms);
    pacer.restart(t0);
    pacer.delivered(t0);
    pacer.delivered(t0 + 90ms);  // due at 33 ms
    EXPECT_EQ(pacer.due(), t0 + 66ms) << "the next frame is due at once";
    pacer.delivered(t0 + 91ms);
    EXPECT_EQ(pacer.due(), t0 + 99ms);
}

TEST(FeedPacer, AConsumerFarBehindGetsNoBurst) {
    Pacer pacer(33ms);
    pacer.restart(t0);
    pacer.delivered(t0);
    pacer.delivered(t0 + 500ms);
    EXPECT_EQ(pacer.due(), t0 + 533ms);
}

TEST(FeedPacer, AShorterIntervalBringsTheNextFrameForward) {
    Pacer pacer(1000ms);
    pacer.restart(t0);
    pacer.delivered(t0);
    pacer.set_interval(100ms, t0 + 10ms);
    EXPECT_EQ(pacer.due(), t0 + 110ms);
    pacer.set_interval(500ms, t0 + 20ms);
    EXPECT_EQ(pacer.due(), t0 + 110ms) << "a longer interval applies from the next frame";
    pacer.delivered(t0 + 110ms);
    EXPECT_EQ(pacer.due(), t0 + 610ms);
}

TEST(FeedPacer, TheProducerIsShownUntilTheIdleTimeout) {
    EXPECT_EQ(choose_source(std::nullopt, t0, 2000ms), Source::Placeholder);
    EXPECT_EQ(choose_source(t0, t0, 2000ms), Source::Producer);
    EXPECT_EQ(choose_source(t0, t0 + 1999ms, 2000ms), Source::Producer);
    EXPECT_EQ(choose_source(t0, t0 + 2000ms, 2000ms), Source::Placeholder);
    EXPECT_EQ(choose_source(t0, t0 + 1h, 2000ms), Source::Placeholder);
}

}  // namespace
}  // namespace frix::feed
