// A timeline context on its own: a stand-in channel that captures (or
// refuses) every RTS message, a real movie of the timeline component, and
// resources made for the case. What the channel tests cannot reach from
// outside: the state message overflowing its buffer, file codes after sends
// that fail, the channel going offline, and the thumbnail.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComObjectBase.h"
#include "platform/com/ComPtr.h"
#include "platform/com/VariantArray.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/appserverutil/StatusMemoryLayout.h"
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
constexpr HRESULT kSendFailed = HR(0x80048010);

// The channel as a context sees it. Messages are kept as sent; the one
// numbered failAt (counting from 0) is refused.
class CStandInChannel final : public IContextOwner {
public:
    std::int32_t ChannelNumber() const override { return 1; }
    std::string ChannelName() const override { return "Chan2"; }
    const CRtsShmem& RtsShmem() const override { return m_shmem; }
    CChanAccess* ChanAccess() const override { return access; }
    HRESULT SendRtsMsg(CMmioMsg& message, DWORD) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (sent++ == failAt) {
            return kSendFailed;
        }
        const BYTE* b = message.GetBuffer();
        messages.emplace_back(b, b + message.GetMsgSize());
        return S_OK;
    }
    std::vector<std::shared_ptr<CTmsResource>> Resources() const override { return resources; }
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

    std::vector<std::shared_ptr<CTmsResource>> resources;
    CChanAccess* access = nullptr;
    int failAt = -1;
    int sent = 0;
    std::vector<std::vector<BYTE>> messages;

private:
    CRtsShmem m_shmem;  // never opened: no context is ever active
    std::mutex m_lock;  // senders may be on several threads
};

// A video track whose states are plain 'vid ' chunks, copies of each when
// heavy, so that a list can be made larger than the message buffer.
class CPlainVideo : public CTmsResource {
public:
    CPlainVideo() : CTmsResource(0) {
        m_trackType = 4;
        m_typeName = u"video";
        m_indexText = u"1";
    }
    HRESULT PublishStatus(CChanAccess&) override { return S_OK; }
    HRESULT PutStatus(std::uint16_t, const CRtsShmem&, std::int32_t) override { return S_OK; }
    HRESULT AddBlackState(IMovie*, std::int32_t, std::int32_t, rts::CStateMessageBuilder&,
                          std::int32_t, std::int32_t) override {
        return S_OK;
    }
    HRESULT AddState(IMovie*, std::int32_t, std::int32_t p, bool, bool,
                     const MediaSegmentInfo& segment, rts::CStateMessageBuilder& message) override {
        rts::VideoStateRecord state{};
        state.start = p;
        state.fileCode = segment.fileCode;
        for (int i = 0; i < copies; ++i) {
            if (const HRESULT hr = message.AddVideoState(state); FAILED(hr)) {
                return hr;
            }
        }
        return S_OK;
    }
    int copies = 1;
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

std::vector<unsigned char> Change(std::uint32_t flags, std::int32_t state, float speed,
                                  std::int32_t position, std::int32_t length) {
    return tmstest::ChangeRecord(flags, state, speed, position, length);
}

std::uint32_t Word(const std::vector<BYTE>& m, std::size_t at) {
    return m[at] | m[at + 1] << 8 | m[at + 2] << 16 | static_cast<std::uint32_t>(m[at + 3]) << 24;
}

// The chunks of a RIFF message in order, LIST contents in place of the LIST.
struct Chunk {
    std::string id;
    std::size_t body;
};
void WalkChunks(const std::vector<BYTE>& m, std::size_t from, std::size_t to,
                std::vector<Chunk>* out) {
    while (from + 8 <= to) {
        const std::string id(reinterpret_cast<const char*>(&m[from]), 4);
        const std::size_t size = Word(m, from + 4);
        if (id == "LIST" || id == "RIFF") {
            WalkChunks(m, from + 12, std::min(to, from + 8 + size), out);
        } else {
            out->push_back({id, from + 8});
        }
        from += 8 + size + (size & 1);
    }
}

// Plays the messages the RTS took as it keeps its files: every state uses a
// file code that is open at that moment, and only an open file is closed.
// Returns the codes closed, in order.
std::vector<std::uint16_t> CheckFileCodes(const std::vector<std::vector<BYTE>>& messages) {
    std::set<std::uint16_t> open;
    std::vector<std::uint16_t> closed;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        std::vector<Chunk> chunks;
        WalkChunks(messages[i], 0, messages[i].size(), &chunks);
        for (const Chunk& c : chunks) {
            const auto code = static_cast<std::uint16_t>(Word(messages[i], c.body) & 0xFFFF);
            if (c.id == "fr  " || c.id == "fw  ") {
                EXPECT_TRUE(open.insert(code).second) << "message " << i << " opens " << code;
            } else if (c.id == "fcls") {
                EXPECT_EQ(open.erase(code), 1u) << "message " << i << " closes " << code;
                closed.push_back(code);
            } else if (c.id == "vid ") {
                const auto used =
                    static_cast<std::uint16_t>(Word(messages[i], c.body + 4) & 0xFFFF);
                EXPECT_TRUE(used == 0 || open.count(used) == 1)
                    << "message " << i << " plays file " << used << ", which is not open";
            }
        }
    }
    return closed;
}

bool Logged(const std::string& text) {
    for (const auto& r : tmstest::ReadLog()) {
        if (r.text.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class TimelineContextTest : public ::testing::Test {
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
        unsigned short code = 0;
        ASSERT_EQ(m_builder->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr("m"), &code,
                                            IID_ITimeline, reinterpret_cast<void**>(&m_timeline)),
                  S_OK);
        ASSERT_EQ(m_timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&m_movie)), S_OK);
        m_video = std::make_shared<CPlainVideo>();
        m_channel.resources = {m_video};
        m_context = std::make_unique<CTimelineContext>(0, m_config, m_channel);
        m_broker = MakeComObject<CLoopBackBroker>();
        m_broker->context = m_context.get();
        ASSERT_EQ(m_context->RegisterTimeline(kToken, m_broker, m_timeline, false), S_OK);
    }
    void TearDown() override {
        m_context.reset();
        m_broker.Release();
        // The status memory the offline and thumbnail cases open outlives
        // its handles, as the server's does: this runtime folder's goes.
        UnlinkAllNamedObjects();
        EXPECT_TRUE(tmstest::NamedObjectsLeft().empty());
    }

    // Clips of one frame, each its own media file.
    void AppendClips(int count) {
        for (int i = 0; i < count; ++i) {
            unsigned short segment = 0;
            ASSERT_EQ(m_movie->AppendSegment(4, 0, 0, 2, 4, nullptr, &segment), S_OK);
        }
    }
    HRESULT Apply(std::vector<unsigned char> change) {
        return m_context->ApplyContextChange(kToken, change.data());
    }

    tmstest::TestRuntimeDir m_dir;
    CComPtr<IXMLDOMDocument2> m_config;
    CComPtr<IMovieBuilder> m_builder;
    CComPtr<ITimeline> m_timeline;
    CComPtr<IMovie> m_movie;
    std::shared_ptr<CPlainVideo> m_video;
    CStandInChannel m_channel;
    CComPtr<CLoopBackBroker> m_broker;
    std::unique_ptr<CTimelineContext> m_context;
};

TEST_F(TimelineContextTest, AListTooLargeForTheBufferFailsAndTheRecordStaysAsItWas) {
    AppendClips(1);
    unsigned short rest = 0;
    ASSERT_EQ(m_movie->AppendSegment(4, 0, 0, 598, 4, nullptr, &rest), S_OK);
    ASSERT_EQ(Apply(Change(0x000C, TmsCuePlay, 0.0f, 100, 600)), S_OK);
    const std::size_t before = m_channel.messages.size();

    // 256 new states of a run write two chunks; 600 copies of each overflow
    // the 40960-byte buffer.
    m_video->copies = 600;
    const HRESULT hr = Apply(Change(0x010C, TmsShuttlePlay, 1.0f, 0, 600));
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(m_channel.messages.size(), before) << "nothing of the failed change is sent";

    // The same play again: still a move from Cue (port-state flag 0x0004 and
    // state 2) under the change id the failed change did not keep.
    m_video->copies = 1;
    ASSERT_EQ(Apply(Change(0x0104, TmsShuttlePlay, 1.0f, 0, 600)), S_OK);
    const auto& last = m_channel.messages.back();
    EXPECT_EQ(Word(last, 24) & 0x0104u, 0x0104u);
    EXPECT_EQ(Word(last, 28), 2u) << "change id";
    EXPECT_EQ(Word(last, 40), static_cast<std::uint32_t>(TmsShuttlePlay));
}

// Every send that can fail on the way, and the revoke's closing sends: the
// codes of the files a context opened all go back to the pool.
TEST_F(TimelineContextTest, FileCodesComeBackWhateverSendFails) {
    AppendClips(40);
    struct Row {
        const char* what;
        int failAt;
        bool filesKept;  // a cue the RTS did not take keeps no file
    };
    // Cue: file opens in messages 0 (36 files) and 1 (4), states in 2.
    // Seek to 40 frames in: states 3, closes 4. Revoke: closes 5 and 6.
    const Row rows[] = {{"first file message", 0, false},   {"second file message", 1, false},
                        {"state message", 2, false},        {"seek's state message", 3, true},
                        {"seek's close message", 4, true},  {"revoke's first close", 5, true},
                        {"revoke's second close", 6, true}, {"none", -1, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        m_channel.failAt = row.failAt;
        m_channel.sent = 0;
        Apply(Change(0x000C, TmsCuePlay, 0.0f, 0, 80));
        Apply(Change(0x0008, TmsCuePlay, 0.0f, 78, 80));
        EXPECT_EQ(CFileCodePool::Instance().UsedCount() > 0, row.filesKept);
        m_context->RevokeTimeline();
        EXPECT_EQ(CFileCodePool::Instance().UsedCount(), 0u);
        ASSERT_EQ(m_context->RegisterTimeline(kToken, m_broker, m_timeline, false), S_OK);
    }
}

// Two clips of 600 fields, each its own media file: file codes 1 and 2.
class TwoClipsTest : public TimelineContextTest {
protected:
    void SetUp() override {
        TimelineContextTest::SetUp();
        for (int i = 0; i < 2; ++i) {
            unsigned short segment = 0;
            ASSERT_EQ(m_movie->AppendSegment(4, 0, 0, 600, 4, nullptr, &segment), S_OK);
        }
    }
    static constexpr std::int32_t kLength = 1200;
};

// A change whose state message failed kept its new window and media files
// while the record went back; their records could then be closed under
// states that still used them. Now a change the RTS does not take leaves
// window, files and record as they were, and closes what it had opened.
TEST_F(TwoClipsTest, AChangeTheRtsRefusesLeavesWindowFilesAndRecordAsTheyWere) {
    ASSERT_EQ(Apply(Change(0x000C, TmsCuePlay, 0.0f, 0, kLength)), S_OK);
    ASSERT_EQ(CFileCodePool::Instance().UsedCount(), 1u);

    // The seek opens the second clip's file (message 0); its state message
    // (message 1) is refused.
    m_channel.sent = 0;
    m_channel.failAt = 1;
    const std::size_t before = m_channel.messages.size();
    EXPECT_EQ(Apply(Change(0x0008, TmsCuePlay, 0.0f, 1000, kLength)), kSendFailed);
    m_channel.failAt = -1;
    ASSERT_EQ(m_channel.messages.size(), before + 2) << "the open, then the close of the undo";
    EXPECT_EQ(CheckFileCodes(m_channel.messages), (std::vector<std::uint16_t>{2}));
    EXPECT_EQ(CFileCodePool::Instance().UsedCount(), 1u) << "only the first clip's file";

    // Play on from the position the RTS still has: the window is the cue's,
    // so nothing is purged, and the change takes the id the failed one did not.
    ASSERT_EQ(Apply(Change(0x0104, TmsShuttlePlay, 1.0f, 0, kLength)), S_OK);
    const auto& play = m_channel.messages.back();
    EXPECT_EQ(Word(play, 24) & 0x0400u, 0u) << "no purge";
    EXPECT_EQ(Word(play, 28), 2u) << "change id";
    EXPECT_EQ(Word(play, 44), 0u) << "position";
    CheckFileCodes(m_channel.messages);
}

// A file marked for closing whose close the RTS refused was closed at the
// next state message although that message's states used it again.
TEST_F(TwoClipsTest, AFileMarkedForClosingThatAStateUsesAgainStaysOpen) {
    ASSERT_EQ(Apply(Change(0x000C, TmsCuePlay, 0.0f, 0, kLength)), S_OK);
    // The seek: open of file 2 (message 0), states (1), close of file 1 (2),
    // which the RTS refuses: the RTS keeps file 1 open, and so does the map.
    m_channel.sent = 0;
    m_channel.failAt = 2;
    EXPECT_EQ(Apply(Change(0x0008, TmsCuePlay, 0.0f, 1000, kLength)), kSendFailed);
    m_channel.failAt = -1;
    EXPECT_EQ(CFileCodePool::Instance().UsedCount(), 2u);

    // Back to the first clip: its file is used again and must stay open;
    // then play on through it.
    ASSERT_EQ(Apply(Change(0x0008, TmsCuePlay, 0.0f, 0, kLength)), S_OK);
    ASSERT_EQ(Apply(Change(0x0104, TmsShuttlePlay, 1.0f, 0, kLength)), S_OK);
    const std::vector<std::uint16_t> closed = CheckFileCodes(m_channel.messages);
    EXPECT_EQ(closed, (std::vector<std::uint16_t>{2})) << "only the second clip's file";
    EXPECT_EQ(CFileCodePool::Instance().UsedCount(), 1u);
}

// NaN, infinities and speeds beyond the shuttle range reached a conversion
// to a position that is undefined for them, and states at -2147483648 were
// sent. They are refused, naming the speed and the range, and change nothing.
TEST_F(TwoClipsTest, SpeedsNotFiniteOrOutsideTheShuttleRangeAreRefusedAndChangeNothing) {
    ASSERT_EQ(Apply(Change(0x000C, TmsCuePlay, 0.0f, 0, kLength)), S_OK);
    const std::size_t before = m_channel.messages.size();
    struct Row {
        float speed;
        const char* text;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Row refused[] = {{std::numeric_limits<float>::quiet_NaN(), "Speed nan "},
                           {inf, "Speed inf "},
                           {-inf, "Speed -inf "},
                           {1e30f, "Speed 1e+30 "},
                           {1000000.0f, "Speed 1e+06 "},
                           {32.5f, "Speed 32.5 "},
                           {-32.5f, "Speed -32.5 "}};
    for (const Row& row : refused) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(Apply(Change(0x0104, TmsShuttlePlay, row.speed, 0, kLength)), E_INVALIDARG);
        EXPECT_TRUE(
            Logged(std::string(row.text) + "is outside the channel's shuttle range -32 to 32"));
        EXPECT_EQ(m_channel.messages.size(), before) << "nothing sent";
    }
    for (float speed : {32.0f, -32.0f}) {
        SCOPED_TRACE(speed);
        EXPECT_EQ(Apply(Change(0x0104, TmsShuttlePlay, speed, 600, kLength)), S_OK);
        // The state message, before any file message that follows it.
        std::vector<BYTE> last;
        for (const auto& m : m_channel.messages) {
            if ((Word(m, 24) & 0x0100u) != 0) {
                last = m;
            }
        }
        ASSERT_FALSE(last.empty());
        float sent = 0.0f;
        std::memcpy(&sent, &last[20 + 44], 4);
        EXPECT_EQ(sent, speed);
    }
    EXPECT_EQ(Word(m_channel.messages[before], 28), 2u) << "the refusals took no change id";
}

// Reversed limits went to the RTS, which refused them with an error code
// alone. A change may not send a start limit after its end limit (the one
// it sends, or the one it keeps): refused before anything is sent, naming
// the values.
TEST_F(TwoClipsTest, ReversedPlayLimitsAreRefusedNamingTheValuesBeforeAnythingIsSent) {
    ASSERT_EQ(Apply(Change(0x000C, TmsCuePlay, 0.0f, 0, kLength)), S_OK);
    Golden kept(Change(0x400000, TmsCuePlay, 0.0f, 0, kLength));
    kept.U32(92, 300);
    ASSERT_EQ(Apply(kept.Bytes()), S_OK);
    const std::size_t before = m_channel.messages.size();
    struct Row {
        std::uint32_t flags;
        std::int32_t start, end;
        const char* text;
    };
    const Row rows[] = {
        {0x600000, 5, 3, "Play limits are reversed: start limit 5 is after end limit 3"},
        {0x600000, 1100, 1000, "start limit 1100 is after end limit 1000"},
        {0x200000, 400, 0, "start limit 400 is after end limit 300"},  // the end kept
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Golden limits(Change(row.flags, TmsCuePlay, 0.0f, 0, kLength));
        limits.U32(88, static_cast<std::uint32_t>(row.start))
            .U32(92, static_cast<std::uint32_t>(row.end));
        EXPECT_EQ(Apply(limits.Bytes()), E_INVALIDARG);
        EXPECT_TRUE(Logged(row.text));
        EXPECT_EQ(m_channel.messages.size(), before) << "nothing sent";
    }
    Golden limits(Change(0x600000, TmsCuePlay, 0.0f, 0, kLength));
    limits.U32(88, 9).U32(92, 300);
    ASSERT_EQ(Apply(limits.Bytes()), S_OK);
    const auto& sent = m_channel.messages.back();
    EXPECT_EQ(Word(sent, 20 + 28), 9u) << "minimum";
    EXPECT_EQ(Word(sent, 20 + 32), 300u) << "maximum";
}

// The play limits of the last state message sent.
std::pair<std::int32_t, std::int32_t> SentLimits(const std::vector<std::vector<BYTE>>& messages) {
    for (auto m = messages.rbegin(); m != messages.rend(); ++m) {
        if (m->size() >= 20 + 56 &&
            std::string(reinterpret_cast<const char*>(&(*m)[8]), 4) == "sbuf") {
            return {static_cast<std::int32_t>(Word(*m, 20 + 28)),
                    static_cast<std::int32_t>(Word(*m, 20 + 32))};
        }
    }
    ADD_FAILURE() << "no state message sent";
    return {0, 0};
}

// Reversed bounds were refused however they came about. A start limit set
// while the timeline was longer lies past the end once an edit shortens
// it, and from then on every change failed, a stop included. Limits the
// client did not send in the change are warned about and held together
// inside the timeline; the RTS never gets them reversed.
TEST_F(TwoClipsTest, AStartLimitPastAShortenedTimelineNoLongerRefusesEveryChangeAStopIncluded) {
    Golden cue(Change(0x60000C, TmsCuePlay, 0.0f, 1000, kLength));
    cue.U32(88, 1000).U32(92, static_cast<std::uint32_t>(-1));
    ASSERT_EQ(Apply(cue.Bytes()), S_OK);
    EXPECT_EQ(SentLimits(m_channel.messages), std::make_pair(1000, 1199));

    // The second clip's last 400 fields cut: 800 fields left.
    Golden edit(Change(0x800000, TmsCuePlay, 0.0f, 0, 800));
    edit.U32(108, 800).U32(112, 1199).U32(116, static_cast<std::uint32_t>(-400));
    ASSERT_EQ(Apply(edit.Bytes()), S_OK);
    EXPECT_TRUE(Logged("Warning, state bounds are reversed: 1000 - 799"));

    struct Row {
        const char* what;
        std::uint32_t flags;
        std::int32_t state;
    };
    const Row rows[] = {{"stop", 0x10000, TmsCuePlay},
                        {"play", 0x0104, TmsShuttlePlay},
                        {"stop while playing", 0x10000, TmsShuttlePlay}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(Apply(Change(row.flags, row.state, 1.0f, 0, 800)), S_OK);
        const auto [min, max] = SentLimits(m_channel.messages);
        EXPECT_LE(min, max);
        EXPECT_EQ(max, 799) << "held on the timeline's last field";
    }
}

TEST_F(TimelineContextTest, GoingOfflineStopsAContextThatIsNotIdleAndComingBackIsLogged) {
    CChanAccess access(1);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    m_channel.access = &access;
    AppendClips(4);
    ASSERT_EQ(Apply(Change(0x000C, TmsCuePlay, 0.0f, 0, 8)), S_OK);
    auto logged = [](const std::string& text) {
        for (const auto& r : tmstest::ReadLog()) {
            if (r.kind == "MSG" && r.text == text) {
                return true;
            }
        }
        return false;
    };

    m_channel.messages.clear();
    ASSERT_EQ(access.SetChanOfflineEvent(true), S_OK);
    ASSERT_EQ(m_context->HandleOfflineEvent(TmsCuePlay), S_OK);
    ASSERT_EQ(m_context->HandleOfflineEvent(TmsCuePlay), S_OK) << "latched: said once";
    ASSERT_EQ(m_channel.messages.size(), 1u);
    const auto& stop = m_channel.messages[0];
    EXPECT_EQ(stop.size(), 76u) << "the port context alone";
    EXPECT_EQ(Word(stop, 24), 0x0800u);
    EXPECT_EQ(Word(stop, 32), 1u) << "trigger Asap";
    EXPECT_TRUE(logged("Ch1,Cxt0: taken offline. Forcing 'movie:///ds/grp/m' to idle"));

    ASSERT_EQ(access.SetChanOfflineEvent(false), S_OK);
    ASSERT_EQ(m_context->HandleOfflineEvent(TmsShuttlePlay), S_OK);
    EXPECT_TRUE(logged("Ch1,Cxt0: back online"));

    // Idle: the latch moves without a stop; the way back is logged again.
    m_channel.messages.clear();
    ASSERT_EQ(access.SetSysOffline(true), S_OK);
    ASSERT_EQ(m_context->HandleOfflineEvent(TmsIdle), S_OK);
    EXPECT_TRUE(m_channel.messages.empty());
    ASSERT_EQ(access.SetSysOffline(false), S_OK);
    ASSERT_EQ(m_context->HandleOfflineEvent(TmsIdle), S_OK);
    int backs = 0;
    for (const auto& r : tmstest::ReadLog()) {
        backs += r.kind == "MSG" && r.text == "Ch1,Cxt0: back online" ? 1 : 0;
    }
    EXPECT_EQ(backs, 2);
    m_channel.access = nullptr;
}

TEST_F(TimelineContextTest, AThumbnailMarkIsPublishedWithoutAStateMessage) {
    CChanAccess access(1);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    m_channel.access = &access;
    AppendClips(4);
    const BYTE image[] = {0x89, 'P', 'N', 'G', 7};
    ASSERT_EQ(m_movie->SetProperty(CBstr("thumbnailImage"), MakeByteArray(image, sizeof image)),
              S_OK);
    ASSERT_EQ(m_movie->SetProperty(CBstr("thumbnailMark"), CVariant(std::int32_t{6})), S_OK);

    Golden mark(Change(0x800000, TmsIdle, 0.0f, 0, 8));
    mark.U32(108, 6).U32(120, 0x4);
    ASSERT_EQ(Apply(mark.Bytes()), S_OK);
    EXPECT_TRUE(m_channel.messages.empty());
    const std::uint8_t* block = access.StatusBlock();
    std::uint32_t stored = 0, size = 0;
    std::memcpy(&stored, block + 0x155C4, 4);
    std::memcpy(&size, block + statusmem::kThumbnail, 4);
    EXPECT_EQ(stored, 6u);
    ASSERT_EQ(size, sizeof image);
    EXPECT_EQ(std::memcmp(block + statusmem::kThumbnail + 4, image, sizeof image), 0);

    // Without a mark the slot is emptied.
    ASSERT_EQ(m_movie->SetProperty(CBstr("thumbnailMark"), CVariant(std::int32_t{-1})), S_OK);
    ASSERT_EQ(Apply(mark.Bytes()), S_OK);
    std::memcpy(&size, block + statusmem::kThumbnail, 4);
    EXPECT_EQ(size, 0u);
    m_channel.access = nullptr;
}

TEST_F(TimelineContextTest, UnknownContextPropertiesAreRefusedByName) {
    EXPECT_EQ(m_context->SetProperty("mappedvideooffset", CVariant(std::int32_t{2})), S_OK);
    EXPECT_EQ(m_context->MappedVideoOffset(), 2);
    EXPECT_EQ(m_context->SetProperty("gangedctx", CVariant(true)), S_OK);
    EXPECT_EQ(m_context->SetProperty("mappedtimecodeoffset", CVariant(std::int32_t{1})),
              HR(0x8004300f));
}

// The offline stop is sent after the context lock was left, while a
// client may be changing the same fields: run under ThreadSanitizer.
TEST_F(TimelineContextTest, ConcurrencyOfflineStopsAgainstClientChanges) {
    CChanAccess access(1);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    m_channel.access = &access;
    AppendClips(8);
    ASSERT_EQ(Apply(Change(0x000C, TmsCuePlay, 0.0f, 0, 16)), S_OK);
    std::atomic<bool> stop{false};
    std::thread client([&] {
        for (int i = 0; i < 200; ++i) {
            Apply(Change(0x0104, i % 2 != 0 ? TmsShuttlePlay : TmsCuePlay, i % 2 != 0 ? 1.0f : 0.0f,
                         0, 16));
            Apply(Change(0x0008, TmsShuttlePlay, 1.0f, (i % 8) * 2, 16));
        }
        stop = true;
    });
    bool offline = false;
    while (!stop) {
        offline = !offline;
        access.SetChanOfflineEvent(offline);
        EXPECT_TRUE(SUCCEEDED(m_context->HandleOfflineEvent(TmsShuttlePlay)));
    }
    client.join();
    m_channel.access = nullptr;
}

}  // namespace
