// The simulator's fault switches as the control port and the command line
// spell them: what each takes, and what it refuses with which words.
#include <gtest/gtest.h>

#include <string>

#include "server/rtssim/RtsFaults.h"

namespace {

TEST(RtsFaultsTest, ReplySizeTakesEvenCountsFromAFillerChunkToTheLargestMessage) {
    struct Row {
        const char* words;
        const char* problem;  // "" = taken
        int replySize;
    } rows[] = {
        {"replysize 36", "", 36},
        {"replysize 1026", "", 1026},
        {"replysize 65536", "", 65536},
        {"replysize 34", "reply size '34' is not an even count of 36 to 65536 bytes", 0},
        {"replysize 1025", "reply size '1025' is not an even count of 36 to 65536 bytes", 0},
        {"replysize 65538", "reply size '65538' is not an even count of 36 to 65536 bytes", 0},
        {"replysize x", "reply size 'x' is not an even count of 36 to 65536 bytes", 0},
        {"replysize", "fault 'replysize' needs a number", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.words);
        RtsFaults faults;
        EXPECT_EQ(faults.Set(row.words), row.problem);
        EXPECT_EQ(faults.replySize.load(), row.replySize);
        if (row.replySize != 0) {
            EXPECT_EQ(faults.Describe(), std::string(row.words));
            EXPECT_EQ(faults.Set("none"), "");
            EXPECT_EQ(faults.replySize.load(), 0);
        }
    }
}

}  // namespace
