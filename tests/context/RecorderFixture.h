// A timeline context on a stand-in recorder channel: a real movie of the
// timeline component, a real video resource made from a small configuration,
// the channel's play-list settings and clock under the test's control, and
// RTS shared memory in which the test says whether the context is the one the
// RTS runs. Every RTS message is kept as sent.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComObjectBase.h"
#include "platform/com/ComPtr.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/kernel/TestClock.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/ipmclient/RtsShmemWriter.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/IMovieBuilder.h"
#include "server/timeline/ITimeline.h"
#include "tests/context/ChangeRecord.h"
#include "tests/frame/LogLines.h"
#include "tests/support/TestRuntimeDir.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/context/ContextOwner.h"
#include "tmschannel/context/ContextRecord.h"
#include "tmschannel/context/FileCodePool.h"
#include "tmschannel/context/TimelineContext.h"
#include "tmschannel/resources/TmsResVideo.h"

namespace tmstest {

class CRecorderChannel final : public IContextOwner {
public:
    std::int32_t ChannelNumber() const override { return 1; }
    std::string ChannelName() const override { return "Chan2"; }
    const CRtsShmem& RtsShmem() const override { return shmem; }
    CChanAccess* ChanAccess() const override { return nullptr; }
    HRESULT SendRtsMsg(CMmioMsg& message, DWORD) override {
        std::lock_guard<std::mutex> lock(m_lock);
        const BYTE* b = message.GetBuffer();
        messages.emplace_back(b, b + message.GetMsgSize());
        return S_OK;
    }
    std::vector<std::shared_ptr<CTmsResource>> Resources() const override { return resources; }
    std::int32_t VideoFormat() const override {
        return tmsvideo::FormatFromName("Format525_60Hz_2To1", tmsvideo::kFormatInvalid);
    }
    bool LoopPlayback() const override { return loopPlayback; }
    bool EeBoard() const override { return true; }
    std::string ChannelType() const override { return "Recorder"; }
    HRESULT SetDefaultIdleMode(bool, bool) override { return S_OK; }
    bool Ganged() const override { return false; }
    std::int32_t ContinuousRecordFields() const override {
        return settings.continuousRecordSegment;
    }
    SpeedRange ShuttleSpeedRange() const override { return {-32.0f, 32.0f}; }
    PlayListSettings PlayList() const override { return settings; }
    IClock& Clock() const override { return clock; }

    mutable CTestClock clock{100000};
    PlayListSettings settings;
    bool loopPlayback = false;
    std::vector<std::shared_ptr<CTmsResource>> resources;
    CRtsShmem shmem;
    std::vector<std::vector<BYTE>> messages;

private:
    std::mutex m_lock;
};

// A chunk of a kept message: its id and where its body starts.
struct SentChunk {
    std::string id;
    std::size_t body;
    std::size_t size;
};

inline std::uint32_t WordAt(const std::vector<BYTE>& m, std::size_t at) {
    return m[at] | m[at + 1] << 8 | m[at + 2] << 16 | static_cast<std::uint32_t>(m[at + 3]) << 24;
}

// The chunks of a message in order, the contents of a LIST in its place.
inline void ChunksOf(const std::vector<BYTE>& m, std::size_t from, std::size_t to,
                     std::vector<SentChunk>* out) {
    while (from + 8 <= to) {
        const std::string id(reinterpret_cast<const char*>(&m[from]), 4);
        const std::size_t size = WordAt(m, from + 4);
        if (id == "LIST" || id == "RIFF") {
            ChunksOf(m, from + 12, std::min(to, from + 8 + size), out);
        } else {
            out->push_back({id, from + 8, size});
        }
        from += 8 + size + (size & 1);
    }
}

// Whether a log record from number from on holds the text.
inline bool LoggedSince(std::size_t from, const std::string& text) {
    const auto lines = ReadLog();
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (lines[i].text.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class RecorderFixture : public ::testing::Test {
protected:
    static constexpr std::uint32_t kToken = 0x00010100;  // channel 1, code 1, context 0
    static constexpr long kVideoTrack = 4;

    void SetUp() override {
        ASSERT_EQ(DllRegisterServerAt(TMS_XMLDOM_LIB), S_OK);
        ASSERT_EQ(DllRegisterServerAt(TMS_TIMELINE_LIB), S_OK);
        CFileCodePool::Instance().ResetForTest();
        ASSERT_EQ(m_writer.Create(2), 0u);
        SetActive(false);
        ASSERT_TRUE(m_channel.shmem.Open());
        ASSERT_EQ(CoCreateInstance(CLSID_DOMDocument40, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IXMLDOMDocument2, reinterpret_cast<void**>(&m_config)),
                  S_OK);
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(m_config->loadXML(
                      CBstr("<Config><System><SystemVideoReference referenceStandard="
                            "\"Format525_60Hz_2To1\"/></System><Board id=\"B0\"/>"
                            "<VideoInput id=\"In\" videoInputFormat=\"Format525_60Hz_2To1\"/>"
                            "<VideoCodec id=\"Co\" compressionFormat=\"Mpeg\" aspectRatio=\"4:3\">"
                            "<Mpeg dataRate=\"15.0\"/></VideoCodec>"
                            "<Channel id=\"Chan2\" channelIndex=\"1\"><Video index=\"0\" "
                            "assigned=\"true\"><VideoInputComponent id=\"In\"/>"
                            "<VideoCodecComponent id=\"Co\"/></Video>"
                            "<Ganging gangIndex=\"0\" gangOrder=\"1\"/></Channel></Config>"),
                      &ok),
                  S_OK);
        ASSERT_EQ(ok, VARIANT_TRUE);
        CComPtr<IXMLDOMNode> element;
        ASSERT_EQ(m_config->selectSingleNode(CBstr("./Config/Channel/Video"), &element), S_OK);
        m_video = std::make_shared<CTmsResVideo>(0);
        ASSERT_EQ(m_video->InitFromConfig(m_config, element), S_OK);
        m_channel.resources = {m_video};
        ASSERT_EQ(CoCreateInstance(CLSID_MovieBuilder, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IMovieBuilder, reinterpret_cast<void**>(&m_builder)),
                  S_OK);
        NewContext("m");
    }
    void TearDown() override {
        m_context.reset();
        m_broker.Release();
        m_movie.Release();
        m_timeline.Release();
        m_channel.shmem.Close();
        m_writer.Destroy();
        UnlinkAllNamedObjects();
        EXPECT_TRUE(NamedObjectsLeft().empty());
    }

    // A fresh context on a fresh movie of the name.
    void NewContext(const char* movie) {
        m_context.reset();
        m_broker.Release();
        m_movie.Release();
        m_timeline.Release();
        m_channel.messages.clear();
        unsigned short code = 0;
        ASSERT_EQ(m_builder->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr(movie), &code,
                                            IID_ITimeline, reinterpret_cast<void**>(&m_timeline)),
                  S_OK);
        ASSERT_EQ(m_timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&m_movie)), S_OK);
        m_context = std::make_unique<CTimelineContext>(0, m_config, m_channel);
        m_broker = MakeComObject<CBroker>();
        m_broker->context = m_context.get();
        ASSERT_EQ(m_context->RegisterTimeline(kToken, m_broker, m_timeline, false), S_OK);
    }

    // Continuous record keeping L = 10800 fields, in segments of S.
    void ContinuousRecord(std::int32_t segment, bool suspended = false) {
        m_channel.settings.continuousRecord = true;
        m_channel.settings.continuousRecordLength = 10800;
        m_channel.settings.continuousRecordSegment = segment;
        m_channel.settings.continuousRecordSuspended = suspended;
    }

    // Whether the RTS runs this context (channel 1, context 0).
    void SetActive(bool active) {
        CRtsChannelWrite block(m_writer, 1);
        ASSERT_TRUE(block);
        block->activeContext = active ? 0 : -1;
    }

    // Segments of the video track, each of length fields.
    void AppendVideo(int count, long length) {
        for (int i = 0; i < count; ++i) {
            unsigned short segment = 0;
            ASSERT_EQ(m_movie->AppendSegment(kVideoTrack, 0, 0, length, m_video->EncodeFileType(),
                                             nullptr, &segment),
                      S_OK);
        }
    }
    int VideoSegments() {
        int n = 0;
        for (long fromEnd = -1;; --fromEnd) {
            unsigned short code = 0;
            if (m_movie->GetLastSegment(kVideoTrack, 0, 0, fromEnd, &code) != S_OK) {
                return n;
            }
            ++n;
        }
    }
    std::int32_t MovieI4(const char* name) {
        CVariant v;
        EXPECT_EQ(m_movie->GetProperty(CBstr(name), v.GetAddress()), S_OK);
        return v.ToInt32();
    }
    bool MovieBool(const char* name) {
        CVariant v;
        EXPECT_EQ(m_movie->GetProperty(CBstr(name), v.GetAddress()), S_OK);
        return v.ToBool();
    }

    HRESULT Apply(const Golden& change) {
        std::vector<unsigned char> bytes = change.Bytes();
        return m_context->ApplyContextChange(kToken, bytes.data());
    }
    // A change record: flags, port state, speed, position, timeline length.
    static Golden Change(std::uint32_t flags, std::int32_t state, float speed,
                         std::int32_t position, std::int32_t length) {
        return Golden(ChangeRecord(flags, state, speed, position, length));
    }
    // The change id of the last port context record sent.
    std::int32_t LastChangeId() {
        for (auto m = m_channel.messages.rbegin(); m != m_channel.messages.rend(); ++m) {
            std::vector<SentChunk> chunks;
            ChunksOf(*m, 0, m->size(), &chunks);
            if (!chunks.empty() && chunks[0].id == "ctx ") {
                return static_cast<std::int32_t>(WordAt(*m, chunks[0].body + 8));
            }
        }
        return 0;
    }
    // The RTS's report, handed back as the timeline does, a second after the
    // last so that a record update is due.
    HRESULT Update(std::int32_t trigger, std::int32_t state, std::int32_t position,
                   float speed = 0.0f, std::int32_t portPosition = -1, DWORD afterMs = 1000) {
        m_channel.clock.Advance(afterMs);
        std::uint32_t bits = 0;
        std::memcpy(&bits, &speed, 4);
        Golden u(CTimelineContext::kUpdateRecordSize);
        u.U32(4, static_cast<std::uint32_t>(LastChangeId()))
            .U32(8, static_cast<std::uint32_t>(trigger))
            .U32(12, static_cast<std::uint32_t>(state))
            .U32(16, static_cast<std::uint32_t>(portPosition < 0 ? position : portPosition))
            .U32(20, static_cast<std::uint32_t>(position))
            .U32(36, bits);
        std::vector<unsigned char> bytes = u.Bytes();
        return m_context->ApplyContextUpdate(kToken, bytes.data());
    }
    // The port context records sent, as (flags, field at offset) pairs.
    std::vector<std::vector<BYTE>> ContextsSent() {
        std::vector<std::vector<BYTE>> out;
        for (const auto& m : m_channel.messages) {
            std::vector<SentChunk> chunks;
            ChunksOf(m, 0, m.size(), &chunks);
            if (!chunks.empty() && chunks[0].id == "ctx ") {
                out.emplace_back(m.begin() + static_cast<std::ptrdiff_t>(chunks[0].body),
                                 m.begin() + static_cast<std::ptrdiff_t>(chunks[0].body + 56));
            }
        }
        return out;
    }

    class CBroker : public CComObjectBase<ITmsContextBroker> {
    public:
        HRESULT ApplyContextChange(unsigned int token, int, unsigned char* change) override {
            return context->ApplyContextChange(token, change);
        }
        HRESULT ApplyContextUpdate(unsigned int token, int, unsigned char* update) override {
            return context->ApplyContextUpdate(token, update);
        }
        HRESULT ApplyScheduledChange(unsigned int, BSTR, TmsPortContextCondition, unsigned int,
                                     long, int, unsigned char*) override {
            return E_NOTIMPL;
        }
        HRESULT GetChannelCapabilities(unsigned int*, unsigned int*) override { return E_NOTIMPL; }
        HRESULT IsPlaying(unsigned int, long*) override { return E_NOTIMPL; }
        CTimelineContext* context = nullptr;
    };

    TestRuntimeDir m_dir;
    CRtsShmemWriter m_writer;
    CRecorderChannel m_channel;
    CComPtr<IXMLDOMDocument2> m_config;
    CComPtr<IMovieBuilder> m_builder;
    CComPtr<ITimeline> m_timeline;
    CComPtr<IMovie> m_movie;
    std::shared_ptr<CTmsResVideo> m_video;
    CComPtr<CBroker> m_broker;
    std::unique_ptr<CTimelineContext> m_context;
};

}  // namespace tmstest
