// The timecode a record captures, end to end against a tms-rtssim process
// with its clock held: the generator's timecode at the field the record
// starts on is stamped into the recorded movie's timecode segment, and the
// movie's end timecode follows the generator across frame, second and minute
// boundaries. Chan2's generator counts 30 frames of 2 fields, no drop frame.
#include <array>
#include <cstring>
#include <string>

#include "tests/e2e/RecordFixture.h"
#include "tests/frame/LogLines.h"

namespace {

using namespace context_record;
using tmstest::kCapacity;

constexpr long kTimecodeTrackType = 3;
constexpr std::uint32_t kNoTimecode = 0x80000000u;

std::int32_t I32(const BYTE* p) {
    std::int32_t v = 0;
    std::memcpy(&v, p, 4);
    return v;
}

class E2eTimecodeRecordTest : public tmstest::RecordFixture {
protected:
    HRESULT SetTimecode(const char* name, const CVariant& value) {
        return m_channel->SetResourceProperty(CBstr("timecode"), 0, CBstr(name),
                                              value.GetVARIANT());
    }
    // Steps the held clock and waits for a status pass on the tick it
    // reached: the timecode resource's tick count is the simulator's.
    void StepAndSettle(int fields) {
        ASSERT_EQ(tmstest::SimControl("clock step " + std::to_string(fields)), "ok");
        const std::string status = tmstest::SimControl("status 1");
        const std::size_t at = status.find(" tick ");
        ASSERT_NE(at, std::string::npos) << status;
        const auto tick = static_cast<std::int32_t>(std::stoul(status.substr(at + 6)));
        ASSERT_TRUE(tmstest::Eventually([&] { return TimecodeStatus("tickcount") == tick; }))
            << "no status pass on tick " << tick;
    }
    std::int32_t TimecodeStatus(const char* name) {
        CVariant v;
        EXPECT_EQ(m_channel->GetResourceStatus(CBstr("timecode"), 0, CBstr(name), v.GetAddress()),
                  S_OK)
            << LastErrorText();
        return v.ToInt32();
    }
    // The 48-byte media data block of the timecode track's segment at 0.
    std::array<BYTE, 48> TimecodeBlock() {
        std::array<BYTE, 48> block{};
        unsigned short segment = 0;
        EXPECT_EQ(m_movie->GetSegmentAtPosition(kTimecodeTrackType, 0, 0, &segment), S_OK);
        EXPECT_EQ(m_movie->GetSegmentMediaData(kTimecodeTrackType, 0, segment, 0, 48, block.data()),
                  S_OK);
        return block;
    }
    // Idle, one field for the status pass to see it, and the record ended.
    void StopRecord(unsigned token) {
        Apply(token, Change(kPortState, TmsIdle, 0.0f, 0, kCapacity));
        ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
        ASSERT_EQ(m_channel->WaitForPortState(token, TmsIdle, 5000), S_OK) << LastErrorText();
        ASSERT_TRUE(tmstest::Eventually([&] { return !UnderConstruction(); }));
    }
    std::vector<std::string> Errors() {
        std::vector<std::string> out;
        for (const auto& r : tmstest::ReadLog()) {
            if (r.kind == "ERROR") {
                out.push_back(r.hr + " " + r.text);
            }
        }
        return out;
    }
};

// Regression: a record that began within a second of its context's
// previous record got no record update while the RTS reported its capture,
// and its segment kept no timecode; the end of every record wiped the movie's
// end timecode; a last frame at the end of a second made an end timecode the
// movie refused.
TEST_F(E2eTimecodeRecordTest, ARecordStampsTheTimecodeItStartedAtAndEndsAFrameAfterItsLast) {
    struct Row {
        const char* mode;
        const char* start;
        int before;             // fields the generator runs before the record
        std::uint32_t stamped;  // packed, worked out by hand
        std::uint32_t end;      // the frame after the generator's 40 fields later
    };
    const Row rows[] = {
        {"FixedStart", "10:20:30:05", 7, 0x0A141E05u, 0x0A141E06u},
        {"FixedStart", "10:20:30:29", 7, 0x0A141E1Du, 0x0A141F00u},
        // 27 frames and 3 more: the second carries; 20 frames later, 20.
        {"FreeRun", "01:00:00:27", 6, 0x01000100u, 0x01000115u},
        // 23:59:59:29 and 1 frame: midnight.
        {"FreeRun", "23:59:59:29", 2, 0x00000000u, 0x00000015u},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.mode) + " from " + row.start);
        ASSERT_EQ(SetTimecode("genfixedtimecode", CVariant(row.start)), S_OK) << LastErrorText();
        ASSERT_EQ(SetTimecode("genmode", CVariant(row.mode)), S_OK) << LastErrorText();
        StepAndSettle(row.before);
        ASSERT_EQ(static_cast<std::uint32_t>(TimecodeStatus("timecodemask")), row.stamped)
            << "the generator before the record";

        // One field in StartRecord, 39 more: the held clock keeps the
        // generator where the last status pass saw it until the stop.
        const unsigned token = StartRecord(("tc" + std::to_string(n++)).c_str());
        StepAndSettle(39);
        StopRecord(token);

        const auto block = TimecodeBlock();
        EXPECT_EQ(static_cast<std::uint32_t>(I32(&block[4])), row.stamped)
            << "the timecode the record started at";
        EXPECT_EQ(I32(&block[0]), 1) << "no drop frame";
        EXPECT_EQ(static_cast<std::uint32_t>(I32(&block[8])), kNoTimecode);
        EXPECT_EQ(I32(&block[32]), 3) << "encode file type";
        EXPECT_EQ(I32(&block[40]), 32);
        EXPECT_EQ(static_cast<std::uint32_t>(MovieI4("endTimecode")), row.end);
        EXPECT_EQ(m_channel->FreeContext(token), S_OK) << LastErrorText();
    }
    EXPECT_EQ(Errors(), std::vector<std::string>{});
}

}  // namespace
