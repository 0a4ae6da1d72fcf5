// Contexts and timelines through the channel, against tms-rtssim and the
// timeline component: tokens, allocation and freeing, the broker's answers
// for tokens that match nothing, timelines created, opened, closed and
// extended, and what the RTS is told when a context is revoked.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/com/VariantArray.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/IMovieBuilder.h"
#include "server/timeline/ITimeline.h"
#include "server/timeline/ITimelineControl.h"
#include "tests/channel/ContextFixture.h"
#include "tests/frame/LogLines.h"

namespace {

constexpr HRESULT kNotFound = HR(0x80045224);
constexpr HRESULT kOffline = HR(0x8004301a);
constexpr HRESULT kStatusNotFound = HR(0x80045221);
constexpr std::uint32_t kChannel = tmstest::ContextFixture::kChannel;

using ContextTest = tmstest::ContextFixture;

constexpr unsigned Token(std::uint16_t code, unsigned index) {
    return (kChannel << 16) | (static_cast<unsigned>(code) << 8) | index;
}

TEST_F(ContextTest, TokensFollowIndexOrderAndAFifthAllocationIsRefused) {
    const std::uint16_t code = Create("tokens");
    ASSERT_GT(code, 0);
    // Bit 15 only asks for the movie status: the code and token stay.
    const std::uint16_t asked[] = {code, static_cast<std::uint16_t>(code | 0x8000), code, code};
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(Alloc(asked[i]), Token(code, i)) << "allocation " << i;
    }
    Alloc(code, kNotFound);
    EXPECT_EQ(LastErrorText(), "Could not find an available context for channel 'Chan2'");

    // The lowest free index is taken again.
    ASSERT_EQ(m_channel->FreeContext(Token(code, 0)), S_OK);
    EXPECT_EQ(Alloc(code), Token(code, 0));
    ASSERT_EQ(m_channel->FreeContext(Token(code, 2)), S_OK);
    EXPECT_EQ(Alloc(code), Token(code, 2));
}

TEST_F(ContextTest, TokensAndCodesThatMatchNothing) {
    const std::uint16_t code = Create("nothing");
    const unsigned token = Alloc(code);
    const unsigned stranger = Token(code, 3);

    Alloc(77, kNotFound);
    EXPECT_EQ(LastErrorText(), "Could not find timeline code 77 in channel 'Chan2'");
    EXPECT_EQ(m_channel->CloseTimeline(77), kNotFound);
    EXPECT_EQ(LastErrorText(), "Could not find timeline code 77 in channel 'Chan2'");

    unsigned char update[40] = {};
    unsigned char change[124] = {};
    long playing = 7;
    struct Case {
        const char* what;
        HRESULT got;
        HRESULT expected;
    };
    const Case cases[] = {
        {"free unknown", m_channel->FreeContext(stranger), S_OK},
        {"update unknown", m_broker->ApplyContextUpdate(stranger, 40, update), S_FALSE},
        {"wait unknown", m_channel->WaitForPortState(stranger, TmsIdle, 100), S_FALSE},
        {"change unknown", m_broker->ApplyContextChange(stranger, 124, change), kNotFound},
        {"playing unknown", m_broker->IsPlaying(stranger, &playing), kNotFound},
        {"update short", m_broker->ApplyContextUpdate(token, 39, update), E_INVALIDARG},
        {"update null", m_broker->ApplyContextUpdate(token, 40, nullptr), E_INVALIDARG},
        {"update long", m_broker->ApplyContextUpdate(token, 400, update), S_OK},
        {"change short", m_broker->ApplyContextChange(token, 123, change), E_INVALIDARG},
        {"change null", m_broker->ApplyContextChange(token, 124, nullptr), E_INVALIDARG},
        {"free", m_channel->FreeContext(token), S_OK},
        {"free twice", m_channel->FreeContext(token), S_OK},
        {"free zero", m_channel->FreeContext(0), S_OK},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got, c.expected) << c.what;
    }
    EXPECT_EQ(playing, 0);
}

TEST_F(ContextTest, AContextWithAPendingTriggerIsSkipped) {
    const std::uint16_t code = Create("trigger");
    ASSERT_EQ(tmstest::SimControl("context 1 0 0 2"), "ok");
    // Published with the simulator's next field.
    CRtsShmem shmem;
    ASSERT_TRUE(shmem.Open());
    TmsPortContextTriggerStatus trigger{};
    for (int i = 0; i < 200 && (!shmem.GetTriggerStatus(kChannel, 0, &trigger) || trigger != 2);
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(trigger, 2);
    EXPECT_EQ(Alloc(code), Token(code, 1));
    EXPECT_EQ(Alloc(code), Token(code, 2));
}

TEST_F(ContextTest, AnOfflineChannelRefusesAllocation) {
    const std::uint16_t code = Create("offline");
    CChanAccess access(kChannel);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    ASSERT_EQ(access.SetSysOffline(true), S_OK);
    Alloc(code, kOffline);
    EXPECT_EQ(LastErrorText(), "Channel 1 is offline, cannot allocate context 0");
    ASSERT_EQ(access.SetSysOffline(false), S_OK);
    EXPECT_EQ(Alloc(code), Token(code, 0));
    access.Close();
}

TEST_F(ContextTest, ClosingATimelineRevokesEveryContextOnItAndFreesTheCode) {
    const std::uint16_t first = Create("shared");
    const std::uint16_t other = Create("other");
    const unsigned a = Alloc(first);
    const unsigned b = Alloc(other);
    const unsigned c = Alloc(first);
    Forget();
    ASSERT_EQ(m_channel->CloseTimeline(first), S_OK) << LastErrorText();

    // Each revoked context is cleared on the RTS: "cctx" with one 56-byte
    // "ctx " chunk naming the context, every other word 0.
    const auto cleared = ReceivedForm("cctx");
    ASSERT_EQ(cleared.size(), 2u);
    for (std::size_t i = 0; i < cleared.size(); ++i) {
        const auto body = cleared[i].Chunk(rts::kChunkContext);
        ASSERT_EQ(body.size(), 56u);
        std::vector<BYTE> expected(56, 0);
        expected[0] = static_cast<BYTE>(i == 0 ? a & 0xFF : c & 0xFF);
        EXPECT_EQ(body, expected);
    }
    CVariant v;
    EXPECT_EQ(m_channel->GetStatus(a, CBstr("assigned"), v.GetAddress()), kNotFound);
    EXPECT_EQ(m_channel->GetStatus(c, CBstr("assigned"), v.GetAddress()), kNotFound);
    EXPECT_EQ(m_channel->GetStatus(b, CBstr("assigned"), v.GetAddress()), S_OK);
    // The code is free again; the movie is closed once and opens again.
    EXPECT_EQ(m_channel->CloseTimeline(first), kNotFound);
    unsigned short code = 0;
    CComPtr<IUnknown> t;
    GUID iid = IID_IUnknown;
    ASSERT_EQ(m_channel->OpenTimeline(CBstr("ds"), CBstr("grp"), CBstr("shared"), &code, &iid,
                                      reinterpret_cast<void**>(&t)),
              S_OK)
        << LastErrorText();
    EXPECT_EQ(code, first);
}

TEST_F(ContextTest, RevokingAnActiveContextStopsItBeforeTheTimelineIsTold) {
    const std::uint16_t code = Create("active");
    const unsigned token = Alloc(code);
    long playing = 7;
    EXPECT_EQ(m_broker->IsPlaying(token, &playing), S_OK);
    EXPECT_EQ(playing, 0) << "allocated but not active on the RTS";

    ASSERT_EQ(tmstest::SimControl("context 1 0 2 3"), "ok");
    ASSERT_EQ(m_channel->WaitForPortState(token, TmsShuttlePlay, 2000), S_OK);
    Forget();
    ASSERT_EQ(m_channel->FreeContext(token), S_OK) << LastErrorText();
    const auto got = Received();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[0].FormName(), "sbuf");
    rts::PortContextRecord idle{};
    const auto body = got[0].Chunk(rts::kChunkContext);
    ASSERT_EQ(body.size(), sizeof idle);
    std::memcpy(&idle, body.data(), sizeof idle);
    EXPECT_EQ(idle.contextIndex, 0);
    EXPECT_EQ(idle.flags, 0x0004u);
    EXPECT_EQ(idle.portState, TmsIdle);
    EXPECT_EQ(idle.trigger, 1);
    EXPECT_EQ(got.back().FormName(), "cctx");
    EXPECT_EQ(m_channel->WaitForPortState(token, TmsIdle, 0), S_FALSE) << "token is free";
}

TEST_F(ContextTest, WaitTimesOutWithTheLoggedLine) {
    const unsigned token = Alloc(Create("wait"));
    EXPECT_EQ(m_channel->WaitForPortState(token, TmsIdle, 0), S_FALSE) << "0 times out at once";
    EXPECT_EQ(m_channel->WaitForPortState(token, TmsCuePlay, 100), S_FALSE);
    EXPECT_EQ(m_channel->WaitForPortState(token, TmsIdle, 1000), S_OK);
    bool logged = false;
    for (const auto& r : tmstest::ReadLog()) {
        logged = logged || r.text.find(
                               "Ch1,Cxt0:WaitForPortState timed out waiting for state to "
                               "go from 0 to 1") != std::string::npos;
    }
    EXPECT_TRUE(logged);
}

TEST_F(ContextTest, StatusQueriesSplitLowerAndDispatch) {
    const unsigned token = Alloc(Create("status"));
    struct Case {
        unsigned token;
        const char* query;
        HRESULT hr;
        VARTYPE vt;
        const char* error;
    };
    const Case cases[] = {
        {token, "assigned", S_OK, VT_BOOL, ""},
        {token, " Assigned ", S_OK, VT_BOOL, ""},
        {token, "assigned+ctxportstate", S_OK, VT_ARRAY | VT_VARIANT, ""},
        {token, "assigned|ctxportstate,assigned", S_OK, VT_ARRAY | VT_VARIANT, ""},
        {0, "assigned", S_OK, VT_BOOL, ""},
        {token, "", E_INVALIDARG, VT_EMPTY, "Status query cannot be empty"},
        {token, " + ", E_INVALIDARG, VT_EMPTY, "Status query cannot be empty"},
        {token, "assigned+NoSuch", kStatusNotFound, VT_EMPTY,
         "Chan2: Could not find status 'nosuch'"},
        {0x12345, "assigned", kNotFound, VT_EMPTY, "Chan2:Could not find context 0x12345"},
    };
    for (const auto& c : cases) {
        CVariant v;
        EXPECT_EQ(m_channel->GetStatus(c.token, CBstr(c.query), v.GetAddress()), c.hr) << c.query;
        EXPECT_EQ(v.GetVARIANT().vt, c.vt) << c.query;
        if (c.hr != S_OK) {
            EXPECT_EQ(LastErrorText(), c.error) << c.query;
        }
    }
    CVariant v;
    ASSERT_EQ(m_channel->GetStatus(token, CBstr("assigned+assigned"), v.GetAddress()), S_OK);
    const auto values = ReadVariantArray(v.GetVARIANT());
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].GetVARIANT().boolVal, VARIANT_TRUE);
    // Token 0 names no context: the values of a free one, after the sources
    // that exist (the video resource answers its format first).
    CVariant defaults;
    ASSERT_EQ(m_channel->GetStatus(0, CBstr("Assigned+endmode+videoformatstr+positionstr"),
                                   defaults.GetAddress()),
              S_OK);
    const auto d = ReadVariantArray(defaults.GetVARIANT());
    ASSERT_EQ(d.size(), 4u);
    EXPECT_EQ(d[0].GetVARIANT().boolVal, VARIANT_FALSE);
    EXPECT_EQ(d[1].ToInt32(), 3);
    EXPECT_EQ(d[2].ToString(), "Format525_60Hz_2To1");
    EXPECT_EQ(d[3].ToString(), "xx:xx:xx:xx");
}

TEST_F(ContextTest, InterfacesTheTimelineOrBuilderDoNotOfferAreRefused) {
    unsigned short code = 0;
    void* out = reinterpret_cast<void*>(1);
    GUID iid = IID_ITmsChannel;
    EXPECT_EQ(m_channel->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr("refused"), FALSE, 0,
                                        &code, &iid, &out),
              E_NOINTERFACE);
    EXPECT_EQ(LastErrorText(), "Timeline does not implement requested interface");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, nullptr);
    // The code the client never got was given back.
    EXPECT_EQ(Create("accepted"), 1);
    EXPECT_EQ(
        m_channel->OpenTimeline(CBstr("ds"), CBstr("grp"), CBstr("accepted"), &code, &iid, &out),
        E_NOINTERFACE);
    EXPECT_EQ(Create("accepted-too"), 2);

    EXPECT_EQ(m_channel->GetMovieBuilder(&iid, &out), E_NOINTERFACE);
    EXPECT_EQ(LastErrorText(), "MovieBuilder does not implement requested interface");
    GUID builderIid = IID_IMovieBuilder;
    CComPtr<IMovieBuilder> builder;
    EXPECT_EQ(m_channel->GetMovieBuilder(&builderIid, reinterpret_cast<void**>(&builder)), S_OK);
    CBstr suite;
    ASSERT_TRUE(builder);
    EXPECT_EQ(builder->GetSuite(&suite), S_OK);
}

TEST_F(ContextTest, ExtendingAFreshMovieReplacesTheRecordSegment) {
    CComPtr<IUnknown> timeline;
    Create("fresh", true, 10, &timeline);
    ASSERT_EQ(m_channel->ExtendTimeline(timeline, 0, 900), S_OK) << LastErrorText();
    CComPtr<IMovie> movie = MovieOf(timeline);
    const std::int32_t type = VideoTrackType();
    unsigned short segment = 0;
    ASSERT_EQ(movie->GetLastSegment(type, 0, 0, -1, &segment), S_OK);
    EXPECT_EQ(movie->GetLastSegment(type, 0, 0, -2, &segment), S_FALSE) << "one segment only";
    ASSERT_EQ(movie->GetLastSegment(type, 0, 0, -1, &segment), S_OK);
    long fileType = 0, in = 0, out = 0, duration = 0;
    CBstr name;
    ASSERT_EQ(
        movie->GetSegmentDescription(type, 0, segment, &fileType, &name, &in, &out, &duration),
        S_OK);
    EXPECT_EQ(duration, 900);
    EXPECT_NE(fileType, 0);
    CVariant marks;
    ASSERT_EQ(movie->GetProperties(CBstr("markIn+markOut+maxLength"), marks.GetAddress()), S_OK);
    const auto m = ReadVariantArray(marks.GetVARIANT());
    EXPECT_EQ(m[0].ToInt32(), 0);
    EXPECT_EQ(m[1].ToInt32(), 0);
    EXPECT_EQ(m[2].ToInt32(), 0);
}

TEST_F(ContextTest, ExtendingACrashedMovieRepairsItsMarksFirst) {
    CComPtr<IUnknown> timeline;
    Create("crashed", true, 100, &timeline);
    CComPtr<ITimelineControl> control;
    ASSERT_EQ(timeline->QueryInterface(IID_ITimelineControl, reinterpret_cast<void**>(&control)),
              S_OK);
    // A record that extended the movie and never set its marks.
    ASSERT_EQ(control->Extend(0, 1000, 1000, 0), S_OK);
    ASSERT_EQ(m_channel->ExtendTimeline(timeline, 0, 500), S_OK) << LastErrorText();
    bool logged = false;
    for (const auto& r : tmstest::ReadLog()) {
        logged = logged || r.text.find(
                               "Chan2: ExtendTimeline: repairing crashed movie, len=1000, "
                               "len between marks=0") != std::string::npos;
    }
    EXPECT_TRUE(logged);
    CComPtr<IMovie> movie = MovieOf(timeline);
    CVariant props;
    ASSERT_EQ(movie->GetProperties(CBstr("markIn+markOut+maxLength"), props.GetAddress()), S_OK);
    const auto p = ReadVariantArray(props.GetVARIANT());
    EXPECT_EQ(p[2].ToInt32(), 500) << "extended from the repaired length";
    // The record track has its first segment and the new one.
    const std::int32_t type = VideoTrackType();
    unsigned short segment = 0;
    EXPECT_EQ(movie->GetLastSegment(type, 0, 0, -2, &segment), S_OK);
}

TEST_F(ContextTest, APausedContextShowsEtoEAtOnce) {
    const unsigned token = Alloc(Create("ee", true, 600));
    auto cue = Change(0x0004 | 0x0008, TmsCuePlay, 0.0f, 40, 600);
    ASSERT_EQ(m_broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
    struct Case {
        BOOL on;
        std::uint32_t flags;
    };
    for (const Case c : {Case{TRUE, 0x0900}, Case{FALSE, 0x0008}}) {
        Forget();
        ASSERT_EQ(m_channel->SetEtoE(c.on), S_OK) << LastErrorText();
        const auto sent = ReceivedForm("sbuf");
        ASSERT_EQ(sent.size(), 1u) << c.on;
        rts::PortContextRecord ctx{};
        const auto body = sent[0].Chunk(rts::kChunkContext);
        ASSERT_EQ(body.size(), sizeof ctx);
        std::memcpy(&ctx, body.data(), sizeof ctx);
        EXPECT_EQ(ctx.flags, c.flags) << c.on;
        EXPECT_EQ(ctx.trigger, 1);
        EXPECT_EQ(static_cast<float>(ctx.speed), 0.0f);
        if (!c.on) {
            EXPECT_EQ(ctx.position, 40) << "the context's port position";
        }
    }
    // The stop left the cue as a play at speed 0.
    CVariant state;
    ASSERT_EQ(m_channel->GetStatus(token, CBstr("ctxportstate"), state.GetAddress()), S_OK);
    EXPECT_EQ(state.ToInt32(), TmsShuttlePlay);
}

// Regression: three "ee on" in a row sent three stop-as-idle states to a
// paused context, each with a new change id.
TEST_F(ContextTest, SetEtoEWithAnUnchangedValueSendsThePausedContextsNothing) {
    const unsigned token = Alloc(Create("ee-again", true, 600));
    auto cue = Change(0x0004 | 0x0008, TmsCuePlay, 0.0f, 40, 600);
    ASSERT_EQ(m_broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
    struct Row {
        BOOL on;
        std::size_t states;  // "sbuf" messages for the paused context
    } rows[] = {{TRUE, 1}, {TRUE, 0}, {TRUE, 0}, {FALSE, 1}, {FALSE, 0}, {TRUE, 1}};
    int step = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "step " << step++ << " ee " << row.on);
        Forget();
        ASSERT_EQ(m_channel->SetEtoE(row.on), S_OK) << LastErrorText();
        EXPECT_EQ(ReceivedForm("sbuf").size(), row.states);
        BOOL ee = 7;
        ASSERT_EQ(m_channel->GetEtoE(&ee), S_OK);
        EXPECT_EQ(ee, row.on ? -1 : 0) << "the state is stored all the same";
    }
}

// Regression: closing a channel whose contexts play took 5 s per context,
// each waiting for an idle report that the blocked monitor could not give,
// and logged "WaitForPortState timed out". Close now stops them and goes on.
TEST_F(ContextTest, CloseWithFourPlayingContextsStopsThemWithoutWaitingForIdle) {
    const std::uint16_t code = Create("four");
    unsigned tokens[4] = {};
    for (unsigned i = 0; i < 4; ++i) {
        tokens[i] = Alloc(code);
        ASSERT_EQ(tmstest::SimControl("context 1 " + std::to_string(i) + " 2 3"), "ok");
    }
    for (unsigned token : tokens) {
        ASSERT_EQ(m_channel->WaitForPortState(token, TmsShuttlePlay, 5000), S_OK);
    }
    Forget();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(m_channel->Close(), S_OK) << LastErrorText();
    const auto took = std::chrono::steady_clock::now() - start;
    // A figure for the log, not a check: the machine may be loaded.
    const auto ms = std::chrono::duration_cast<std::chrono::microseconds>(took).count() / 1000.0;
    RecordProperty("close_ms_four_playing", std::to_string(ms));
    std::printf("[ measure  ] Close with four playing contexts: %.1f ms\n", ms);

    std::vector<std::string> forms;
    std::vector<int> stopped;
    for (const auto& m : Received()) {
        forms.push_back(m.FormName());
        if (m.FormName() == "sbuf") {
            rts::PortContextRecord ctx{};
            const auto body = m.Chunk(rts::kChunkContext);
            ASSERT_EQ(body.size(), sizeof ctx);
            std::memcpy(&ctx, body.data(), sizeof ctx);
            EXPECT_EQ(ctx.flags, 0x0004u);
            EXPECT_EQ(ctx.portState, TmsIdle);
            stopped.push_back(ctx.contextIndex);
        }
    }
    // The RTS runs one context of a port at a time: the last one set playing
    // is its active context and is told to go idle; every one is closed.
    EXPECT_EQ(stopped, (std::vector<int>{3}));
    EXPECT_EQ(std::count(forms.begin(), forms.end(), "cctx"), 4);
    ASSERT_FALSE(forms.empty());
    EXPECT_EQ(forms.back(), "clos");
    for (const auto& r : tmstest::ReadLog()) {
        EXPECT_EQ(r.text.find("WaitForPortState timed out"), std::string::npos) << r.text;
    }
    for (unsigned token : tokens) {
        EXPECT_EQ(m_channel->WaitForPortState(token, TmsIdle, 0), S_FALSE) << "closed";
    }
}

// Regression: after the RTS died, "portstate" still answered 2 (play) with
// S_OK from the last report.
TEST_F(ContextTest, AfterTheRtsDiesTheContextsLiveStatusSaysIdle) {
    const unsigned token = Alloc(Create("dies"));
    ASSERT_EQ(tmstest::SimControl("context 1 0 2 3"), "ok");
    ASSERT_EQ(m_channel->WaitForPortState(token, TmsShuttlePlay, 5000), S_OK);
    CVariant before;
    ASSERT_EQ(m_channel->GetStatus(token, CBstr("portstate"), before.GetAddress()), S_OK);
    ASSERT_EQ(before.ToInt32(), TmsShuttlePlay);
    m_sim.Kill();
    // Until the link has seen its peer go (bounded).
    CVariant state;
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(m_channel->GetStatus(token, CBstr("portstate"), state.GetAddress()), S_OK);
        if (state.ToInt32() != TmsShuttlePlay) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(state.ToInt32(), TmsIdle);
    struct Row {
        const char* name;
        double value;
    } rows[] = {{"portstate", TmsIdle}, {"shuttlespeed", 0.0}, {"triggerstatus", 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CVariant v;
        ASSERT_EQ(m_channel->GetStatus(token, CBstr(row.name), v.GetAddress()), S_OK);
        EXPECT_EQ(v.ToFloat(), row.value);
    }
    CVariant assigned;
    EXPECT_EQ(m_channel->GetStatus(token, CBstr("assigned"), assigned.GetAddress()), S_OK)
        << "the context itself still answers";
    m_channel->Close();
    ASSERT_EQ(StartSimulator(), "");  // takes over what the killed one left
}

}  // namespace
