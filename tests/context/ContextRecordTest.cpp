// The context change record's layout as clients write it, and the
// port-state machine, cell by cell.
#include <gtest/gtest.h>

#include <cstring>

#include "server/ipmclient/RtsStatusTypes.h"
#include "tmschannel/context/ContextRecord.h"
#include "tmschannel/context/PortStateMachine.h"

namespace {

using context_record::ChangeRecord;

TEST(PortStateMachineTest, EveryCellOfTheTable) {
    // Rows: current; columns: requested (Idle, CuePlay, ShuttlePlay,
    // CueRecord, ShuttleRecord).
    const char* const table[5] = {"yyyyy", "yyyyn", "yyyyn", "yynyy", "ynnny"};
    for (int current = 0; current < 5; ++current) {
        for (int requested = 0; requested < 5; ++requested) {
            EXPECT_EQ(port_state_machine::IsAllowed(current, requested),
                      table[current][requested] == 'y')
                << current << " -> " << requested;
        }
    }
    for (int state : {-1, 5, 0x7FFFFFFF}) {
        for (int other = 0; other < 5; ++other) {
            EXPECT_FALSE(port_state_machine::IsAllowed(state, other)) << state << " -> " << other;
            EXPECT_FALSE(port_state_machine::IsAllowed(other, state)) << other << " -> " << state;
        }
    }
}

// The next change id used to overflow as a signed integer after INT32_MAX.
// Ordinary ids wrap back to 1: 0 and the negative ids name the default modes,
// the GPI input and scheduled changes.
TEST(ChangeIdTest, TheNextChangeIdWrapsFromInt32MaxToOneNotIntoNegativeIds) {
    struct Row {
        std::int32_t id, next;
    };
    const Row rows[] = {{1, 2},         {2, 3}, {1000, 1001}, {INT32_MAX - 1, INT32_MAX},
                        {INT32_MAX, 1}, {0, 1}, {-1, 1},      {INT32_MIN, 1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        EXPECT_EQ(context_record::NextChangeId(row.id), row.next);
    }
}

}  // namespace
