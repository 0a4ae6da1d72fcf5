// Which status records a context hands on to its timeline: every byte of
// the record counts, an unchanged record waits for the refresh, and a new
// timeline or allocation, or a timeline that did not take the last record,
// gets the next one whatever it holds.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "tests/context/RecorderFixture.h"
#include "tmschannel/context/StatusHandOn.h"

namespace {

using context_record::StatusRecord;

StatusRecord RecordOfBytes(unsigned char fill) {
    StatusRecord r{};
    std::memset(static_cast<void*>(&r), fill, sizeof r);  // every byte, the unused words too
    return r;
}

TEST(StatusHandOnTest, AChangeInAnyByteIsDueAndAnUnchangedRecordIsNot) {
    const StatusRecord base = RecordOfBytes(0x5A);
    for (std::size_t byte = 0; byte < sizeof(StatusRecord); ++byte) {
        SCOPED_TRACE("byte " + std::to_string(byte));
        CStatusHandOn handOn;
        EXPECT_TRUE(handOn.Due(base, 100, 100)) << "nothing handed yet";
        handOn.Handed(base, 100);
        EXPECT_FALSE(handOn.Due(base, 100, 100));
        StatusRecord changed = base;
        reinterpret_cast<unsigned char*>(&changed)[byte] ^= 0x01;
        EXPECT_TRUE(handOn.Due(changed, 100, 100));
        handOn.Handed(changed, 100);
        EXPECT_FALSE(handOn.Due(changed, 100, 100));
        EXPECT_TRUE(handOn.Due(base, 100, 100)) << "changing back is a change too";
    }
}

TEST(StatusHandOnTest, AnUnchangedRecordIsDueAgainAfterTheRefreshAcrossATickWrap) {
    const StatusRecord r = RecordOfBytes(0x11);
    const DWORD starts[] = {0u, 1000u, 0xFFFFFF00u};
    for (DWORD start : starts) {
        SCOPED_TRACE("handed at tick " + std::to_string(start));
        CStatusHandOn handOn;
        handOn.Handed(r, start);
        EXPECT_FALSE(handOn.Due(r, start + CStatusHandOn::kRefreshMs - 1, start));
        EXPECT_TRUE(handOn.Due(r, start + CStatusHandOn::kRefreshMs, start));
    }
}

// The broker refreshes a context's states a second after its last state
// message. A record handed on after that message (it had changed) must not
// put the next unchanged one off for a second from the hand-on: the broker
// would find its second not yet up, and the refresh would come a second late.
TEST(StatusHandOnTest, AnUnchangedRecordIsDueASecondAfterTheLastStateMessage) {
    const StatusRecord r = RecordOfBytes(0x33);
    const DWORD starts[] = {1000u, 0xFFFFFE00u};
    for (DWORD message : starts) {
        SCOPED_TRACE("state message at tick " + std::to_string(message));
        CStatusHandOn handOn;
        handOn.Handed(r, message + 500);
        EXPECT_FALSE(handOn.Due(r, message + CStatusHandOn::kRefreshMs - 1, message));
        EXPECT_TRUE(handOn.Due(r, message + CStatusHandOn::kRefreshMs, message));
    }
}

// A context the RTS holds at its limit while it plays on at a speed reports
// the same record every field; the broker's limit handling must see each.
TEST(StatusHandOnTest, AContextHeldAtItsLimitWhilePlayingIsDueEveryPass) {
    struct Row {
        const char* what;
        std::int32_t trigger;
        std::int32_t portState;
        float speed;
        bool due;
    };
    const Row rows[] = {
        {"ended, playing at 1x", TmsTriggerEnded, TmsShuttlePlay, 1.0f, true},
        {"ended, playing in reverse", TmsTriggerEnded, TmsShuttlePlay, -2.0f, true},
        {"ended, held at speed 0", TmsTriggerEnded, TmsShuttlePlay, 0.0f, false},
        {"ended, cued", TmsTriggerEnded, TmsCuePlay, 1.0f, false},
        {"not ended, playing", 3, TmsShuttlePlay, 1.0f, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        StatusRecord r{};
        r.triggerStatus = row.trigger;
        r.portState = row.portState;
        r.speed = row.speed;
        CStatusHandOn handOn;
        handOn.Handed(r, 100);
        EXPECT_EQ(handOn.Due(r, 120, 100), row.due);
    }
}

TEST(StatusHandOnTest, AfterForgetTheSameRecordIsDue) {
    const StatusRecord r = RecordOfBytes(0x22);
    CStatusHandOn handOn;
    handOn.Handed(r, 5);
    ASSERT_FALSE(handOn.Due(r, 5, 5));
    handOn.Forget();
    EXPECT_TRUE(handOn.Due(r, 5, 5));
}

// A timeline that keeps what the context hands it, and takes it (S_OK) or
// not (S_FALSE, as for a token it has not registered).
class CKeepingTimeline : public CComObjectBase<ITimeline> {
public:
    HRESULT RegisterContext(unsigned int, ITmsContextBroker*) override { return S_OK; }
    HRESULT ContextStatus(unsigned int, int size, unsigned char* record) override {
        records.emplace_back(record, record + size);
        return take ? S_OK : S_FALSE;
    }
    HRESULT RevokeContext(unsigned int) override { return S_OK; }

    std::vector<std::vector<unsigned char>> records;
    bool take = true;
};

class ContextHandOnTest : public tmstest::RecorderFixture {
protected:
    void SetUp() override {
        RecorderFixture::SetUp();
        m_keeping = MakeComObject<CKeepingTimeline>();
        ASSERT_EQ(m_context->RegisterTimeline(kToken, m_broker, m_keeping, false), S_OK);
        // Cued, so that its last state message is now: the broker's state
        // refresh is a second away, and records are handed on for what
        // they hold.
        ASSERT_EQ(Apply(Change(context_record::kPortState | context_record::kPosition, TmsCuePlay,
                               0.0f, 100, 1000)),
                  S_OK);
        SetRts([](TmsPortContextStatus& s) {
            s.changeId = 7;
            s.triggerStatus = 2;
            s.portState = TmsCuePlay;
            s.position = 100;
            s.recordStart = 0;
            s.recordEnd = 0;
            s.speed = 0.0f;
        });
    }
    void SetRts(const std::function<void(TmsPortContextStatus&)>& change) {
        CRtsChannelWrite block(m_writer, 1);
        ASSERT_TRUE(block);
        change(block->contexts[0]);
        block->tickCount = ++m_tick;
    }
    // One status pass of the context; the records its timeline holds.
    std::size_t Pass() {
        EXPECT_EQ(m_context->PutStatus(++m_cycle, 1), S_OK);
        return m_keeping->records.size();
    }

    CComPtr<CKeepingTimeline> m_keeping;
    std::uint16_t m_cycle = 10;
    std::uint32_t m_tick = 1000;
};

TEST_F(ContextHandOnTest, AChangeInAnyFieldTheRtsReportsIsHandedOn) {
    struct Row {
        const char* field;
        std::size_t offset;  // in the handed record
        std::function<void(TmsPortContextStatus&)> change;
    };
    const Row rows[] = {
        {"changeId", 4, [](TmsPortContextStatus& s) { s.changeId = 8; }},
        {"triggerStatus", 8, [](TmsPortContextStatus& s) { s.triggerStatus = 3; }},
        {"portState", 12, [](TmsPortContextStatus& s) { s.portState = TmsShuttlePlay; }},
        {"port position", 16, [](TmsPortContextStatus& s) { s.position = 101; }},
        {"movie position", 20, [](TmsPortContextStatus& s) { s.position = 102; }},
        {"record start", 24, [](TmsPortContextStatus& s) { s.recordStart = 50; }},
        {"record end", 28, [](TmsPortContextStatus& s) { s.recordEnd = 0x7FFFFFFF; }},
        {"speed", 36, [](TmsPortContextStatus& s) { s.speed = 1.0f; }},
    };
    ASSERT_EQ(Pass(), 1u) << "the first record goes on";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.field);
        const std::size_t before = Pass();
        ASSERT_EQ(before, m_keeping->records.size()) << "unchanged: not handed on again";
        const std::vector<unsigned char> last = m_keeping->records.back();
        SetRts(row.change);
        ASSERT_EQ(Pass(), before + 1);
        const std::vector<unsigned char>& now = m_keeping->records.back();
        ASSERT_EQ(now.size(), sizeof(StatusRecord));
        EXPECT_NE(std::memcmp(now.data() + row.offset, last.data() + row.offset, 4), 0);
    }
    const std::size_t settled = Pass();
    EXPECT_EQ(Pass(), settled);
}

// An unchanged record goes on a second after the context's last state
// message, for the broker's state refresh, and on every pass after that
// until the states have been sent again.
TEST_F(ContextHandOnTest, AnUnchangedRecordIsHandedOnForTheRefreshUntilTheStatesAreSent) {
    ASSERT_EQ(Pass(), 1u);
    EXPECT_EQ(Pass(), 1u);
    m_channel.clock.Advance(CStatusHandOn::kRefreshMs - 1);
    EXPECT_EQ(Pass(), 1u);
    m_channel.clock.Advance(1);
    EXPECT_EQ(Pass(), 2u);
    EXPECT_EQ(m_keeping->records[0], m_keeping->records[1]);
    EXPECT_EQ(Pass(), 3u) << "the states have not been sent again yet";
    ASSERT_EQ(Apply(Change(context_record::kPortState | context_record::kPosition, TmsCuePlay, 0.0f,
                           100, 1000)),
              S_OK);
    EXPECT_EQ(Pass(), 3u) << "states just sent: the next refresh is a second away";
    m_channel.clock.Advance(CStatusHandOn::kRefreshMs);
    EXPECT_EQ(Pass(), 4u);
}

TEST_F(ContextHandOnTest, ARecordTheTimelineDidNotTakeIsHandedOnAgain) {
    m_keeping->take = false;
    ASSERT_EQ(Pass(), 1u);
    EXPECT_EQ(Pass(), 2u);
    m_keeping->take = true;
    EXPECT_EQ(Pass(), 3u);
    EXPECT_EQ(Pass(), 3u);
}

TEST_F(ContextHandOnTest, AReregisteredTimelineGetsItsFirstRecordThoughNothingChanged) {
    ASSERT_EQ(Pass(), 1u);
    ASSERT_EQ(Pass(), 1u);
    // Revoked and registered again, as a timeline closed and reopened or a
    // context freed and allocated again: the same record is its first.
    ASSERT_EQ(m_context->RevokeTimeline(), S_OK);
    ASSERT_EQ(m_context->RegisterTimeline(kToken, m_broker, m_keeping, false), S_OK);
    EXPECT_EQ(Pass(), 2u);
    EXPECT_EQ(m_keeping->records[0], m_keeping->records[1]);
    // Another timeline registered over this one gets its first as well.
    CComPtr<CKeepingTimeline> other = MakeComObject<CKeepingTimeline>();
    ASSERT_EQ(m_context->RegisterTimeline(kToken, m_broker, other, false), S_OK);
    EXPECT_EQ(m_context->PutStatus(++m_cycle, 1), S_OK);
    EXPECT_EQ(other->records.size(), 1u);
    EXPECT_EQ(m_keeping->records.size(), 2u);
}

}  // namespace

namespace {

// The position text is made again only when the position moved: it must
// still follow every move, back to an earlier value too. 525 lines: 30
// frames of 2 fields, no drop frame without a start timecode; the first
// field of a frame reads "." and the second ":".
TEST_F(ContextHandOnTest, ThePositionTextFollowsEveryMoveOfThePosition) {
    struct Row {
        std::int32_t position;
        const char* text;
    };
    const Row rows[] = {
        {100, "00:00:01.20"},  {101, "00:00:01:20"},  {100, "00:00:01.20"}, {100, "00:00:01.20"},
        {3599, "00:00:59:29"}, {3600, "00:01:00.00"}, {0, "00:00:00.00"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("position " + std::to_string(row.position));
        SetRts([&row](TmsPortContextStatus& s) { s.position = row.position; });
        Pass();
        CVariant position, text;
        ASSERT_EQ(m_context->StringToStatus("position", position.GetAddress()), S_OK);
        ASSERT_EQ(position.ToInt32(), row.position);
        ASSERT_EQ(m_context->StringToStatus("positionstr", text.GetAddress()), S_OK);
        EXPECT_EQ(text.ToString(), row.text);
    }
}

// The live figures are read under the status lock alone, the limits under
// the context lock: queries of both kinds race the status pass (which
// writes the figures and hands records on) and changes of the limits.
TEST_F(ContextHandOnTest, ConcurrencyQueriesRaceTheStatusPassAndChanges) {
    constexpr int kRounds = 200;
    std::atomic<bool> failed{false};
    std::atomic<int> changed{0};
    std::thread pass([&] {
        for (int i = 0; i < kRounds; ++i) {
            SetRts([i](TmsPortContextStatus& s) { s.position = 100 + i; });
            if (FAILED(m_context->PutStatus(static_cast<std::uint16_t>(100 + i), 1))) {
                failed = true;
            }
        }
    });
    std::thread change([&] {
        for (int i = 0; i < kRounds; ++i) {
            std::vector<unsigned char> limits =
                tmstest::ChangeRecord(0x0004, TmsCuePlay, 0.0f, 100 + i % 50, 600 + i);
            if (m_context->ApplyContextChange(kToken, limits.data()) == S_OK) {
                ++changed;
            }
        }
    });
    const char* const names[] = {"position", "positionstr", "countdownstr", "portstate",
                                 "maxpos",   "limitlength", "ctxposition"};
    for (int i = 0; i < kRounds; ++i) {
        for (const char* name : names) {
            CVariant v;
            if (m_context->StringToStatus(name, v.GetAddress()) != S_OK) {
                failed = true;
            }
        }
    }
    pass.join();
    change.join();
    EXPECT_FALSE(failed.load());
    EXPECT_GT(changed.load(), 0) << "no change took the context lock's path";
}

}  // namespace
