// A context's changes seen from the trace line, the state messages and the
// status names: the words each step of a change writes, which RTS updates a
// context takes, the deferred speed change near the end of a growing movie,
// a position change while idle, the status saved on the first change, the
// purge of every state and edits of the movie while the context plays it.
// Expectations are worked out from the change record's layout and the
// timings of the 525-line format (60 fields a second), not read back from
// the code.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComObjectBase.h"
#include "platform/com/ComPtr.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/IMovieBuilder.h"
#include "server/timeline/ITimeline.h"
#include "tests/context/ChangeRecord.h"
#include "tests/frame/LogLines.h"
#include "tests/rts/Golden.h"
#include "tests/support/TestRuntimeDir.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/context/ContextOwner.h"
#include "tmschannel/context/FileCodePool.h"
#include "tmschannel/context/TimelineContext.h"
#include "tmschannel/resources/TmsResource.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

using tmstest::Golden;

constexpr std::uint32_t kToken = 0x00010100;  // channel 1, code 1, context 0
constexpr HRESULT kBadPortState = HR(0x80043003);
const std::string kPrefix = "    Chan2:Ctx0: ";

// The channel as a context sees it: every message kept as sent.
class CRecordingChannel final : public IContextOwner {
public:
    std::int32_t ChannelNumber() const override { return 1; }
    std::string ChannelName() const override { return "Chan2"; }
    const CRtsShmem& RtsShmem() const override { return m_shmem; }
    CChanAccess* ChanAccess() const override { return access; }
    HRESULT SendRtsMsg(CMmioMsg& message, DWORD) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (failSends != S_OK) {
            return failSends;
        }
        const BYTE* b = message.GetBuffer();
        messages.emplace_back(b, b + message.GetMsgSize());
        return S_OK;
    }
    std::vector<std::shared_ptr<CTmsResource>> Resources() const override { return {}; }
    std::int32_t VideoFormat() const override {
        return tmsvideo::FormatFromName("Format525_60Hz_2To1", tmsvideo::kFormatInvalid);
    }
    bool LoopPlayback() const override { return false; }
    bool EeBoard() const override { return true; }
    std::string ChannelType() const override { return "Player"; }
    HRESULT SetDefaultIdleMode(bool, bool) override { return S_OK; }
    bool Ganged() const override { return false; }
    std::int32_t ContinuousRecordFields() const override { return 0; }
    SpeedRange ShuttleSpeedRange() const override { return {-32.0f, 32.0f}; }

    CChanAccess* access = nullptr;
    std::vector<std::vector<BYTE>> messages;
    HRESULT failSends = S_OK;  // what every send answers instead of taking it

private:
    CRtsShmem m_shmem;  // never opened: no context is ever active
    std::mutex m_lock;
};

// Hands a purge back to the context, as the channel's broker does.
class CLoopBackBroker : public CComObjectBase<ITmsContextBroker> {
public:
    HRESULT ApplyContextChange(unsigned int token, int, unsigned char* change) override {
        return context->ApplyContextChange(token, change);
    }
    HRESULT ApplyContextUpdate(unsigned int token, int, unsigned char* update) override {
        return context->ApplyContextUpdate(token, update);
    }
    HRESULT ApplyScheduledChange(unsigned int, BSTR, TmsPortContextCondition, unsigned int, long,
                                 int, unsigned char*) override {
        return E_NOTIMPL;
    }
    HRESULT GetChannelCapabilities(unsigned int*, unsigned int*) override { return E_NOTIMPL; }
    HRESULT IsPlaying(unsigned int, long*) override { return E_NOTIMPL; }
    CTimelineContext* context = nullptr;
};

std::uint32_t Word(const std::vector<BYTE>& m, std::size_t at) {
    return m[at] | m[at + 1] << 8 | m[at + 2] << 16 | static_cast<std::uint32_t>(m[at + 3]) << 24;
}

// The body offset of the first "ctx " chunk of a message; 0 when none.
std::size_t FindContext(const std::vector<BYTE>& m, std::size_t from, std::size_t to) {
    while (from + 8 <= to) {
        const std::string id(reinterpret_cast<const char*>(&m[from]), 4);
        const std::size_t size = Word(m, from + 4);
        if (id == "LIST" || id == "RIFF") {
            if (const std::size_t at = FindContext(m, from + 12, std::min(to, from + 8 + size))) {
                return at;
            }
        } else if (id == "ctx ") {
            return from + 8;
        }
        from += 8 + size + (size & 1);
    }
    return 0;
}

// The port context records of the messages, in order.
struct SentContext {
    std::uint32_t flags;
    std::int32_t changeId;
    std::int32_t portState;
    std::int32_t position;
    float speed;
};
std::vector<SentContext> Contexts(const std::vector<std::vector<BYTE>>& messages) {
    std::vector<SentContext> out;
    for (const auto& m : messages) {
        const std::size_t at = FindContext(m, 0, m.size());
        if (at == 0) {
            continue;
        }
        SentContext c{};
        c.flags = Word(m, at + 4);
        c.changeId = static_cast<std::int32_t>(Word(m, at + 8));
        c.portState = static_cast<std::int32_t>(Word(m, at + 20));
        c.position = static_cast<std::int32_t>(Word(m, at + 24));
        const std::uint32_t bits = Word(m, at + 44);
        std::memcpy(&c.speed, &bits, 4);
        out.push_back(c);
    }
    return out;
}

// A change record: the transport fields, trigger Asap unless trigger says.
Golden Record(std::uint32_t flags, std::int32_t state = 0, float speed = 0.0f,
              std::int32_t position = 0, std::int32_t length = 600) {
    return Golden(tmstest::ChangeRecord(flags, state, speed, position, length));
}

// The 40-byte status record handed back through the broker.
std::vector<unsigned char> Update(std::int32_t changeId, std::int32_t triggerStatus,
                                  std::int32_t portState, std::int32_t position, float speed) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &speed, 4);
    Golden g(40);
    g.U32(4, static_cast<std::uint32_t>(changeId))
        .U32(8, static_cast<std::uint32_t>(triggerStatus));
    g.U32(12, static_cast<std::uint32_t>(portState)).U32(16, static_cast<std::uint32_t>(position));
    g.U32(20, static_cast<std::uint32_t>(position)).U32(36, bits);
    return g.Bytes();
}

class ContextChangeTraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(DllRegisterServerAt(TMS_XMLDOM_LIB), S_OK);
        ASSERT_EQ(DllRegisterServerAt(TMS_TIMELINE_LIB), S_OK);
        CFileCodePool::Instance().ResetForTest();
        ASSERT_EQ(CoCreateInstance(CLSID_DOMDocument40, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IXMLDOMDocument2, reinterpret_cast<void**>(&m_config)),
                  S_OK);
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(m_config->loadXML(CBstr("<Config><System/></Config>"), &ok), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_MovieBuilder, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IMovieBuilder, reinterpret_cast<void**>(&m_builder)),
                  S_OK);
        NewContext();
    }
    void TearDown() override {
        m_context.reset();
        m_broker.Release();
        m_access.reset();
        UnlinkAllNamedObjects();
        EXPECT_TRUE(tmstest::NamedObjectsLeft().empty());
    }

    // A fresh context with a fresh movie registered; the messages forgotten.
    void NewContext() {
        m_context.reset();
        m_broker.Release();
        m_movie.Release();
        m_timeline.Release();
        unsigned short code = 0;
        const std::string name = "m" + std::to_string(++m_movies);
        ASSERT_EQ(m_builder->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr(name), &code,
                                            IID_ITimeline, reinterpret_cast<void**>(&m_timeline)),
                  S_OK);
        ASSERT_EQ(m_timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&m_movie)), S_OK);
        m_context = std::make_unique<CTimelineContext>(0, m_config, m_channel);
        m_broker = MakeComObject<CLoopBackBroker>();
        m_broker->context = m_context.get();
        ASSERT_EQ(m_context->RegisterTimeline(kToken, m_broker, m_timeline, false), S_OK);
        m_channel.messages.clear();
    }
    HRESULT Apply(const Golden& change) {
        std::vector<unsigned char> bytes = change.Bytes();
        return m_context->ApplyContextChange(kToken, bytes.data());
    }
    HRESULT Hand(std::vector<unsigned char> update) {
        return m_context->ApplyContextUpdate(kToken, update.data());
    }
    // The context's trace lines written since the log had seen records.
    static std::vector<std::string> LinesSince(std::size_t seen) {
        std::vector<std::string> out;
        const auto log = tmstest::ReadLog();
        for (std::size_t i = seen; i < log.size(); ++i) {
            if (log[i].kind == "TRACE" && log[i].text.rfind(kPrefix, 0) == 0) {
                out.push_back(log[i].text);
            }
        }
        return out;
    }
    static bool LoggedSince(std::size_t seen, const std::string& text) {
        const auto log = tmstest::ReadLog();
        for (std::size_t i = seen; i < log.size(); ++i) {
            if (log[i].text.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    std::int32_t I4(const char* name) {
        CVariant v;
        EXPECT_EQ(m_context->StringToStatus(name, v.GetAddress()), S_OK) << name;
        return v.ToInt32();
    }
    float R4(const char* name) {
        CVariant v;
        EXPECT_EQ(m_context->StringToStatus(name, v.GetAddress()), S_OK) << name;
        return v.ToFloat();
    }
    std::string Uri() {
        CVariant v;
        EXPECT_EQ(m_movie->GetProperty(CBstr("uri"), v.GetAddress()), S_OK);
        return v.ToString();
    }
    // A movie of one clip of the given length, cued at position.
    void CueOn(std::int32_t length, std::int32_t position) {
        unsigned short segment = 0;
        ASSERT_EQ(m_movie->AppendSegment(4, 0, 0, length, 4, nullptr, &segment), S_OK);
        ASSERT_EQ(Apply(Record(0x000C, TmsCuePlay, 0.0f, position, length)), S_OK);
        m_channel.messages.clear();
    }

    tmstest::TestRuntimeDir m_dir;
    CComPtr<IXMLDOMDocument2> m_config;
    CComPtr<IMovieBuilder> m_builder;
    CComPtr<ITimeline> m_timeline;
    CComPtr<IMovie> m_movie;
    CRecordingChannel m_channel;
    CComPtr<CLoopBackBroker> m_broker;
    std::unique_ptr<CTimelineContext> m_context;
    std::unique_ptr<CChanAccess> m_access;
    int m_movies = 0;
};

TEST_F(ContextChangeTraceTest, EachStepWritesItsWordsInOrder) {
    // One context taken through a sequence of changes; each row's record
    // and the one line it traces.
    struct Row {
        const char* name;
        Golden record;
        std::string line;  // after the prefix
    };
    std::vector<Row> rows;
    rows.push_back({"cue at 100, trigger Manual", Record(0x000C, TmsCuePlay, 0.0f, 100).U32(24, 2),
                    "trig=Manual portState=Cue pos=100 "});
    rows.push_back({"the same state again, trigger Follow", Record(0x0004, TmsCuePlay).U32(24, 3),
                    "trig=Follow portState=Cue "});
    rows.push_back(
        {"an unknown trigger", Record(0x0008, 0, 0.0f, 120).U32(24, 9), "trig=None pos=120 "});
    rows.push_back({"no trigger", Record(0x0008, 0, 0.0f, 130).U32(24, 0), "pos=130 "});
    rows.push_back({"play, trigger Now", Record(0x0104, TmsShuttlePlay, 1.0f).U32(24, 4),
                    "trig=Now portState=Play speed=1.00 "});
    rows.push_back({"stop", Record(0x10000), "trig=Asap stop "});
    rows.push_back({"limits, end at MAX", Record(0x600000).U32(88, 10).U32(92, 0x7FFFFFFF),
                    "trig=Asap startLimit=10 endLimit=MAX "});
    rows.push_back({"end limit 500", Record(0x400000).U32(92, 500), "trig=Asap endLimit=500 "});
    rows.push_back({"read only", Record(0x100000).U8(106, 1), "trig=Asap readOnly=1 "});
    rows.push_back({"client purge", Record(0x0400), "trig=Asap purge "});
    rows.push_back({"shuttle at -2.5 and a position", Record(0x0108, 0, -2.5f, 300),
                    "trig=Asap speed=-2.50 pos=300 "});
    rows.push_back({"idle", Record(0x0004, TmsIdle), "trig=Asap portState=Idle "});
    rows.push_back({"cue record", Record(0x0004, TmsCueRecord), "trig=Asap portState=CueRecord "});
    rows.push_back({"record", Record(0x0104, TmsShuttleRecord, 1.0f),
                    "trig=Asap portState=Record speed=1.00 "});
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::size_t seen = tmstest::ReadLog().size();
        ASSERT_EQ(Apply(row.record), S_OK);
        EXPECT_EQ(LinesSince(seen), std::vector<std::string>{kPrefix + row.line});
    }
}

TEST_F(ContextChangeTraceTest, ARequestForTheCurrentStateSendsNoPortStateFlag) {
    CueOn(600, 100);
    ASSERT_EQ(Apply(Record(0x0004, TmsCuePlay)), S_OK);
    const auto sent = Contexts(m_channel.messages);
    for (const SentContext& c : sent) {
        EXPECT_EQ(c.flags & 0x0004u, 0u);
    }
}

TEST_F(ContextChangeTraceTest, ConstructionBeginsAndEndsWithThePurgeItNeeds) {
    CueOn(600, 100);
    const std::string uri = Uri();
    ASSERT_FALSE(uri.empty());
    std::size_t seen = tmstest::ReadLog().size();
    ASSERT_EQ(Apply(Record(0x100000).U8(105, 1)), S_OK);
    EXPECT_EQ(
        LinesSince(seen),
        std::vector<std::string>{kPrefix + "trig=Asap Starting construction for '" + uri + "' "});
    seen = tmstest::ReadLog().size();
    ASSERT_EQ(Apply(Record(0x100000).U8(105, 0)), S_OK);
    EXPECT_EQ(LinesSince(seen),
              std::vector<std::string>{kPrefix + "trig=Asap Ending construction for '" + uri +
                                       "' purge "});

    // An edit of a movie under construction with the edit flag alone is
    // not traced; a thumbnail mark is, and sends nothing.
    seen = tmstest::ReadLog().size();
    ASSERT_EQ(Apply(Record(0x800000).U32(24, 0).U8(105, 1).U32(108, 10).U32(112, 20).U32(116, 5)),
              S_OK);
    EXPECT_TRUE(LinesSince(seen).empty());
    m_channel.messages.clear();
    seen = tmstest::ReadLog().size();
    ASSERT_EQ(Apply(Record(0x800000).U32(108, 77).U32(120, 0x4)), S_OK);
    EXPECT_EQ(LinesSince(seen), std::vector<std::string>{kPrefix + "trig=Asap thumbnail=77 "});
    EXPECT_TRUE(Contexts(m_channel.messages).empty());
}

TEST_F(ContextChangeTraceTest, APositionChangeWhileIdleIsRefusedAndChangesNothing) {
    const std::size_t seen = tmstest::ReadLog().size();
    EXPECT_EQ(Apply(Record(0x0008, 0, 0.0f, 50)), kBadPortState);
    EXPECT_TRUE(LoggedSince(seen, "Chan2:Ctx0: Cannot change position while portState = 0"));
    EXPECT_TRUE(m_channel.messages.empty());
    EXPECT_EQ(I4("ctxposition"), 0);
    EXPECT_TRUE(LinesSince(seen).empty()) << "the line is not written for a failed change";
    // Still the first change: the next one sends end and idle mode.
    ASSERT_EQ(Apply(Record(0x000C, TmsCuePlay, 0.0f, 50)), S_OK);
    const auto sent = Contexts(m_channel.messages);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().flags & 0x00C0u, 0x00C0u);
    EXPECT_EQ(I4("ctxposition"), 50);
}

TEST_F(ContextChangeTraceTest, TheFirstChangeSavesTheMovieStatusOnlyWhenItActsAtOnce) {
    m_access = std::make_unique<CChanAccess>(1);
    BOOL created = FALSE;
    ASSERT_TRUE(m_access->Open(&created));
    m_channel.access = m_access.get();
    // Context 0's asset URI slot of the channel's status block.
    constexpr std::size_t kUriSlot = 0x148D0;
    struct Row {
        std::int32_t trigger;
        bool movieStatus;
    } rows[] = {{1, true}, {4, true}, {2, false}, {3, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trigger);
        NewContext();
        std::memset(m_access->StatusBlock() + kUriSlot, 0, 0x208);
        ASSERT_EQ(
            Apply(Record(0x0004, TmsCuePlay).U32(24, static_cast<std::uint32_t>(row.trigger))),
            S_OK);
        const bool published = m_access->StatusBlock()[kUriSlot] != 0;
        EXPECT_EQ(published, row.movieStatus);
        // Either way the first change sends end mode and idle mode Default.
        const auto sent = Contexts(m_channel.messages);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back().flags & 0x00C0u, 0x00C0u);
        CVariant mode;
        ASSERT_EQ(m_context->StringToStatus("endmode", mode.GetAddress()), S_OK);
        m_channel.messages.clear();
        ASSERT_EQ(Apply(Record(0x0004, TmsCuePlay)), S_OK);
        for (const SentContext& c : Contexts(m_channel.messages)) {
            EXPECT_EQ(c.flags & 0x00C0u, 0u) << "only the first change";
        }
    }
    m_channel.access = nullptr;
}

TEST_F(ContextChangeTraceTest, UpdatesAreTakenByTheirChangeIdAndTriggerStatus) {
    // From a context cued at 100 whose last change id is c (previous 0):
    // an update is taken when its id is c, or negative and -1, -2 or not
    // the previous id, and its trigger status is 2, 3 or 4. A taken update
    // moves the context's position to the update's.
    struct Row {
        const char* name;
        std::int32_t id;  // relative to c when positive
        bool relative;
        std::int32_t triggerStatus;
        bool taken;
    } rows[] = {
        {"current id, status 2", 0, true, 2, true},
        {"current id, status 3", 0, true, 3, true},
        {"current id, status 4", 0, true, 4, true},
        {"current id, status 1", 0, true, 1, false},
        {"current id, status 0", 0, true, 0, false},
        {"current id, status 5", 0, true, 5, false},
        {"an older id", -1, true, 2, false},
        {"a newer id", 1, true, 2, false},
        {"-1", -1, false, 2, true},
        {"-2", -2, false, 3, true},
        {"a scheduled id", -11, false, 2, true},
        {"0, the previous id", 0, false, 2, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NewContext();
        CueOn(600, 100);
        ASSERT_EQ(Apply(Record(0x0008, 0, 0.0f, 100)), S_OK);
        const auto sent = Contexts(m_channel.messages);
        ASSERT_FALSE(sent.empty());
        const std::int32_t c = sent.back().changeId;
        ASSERT_GT(c, 1);
        const std::int32_t id = row.relative ? c + row.id : row.id;
        ASSERT_EQ(Hand(Update(id, row.triggerStatus, TmsCuePlay, 250, 0.0f)), S_OK);
        EXPECT_EQ(I4("ctxposition"), row.taken ? 250 : 100);
    }
}

TEST_F(ContextChangeTraceTest, AFiredScheduledChangeTakesTheReportedStateAndTracesIt) {
    CueOn(600, 100);
    struct Row {
        const char* name;
        std::int32_t id;
        std::int32_t state;
        float speed;
        std::string line;  // "" when nothing is traced
        std::int32_t portState;
        float contextSpeed;
    } rows[] = {
        {"play fired", -11, TmsShuttlePlay, 1.0f, "triggered portState=Play speed=1.00 ",
         TmsShuttlePlay, 1.0f},
        {"the same id again, a new speed", -11, TmsShuttlePlay, 2.0f, "", TmsShuttlePlay, 1.0f},
        {"the next fires at -3.00", -12, TmsShuttlePlay, -3.0f,
         "triggered portState=Play speed=-3.00 ", TmsShuttlePlay, -3.0f},
        {"the previous id again: ignored", -11, TmsCuePlay, 0.0f, "", TmsShuttlePlay, -3.0f},
        {"idle reported in play is a real move", -13, TmsIdle, -3.0f,
         "triggered portState=Idle speed=-3.00 ", TmsIdle, -3.0f},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::size_t seen = tmstest::ReadLog().size();
        ASSERT_EQ(Hand(Update(row.id, 2, row.state, 200, row.speed)), S_OK);
        const auto lines = LinesSince(seen);
        if (row.line.empty()) {
            EXPECT_TRUE(lines.empty());
        } else {
            EXPECT_EQ(lines, std::vector<std::string>{kPrefix + row.line});
        }
        EXPECT_EQ(I4("ctxportstate"), row.portState);
        EXPECT_EQ(R4("ctxshuttlespeed"), row.contextSpeed);
    }
}

// An update reporting a speed that is not finite was refused whole, and
// the port state and position it carried were lost with it. Only its speed
// is ignored now, and logged.
TEST_F(ContextChangeTraceTest, AnUpdateWithASpeedNotFiniteLosesOnlyItsSpeed) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Row {
        float speed;
        const char* text;
    } rows[] = {{std::numeric_limits<float>::quiet_NaN(), "reports speed nan, not finite"},
                {inf, "reports speed inf, not finite"},
                {-inf, "reports speed -inf, not finite"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        NewContext();
        CueOn(600, 100);
        const std::size_t seen = tmstest::ReadLog().size();
        ASSERT_EQ(Hand(Update(-11, 2, TmsShuttlePlay, 250, row.speed)), S_OK);
        EXPECT_TRUE(LoggedSince(seen, std::string(row.text) + ": speed ignored"));
        EXPECT_EQ(I4("ctxportstate"), TmsShuttlePlay);
        EXPECT_EQ(I4("ctxposition"), 250);
        EXPECT_EQ(R4("ctxshuttlespeed"), 0.0f) << "the cue's speed kept";
    }
}

TEST_F(ContextChangeTraceTest, IdleReportedWhileCuedIsNoMoveOfTheScheduledChange) {
    struct Row {
        const char* name;
        Golden into;
        std::int32_t state;
    } rows[] = {
        {"cued", Record(0x0004, TmsCuePlay), TmsCuePlay},
        {"cued to record", Record(0x0004, TmsCueRecord), TmsCueRecord},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        NewContext();
        unsigned short segment = 0;
        ASSERT_EQ(m_movie->AppendSegment(4, 0, 0, 600, 4, nullptr, &segment), S_OK);
        ASSERT_EQ(Apply(row.into), S_OK);
        const std::size_t seen = tmstest::ReadLog().size();
        // Same speed, idle reported: no real move, nothing taken.
        ASSERT_EQ(Hand(Update(-11, 2, TmsIdle, 0, 0.0f)), S_OK);
        EXPECT_TRUE(LinesSince(seen).empty());
        EXPECT_EQ(I4("ctxportstate"), row.state);
    }
}

TEST_F(ContextChangeTraceTest, ASlowDownNearTheEndOfAGrowingMovieIsDeferred) {
    // Record latency 3 s (180 fields), record cue latency 2 s (120 fields).
    // The timeline maximum of a movie of 600 fields under construction is
    // 599 - 180 = 419: a slow-down at 299 is 120 away, at 300 only 119.
    struct Row {
        std::int32_t position;
        bool deferred;
    } rows[] = {{299, false}, {300, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.position);
        NewContext();
        CueOn(600, row.position);
        ASSERT_EQ(Apply(Record(0x0104, TmsShuttlePlay, 2.0f).U8(105, 1)), S_OK);
        m_channel.messages.clear();
        const std::size_t seen = tmstest::ReadLog().size();
        ASSERT_EQ(Apply(Record(0x0100, 0, 1.0f).U8(105, 1)), S_OK);
        const std::int32_t offset = 419 - row.position;
        const auto sent = Contexts(m_channel.messages);
        if (row.deferred) {
            // The change goes at speed 0.0; after the wait the immediate
            // state takes the client's speed, traced as its own line.
            EXPECT_EQ(LinesSince(seen),
                      (std::vector<std::string>{kPrefix + "trig=Asap speed=0.00 ",
                                                kPrefix + "trig=Asap speed=1.00 "}));
            EXPECT_TRUE(
                LoggedSince(seen, "Chan2:Ctx0: Speed change too close to maxPos: offset = " +
                                      std::to_string(offset)));
            ASSERT_EQ(sent.size(), 2u);
            EXPECT_EQ(sent[0].speed, 0.0f);
            EXPECT_EQ(sent[1].flags, 0x0100u) << "speed alone";
            EXPECT_EQ(sent[1].speed, 1.0f);
            EXPECT_EQ(sent[1].changeId, sent[0].changeId + 1);
            EXPECT_EQ(R4("ctxshuttlespeed"), 1.0f);
        } else {
            EXPECT_EQ(LinesSince(seen),
                      std::vector<std::string>{kPrefix + "trig=Asap speed=1.00 "});
            EXPECT_TRUE(
                LoggedSince(seen, "Chan2:Ctx0: Speed change not too close to maxPos: offset = " +
                                      std::to_string(offset)));
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].speed, 1.0f);
        }
    }
}

TEST_F(ContextChangeTraceTest, PurgeAllStatesGoesThroughTheBrokerOnlyAfterTheFirstChange) {
    EXPECT_EQ(m_context->PurgeAllStates(), S_OK);
    EXPECT_TRUE(m_channel.messages.empty()) << "no change yet: nothing queued on the RTS";
    CueOn(600, 100);
    const std::size_t seen = tmstest::ReadLog().size();
    ASSERT_EQ(m_context->PurgeAllStates(), S_OK);
    EXPECT_EQ(LinesSince(seen), std::vector<std::string>{kPrefix + "purge "});
    const auto sent = Contexts(m_channel.messages);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].flags & 0x0400u, 0u);
    EXPECT_EQ(sent[0].portState, TmsCuePlay);
    EXPECT_EQ(I4("ctxposition"), 100) << "the purge keeps the position";
    m_context->RevokeTimeline();
    EXPECT_EQ(m_context->PurgeAllStates(), S_FALSE);
}

TEST_F(ContextChangeTraceTest, EditsShiftClobberAndClampThePosition) {
    // Position 300 on a movie of 600; each row one edit (start, end, delta)
    // and where the position ends.
    struct Row {
        const char* name;
        Golden into;  // the state before the edit
        std::int32_t start, end, delta, length;
        std::uint8_t construction;
        std::int32_t position;
        bool positionSent;
    };
    std::vector<Row> rows = {
        {"insert before, cued", Record(0x0004, TmsCuePlay), 100, 150, 50, 650, 0, 350, false},
        {"insert at the position, playing", Record(0x0104, TmsShuttlePlay, 1.0f), 300, 310, 10, 610,
         0, 310, false},
        {"insert after the position", Record(0x0104, TmsShuttlePlay, 1.0f), 301, 310, 10, 610, 0,
         300, false},
        {"delete before", Record(0x0004, TmsCuePlay), 100, 149, -50, 550, 0, 250, false},
        {"delete over the position: clobbered to its start", Record(0x0004, TmsCuePlay), 280, 320,
         -41, 559, 0, 280, true},
        // 558 is past what a growing movie has recorded: the highest cue is
        // 558 less the record latency (180) and the record cue latency (120).
        {"clobbered to 5 s on, then clamped to what has been recorded",
         Record(0x0104, TmsShuttlePlay, 1.0f), 280, 320, -41, 559, 1, 258, true},
        {"delete of the end: clamped to the last field", Record(0x0004, TmsCuePlay), 200, 599, -400,
         200, 0, 199, true},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        NewContext();
        CueOn(600, 300);
        ASSERT_EQ(Apply(row.into.U8(105, row.construction)), S_OK);
        m_channel.messages.clear();
        const std::size_t seen = tmstest::ReadLog().size();
        ASSERT_EQ(Apply(Record(0x800000, 0, 0.0f, 0, row.length)
                            .U8(105, row.construction)
                            .U32(108, static_cast<std::uint32_t>(row.start))
                            .U32(112, static_cast<std::uint32_t>(row.end))
                            .U32(116, static_cast<std::uint32_t>(row.delta))),
                  S_OK);
        EXPECT_EQ(I4("ctxposition"), row.position);
        const auto sent = Contexts(m_channel.messages);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ((sent.back().flags & 0x0008u) != 0, row.positionSent);
        if (row.construction == 0) {
            EXPECT_EQ(LinesSince(seen),
                      std::vector<std::string>{kPrefix +
                                               "trig=Asap editStart=" + std::to_string(row.start) +
                                               " editEnd=" + std::to_string(row.end) +
                                               " editDelta=" + std::to_string(row.delta) + " "});
        }
    }
}

// The position a delete clobbers in a movie being recorded at speed 1 or
// more lands five seconds after the edit: 300 fields at 60 a second, not
// the 600 that rate times fields per frame gave for an interlaced format.
TEST_F(ContextChangeTraceTest, AClobberedRecordPositionMovesFiveSecondsNotTen) {
    CueOn(600, 300);
    ASSERT_EQ(Apply(Record(0x0104, TmsShuttlePlay, 1.0f, 0, 1000).U8(105, 1)), S_OK);
    ASSERT_EQ(Apply(Record(0x800000, 0, 0.0f, 0, 1000)
                        .U8(105, 1)
                        .U32(108, 280)
                        .U32(112, 320)
                        .U32(116, static_cast<std::uint32_t>(-41))),
              S_OK);
    EXPECT_EQ(I4("ctxposition"), 280 + 300);
}

TEST_F(ContextChangeTraceTest, AnEditOutsideThePausedWindowPurgesIt) {
    // Cued: the window holds the states around 300. An edit far from it
    // purges the window of a paused port; one inside a playing port's
    // window purges it too; a playing port keeps it for an edit elsewhere.
    struct Row {
        const char* name;
        Golden into;
        std::int32_t start, end;
        bool purge;
    };
    std::vector<Row> rows = {
        {"paused, edit elsewhere", Record(0x0004, TmsCuePlay), 10, 20, true},
        {"playing, edit elsewhere", Record(0x0104, TmsShuttlePlay, 1.0f), 10, 20, false},
        {"playing, edit at the position", Record(0x0104, TmsShuttlePlay, 1.0f), 300, 302, true},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        NewContext();
        CueOn(600, 300);
        ASSERT_EQ(Apply(row.into), S_OK);
        m_channel.messages.clear();
        ASSERT_EQ(Apply(Record(0x800000)
                            .U32(108, static_cast<std::uint32_t>(row.start))
                            .U32(112, static_cast<std::uint32_t>(row.end))
                            .U32(116, 0)),
                  S_OK);
        const auto sent = Contexts(m_channel.messages);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ((sent.back().flags & 0x0400u) != 0, row.purge);
    }
}

// Scheduled changes: the "schc" message's two records and the trace line.
// The schedule record: condition +0, trigger +4, name +8 (36), cancel +44;
// the "ctx " body follows the 48-byte "schc" chunk (12 + 8 + 48 + 8).
struct SentSchedule {
    std::int32_t condition;
    std::uint32_t trigger;
    std::string name;
    int cancel;
    std::int32_t context;
    std::uint32_t flags;
    std::int32_t changeId;
    std::int32_t portState;
    std::int32_t position;
};

SentSchedule ScheduleOf(const std::vector<BYTE>& m) {
    SentSchedule s{};
    EXPECT_EQ(m.size(), 12u + 8u + 48u + 8u + 56u);
    if (m.size() != 132) {
        return s;
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m[8]), 4), "schc");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m[12]), 4), "schc");
    EXPECT_EQ(Word(m, 16), 48u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m[68]), 4), "ctx ");
    EXPECT_EQ(Word(m, 72), 56u);
    s.condition = static_cast<std::int32_t>(Word(m, 20));
    s.trigger = Word(m, 24);
    s.name = std::string(reinterpret_cast<const char*>(&m[28]));
    s.cancel = m[64];
    EXPECT_EQ(m[65] | m[66] | m[67], 0) << "reserved bytes";
    s.context = static_cast<std::int32_t>(Word(m, 76));
    s.flags = Word(m, 80);
    s.changeId = static_cast<std::int32_t>(Word(m, 84));
    EXPECT_EQ(Word(m, 88), 1u) << "trigger Asap";
    s.portState = static_cast<std::int32_t>(Word(m, 96));
    s.position = static_cast<std::int32_t>(Word(m, 100));
    return s;
}

class ContextScheduleTest : public ContextChangeTraceTest {
protected:
    HRESULT Schedule(const std::string& name, std::int32_t condition, std::uint32_t trigger,
                     bool cancel, const Golden& change) {
        std::vector<unsigned char> bytes = change.Bytes();
        return m_context->ApplyScheduledChange(kToken, name, condition, trigger, cancel,
                                               bytes.data());
    }
};

TEST_F(ContextScheduleTest, BeforeTheFirstChangeOnlyACancelIsTaken) {
    const std::size_t seen = tmstest::ReadLog().size();
    EXPECT_EQ(Schedule("early", TmsCtxAtTickcount, 100, false, Record(0x0104, 2, 1.0f)),
              kBadPortState);
    EXPECT_TRUE(
        LoggedSince(seen, "Chan2:Ctx0: Channel must be cued before scheduling a context change."));
    EXPECT_TRUE(m_channel.messages.empty());
    EXPECT_EQ(Schedule("early", TmsCtxAtTickcount, 100, true, Record(0)), S_OK);
    ASSERT_EQ(m_channel.messages.size(), 1u);
    const SentSchedule s = ScheduleOf(m_channel.messages[0]);
    EXPECT_EQ(s.name, "early");
    EXPECT_EQ(s.cancel, 1);
    const auto lines = LinesSince(seen);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), kPrefix + "schedule cancel @tick=100(0) ");
}

TEST_F(ContextScheduleTest, RecordsAndTraceLineOfEachCondition) {
    CueOn(600, 20);
    struct Row {
        const char* name;
        std::int32_t condition;
        std::uint32_t trigger;
        Golden change;
        std::int32_t sentContext;
        std::uint32_t sentFlags;
        std::int32_t sentId;
        std::string line;
    };
    const Row rows[] = {
        {"play at a tick", TmsCtxAtTickcount, 500, Record(0x0104, TmsShuttlePlay, 1.0f), 0, 0x0105,
         -10, "schedule @tick=500(0) portState=Play speed=1.00 "},
        {"a second takes the next id", TmsCtxAtTickcount, 600, Record(0x0104, 2, 2.0f), 0, 0x0105,
         -11, "schedule @tick=600(0) portState=Play speed=2.00 "},
        // A cue carries neither speed nor port state; the position keeps
        // the context's movie-to-port difference (0 here).
        {"a cue", TmsCtxAtGpi, 2, Record(0x010C, TmsCuePlay, 1.0f, 40), 0, 0x0009, -12,
         "schedule @ctxGpi, trig=2, ctx=0 portState=Cue speed=1.00 pos=40(40) "},
        {"default context at GPI", TmsCtxDefaultAtGpi, 3, Record(0x0104, 2, 1.0f), -1, 0x0105, -13,
         "schedule @ctxGpi, trig=3, ctx=-1 portState=Play speed=1.00 "},
        {"a stop", TmsCtxAtClockWatcher, 0x1234, Record(0x10000), 0, 0x0801, -14,
         "schedule @clock=0x1234 stop "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_channel.messages.clear();
        const std::size_t seen = tmstest::ReadLog().size();
        ASSERT_EQ(Schedule(row.name, row.condition, row.trigger, false, row.change), S_OK);
        ASSERT_EQ(m_channel.messages.size(), 1u);
        const SentSchedule s = ScheduleOf(m_channel.messages[0]);
        EXPECT_EQ(s.condition, row.condition);
        EXPECT_EQ(s.trigger, row.trigger);
        EXPECT_EQ(s.name, row.name);
        EXPECT_EQ(s.cancel, 0);
        EXPECT_EQ(s.context, row.sentContext);
        EXPECT_EQ(s.flags, row.sentFlags);
        EXPECT_EQ(s.changeId, row.sentId);
        const auto lines = LinesSince(seen);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), kPrefix + row.line);
    }
    // Nothing but the gang watcher merges at once: a play asked now is
    // still a change of port state.
    m_channel.messages.clear();
    ASSERT_EQ(Apply(Record(0x0004, TmsShuttlePlay)), S_OK);
    ASSERT_FALSE(Contexts(m_channel.messages).empty());
    EXPECT_EQ(Contexts(m_channel.messages).back().flags & 0x0004u, 0x0004u);
}

TEST_F(ContextScheduleTest, GangWatcherTakesAnOrdinaryIdAndMergesAtOnce) {
    CueOn(600, 0);
    const std::size_t seen = tmstest::ReadLog().size();
    ASSERT_EQ(Schedule("gang", TmsCtxAtGangWatcher, 0x00050003, false,
                       Record(0x0104, TmsShuttlePlay, 1.0f)),
              S_OK);
    ASSERT_EQ(m_channel.messages.size(), 1u);
    const SentSchedule s = ScheduleOf(m_channel.messages[0]);
    EXPECT_EQ(s.changeId, 2) << "the cue took 1";
    const auto lines = LinesSince(seen);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), kPrefix + "schedule @gang=0x3 opid=5 portState=Play speed=1.00 ");
    // Merged: asking for play now changes no port state.
    m_channel.messages.clear();
    ASSERT_EQ(Apply(Record(0x0004, TmsShuttlePlay)), S_OK);
    for (const auto& sent : Contexts(m_channel.messages)) {
        EXPECT_EQ(sent.flags & 0x0004u, 0u);
    }
    // The next ordinary schedule still starts the scheduled ids.
    m_channel.messages.clear();
    ASSERT_EQ(Schedule("next", 0, 9, false, Record(0x0100, 0, 0.5f)), S_OK);
    EXPECT_EQ(ScheduleOf(m_channel.messages[0]).changeId, -10);
}

TEST_F(ContextScheduleTest, RefusalsLeaveTheContextAndTheRtsUntouched) {
    CueOn(600, 0);
    struct Row {
        const char* what;
        std::string name;
        std::int32_t condition;
        Golden change;
        const char* message;
    };
    const Row rows[] = {
        {"a name that does not fit", std::string(36, 'n'), 0, Record(0x0104, 2, 1.0f),
         "has 36 characters; at most 35 fit"},
        {"an unknown condition", "c", 5, Record(0x0104, 2, 1.0f), "condition 5 is not 0 to 4"},
        {"a speed out of range", "s", 0, Record(0x0104, 2, 99.0f), "Speed 99 is outside"},
        {"a port state out of range", "p", 0, Record(0x0004, 7), "port state 7 is not 0 to 4"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::size_t seen = tmstest::ReadLog().size();
        EXPECT_EQ(Schedule(row.name, row.condition, 1, false, row.change), E_INVALIDARG);
        EXPECT_TRUE(LoggedSince(seen, row.message));
        EXPECT_TRUE(m_channel.messages.empty());
    }
    // 35 characters fit exactly, NUL included.
    ASSERT_EQ(Schedule(std::string(35, 'x'), 0, 1, false, Record(0x0104, 2, 1.0f)), S_OK);
    EXPECT_EQ(ScheduleOf(m_channel.messages[0]).name, std::string(35, 'x'));
    EXPECT_EQ(ScheduleOf(m_channel.messages[0]).changeId, -10) << "refusals took no id";
}

TEST_F(ContextScheduleTest, AFiredChangeIsTakenFromTheUpdateWithItsId) {
    CueOn(600, 0);
    ASSERT_EQ(Schedule("go", 0, 10, false, Record(0x0104, TmsShuttlePlay, 1.0f)), S_OK);
    const std::size_t seen = tmstest::ReadLog().size();
    ASSERT_EQ(Hand(Update(-10, 3, TmsShuttlePlay, 5, 1.0f)), S_OK);
    const auto lines = LinesSince(seen);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), kPrefix + "triggered portState=Play speed=1.00 ");
    // The same report again is no new firing.
    ASSERT_EQ(Hand(Update(-10, 3, TmsShuttlePlay, 6, 1.0f)), S_OK);
    EXPECT_EQ(LinesSince(seen).size(), lines.size());
}

// Regression: a gang watcher's change stayed merged into the context when
// the RTS never took it, so the context acted on a change that would not fire.
TEST_F(ContextScheduleTest, AGangChangeTheRtsRefusedIsNotKept) {
    CueOn(600, 0);
    m_channel.failSends = HR(0x80043011);
    EXPECT_EQ(Schedule("gang", TmsCtxAtGangWatcher, 0x00050003, false,
                       Record(0x0104, TmsShuttlePlay, 1.0f)),
              HR(0x80043011));
    m_channel.failSends = S_OK;
    // Still cued: asking for play is a change of port state, and the id
    // the refused change took is taken again.
    ASSERT_EQ(Apply(Record(0x0004, TmsShuttlePlay)), S_OK);
    const auto sent = Contexts(m_channel.messages);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().flags & 0x0004u, 0x0004u);
    EXPECT_EQ(sent.back().changeId, 2);
}

}  // namespace
