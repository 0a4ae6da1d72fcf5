// The status monitor's lateness histogram: percentiles at the ranks and
// bucket edges where an off-by-one would misreport the monitor's p99.
#include <gtest/gtest.h>

#include "tmschannel/channel/LatenessHistogram.h"

namespace {

TEST(LatenessHistogram, EmptyHasNoPercentile) {
    CLatenessHistogram h;
    EXPECT_EQ(h.Snapshot().PercentileUs(0.99), 0);
}

TEST(LatenessHistogram, BucketEdgesBelongToTheNextBucket) {
    CLatenessHistogram h;
    h.Add(4);
    EXPECT_EQ(h.Snapshot().PercentileUs(1.0), 5);
    h.Clear();
    h.Add(5);
    EXPECT_EQ(h.Snapshot().PercentileUs(0.0), 10);
    h.Clear();
    h.Add(-3);  // early counts as on time
    EXPECT_EQ(h.Snapshot().PercentileUs(0.5), 5);
}

TEST(LatenessHistogram, RankWholeInDecimalIsNotRoundedUp) {
    CLatenessHistogram h;
    for (int i = 0; i < 7; ++i) {
        h.Add(10);
    }
    for (int i = 0; i < 93; ++i) {
        h.Add(1000);
    }
    // 0.07 x 100 is slightly above 7 in binary: the 7th sample, not the 8th.
    EXPECT_EQ(h.Snapshot().PercentileUs(0.07), 15);
    EXPECT_EQ(h.Snapshot().PercentileUs(0.071), 1005);
}

TEST(LatenessHistogram, P99OfAHundredIsTheNinetyNinthSample) {
    CLatenessHistogram h;
    for (int i = 0; i < 99; ++i) {
        h.Add(100);
    }
    h.Add(3000);
    EXPECT_EQ(h.Snapshot().PercentileUs(0.99), 105);
    EXPECT_EQ(h.Snapshot().PercentileUs(1.0), 3005);
}

TEST(LatenessHistogram, BeyondTheRangeIsReportedAsAtLeastTheRange) {
    CLatenessHistogram h;
    h.Add(LatenessCounts::kRangeUs - 1);
    h.Add(LatenessCounts::kRangeUs);
    h.Add(1'000'000);
    const LatenessCounts c = h.Snapshot();
    EXPECT_EQ(c.PercentileUs(0.34), LatenessCounts::kRangeUs + LatenessCounts::kBucketUs);
    EXPECT_EQ(c.PercentileUs(0.33), LatenessCounts::kRangeUs);
}

TEST(LatenessHistogram, SinceCountsOnlyTheLaterSamples) {
    CLatenessHistogram h;
    for (int i = 0; i < 50; ++i) {
        h.Add(4000);
    }
    const LatenessCounts before = h.Snapshot();
    for (int i = 0; i < 10; ++i) {
        h.Add(20);
    }
    const LatenessCounts window = h.Snapshot().Since(before);
    EXPECT_EQ(window.Total(), 10u);
    EXPECT_EQ(window.PercentileUs(1.0), 25);
}

}  // namespace
