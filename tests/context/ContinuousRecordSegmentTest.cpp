// The segment continuous record grows a movie by: the length kept / 90, at
// least three seconds of fields, in whole steps of the resources' field
// granularity; none while continuous record is off.
#include <gtest/gtest.h>

#include "tmschannel/channel/ContinuousRecordSegment.h"

namespace {

TEST(ContinuousRecordSegmentTest, ANinetiethOfTheLengthAtLeastThreeSecondsInWholeSteps) {
    struct Row {
        const char* name;
        bool on;
        std::int32_t length, fieldsPerSecond, granularity, segment;
    } rows[] = {
        {"off", false, 216000, 60, 1, 0},
        {"an hour at 60 fields a second", true, 216000, 60, 1, 2400},
        {"three minutes: 120, under three seconds", true, 10800, 60, 1, 180},
        {"three seconds exactly: 16200 / 90", true, 16200, 60, 1, 180},
        {"one field more than three seconds", true, 16290, 60, 1, 181},
        {"no length", true, 0, 60, 1, 180},
        {"625 lines, no length", true, 0, 50, 1, 150},
        {"rounded up to the granularity", true, 216090, 60, 4, 2404},
        {"a granularity of 0 counts as 1", true, 216090, 60, 0, 2401},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ContinuousRecordSegment(row.on, row.length, row.fieldsPerSecond, row.granularity),
                  row.segment);
    }
}

}  // namespace
