// The audio and timecode resources as the channel drives them: the status
// thread copying and publishing their status while client threads set and
// read properties and status, and a context stamps the record timecode.
// Run under ThreadSanitizer (the name carries "Concurrency"); every thread
// does a fixed number of rounds, so nothing waits on time.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "server/appserverutil/ChanAccess.h"
#include "tests/resources/AttributeLog.h"
#include "tests/resources/ResourceFixture.h"
#include "tmschannel/resources/TmsResAudio.h"
#include "tmschannel/resources/TmsResTimecode.h"

namespace {

constexpr int kRounds = 300;

class AudioTimecodeConcurrencyTest : public tmstest::ResourceFixture {};

TEST_F(AudioTimecodeConcurrencyTest, StatusPassesRaceNothingWithPropertiesAndStatusQueries) {
    LoadConfig(
        "<Config><System><SystemVideoReference referenceStandard=\"Format625_50Hz_2To1\"/>"
        "</System><AudioInput id=\"AI\" gain=\"4096\"/><AudioOutput id=\"AO\" gain=\"4096\"/>"
        "<TcGenerator id=\"G\" genMode=\"FreeRun\"/><TcCodec id=\"C\"/>"
        "<Channel id=\"Chan1\" channelIndex=\"0\"><Audio index=\"0\" assigned=\"true\">"
        "<AudioInputComponent id=\"AI\"/><AudioOutputComponent id=\"AO\" primaryTag=\"x\"/>"
        "</Audio><Timecode index=\"0\" assigned=\"true\"><TcGeneratorComponent id=\"G\"/>"
        "<TcCodecComponent id=\"C\"/></Timecode></Channel></Config>");
    CTmsResAudio audio(0);
    ASSERT_EQ(audio.InitFromConfig(m_doc, Element("./Config/Channel/Audio")), S_OK);
    CTmsResTimecode timecode(0);
    ASSERT_EQ(timecode.InitFromConfig(m_doc, Element("./Config/Channel/Timecode")), S_OK);
    OpenRts();
    {
        CRtsChannelWrite w(m_writer, 0);
        ASSERT_TRUE(w);
        w->present = 1;
        w->audioCount = 1;
        w->activeContext = -1;
    }
    CChanAccess access(0);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    CComPtr<CAttributeLog> log = MakeComObject<CAttributeLog>();
    std::atomic<int> failures{0};
    auto check = [&](HRESULT hr) {
        if (FAILED(hr)) {
            ++failures;
        }
    };

    std::vector<std::thread> threads;
    // The status thread: the RTS moves, the pass copies and publishes.
    threads.emplace_back([&] {
        for (int i = 1; i <= kRounds; ++i) {
            {
                CRtsChannelWrite w(m_writer, 0);
                w->audio[0].level = static_cast<std::uint32_t>(i * 50);
                w->timecode.currentTimecode = static_cast<std::uint32_t>(i & 0x1F);
                w->timecode.recordCaptured = static_cast<std::uint8_t>(i % 3 == 0);
                w->timecode.recordTimecode = static_cast<std::uint32_t>(i);
            }
            const auto cycle = static_cast<std::uint16_t>(i);
            check(audio.PutStatus(cycle, m_shmem, 0));
            check(timecode.PutStatus(cycle, m_shmem, 0));
            check(audio.PublishStatus(access));
            check(timecode.PublishStatus(access));
        }
    });
    // A client setting properties.
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            bool refresh = false;
            check(
                audio.SetProperty(log, "outputgain", CVariant(-0.5f * (i % 20)), false, &refresh));
            check(audio.SetProperty(log, "primaryoutputtag", CVariant(i % 2 ? "a" : "b"), false,
                                    &refresh));
            check(timecode.SetProperty(log, "genmode", CVariant(i % 2 ? "FreeRun" : "FixedStart"),
                                       false, &refresh));
            check(audio.RefreshProperties(m_doc));
        }
    });
    // Clients reading.
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            CVariant v;
            check(audio.GetProperty("outputgain", v.GetAddress()));
            check(audio.StringToStatus("level", v.GetAddress()));
            check(timecode.StringToStatus("timecodestr", v.GetAddress()));
            check(timecode.GetProperty("genmode", v.GetAddress()));
            BYTE block[48];
            audio.GetMediaData(block);
            timecode.GetMediaData(block);
            (void)audio.GetMappedTrackNum(nullptr, nullptr, false);
        }
    });
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(audio.StatusCycle(), kRounds);
    EXPECT_EQ(log->writes.size(), 3u * kRounds);
}

}  // namespace
