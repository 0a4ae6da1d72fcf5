// The simulator's scheduled changes, model level: each fires on exactly
// one field however many fields the clock moves at once, and the fired log
// names the field it was due on and the field it fired on.
#include <gtest/gtest.h>

#include <string>

#include "server/rtssim/RtsChannelModel.h"

namespace {

RtsSimChannel Config() {
    RtsSimChannel c;
    c.index = 1;
    c.id = "Chan2";
    c.fieldsPerSecond = 60000.0 / 1001.0;
    return c;
}

// A "schc" as the checker hands it over: a play at speed on context 0
// (-1 for the default context) with the change id.
RtsMessage Schedule(const std::string& name, std::int32_t condition, std::uint32_t trigger,
                    bool cancel = false, std::int32_t context = 0, std::int32_t changeId = -10,
                    float speed = 1.0f) {
    RtsMessage m;
    m.form = RtsFourCc("schc");
    m.hasCtx = true;
    m.ctx.context = context;
    m.ctx.flags = kCtxTrigger | kCtxPortState | kCtxSpeed;
    m.ctx.changeId = changeId;
    m.ctx.trigger = 1;
    m.ctx.portState = TmsShuttlePlay;
    m.ctx.speed = speed;
    m.hasSchedule = true;
    m.schedule.condition = condition;
    m.schedule.triggerValue = trigger;
    m.schedule.name = name;
    m.schedule.cancel = cancel;
    return m;
}

class RtsScheduleTest : public ::testing::Test {
protected:
    void SetUp() override {
        RtsMessage open;
        open.form = RtsFourCc("open");
        m_model.Apply(open);
    }
    // The log entry of name, or null.
    const CRtsChannelModel::Fired* Fired(const std::string& name) const {
        for (const auto& f : m_model.FiredLog()) {
            if (f.name == name) {
                return &f;
            }
        }
        return nullptr;
    }
    CRtsChannelModel m_model{Config()};
};

TEST_F(RtsScheduleTest, ATickChangeFiresOnItsFieldWhateverTheClockStep) {
    struct Row {
        const char* name;
        std::uint32_t ahead;  // fields from now to the trigger
        std::uint32_t step;   // fields the clock moves at once
    };
    const Row rows[] = {{"one field ahead, field by field", 1, 1},
                        {"ahead in steps of 7", 30, 7},
                        {"the step ends on it", 28, 7},
                        {"one big step past it", 5, 400}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::uint32_t due = m_model.Ticks() + row.ahead;
        m_model.Apply(Schedule(row.name, 0, due));
        while (m_model.Ticks() < due + row.step) {
            m_model.Advance(row.step);
        }
        const auto* fired = Fired(row.name);
        ASSERT_NE(fired, nullptr);
        EXPECT_EQ(fired->dueTick, due);
        EXPECT_EQ(fired->firedTick, due);
        EXPECT_EQ(fired->changeId, -10);
        EXPECT_EQ(m_model.HeldChanges(), 0u);
    }
    // The context took the change and reports it with its id.
    RtsChannelBlock block{};
    m_model.Publish(block);
    EXPECT_EQ(block.contexts[0].changeId, static_cast<std::uint32_t>(-10));
    EXPECT_EQ(block.contexts[0].portState, TmsShuttlePlay);
    EXPECT_EQ(block.contexts[0].triggerStatus, TmsTriggerRunning);
}

TEST_F(RtsScheduleTest, LateWrappedCancelledAndReplacedChanges) {
    m_model.Advance(100);
    // Due before it arrived: fires on the next field, late by the log.
    m_model.Apply(Schedule("late", 0, 50));
    m_model.Advance(1);
    ASSERT_NE(Fired("late"), nullptr);
    EXPECT_EQ(Fired("late")->dueTick, 50u);
    EXPECT_EQ(Fired("late")->firedTick, 101u);
    EXPECT_EQ(Fired("late")->receivedTick, 100u);

    // Ahead means less than half the tick count's range ahead, across its
    // wrap too; 0xFFFFFFF0 is 117 fields behind 101, so late.
    m_model.Apply(Schedule("wrapped", 0, 0xFFFFFFF0u));
    m_model.Apply(Schedule("far", 0, m_model.Ticks() + 0x7FFFFFF0u));
    m_model.Advance(1);
    ASSERT_NE(Fired("wrapped"), nullptr);
    EXPECT_EQ(Fired("far"), nullptr);
    EXPECT_EQ(m_model.HeldChanges(), 1u);

    m_model.Apply(Schedule("gone", 0, m_model.Ticks() + 3));
    m_model.Apply(Schedule("gone", 0, 0, true));
    m_model.Apply(Schedule("again", 0, m_model.Ticks() + 3, false, 0, -11, 2.0f));
    m_model.Apply(Schedule("again", 0, m_model.Ticks() + 6, false, 0, -12, 3.0f));
    const std::uint32_t now = m_model.Ticks();
    m_model.Advance(10);
    EXPECT_EQ(Fired("gone"), nullptr);
    ASSERT_NE(Fired("again"), nullptr);
    EXPECT_EQ(Fired("again")->firedTick, now + 6) << "the second replaced the first";
    EXPECT_EQ(Fired("again")->changeId, -12);
    EXPECT_EQ(m_model.HeldChanges(), 1u) << "far is still held";

    // An unnamed "schc" is the GPI input set-up: nothing is held.
    m_model.Apply(Schedule("", 1, 3));
    EXPECT_EQ(m_model.HeldChanges(), 1u);
    // A client's going away drops what it held; the log stays.
    m_model.Reset();
    EXPECT_EQ(m_model.HeldChanges(), 0u);
    EXPECT_NE(Fired("again"), nullptr);
}

TEST_F(RtsScheduleTest, GpiClockAndGangConditions) {
    m_model.Apply(Schedule("gpi", 1, 3));
    m_model.Apply(Schedule("any", 1, 0xFFFFFFFFu, false, 1, -11));
    m_model.Apply(Schedule("default", 2, 4, false, -1, -12, 2.0f));
    m_model.Apply(Schedule("clock", 3, 2000, false, 2, -13));
    m_model.Apply(Schedule("gang", 4, 0x00050003, false, 3, 7));

    // An input already on, switched on again, is no edge; off is none.
    m_model.SetGpiInput(5, false);
    m_model.Advance(1);
    EXPECT_TRUE(m_model.FiredLog().empty());
    const std::uint32_t edge = m_model.Ticks();
    m_model.SetGpiInput(3, true);
    m_model.Advance(1);
    ASSERT_NE(Fired("gpi"), nullptr);
    EXPECT_EQ(Fired("gpi")->dueTick, edge + 1);
    EXPECT_EQ(Fired("gpi")->firedTick, edge + 1);
    ASSERT_NE(Fired("any"), nullptr) << "0xFFFFFFFF: any input";
    EXPECT_EQ(Fired("default"), nullptr);
    m_model.SetGpiInput(3, true);
    m_model.SetGpiInput(4, true);
    const std::int32_t active = m_model.ActiveContext();
    ASSERT_GE(active, 0);
    m_model.Advance(1);
    ASSERT_NE(Fired("default"), nullptr);
    EXPECT_EQ(Fired("default")->context, active) << "the default context acts on the active one";
    EXPECT_EQ(m_model.ContextAt(active).speed, 2.0f);

    m_model.SetHouseClock(1998);
    const std::uint32_t set = m_model.Ticks();
    m_model.Advance(5);
    ASSERT_NE(Fired("clock"), nullptr);
    EXPECT_EQ(Fired("clock")->firedTick, set + 3) << "1998, 1999, 2000";

    m_model.SetGangEvent(3, 4);
    m_model.Advance(1);
    EXPECT_EQ(Fired("gang"), nullptr) << "another operation id";
    const std::uint32_t event = m_model.Ticks();
    m_model.SetGangEvent(3, 5);
    m_model.Advance(3);
    ASSERT_NE(Fired("gang"), nullptr);
    EXPECT_EQ(Fired("gang")->firedTick, event + 1);
    EXPECT_EQ(Fired("gang")->changeId, 7);
    EXPECT_EQ(m_model.HeldChanges(), 0u);
}

}  // namespace
