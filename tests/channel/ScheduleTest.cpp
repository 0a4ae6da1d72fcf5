// Scheduled changes end to end against the simulator: each fires on the
// field its condition names, as the simulator's fired log shows (the field
// asked for against the field fired on), and the context takes it up.
#include <atomic>
#include <map>
#include <sstream>
#include <thread>

#include "tests/channel/ContextFixture.h"

namespace {

struct FiredEntry {
    std::string name;
    unsigned due = 0;
    unsigned at = 0;
    int id = 0;
};

// The whole fired log of a channel, page by page.
std::map<std::string, FiredEntry> FiredLog(int channel, std::size_t* held = nullptr) {
    std::map<std::string, FiredEntry> out;
    std::size_t total = 1;
    for (std::size_t from = 0; from < total;) {
        std::istringstream page(
            tmstest::SimControl("fired " + std::to_string(channel) + " " + std::to_string(from)));
        std::string word;
        std::size_t heldNow = 0;
        page >> word >> total >> word >> heldNow;
        if (held != nullptr) {
            *held = heldNow;
        }
        std::size_t lines = 0;
        for (std::string line; std::getline(page, line);) {
            if (line.empty()) {
                continue;
            }
            std::istringstream l(line);
            std::size_t index = 0;
            FiredEntry e;
            std::string cond, due, at;
            l >> index >> e.name >> cond >> due >> at;
            e.due = static_cast<unsigned>(std::stoul(due.substr(4)));
            e.at = static_cast<unsigned>(std::stoul(at.substr(3)));
            const std::size_t id = line.find(" id=");
            e.id = std::stoi(line.substr(id + 4));
            out[e.name] = e;
            ++lines;
        }
        if (lines == 0) {
            break;
        }
        from += lines;
    }
    return out;
}

unsigned SimTick(int channel) {
    const std::string status = tmstest::SimControl("status " + std::to_string(channel));
    const std::size_t at = status.find(" tick ");
    return at == std::string::npos ? 0 : static_cast<unsigned>(std::stoul(status.substr(at + 6)));
}

class ScheduleTest : public tmstest::ContextFixture {
protected:
    HRESULT Schedule(ITmsContextBroker* broker, unsigned token, const std::string& name,
                     TmsPortContextCondition condition, unsigned trigger, bool cancel,
                     float speed) {
        auto change = Change(0x0104, TmsShuttlePlay, speed);
        return broker->ApplyScheduledChange(token, CBstr(name), condition, trigger, cancel ? 1 : 0,
                                            124, change.data());
    }
    unsigned CuedContext(ITmsChannel* channel, ITmsContextBroker* broker) {
        unsigned short code = 0;
        CComPtr<IUnknown> t;
        GUID iid = IID_IUnknown;
        EXPECT_EQ(channel->CreateTimeline(CBstr("ds"), CBstr("grp"),
                                          CBstr("sched" + std::to_string(++m_movies)), TRUE, 100000,
                                          &code, &iid, reinterpret_cast<void**>(&t)),
                  S_OK)
            << LastErrorText();
        unsigned token = 0;
        EXPECT_EQ(channel->AllocateContext(code, &token), S_OK) << LastErrorText();
        auto cue = Change(0x000C, TmsCuePlay, 0.0f);
        EXPECT_EQ(broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
        return token;
    }
    int m_movies = 0;
};

TEST_F(ScheduleTest, FiftyTickChangesOnTwoChannelsFireEachOnItsField) {
    CComPtr<ITmsChannel> other = NewChannel();
    ASSERT_EQ(OpenIndex(other, 0), S_OK) << LastErrorText();
    CComPtr<ITmsContextBroker> otherBroker;
    ASSERT_EQ(other->QueryInterface(IID_ITmsContextBroker, reinterpret_cast<void**>(&otherBroker)),
              S_OK);
    const unsigned tokens[2] = {CuedContext(other, otherBroker), CuedContext(m_channel, m_broker)};
    ITmsContextBroker* brokers[2] = {otherBroker, m_broker};

    // Scheduled on a held clock, so that every change is held before its
    // field comes; then the clock runs and the simulator fires them.
    ASSERT_EQ(tmstest::SimControl("clock hold"), "ok");
    std::map<std::string, unsigned> asked[2];
    float last[2] = {0, 0};
    for (int ch = 0; ch < 2; ++ch) {
        const unsigned now = SimTick(ch);
        ASSERT_NE(now, 0u);
        for (int i = 0; i < 25; ++i) {
            const std::string name = "c" + std::to_string(ch) + "-" + std::to_string(i);
            const unsigned due = now + 10 + static_cast<unsigned>(i) * 190 / 24;
            last[ch] = static_cast<float>(1 + i % 3);
            ASSERT_EQ(
                Schedule(brokers[ch], tokens[ch], name, TmsCtxAtTickcount, due, false, last[ch]),
                S_OK)
                << name << ": " << LastErrorText();
            asked[ch][name] = due;
        }
    }
    // A cancelled change never fires.
    const unsigned cancelAt = SimTick(1) + 50;
    ASSERT_EQ(Schedule(m_broker, tokens[1], "never", TmsCtxAtTickcount, cancelAt, false, 4.0f),
              S_OK);
    ASSERT_EQ(Schedule(m_broker, tokens[1], "never", TmsCtxAtTickcount, 0, true, 0.0f), S_OK);
    ASSERT_EQ(tmstest::SimControl("clock run"), "ok");

    for (int ch = 0; ch < 2; ++ch) {
        SCOPED_TRACE("channel " + std::to_string(ch));
        ASSERT_TRUE(tmstest::Eventually([&] { return FiredLog(ch).size() == 25; },
                                        std::chrono::seconds(30)));
        std::size_t held = 99;
        const auto log = FiredLog(ch, &held);
        EXPECT_EQ(held, 0u);
        EXPECT_EQ(log.count("never"), 0u);
        for (const auto& [name, due] : asked[ch]) {
            SCOPED_TRACE(name);
            ASSERT_EQ(log.count(name), 1u);
            EXPECT_EQ(log.at(name).due, due);
            EXPECT_EQ(log.at(name).at, due) << "fired on another field than asked";
            EXPECT_LE(log.at(name).id, -10);
        }
        // The context follows the last change fired.
        ITmsChannel* channel = ch == 0 ? other.Get() : m_channel.Get();
        EXPECT_TRUE(tmstest::Eventually([&] {
            CVariant speed;
            return channel->GetStatus(tokens[ch], CBstr("ctxshuttlespeed"), speed.GetAddress()) ==
                       S_OK &&
                   speed.ToFloat() == last[ch];
        }));
    }
    other->Close();
}

TEST_F(ScheduleTest, AGpiChangeFiresOnTheFieldAfterTheEdge) {
    const unsigned token = CuedContext(m_channel, m_broker);
    ASSERT_EQ(tmstest::SimControl("clock hold"), "ok");
    ASSERT_EQ(Schedule(m_broker, token, "ongpi", TmsCtxAtGpi, 2, false, 1.0f), S_OK);
    ASSERT_EQ(tmstest::SimControl("clock step 3"), "ok");
    EXPECT_TRUE(FiredLog(1).empty()) << "nothing fires before the edge";
    const unsigned edge = SimTick(1);
    ASSERT_EQ(tmstest::SimControl("gpi 1 3 on"), "ok");
    ASSERT_EQ(tmstest::SimControl("gpi 1 2 on"), "ok");
    ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
    const auto log = FiredLog(1);
    ASSERT_EQ(log.count("ongpi"), 1u);
    EXPECT_EQ(log.at("ongpi").due, edge + 1);
    EXPECT_EQ(log.at("ongpi").at, edge + 1);
    EXPECT_EQ(log.at("ongpi").id, -10);
}

TEST_F(ScheduleTest, UnknownTokenAndShortRecordAreRefused) {
    auto change = Change(0x0104, TmsShuttlePlay, 1.0f);
    EXPECT_EQ(m_broker->ApplyScheduledChange(0x12345, CBstr("x"), TmsCtxAtTickcount, 1, 0, 124,
                                             change.data()),
              HR(0x80045224));
    EXPECT_NE(LastErrorText().find("Could not find context 0x12345"), std::string::npos);
    const unsigned token = CuedContext(m_channel, m_broker);
    EXPECT_EQ(m_broker->ApplyScheduledChange(token, CBstr("x"), TmsCtxAtTickcount, 1, 0, 100,
                                             change.data()),
              E_INVALIDARG);
}

TEST_F(ScheduleTest, ClockGangAndDefaultContextChangesFireOnTheirField) {
    const unsigned token = CuedContext(m_channel, m_broker);
    ASSERT_EQ(tmstest::SimControl("clock hold"), "ok");
    ASSERT_EQ(tmstest::SimControl("houseclock 1000"), "ok");
    // The house clock reads 1000 on the next field and counts on from there.
    const unsigned start = SimTick(1);
    ASSERT_EQ(Schedule(m_broker, token, "clock", TmsCtxAtClockWatcher, 1004, false, 1.0f), S_OK);
    ASSERT_EQ(Schedule(m_broker, token, "gang", TmsCtxAtGangWatcher, 0x00050003, false, 2.0f),
              S_OK);
    ASSERT_EQ(Schedule(m_broker, token, "default", TmsCtxDefaultAtGpi, 4, false, 3.0f), S_OK);
    // A second schedule under a held name replaces the first.
    ASSERT_EQ(Schedule(m_broker, token, "default", TmsCtxDefaultAtGpi, 5, false, 3.0f), S_OK);
    ASSERT_EQ(tmstest::SimControl("clock step 5"), "ok");
    auto log = FiredLog(1);
    ASSERT_EQ(log.count("clock"), 1u);
    EXPECT_EQ(log.at("clock").at, start + 5);
    EXPECT_EQ(log.count("gang"), 0u);

    ASSERT_EQ(tmstest::SimControl("gang 1 3 4"), "ok") << "another operation id";
    ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
    EXPECT_EQ(FiredLog(1).count("gang"), 0u);
    ASSERT_EQ(tmstest::SimControl("gang 1 3 5"), "ok");
    ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
    log = FiredLog(1);
    ASSERT_EQ(log.count("gang"), 1u);
    EXPECT_EQ(log.at("gang").at, start + 7);
    EXPECT_EQ(log.at("gang").due, start + 7);
    EXPECT_GT(log.at("gang").id, 0) << "an ordinary change id";

    ASSERT_EQ(tmstest::SimControl("gpi 1 4 on"), "ok");
    ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
    EXPECT_EQ(FiredLog(1).count("default"), 0u) << "replaced: now on input 5";
    ASSERT_EQ(tmstest::SimControl("gpi 1 5 on"), "ok");
    ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
    std::size_t held = 99;
    log = FiredLog(1, &held);
    ASSERT_EQ(log.count("default"), 1u);
    EXPECT_EQ(log.at("default").at, start + 9);
    EXPECT_EQ(held, 0u);
    const std::string status = tmstest::SimControl("status 1");
    EXPECT_NE(status.find("context 0 "), std::string::npos) << status;
    EXPECT_NE(status.find("speed 3.000"), std::string::npos)
        << "the default context's change acted on the active context: " << status;
}

using ScheduleConcurrencyTest = ScheduleTest;

TEST_F(ScheduleConcurrencyTest, SchedulesOnTwoContextsWhilePropertiesChange) {
    // Two clients schedule and cancel on their own contexts while a third
    // changes channel settings (a loop change purges every context); none
    // fires (all far ahead), each context's ids run -10, -11, ... in the
    // order its messages reached the RTS, and every cancel removed its change.
    const unsigned tokens[2] = {CuedContext(m_channel, m_broker), CuedContext(m_channel, m_broker)};
    const unsigned far = SimTick(1) + 1000000;
    constexpr int kRounds = 40;
    std::atomic<int> failures{0};
    auto client = [&](int which) {
        for (int i = 0; i < kRounds; ++i) {
            const std::string name = "t" + std::to_string(which) + "-" + std::to_string(i);
            if (Schedule(m_broker, tokens[which], name, TmsCtxAtTickcount, far, false, 1.0f) !=
                    S_OK ||
                Schedule(m_broker, tokens[which], name, TmsCtxAtTickcount, far, true, 1.0f) !=
                    S_OK) {
                ++failures;
            }
        }
    };
    auto settings = [&] {
        for (int i = 0; i < kRounds; ++i) {
            CVariant loop(i % 2 == 0);
            CVariant bin(std::string("bin") + std::to_string(i));
            CVariant read;
            if (m_channel->SetChannelProperty(CBstr("loopplayback"), loop.GetVARIANT()) != S_OK ||
                m_channel->SetChannelProperty(CBstr("workingbin"), bin.GetVARIANT()) != S_OK ||
                m_channel->GetChannelProperty(CBstr("workingbin+loopplayback+etoe"),
                                              read.GetAddress()) != S_OK) {
                ++failures;
            }
        }
    };
    Forget();
    {
        std::thread a(client, 0), b(client, 1), c(settings);
        a.join();
        b.join();
        c.join();
    }
    EXPECT_EQ(failures.load(), 0) << LastErrorText();
    std::size_t held = 99;
    EXPECT_TRUE(FiredLog(1, &held).empty());
    EXPECT_EQ(held, 0u);
    std::int32_t next[2] = {-10, -10};
    int seen[2] = {0, 0};
    for (const auto& m : ReceivedForm("schc")) {
        const auto ctx = m.ChunkAs<rts::PortContextRecord>(rts::kChunkContext);
        const auto schedule = m.ChunkAs<rts::ScheduleRecord>(rts::kChunkSchedule);
        const int which = ctx.contextIndex == static_cast<std::int32_t>(tokens[0] & 0xFF) ? 0 : 1;
        EXPECT_EQ(static_cast<std::int32_t>(ctx.changeId), next[which])
            << rts::GetNarrow(schedule.name);
        --next[which];
        ++seen[which];
    }
    EXPECT_EQ(seen[0], 2 * kRounds);
    EXPECT_EQ(seen[1], 2 * kRounds);
}

}  // namespace
