// The audio resource: its gain and level conversions at their edges, the
// "aud " state list byte for byte, the configuration it reads (gains,
// sample format, output tags and their occurrence), the tracks it plays,
// its property refusals, and the live status it takes and publishes.
// Expected bytes and offsets are written out from the layouts, not read
// back from the code.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComObjectBase.h"
#include "platform/com/ComPtr.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/configmgr/IConfigMgr.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/ipmclient/RtsShmemWriter.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/IMovieBuilder.h"
#include "server/timeline/ITimeline.h"
#include "tests/resources/AttributeLog.h"
#include "tests/resources/ResourceFixture.h"
#include "tests/rts/Golden.h"
#include "tests/support/TestRuntimeDir.h"
#include "tmschannel/context/TrackMapping.h"
#include "tmschannel/resources/TmsResAudio.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

class CMapping : public ITrackMapping {
public:
    std::int32_t MappedVideoOffset() const override { return 0; }
    std::int32_t MappedAudioOffset() const override { return audioOffset; }
    std::int32_t audioOffset = 0;
};

class AudioResourceTest : public tmstest::ResourceFixture {
protected:
    // Channel 0 with the given audio elements (and their components).
    void Load(const std::string& components, const std::string& elements) {
        LoadConfig(
            "<Config><System><SystemVideoReference "
            "referenceStandard=\"Format625_50Hz_2To1\"/></System>" +
            components + "<Channel id=\"Chan1\" channelIndex=\"0\">" + elements +
            "</Channel></Config>");
    }
    // Audio resource n of the loaded channel.
    std::unique_ptr<CTmsResAudio> Audio(int n) {
        auto audio = std::make_unique<CTmsResAudio>(n);
        EXPECT_EQ(audio->InitFromConfig(
                      m_doc, Element("./Config/Channel/Audio[" + std::to_string(n + 1) + "]")),
                  S_OK);
        return audio;
    }
    // One audio path whose input and output gains and input format are given.
    std::unique_ptr<CTmsResAudio> OnePath(const std::string& inputGain,
                                          const std::string& outputGain,
                                          const std::string& format = "16bit") {
        Load("<AudioInput id=\"AI\" " + inputGain +
                 " selectedInput=\"Aes\"><Aes audioInputFormat=\"" + format +
                 "\"/></AudioInput><AudioOutput id=\"AO\" " + outputGain + "/>",
             "<Audio index=\"0\"><AudioInputComponent id=\"AI\" tag=\"mic\"/>"
             "<AudioOutputComponent id=\"AO\"/></Audio>");
        return Audio(0);
    }
    void Rts(int audio, std::uint16_t level, std::uint16_t gainIn, std::uint16_t gainOut,
             std::int32_t portState = TmsIdle, std::int32_t idleMode = TmsStopFreeze) {
        OpenRts();
        CRtsChannelWrite w(m_writer, 0);
        ASSERT_TRUE(w);
        w->present = 1;
        w->audioCount = static_cast<std::uint32_t>(audio + 1);
        w->audio[audio].level = level;
        w->audio[audio].gainLeft = gainIn;
        w->audio[audio].gainRight = gainOut;
        w->activeContext = 0;
        w->contexts[0].portState = portState;
        w->contexts[0].idleMode = idleMode;
    }
    static float Status(CTmsResource& r, const char* name) {
        CVariant v;
        EXPECT_EQ(r.StringToStatus(name, v.GetAddress()), S_OK) << name;
        return v.ToFloat();
    }
};

TEST(AudioConversionTest, GainsAndLevelsConvertAtTheirEdges) {
    struct Row {
        const char* what;
        float (*convert)(std::uint16_t);
        std::uint16_t raw;
        float db;
    } rows[] = {
        {"gain 0 is silence", CTmsResAudio::GainToDb, 0, -40.0f},
        {"gain 1 is far below silence but not silence", CTmsResAudio::GainToDb, 1, -72.247f},
        {"unity gain", CTmsResAudio::GainToDb, 4096, 0.0f},
        {"half gain", CTmsResAudio::GainToDb, 2048, -6.0206f},
        {"largest gain", CTmsResAudio::GainToDb, 65535, 24.0824f},
        {"level 0 is silence", CTmsResAudio::LevelToDb, 0, -40.0f},
        {"full-scale level", CTmsResAudio::LevelToDb, 32767, 24.0f},
        {"largest level", CTmsResAudio::LevelToDb, 65535, 30.0206f},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_NEAR(row.convert(row.raw), row.db, 0.001f);
    }
}

TEST(AudioConversionTest, DecibelsToRawGainTruncateAndRefuseWhatDoesNotFit) {
    struct Row {
        float db;
        bool fits;
        std::uint16_t raw;
    } rows[] = {
        {0.0f, true, 4096},    {-6.0f, true, 2052},  {-200.0f, true, 0},
        {24.08f, true, 65517}, {24.09f, false, 0},   {40.0f, false, 0},
        {NAN, false, 0},       {INFINITY, false, 0}, {-INFINITY, false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.db);
        std::uint16_t raw = 0xBEEF;
        EXPECT_EQ(CTmsResAudio::DbToGain(row.db, &raw), row.fits);
        if (row.fits) {
            EXPECT_EQ(raw, row.raw);
        } else {
            EXPECT_EQ(raw, 0xBEEF) << "left untouched";
        }
    }
}

TEST(AudioConversionTest, StateGainIsCappedAndNeverTurnsNegativeFactorsIntoFullGain) {
    struct Row {
        double factor;
        std::uint16_t gain;
    } rows[] = {{1.0, 0x1000},   {0.5, 0x800}, {0.00001, 0}, {7.99, 0x7FD7}, {8.0, 0x7FFF},
                {1e300, 0x7FFF}, {-1.0, 0},    {-1e300, 0},  {NAN, 0},       {0.0, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.factor);
        EXPECT_EQ(CTmsResAudio::StateGain(row.factor), row.gain);
    }
}

// LIST "rbuf" of one audio resource: "res " with its index and type, then
// one 48-byte "aud " per state: port position +0, file code +4, media
// position +8, fields left +16, in-segment offset +20, gain +28.
TEST_F(AudioResourceTest, AudioStateListBytesAsTheLayoutGivesThem) {
    auto audio = OnePath("gain=\"4096\"", "gain=\"4096\"");
    MediaSegmentInfo segment;
    segment.start = 100;
    segment.markIn = 10;
    segment.duration = 50;
    segment.fileCode = 7;
    auto factor = [&](double f) {
        std::memcpy(segment.mediaData, &f, 8);
        segment.mediaData[32] = 2;  // described: the encode file type is set
    };
    CMmioMsg message(4096);
    rts::CStateMessageBuilder builder(message);
    rts::ResourceIdRecord id{};
    std::memcpy(id.indexText, "0", 1);
    std::memcpy(id.typeName, "audio", 5);
    ASSERT_EQ(builder.BeginResource(id), S_OK);
    factor(0.5);
    ASSERT_EQ(audio->AddState(nullptr, 120, 1120, false, false, segment, builder), S_OK);
    ASSERT_EQ(audio->AddState(nullptr, 120, 1120, true, false, segment, builder), S_OK);
    factor(9.0);
    ASSERT_EQ(audio->AddState(nullptr, 130, 1130, false, false, segment, builder), S_OK);
    factor(-0.5);
    ASSERT_EQ(audio->AddState(nullptr, 140, 1140, false, false, segment, builder), S_OK);
    ASSERT_EQ(audio->AddBlackState(nullptr, 150, 1150, builder, 10, 49), S_OK);
    ASSERT_EQ(builder.EndResource(), S_OK);

    const std::size_t states = 5, chunk = 8 + 48;
    tmstest::Golden g(12 + 8 + 72 + states * chunk);
    g.Text(0, "LIST").U32(4, static_cast<std::uint32_t>(4 + 8 + 72 + states * chunk));
    g.Text(8, "rbuf").Text(12, "res ").U32(16, 72).Text(20, "0").Text(20 + 36, "audio");
    std::size_t at = 92;
    auto state = [&](std::int32_t port, std::uint16_t code, std::int32_t media, std::int32_t left,
                     std::int32_t offset, std::uint16_t gain) {
        g.Text(at, "aud ").U32(at + 4, 48);
        g.U32(at + 8, static_cast<std::uint32_t>(port)).U16(at + 12, code);
        g.U32(at + 16, static_cast<std::uint32_t>(media));
        g.U32(at + 24, static_cast<std::uint32_t>(left)).U32(at + 28, offset);
        g.U16(at + 36, gain);
        at += chunk;
    };
    state(1120, 7, 30, 29, 20, 0x0800);                // play: 4096 x 0.5
    state(1120, 7, 30, 0x7FFFFFFF - 120, 20, 0x1000);  // record: unity, runs on
    state(1130, 7, 40, 19, 30, 0x7FFF);                // capped
    state(1140, 7, 50, 9, 40, 0x0000);                 // a negative factor plays silent
    state(1150, 0, 0, 49, 10, 0x1000);                 // black
    ASSERT_EQ(message.GetMsgSize(), g.Bytes().size());
    EXPECT_EQ(tmstest::Hex(message.GetBuffer(), g.Bytes().size()),
              tmstest::Hex(g.Bytes().data(), g.Bytes().size()));
}

TEST_F(AudioResourceTest, ASegmentWhoseMediaDataWasNeverWrittenPlaysAtUnityGain) {
    auto audio = OnePath("", "");
    MediaSegmentInfo segment;  // all 48 bytes zero
    segment.duration = 10;
    CMmioMsg message(256);
    rts::CStateMessageBuilder builder(message);
    ASSERT_EQ(audio->AddState(nullptr, 0, 0, false, false, segment, builder), S_OK);
    EXPECT_EQ(message.GetBuffer()[8 + 28], 0x00);
    EXPECT_EQ(message.GetBuffer()[8 + 29], 0x10);
}

TEST_F(AudioResourceTest, ConfiguredGainsFormatsAndMediaData) {
    struct Row {
        const char* what;
        std::string inputGain, outputGain, format;
        float inputDb, outputDb;
        std::int32_t bits, flags, fileType;
    } rows[] = {
        {"unity", "gain=\"4096\"", "gain=\"2048\"", "16bit", 0.0f, -6.0206f, 16, 0, 10},
        {"missing and zero gains read as silence", "", "gain=\"0\"", "24bit", -40.0f, -40.0f, 24, 0,
         9},
        {"65536 is 0 in 16 bits", "gain=\"65536\"", "gain=\"4096\"", "Ac3", -40.0f, 0.0f, 16,
         0x1000, 17},
        {"DolbyE", "gain=\"4096\"", "gain=\"4096\"", "DolbyE", 0.0f, 0.0f, 24, 0x2000, 18},
        {"Data", "gain=\"4096\"", "gain=\"4096\"", "Data", 0.0f, 0.0f, 24, 0x4000, 19},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto audio = OnePath(row.inputGain, row.outputGain, row.format);
        EXPECT_NEAR(audio->InputGainDb(), row.inputDb, 0.001f);
        EXPECT_NEAR(audio->OutputGainDb(), row.outputDb, 0.001f);
        EXPECT_EQ(audio->GetBytesPerSecond(), row.bits * 48000 / 8);
        EXPECT_EQ(audio->GetMediaFileType(4), row.fileType);
        BYTE block[48];
        std::memset(block, 0xAA, sizeof block);
        audio->GetMediaData(block);
        tmstest::Golden g(48);
        const double one = 1.0;
        std::uint8_t oneBytes[8];
        std::memcpy(oneBytes, &one, 8);
        for (int i = 0; i < 8; ++i) {
            g.U8(static_cast<std::size_t>(i), oneBytes[i])
                .U8(8 + static_cast<std::size_t>(i), oneBytes[i]);
        }
        g.U32(24, static_cast<std::uint32_t>(row.flags)).U32(32, 2).U32(36, 48000);
        g.U32(40, static_cast<std::uint32_t>(row.bits)).U32(44, 1);  // format 625/50
        EXPECT_EQ(tmstest::Hex(block, 48), tmstest::Hex(g.Bytes().data(), 48));
    }
}

// Regression: a gain taken out of the configuration kept its old value when
// the configuration was read again, and an input without a selected input
// took the format of whichever input kind came first.
TEST_F(AudioResourceTest, ReadingAgainForgetsARemovedGainAndNoSelectedInputMeans16Bit) {
    auto audio = OnePath("gain=\"2048\"", "gain=\"2048\"", "24bit");
    ASSERT_NEAR(audio->InputGainDb(), -6.0206f, 0.001f);
    Load(
        "<AudioInput id=\"AI\"><Aes audioInputFormat=\"24bit\"/></AudioInput>"
        "<AudioOutput id=\"AO\"/>",
        "<Audio index=\"0\"><AudioInputComponent id=\"AI\"/>"
        "<AudioOutputComponent id=\"AO\"/></Audio>");
    ASSERT_EQ(audio->InitFromConfig(m_doc, Element("./Config/Channel/Audio")), S_OK);
    EXPECT_EQ(audio->InputGainDb(), -40.0f);
    EXPECT_EQ(audio->OutputGainDb(), -40.0f);
    EXPECT_EQ(audio->AudioFormat(), "16bit");
}

TEST_F(AudioResourceTest, OutputsWithTheSameTagsTakeSuccessiveOccurrences) {
    // Outputs 0-2 share (music, m2), 3 has other tags, 4 shares 0-2's tags
    // again but is not directly after them, 5 has none.
    Load("",
         "<Audio index=\"0\"><AudioOutputComponent id=\"O0\" primaryTag=\"music\" "
         "secondaryTag=\"m2\"/></Audio>"
         "<Audio index=\"1\"><AudioOutputComponent id=\"O1\" primaryTag=\"music\" "
         "secondaryTag=\"m2\"/></Audio>"
         "<Audio index=\"2\"><AudioOutputComponent id=\"O2\" primaryTag=\"music\" "
         "secondaryTag=\"m2\" playSilence=\"true\"/></Audio>"
         "<Audio index=\"3\"><AudioOutputComponent id=\"O3\" primaryTag=\"voice\"/></Audio>"
         "<Audio index=\"4\"><AudioOutputComponent id=\"O4\" primaryTag=\"music\" "
         "secondaryTag=\"m2\"/></Audio>"
         "<Audio index=\"5\"><AudioOutputComponent id=\"O5\"/></Audio>");
    const std::int32_t expected[] = {0, 1, 2, 0, 0, -1};
    for (int n = 0; n < 6; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(Audio(n)->TagOccurrence(), expected[n]);
    }
}

TEST_F(AudioResourceTest, TaggedOutputsPlayTheMatchingTrackOrSilenceOrTheNumberedTrack) {
    Load("",
         "<Audio index=\"0\"><AudioOutputComponent id=\"O0\" primaryTag=\"music\" "
         "secondaryTag=\"fx\"/></Audio>"
         "<Audio index=\"1\"><AudioOutputComponent id=\"O1\" primaryTag=\"music\" "
         "secondaryTag=\"fx\"/></Audio>"
         "<Audio index=\"2\"><AudioOutputComponent id=\"O2\" primaryTag=\"dub\" "
         "playSilence=\"true\"/></Audio>"
         "<Audio index=\"3\"><AudioOutputComponent id=\"O3\" primaryTag=\"dub\"/></Audio>");
    CComPtr<IMovie> movie = NewMovie("tags");
    // Audio tracks 0..3 labelled x, music, fx, music.
    const char* labels[] = {"x", "music", "fx", "music"};
    for (long n = 0; n < 4; ++n) {
        unsigned short segment = 0;
        ASSERT_EQ(movie->AppendSegment(2, n, 0, 10, 2, nullptr, &segment), S_OK);
        ASSERT_EQ(movie->SetTrackLabel(2, n, CBstr(labels[n])), S_OK);
    }
    CMapping mapping;
    mapping.audioOffset = 4;
    struct Row {
        int resource;
        bool record;
        std::int32_t track;
        const char* why;
    } rows[] = {
        {0, false, 1, "first 'music' track"},
        {1, false, 3, "second 'music' track"},
        {2, false, 0x7FFFFFFF, "no 'dub' track and play silence: silence"},
        {3, false, 4 + 3, "no 'dub' track: the numbered track"},
        {0, true, 4 + 0, "a record writes the numbered track"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        EXPECT_EQ(Audio(row.resource)->GetMappedTrackNum(&mapping, movie, row.record), row.track);
    }
    // The secondary tag is asked when the primary one matches nothing.
    Load("",
         "<Audio index=\"0\"><AudioOutputComponent id=\"O0\" primaryTag=\"none\" "
         "secondaryTag=\"fx\"/></Audio>");
    EXPECT_EQ(Audio(0)->GetMappedTrackNum(&mapping, movie, false), 2);
}

TEST_F(AudioResourceTest, PropertySetsPersistOrAreRefusedWithTheirCodes) {
    auto audio = OnePath("gain=\"4096\"", "gain=\"4096\"");
    CComPtr<CAttributeLog> log = MakeComObject<CAttributeLog>();
    struct Row {
        const char* name;
        CVariant value;
        HRESULT hr;
        const char* attribute;  // the write a good set makes
        const char* written;
    } rows[] = {
        {"inputgain", CVariant(-6.0f), S_OK, "gain", "2052"},
        {"outputgain", CVariant("0"), S_OK, "gain", "4096"},
        {"inputgain", CVariant("loud"), E_INVALIDARG, nullptr, nullptr},
        {"outputgain", CVariant(30.0f), E_INVALIDARG, nullptr, nullptr},
        {"inputtag", CVariant("speech"), S_OK, "tag", "speech"},
        {"playsilence", CVariant(true), S_OK, "playSilence", "true"},
        {"playsilence", CVariant("perhaps"), E_INVALIDARG, nullptr, nullptr},
        {"encodefiletype", CVariant(3), HR(0x8004300F), nullptr, nullptr},
        {"tracktype", CVariant(3), HR(0x8004300F), nullptr, nullptr},
        {"mediadata", CVariant(0), HR(0x8004300F), nullptr, nullptr},
        {"inputlabel", CVariant("x"), HR(0x8004300F), nullptr, nullptr},
        {"level", CVariant(0), HR(0x8004300F), nullptr, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        log->Clear();
        bool refresh = false;
        EXPECT_EQ(audio->SetProperty(log, row.name, row.value, true, &refresh), row.hr);
        EXPECT_FALSE(refresh);
        if (row.attribute == nullptr) {
            EXPECT_TRUE(log->writes.empty());
            continue;
        }
        ASSERT_EQ(log->writes.size(), 1u);
        EXPECT_EQ(log->writes[0].first, row.attribute);
        EXPECT_EQ(log->writes[0].second, row.written);
    }
    EXPECT_EQ(log->writes.size(), 0u);
    CVariant db;
    ASSERT_EQ(audio->GetProperty("inputgain", db.GetAddress()), S_OK);
    EXPECT_FLOAT_EQ(db.ToFloat(), -6.0f);
    EXPECT_EQ(audio->GetProperty("level", db.GetAddress()), HR(0x8004300E));

    // An output tag makes every resource count its occurrence again.
    bool refresh = false;
    log->Clear();
    ASSERT_EQ(audio->SetProperty(log, "primaryoutputtag", CVariant("music"), true, &refresh), S_OK);
    EXPECT_TRUE(refresh);
    ASSERT_EQ(log->writes.size(), 1u);
    EXPECT_EQ(log->paths[0], "//AudioOutputComponent[@id=\"AO\"]");
    EXPECT_EQ(log->writes[0].first, "primaryTag");
}

TEST_F(AudioResourceTest, APropertyOfAComponentTheConfigurationDoesNotNameIsRefused) {
    Load("", "<Audio index=\"0\"/>");
    auto audio = Audio(0);
    CComPtr<CAttributeLog> log = MakeComObject<CAttributeLog>();
    for (const char* name : {"inputgain", "outputgain", "inputtag", "secondaryoutputtag"}) {
        SCOPED_TRACE(name);
        bool refresh = false;
        EXPECT_EQ(audio->SetProperty(log, name, CVariant(0.0f), true, &refresh), HR(0x8004300F));
    }
    EXPECT_TRUE(log->writes.empty());
}

TEST_F(AudioResourceTest, MetersShowSilenceForAnOutputThatDoesNotRecordWhileTheChannelRecords) {
    auto audio = OnePath("gain=\"4096\"", "gain=\"4096\"");
    struct Row {
        const char* what;
        std::int32_t state, idle;
        bool live;
    } rows[] = {
        {"playing", TmsShuttlePlay, TmsStopFreeze, true},
        {"idle", TmsIdle, TmsStopBlack, true},
        {"cue record", TmsCueRecord, TmsStopFreeze, false},
        {"record", TmsShuttleRecord, TmsStopFreeze, false},
        {"idle passing the input through", TmsIdle, TmsStopEE, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Rts(0, 32767, 2048, 4096, row.state, row.idle);
        ASSERT_EQ(audio->PutStatus(3, m_shmem, 0), S_OK);
        EXPECT_NEAR(Status(*audio, "level"), row.live ? 24.0f : -40.0f, 0.001f);
        EXPECT_NEAR(Status(*audio, "inputgain"), row.live ? -6.0206f : -40.0f, 0.001f);
        EXPECT_NEAR(Status(*audio, "outputgain"), row.live ? 0.0f : -40.0f, 0.001f);
    }
}

TEST_F(AudioResourceTest, ARtsWithoutThisAudioPathFailsThePassWithTheNumbers) {
    auto audio = OnePath("", "");
    Rts(0, 0, 0, 0);
    CTmsResAudio second(1);
    ASSERT_EQ(second.InitFromConfig(m_doc, Element("./Config/Channel/Audio")), S_OK);
    EXPECT_EQ(second.PutStatus(1, m_shmem, 0), E_FAIL);
}

TEST_F(AudioResourceTest, PublicationWritesEachResourceIntoItsOwnRegion) {
    Load("",
         "<Audio index=\"0\"/><Audio index=\"1\"/><Audio index=\"2\"/><Audio index=\"3\"/>"
         "<Audio index=\"4\"/><Audio index=\"5\"/><Audio index=\"6\"/><Audio index=\"7\"/>"
         "<Audio index=\"8\"/><Audio index=\"9\"/><Audio index=\"10\"/><Audio index=\"11\"/>"
         "<Audio index=\"12\"/><Audio index=\"13\"/><Audio index=\"14\"/><Audio index=\"15\"/>"
         "<Audio index=\"16\"/>");
    CChanAccess access(0);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    std::uint8_t* block = access.StatusBlock();
    auto u32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        std::memcpy(&v, block + at, 4);
        return v;
    };
    auto f32 = [&](std::size_t at) {
        float v = 0;
        std::memcpy(&v, block + at, 4);
        return v;
    };
    for (int n : {0, 1, 15}) {
        SCOPED_TRACE(n);
        auto audio = Audio(n);
        Rts(n, 32767, 4096, 2048);
        ASSERT_EQ(audio->PutStatus(static_cast<std::uint16_t>(100 + n), m_shmem, 0), S_OK);
        ASSERT_EQ(audio->PublishStatus(access), S_OK);
        const std::size_t k = static_cast<std::size_t>(n);
        const std::uint32_t slot = u32(0x18470 + 4 * k);
        ASSERT_LT(slot, 30u);
        std::uint16_t cycle = 0;
        std::memcpy(&cycle, block + 0x180B0 + 60 * k + 2 * slot, 2);
        EXPECT_EQ(cycle, 100 + n);
        EXPECT_NEAR(f32(0x193B0 + 120 * k + 4 * slot), 24.0f, 0.001f);     // level
        EXPECT_NEAR(f32(0x184B0 + 120 * k + 4 * slot), 0.0f, 0.001f);      // input gain
        EXPECT_NEAR(f32(0x18C30 + 120 * k + 4 * slot), -6.0206f, 0.001f);  // output gain
    }
    // Number 16 has no region: nothing is written past the sixteen.
    std::vector<std::uint8_t> before(block, block + 0x1A9AC);
    EXPECT_EQ(Audio(16)->PublishStatus(access), S_FALSE);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), block));
}

}  // namespace
