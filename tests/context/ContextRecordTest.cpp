// The context change record's layout as clients write it, and the
// port-state machine, cell by cell.
#include <gtest/gtest.h>

#include <cstring>

#include "server/ipmclient/RtsStatusTypes.h"
#include "tmschannel/context/ContextRecord.h"
#include "tmschannel/context/PortStateMachine.h"

namespace {

using context_record::ChangeRecord;

TEST(ContextRecordTest, FieldsSitAtTheirOffsetsLittleEndian) {
    unsigned char bytes[124] = {};
    auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            bytes[at + i] = static_cast<unsigned char>(v >> (8 * i));
        }
    };
    put(0, 0x00200104);
    put(24, 4);
    put(32, TmsShuttlePlay);
    const float speed = -2.0f;
    std::uint32_t speedBits = 0;
    std::memcpy(&speedBits, &speed, 4);
    put(44, speedBits);
    put(48, 0x12345678);
    put(88, 100);
    put(92, 0x7FFFFFFF);
    put(96, 9000);
    bytes[105] = 1;
    put(120, 0x4);
    ChangeRecord r{};
    std::memcpy(&r, bytes, sizeof r);
    EXPECT_EQ(r.flags, 0x00200104u);
    EXPECT_EQ(r.trigger, 4);
    EXPECT_EQ(r.portState, TmsShuttlePlay);
    EXPECT_EQ(static_cast<float>(r.speed), -2.0f);
    EXPECT_EQ(r.position.movie, 0x12345678);
    EXPECT_EQ(r.startLimit, 100);
    EXPECT_EQ(r.endLimit, context_record::kNoEndLimit);
    EXPECT_EQ(r.timelineLength, 9000);
    EXPECT_EQ(r.underConstruction, 1);
    EXPECT_EQ(r.editOptions, context_record::kEditIsThumbnail);
}

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

}  // namespace
