// The video resource's reading of its configuration and what follows from
// it, the typed configuration reads it relies on, and name-query splitting.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComPtr.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "tests/resources/ConfigDocument.h"
#include "tests/support/TestRuntimeDir.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/TmsResVideo.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

class VideoConfigTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(DllRegisterServerAt(TMS_XMLDOM_LIB), S_OK); }
    void TearDown() override { CoFreeUnusedLibrariesEx(0, 0); }

    CComPtr<IXMLDOMDocument2> Load(const std::string& xml) { return tmstest::LoadConfig(xml); }

    // One channel with one video element; codec attributes and children given.
    std::unique_ptr<CTmsResVideo> Video(const std::string& reference,
                                        const std::string& inputFormat, const std::string& codec,
                                        HRESULT* hr = nullptr) {
        m_doc =
            Load("<Config><System><SystemVideoReference referenceStandard=\"" + reference +
                 "\"/></System><Board id=\"B0\"/>"
                 "<VideoInput id=\"In\" selectedInput=\"VideoSdi\" videoInputFormat=\"" +
                 inputFormat + "\"/><VideoCodec id=\"Co\" " + codec +
                 "</VideoCodec><VideoOutput id=\"Out\" stillPlayMode=\"Field\"/>"
                 "<Channel id=\"Chan1\" channelIndex=\"0\"><Video index=\"0\" assigned=\"TRUE\">"
                 "<VideoInputComponent id=\"In\"/><VideoCodecComponent id=\"Co\"/>"
                 "<VideoOutputComponent id=\"Out\"/></Video></Channel></Config>");
        CComPtr<IXMLDOMNode> element;
        m_doc->selectSingleNode(CBstr("./Config/Channel/Video"), &element);
        auto video = std::make_unique<CTmsResVideo>(0);
        const HRESULT r = video->InitFromConfig(m_doc, element);
        if (hr != nullptr) {
            *hr = r;
        } else {
            EXPECT_EQ(r, S_OK);
        }
        return video;
    }

    static std::string Text(CTmsResource& r, const char* name) {
        CVariant v;
        EXPECT_EQ(r.GetProperty(name, v.GetAddress()), S_OK) << name;
        return v.ToString();
    }

    tmstest::TestRuntimeDir m_dir;
    CComPtr<IXMLDOMDocument2> m_doc;
};

TEST_F(VideoConfigTest, CompressionDecidesTrackTypeRatesAndProfile) {
    struct Row {
        const char* input;
        const char* codec;
        std::int32_t trackType;
        std::int32_t bytesPerSecond;
        std::int32_t granularity;
    } rows[] = {
        {"Format525_60Hz_2To1", "compressionFormat=\"Dv25\">", 5, 3596400, 2},
        {"Format625_50Hz_2To1", "compressionFormat=\"Dvcam\">", 5, 3600000, 2},
        {"Format625_50Hz_2To1", "compressionFormat=\"Dv50\">", 6, 7200000, 2},
        // MPEG family on SD: track type 4; HD: 7. The rate rounds to whole megabits.
        {"Format525_60Hz_2To1",
         "compressionFormat=\"Mpeg\"><Mpeg dataRate=\"15.6\" pPixPerIPix=\"4\" bPixPerPPix=\"2\" "
         "profileLevel=\"MP@ML\"/>",
         4, 16 * 1000000 / 8, (4 * 3 + 1 + 2) * 2},
        {"Format1080_59_94Hz_2To1", "compressionFormat=\"Xdcam\"><Xdcam dataRate=\"35.0\"/>", 7,
         35 * 1000000 / 8, (0 * 3 + 1 + 2) * 2},
        {"Format1080_59_94Hz_2To1", "compressionFormat=\"Xdcam\"><Xdcam dataRate=\"25.0\"/>", 7,
         25 * 1000000 / 8, 6},
        {"Format1080_59_94Hz_2To1", "compressionFormat=\"Xdcam\"><Xdcam dataRate=\"30.0\"/>", 7,
         30 * 1000000 / 8, 6},
        {"Format525_60Hz_2To1", "compressionFormat=\"Wavelet\">", 0, 0, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.codec);
        auto video = Video(row.input, row.input, row.codec);
        EXPECT_EQ(video->TrackType(), row.trackType);
        EXPECT_EQ(video->EncodeFileType(), row.trackType);
        EXPECT_EQ(video->GetBytesPerSecond(), row.bytesPerSecond);
        EXPECT_EQ(video->GetFieldGranularity(), row.granularity);
    }
}

TEST_F(VideoConfigTest, HdInputsAreAlwaysWidescreenAndDefaultAfdTextIsDecoded) {
    auto hd = Video("Format525_60Hz_2To1", "Format1080_59_94Hz_2To1",
                    "compressionFormat=\"Dv25\" aspectRatio=\"4:3\" defaultAfd=\"1000w\" "
                    "defaultAfdHd=\"0100\">");
    EXPECT_EQ(Text(*hd, "aspectratio"), "16:9");
    EXPECT_EQ(Text(*hd, "defaultafd"), "0100");
    std::uint8_t code = 0;
    bool wide = false;
    hd->GetDefaultAfd(&code, &wide);
    EXPECT_EQ(code, 4);
    EXPECT_TRUE(wide) << "HD without a 'w' is widescreen";

    auto sd = Video("Format525_60Hz_2To1", "Format525_60Hz_2To1",
                    "compressionFormat=\"Dvcam\" aspectRatio=\"4:3\" defaultAfd=\"1000w\">");
    sd->GetDefaultAfd(&code, &wide);
    EXPECT_EQ(code, 8);
    EXPECT_TRUE(wide);
    EXPECT_EQ(Text(*sd, "aspectratio"), "4:3");
    EXPECT_EQ(Text(*sd, "stillplaymode"), "Field");
    EXPECT_TRUE(sd->IsAssignedForRecord()) << "\"TRUE\" in capitals";
    // Dvcam: 32 plus the aspect value at offset 0; video format at 44.
    BYTE block[48] = {};
    sd->GetMediaData(block);
    EXPECT_EQ(block[0] | block[1] << 8, 32 + 64);
    EXPECT_EQ(block[32], 5);
    EXPECT_EQ(block[36], 60) << "nominal rate of the 525-line input";
    EXPECT_EQ(block[44], 0);
}

TEST_F(VideoConfigTest, PropertyValuesOutsideTheirSetAreRefusedListingTheValues) {
    auto video = Video("Format525_60Hz_2To1", "Format525_60Hz_2To1",
                       "compressionFormat=\"Dv25\" aspectRatio=\"4:3\">");
    struct Row {
        const char* name;
        const char* value;
        bool accepted;
    };
    const Row rows[] = {
        {"aspectratio", "16:9", true},    {"aspectratio", "4:3", true},
        {"aspectratio", "banana", false}, {"aspectratio", "", true},
        {"aspectratio", "16:9 ", false},  {"aspectratio", "4:3\x01", false},
        {"defaultafd", "1000", true},     {"defaultafd", "0101w", true},
        {"defaultafd", "1111W", true},    {"defaultafd", "", true},
        {"defaultafd", "banana", false},  {"defaultafd", "100", false},
        {"defaultafd", "10002", false},   {"defaultafd", "1000wx", false},
        {"defaultafd", "1020", false},    {"defaultafd", "0000x", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + "=" + row.value);
        bool refresh = false;
        // With no configuration manager a value that passes the check ends
        // at the closed channel; one that does not never gets that far (the
        // channel's test reads the message at the COM edge).
        const HRESULT hr =
            video->SetProperty(nullptr, row.name, CVariant(row.value).GetVARIANT(), true, &refresh);
        EXPECT_EQ(hr, row.accepted ? E_UNEXPECTED : E_INVALIDARG);
    }
    EXPECT_EQ(Text(*video, "aspectratio"), "4:3");
}

TEST_F(VideoConfigTest, MpegMediaDataBlockByteLayout) {
    auto video = Video("Format625_50Hz_2To1", "Format625_50Hz_2To1",
                       "compressionFormat=\"Mpeg\" aspectRatio=\"16:9\"><Mpeg dataRate=\"50.0\" "
                       "chromaFormat=\"4_2_2\" openGop=\"false\" pPixPerIPix=\"5\" "
                       "bPixPerPPix=\"2\" profileLevel=\"422P@HL\"/>");
    BYTE block[48];
    std::memset(block, 0xAA, sizeof block);
    video->GetMediaData(block);
    auto word = [&](int at) {
        std::int32_t v;
        std::memcpy(&v, block + at, 4);
        return v;
    };
    EXPECT_EQ(word(0), 2);  // 4:2:2
    EXPECT_EQ(word(4), 1);  // closed GOP
    EXPECT_EQ(word(8), 0);
    EXPECT_EQ(word(12), 1);
    EXPECT_EQ(word(16), 5);
    EXPECT_EQ(word(20), 2);
    EXPECT_EQ(block[24] | block[25] << 8, 2 + 128);
    EXPECT_EQ(block[26] | block[27] << 8, 0);
    EXPECT_EQ(word(28), 0);
    EXPECT_EQ(word(32), 4);
    EXPECT_EQ(word(36), 50);
    EXPECT_EQ(word(40), 50000000);
    EXPECT_EQ(word(44), 1);
    // 625-line format: base bit 0x40; Mpeg with 422P@HL: 0x8000 | 0x800 | 0x200.
    EXPECT_EQ(video->CapabilityMask1(), 0x40u | 0x8000u | 0x800u | 0x200u);
}

TEST_F(VideoConfigTest, VideoStatesAre32ByteChunksOfTheSegmentOrOfBlack) {
    auto video = Video("Format525_60Hz_2To1", "Format525_60Hz_2To1", "compressionFormat=\"Dv25\">");
    MediaSegmentInfo segment;
    segment.start = 100;
    segment.markIn = 10;
    segment.duration = 50;
    segment.fileCode = 7;
    segment.fileType = 4;
    segment.mediaData[0] = 0x11;
    segment.mediaData[24] = 0x34;
    segment.mediaData[25] = 0x12;
    struct Case {
        const char* what;
        bool black, record, bounded;
        std::int32_t fileType;
        // start, file code, media position, fields left, offset, flags
        std::int32_t words[6];
    };
    const Case cases[] = {
        {"play", false, false, false, 4, {1120, 7, 30, 29, 20, 0x1234}},
        {"open record runs on", false, true, false, 4, {1120, 7, 30, 0x7FFFFFFF - 120, 20, 0x1234}},
        {"bounded record", false, true, true, 4, {1120, 7, 30, 29, 20, 0x1234}},
        {"flags of file types 5 and 6 come from offset 0",
         false,
         false,
         false,
         6,
         {1120, 7, 30, 29, 20, 0x11}},
        {"black", true, false, false, 4, {1120, 0, 0, 39, 10, 0}},
    };
    for (const auto& c : cases) {
        segment.fileType = c.fileType;
        CMmioMsg message(1024);
        rts::CStateMessageBuilder builder(message);
        if (c.black) {
            ASSERT_EQ(video->AddBlackState(nullptr, 120, 1120, builder, 10, 39), S_OK);
        } else {
            ASSERT_EQ(video->AddState(nullptr, 120, 1120, c.record, c.bounded, segment, builder),
                      S_OK);
        }
        ASSERT_EQ(message.GetMsgSize(), 40u) << c.what;
        const BYTE* b = message.GetBuffer();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(b), 4), "vid ") << c.what;
        EXPECT_EQ(b[4], 32) << c.what;
        auto i32 = [&](int at) {
            std::int32_t v = 0;
            std::memcpy(&v, b + 8 + at, 4);
            return v;
        };
        auto u16 = [&](int at) { return b[8 + at] | (b[9 + at] << 8); };
        EXPECT_EQ(i32(0), c.words[0]) << c.what;
        EXPECT_EQ(u16(4), c.words[1]) << c.what;
        EXPECT_EQ(u16(6), 0) << c.what;
        EXPECT_EQ(i32(8), c.words[2]) << c.what;
        EXPECT_EQ(i32(12), 0) << c.what;
        EXPECT_EQ(i32(16), c.words[3]) << c.what;
        EXPECT_EQ(i32(20), c.words[4]) << c.what;
        EXPECT_EQ(u16(24), 0) << c.what;
        EXPECT_EQ(u16(26), c.words[5]) << c.what;
        EXPECT_EQ(i32(28), 0) << c.what;
    }
}

TEST_F(VideoConfigTest, TypedReadsKeepDefaultsAndNameTheXPathOnFailure) {
    auto doc = Load("<C a=\"TRUE\" b=\"0\" c=\"2.5\" d=\"x12\" e=\" -7 \" f=\"yes\"/>");
    CTmsEntryPoint trace("test");
    CConfigReader read(trace);
    bool b = false;
    EXPECT_TRUE(read.Bool(doc, "/C/@a", &b));
    EXPECT_TRUE(b);
    EXPECT_TRUE(read.Bool(doc, "/C/@b", &b));
    EXPECT_FALSE(b);
    std::int32_t n = 42;
    EXPECT_FALSE(read.Long(doc, "/C/@missing", &n));
    EXPECT_EQ(n, 42) << "a query that selects nothing keeps the default";
    EXPECT_TRUE(read.Long(doc, "/C/@e", &n));
    EXPECT_EQ(n, -7);
    float f = 0;
    EXPECT_TRUE(read.Float(doc, "/C/@c", &f));
    EXPECT_EQ(f, 2.5f);
    for (const char* bad : {"/C/@d"}) {
        HRESULT hr = TMS_ERROR_FRAME(trace, [&] { read.Long(doc, bad, &n); });
        EXPECT_TRUE(FAILED(hr)) << bad;
        EXPECT_EQ(n, -7);
    }
    tmsframe::TakeFailureText();
    HRESULT hr = TMS_ERROR_FRAME(trace, [&] { read.Bool(doc, "/C/@f", &b); });
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(tmsframe::TakeFailureText().find("'/C/@f'"), std::string::npos);
}

}  // namespace
