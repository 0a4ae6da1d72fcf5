// One play context driven through the broker as a client drives it, against
// a tms-rtssim process: a movie of two segments cued, played, shuttled both
// ways, positioned while playing, looped between limits, stopped and
// positioned while stopped. After each step the port is checked as the RTS
// publishes it in its shared memory. Movement is measured over the
// simulator's own field clock (the tick of the same status), never over
// wall-clock time, and every wait polls against a generous deadline.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "server/ipmclient/RtsShmem.h"
#include "tests/channel/ContextFixture.h"
#include "tmschannel/context/ContextRecord.h"

namespace {

using namespace context_record;

// Two media segments of 300 fields; the second starts at 300 with media 0.
constexpr std::int32_t kSegment = 300;
constexpr std::int32_t kLength = 2 * kSegment;
// The loop lies inside the second segment and is entered by a seek to kSeek.
constexpr std::int32_t kIn = 380;
constexpr std::int32_t kOut = 440;
constexpr std::int32_t kSeek = 400;
// Fields a speed is measured over.
constexpr std::uint32_t kSpan = 16;
constexpr auto kDeadline = std::chrono::seconds(5);

using Status = TmsPortContextStatus;

std::int32_t I32(const std::vector<BYTE>& b, std::size_t at) {
    std::int32_t v = 0;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

std::string Describe(const Status& s) {
    char text[128];
    std::snprintf(text, sizeof text, "tick %u state %d position %d speed %.2f trigger %d",
                  s.tickCount, s.portState, s.position, static_cast<double>(s.speed),
                  s.triggerStatus);
    return text;
}

// A "vid " state as the RTS holds it.
struct VideoState {
    std::int32_t start;  // port position
    std::uint16_t file;
    std::int32_t media;
};

class E2eCuePlayTest : public tmstest::ContextFixture {
protected:
    void SetUp() override {
        ContextFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        // The channel repeats the span between a context's limits.
        EditConfig(R"(id="Chan2" channelIndex="1" channelType="Player" loop="false")",
                   R"(id="Chan2" channelIndex="1" channelType="Player" loop="true")");
        ASSERT_EQ(m_channel->RefreshConfig(CBstr("")), S_OK) << LastErrorText();
        ASSERT_TRUE(m_shmem.Open());
    }
    void TearDown() override {
        m_shmem.Close();
        ContextFixture::TearDown();
    }

    void Apply(std::vector<unsigned char> record) {
        ASSERT_EQ(m_broker->ApplyContextChange(m_token, 124, record.data()), S_OK)
            << LastErrorText();
    }

    Status Port() const {
        Status s{};
        EXPECT_TRUE(m_shmem.GetContextStatus(kChannel, static_cast<int>(m_token & 0xFF), &s));
        return s;
    }

    // The port state the component holds for the context.
    std::int32_t CtxPortState() {
        CVariant v;
        EXPECT_EQ(m_channel->GetStatus(m_token, CBstr("ctxportstate"), v.GetAddress()), S_OK)
            << LastErrorText();
        return v.ToInt32();
    }

    // The first status that satisfies done; a failure naming what and the
    // last status seen when the deadline passes first.
    Status WaitFor(const char* what, const std::function<bool(const Status&)>& done) {
        const auto until = std::chrono::steady_clock::now() + kDeadline;
        Status s = Port();
        while (!done(s)) {
            if (std::chrono::steady_clock::now() > until) {
                ADD_FAILURE() << "timed out waiting for " << what << "; last " << Describe(s);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            s = Port();
        }
        return s;
    }

    Status After(const Status& from, std::uint32_t fields) {
        return WaitFor("the clock to move",
                       [&](const Status& s) { return s.tickCount >= from.tickCount + fields; });
    }

    // Waits for the port to run at speed, then measures it over kSpan
    // fields of the simulator's clock.
    std::pair<Status, Status> Measure(float speed) {
        const Status a = WaitFor("the new speed", [&](const Status& s) {
            return s.portState == TmsShuttlePlay && s.speed == speed;
        });
        return {a, After(a, kSpan)};
    }

    // The video states sent since the last Forget, in port order.
    std::vector<VideoState> VideoStates() const {
        std::vector<VideoState> out;
        for (const auto& m : ReceivedForm("sbuf")) {
            for (int n = 0;; ++n) {
                const auto body = m.Chunk(rts::kChunkVideo, n);
                if (body.size() != sizeof(rts::VideoStateRecord)) {
                    break;
                }
                out.push_back({I32(body, 0), static_cast<std::uint16_t>(body[4] | body[5] << 8),
                               I32(body, 8)});
            }
        }
        std::stable_sort(out.begin(), out.end(),
                         [](const auto& a, const auto& b) { return a.start < b.start; });
        return out;
    }

    CRtsShmem m_shmem;
    unsigned m_token = 0;
};

// The media position played at port position p: the latest state starting
// at or before it, then on at one field a field (-1 before the first).
std::int32_t MediaAt(const std::vector<VideoState>& states, std::int32_t p) {
    std::int32_t media = -1;
    for (const auto& s : states) {
        if (s.start <= p) {
            media = s.media + (p - s.start);
        }
    }
    return media;
}

TEST_F(E2eCuePlayTest, CuePlayShuttleSeekLoopAndStopAsTheRtsReportsThem) {
    CComPtr<IUnknown> timeline;
    const std::uint16_t code = Create("two", false, 0, &timeline);
    CComPtr<IMovie> movie = MovieOf(timeline);
    const std::int32_t track = VideoTrackType();
    for (int i = 0; i < 2; ++i) {
        unsigned short segment = 0;
        ASSERT_EQ(movie->AppendSegment(track, 0, 0, kSegment, 4, nullptr, &segment), S_OK);
    }
    m_token = Alloc(code);

    // Cue at 0: the port holds there; both segments' media are opened.
    Forget();
    Apply(Change(kPortState | kPosition, TmsCuePlay, 0.0f, 0, kLength));
    Status s = WaitFor("CuePlay", [](const Status& s) { return s.portState == TmsCuePlay; });
    EXPECT_EQ(s.position, 0);
    EXPECT_EQ(CtxPortState(), TmsCuePlay);
    int opened = 0;
    for (const auto& m : ReceivedForm("sbuf")) {
        while (!m.Chunk(rts::kChunkFileWrite, opened).empty()) {
            ++opened;
        }
    }
    EXPECT_EQ(opened, 2);

    // Play at 1x: forward one field a field.
    Apply(Change(kPortState | kSpeed, TmsShuttlePlay, 1.0f, 0, kLength));
    const auto [p1, p2] = Measure(1.0f);
    EXPECT_NEAR(p2.position - p1.position, static_cast<double>(p2.tickCount - p1.tickCount), 1.0)
        << Describe(p1) << " / " << Describe(p2);
    EXPECT_EQ(CtxPortState(), TmsShuttlePlay);
    // Room for the reverse to be measured before it meets 0.
    const Status played =
        WaitFor("position 120", [](const Status& s) { return s.position >= 120; });

    // Shuttle at -2x: back two fields a field (unless it met the start). The
    // reverse list has to start where the port is, not where it was cued.
    Forget();
    Apply(Change(kPortState | kSpeed, TmsShuttlePlay, -2.0f, 0, kLength));
    const auto reverseStates = VideoStates();
    ASSERT_FALSE(reverseStates.empty());
    EXPECT_GE(reverseStates.back().start, played.position - 2)
        << "the -2x list's last state is at port " << reverseStates.back().start
        << " while the port was at " << played.position << " when the change was applied";
    const auto [r1, r2] = Measure(-2.0f);
    EXPECT_LE(r1.position, played.position + 1) << Describe(r1);
    EXPECT_LT(r2.position, r1.position) << Describe(r2);
    if (r2.position > 0) {
        EXPECT_NEAR(r1.position - r2.position, 2.0 * (r2.tickCount - r1.tickCount), 1.0)
            << Describe(r1) << " / " << Describe(r2);
    }

    // Shuttle at 0.5x: forward again, slower than the reverse ran.
    Apply(Change(kPortState | kSpeed, TmsShuttlePlay, 0.5f, 0, kLength));
    const auto [h1, h2] = Measure(0.5f);
    EXPECT_GT(h2.position, h1.position) << Describe(h1) << " / " << Describe(h2);
    EXPECT_NEAR(h2.position - h1.position, 0.5 * (h2.tickCount - h1.tickCount), 1.0);
    const double reverse =
        static_cast<double>(r1.position - r2.position) / (r2.tickCount - r1.tickCount);
    const double slow =
        static_cast<double>(h2.position - h1.position) / (h2.tickCount - h1.tickCount);
    EXPECT_GT(reverse, slow);

    // Seek while playing: the port jumps there and plays on from it, no
    // further than half a field a field since.
    const Status before = Port();
    Apply(Change(kPosition, 0, 0.5f, kSeek, kLength));
    s = WaitFor("the seek", [](const Status& s) { return s.position >= kSeek; });
    EXPECT_LE(s.position, kSeek + 1 + static_cast<std::int32_t>(s.tickCount - before.tickCount) / 2)
        << Describe(before) << " / " << Describe(s);
    EXPECT_EQ(s.portState, TmsShuttlePlay);

    // Limits at 1x on the looping channel: the RTS runs on through OUT, more
    // than a loop's length, while what it plays stays in [IN, OUT]. The loop
    // is all in the second segment: one file, movie = 300 + media.
    Forget();
    auto limits = Change(kStartLimit | kEndLimit | kSpeed, 0, 1.0f, 0, kLength);
    std::memcpy(&limits[88], &kIn, 4);
    std::memcpy(&limits[92], &kOut, 4);
    Apply(limits);
    const auto loop = VideoStates();
    ASSERT_FALSE(loop.empty());
    for (const auto& state : loop) {
        EXPECT_EQ(state.file, loop.front().file) << "state at " << state.start;
    }
    const Status entered = Measure(1.0f).first;
    Status outside{};
    std::int32_t outsideAt = -1;
    s = WaitFor("a loop", [&](const Status& s) {
        const std::int32_t m = kSegment + MediaAt(loop, s.position);
        if ((m < kIn || m > kOut) && outsideAt < 0) {
            outside = s;
            outsideAt = m;
        }
        return s.position >= entered.position + (kOut - kIn) + 10;
    });
    EXPECT_EQ(outsideAt, -1) << "plays " << outsideAt << " at " << Describe(outside);
    EXPECT_EQ(s.speed, 1.0f) << Describe(s);
    EXPECT_EQ(s.triggerStatus, TmsTriggerRunning) << Describe(s);

    // Stop: the port holds where it is, still in play.
    Apply(Change(kStop, 0, 0.0f, 0, kLength));
    const Status stopped = WaitFor("speed 0", [](const Status& s) { return s.speed == 0.0f; });
    s = After(stopped, kSpan);
    EXPECT_EQ(s.position, stopped.position) << Describe(stopped) << " / " << Describe(s);
    EXPECT_EQ(s.portState, TmsShuttlePlay);
    EXPECT_EQ(CtxPortState(), TmsShuttlePlay);

    // A seek while stopped lands on the position and stays there. The port
    // has counted on through the loops, so the movie position is what the
    // context reports from the port's.
    constexpr std::int32_t kPaused = kSeek + 10;
    Apply(Change(kPosition, 0, 0.0f, kPaused, kLength));
    auto moviePosition = [this] {
        CVariant v;
        EXPECT_EQ(m_channel->GetStatus(m_token, CBstr("position"), v.GetAddress()), S_OK)
            << LastErrorText();
        return v.ToInt32();
    };
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (moviePosition() != kPaused && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const Status sought = Port();
    s = After(sought, kSpan);
    EXPECT_EQ(s.position, sought.position) << Describe(s);
    EXPECT_EQ(moviePosition(), kPaused);

    ASSERT_EQ(m_channel->FreeContext(m_token), S_OK) << LastErrorText();
    WaitFor("Idle", [](const Status& s) { return s.portState == TmsIdle; });
}

}  // namespace
