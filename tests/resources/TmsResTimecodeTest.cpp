// The timecode resource: the packed timecode word and its text, the "tc  "
// state list byte for byte, property normalisation and refusals, the live
// status it takes and publishes, and the record timecode it stamps into
// the recorded segment. Expected bytes and offsets are written out from the
// layouts, not read back from the code.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
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
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/resources/TmsResTimecode.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

constexpr const char* kFormat0 = "Format525_60Hz_2To1";
constexpr const char* kFormat1 = "Format625_50Hz_2To1";

class TimecodeResourceTest : public tmstest::ResourceFixture {
protected:
    std::unique_ptr<CTmsResTimecode> Timecode(
        const char* reference,
        const std::string& generator = "genMode=\"FreeRun\" genFixedTimecode=\"0\"",
        bool assigned = true) {
        LoadConfig(std::string("<Config><System><SystemVideoReference referenceStandard=\"") +
                   reference + "\"/></System><TcGenerator id=\"G\" " + generator +
                   " genUserBits=\"7\"/><TcCodec id=\"C\" currentTcInput=\"Ltc\"/>"
                   "<ClockWatcher id=\"W\" currentTcInput=\"Vitc\"/>"
                   "<Channel id=\"Chan1\" channelIndex=\"0\"><Timecode index=\"0\" "
                   "assigned=\"" +
                   (assigned ? "true" : "false") +
                   "\"><TcGeneratorComponent id=\"G\"/><TcCodecComponent id=\"C\"/>"
                   "<ClockWatcherComponent id=\"W\"/></Timecode></Channel></Config>");
        auto timecode = std::make_unique<CTmsResTimecode>(0);
        EXPECT_EQ(timecode->InitFromConfig(m_doc, Element("./Config/Channel/Timecode")), S_OK);
        return timecode;
    }
    void Rts(std::uint32_t current, std::uint32_t timeOfDay, bool captured = false,
             std::uint32_t recordTimecode = 0, std::int32_t recordPosition = 0) {
        OpenRts();
        m_writer.SetTimeOfDay(timeOfDay);
        CRtsChannelWrite w(m_writer, 0);
        ASSERT_TRUE(w);
        w->present = 1;
        w->tickCount = 77;
        w->timecode.tickCount = 77;
        w->timecode.currentTimecode = current;
        w->timecode.recordCaptured = captured ? 1 : 0;
        w->timecode.recordTimecode = recordTimecode;
        w->timecode.recordPosition = recordPosition;
    }
};

TEST(TimecodeWordTest, PackedWordsAndTheirTexts) {
    const std::uint16_t df30 = tmsvideo::TimecodeFormatCode(0, true);
    const std::uint16_t nd25 = tmsvideo::TimecodeFormatCode(1, false);
    struct Row {
        const char* what;
        CTimecode value;
        std::uint32_t word;
    } rows[] = {
        {"1h 2m 3s 4f at 25", CTimecode(1, 2, 3, 8, nd25), 0x01020304u},
        {"drop frame sets bit 29", CTimecode(10, 0, 0, 0, df30), 0x2A000000u},
        {"23:59:59:29 is the last word of a day", CTimecode(23, 59, 59, 58, df30), 0x373B3B1Du},
        {"one frame later is midnight again", CTimecode(23, 59, 59, 58, df30) + 2, 0x20000000u},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(CTmsResTimecode::PackTimecode(row.value), row.word);
    }
    struct Text {
        std::uint32_t word;
        std::int32_t format;
        const char* text;
    } texts[] = {
        {0x01020304u, 1, "01:02:03.04"}, {0x21020304u, 0, "01:02:03,04"},
        {0x80000000u, 0, "xx:xx:xx;xx"}, {0x80000000u, 1, "xx:xx:xx:xx"},
        {0xA1020304u, 1, "xx:xx:xx:xx"},  // the invalid bit wins over the rest
    };
    for (const Text& t : texts) {
        SCOPED_TRACE(t.text);
        EXPECT_EQ(CTmsResTimecode::WordText(t.word, t.format), t.text);
    }
}

// LIST "rbuf" of the timecode resource: "res ", then one 20-byte "tc  "
// per state: port position +0, file code +4 (16 bits, then 16 zero bits),
// media position +8, fields left +12, in-segment offset +16.
TEST_F(TimecodeResourceTest, TimecodeStateListBytesAsTheLayoutGivesThem) {
    auto timecode = Timecode(kFormat1);
    MediaSegmentInfo segment;
    segment.start = 100;
    segment.markIn = 10;
    segment.duration = 50;
    segment.fileCode = 0x0123;
    CMmioMsg message(4096);
    rts::CStateMessageBuilder builder(message);
    rts::ResourceIdRecord id{};
    std::memcpy(id.indexText, "0", 1);
    std::memcpy(id.typeName, "timecode", 8);
    ASSERT_EQ(builder.BeginResource(id), S_OK);
    ASSERT_EQ(timecode->AddState(nullptr, 120, 1120, false, false, segment, builder), S_OK);
    ASSERT_EQ(timecode->AddState(nullptr, 120, 1120, true, false, segment, builder), S_OK);
    ASSERT_EQ(timecode->AddBlackState(nullptr, 150, 1150, builder, 10, 49), S_OK);
    ASSERT_EQ(builder.EndResource(), S_OK);

    const std::size_t chunk = 8 + 20;
    tmstest::Golden g(12 + 80 + 3 * chunk);
    g.Text(0, "LIST").U32(4, static_cast<std::uint32_t>(4 + 80 + 3 * chunk));
    g.Text(8, "rbuf").Text(12, "res ").U32(16, 72).Text(20, "0").Text(56, "timecode");
    g.Text(92, "tc  ").U32(96, 20).U32(100, 1120).U16(104, 0x0123).U32(108, 30).U32(112, 29);
    g.U32(116, 20);
    g.Text(120, "tc  ").U32(124, 20).U32(128, 1120).U16(132, 0x0123).U32(136, 30);
    g.U32(140, 0x7FFFFFFF - 120).U32(144, 20);
    g.Text(148, "tc  ").U32(152, 20).U32(156, 1150).U32(168, 49).U32(172, 10);
    ASSERT_EQ(message.GetMsgSize(), g.Bytes().size());
    EXPECT_EQ(tmstest::Hex(message.GetBuffer(), g.Bytes().size()),
              tmstest::Hex(g.Bytes().data(), g.Bytes().size()));
}

TEST_F(TimecodeResourceTest, ConfigurationAndWhatFollowsFromTheFormat) {
    auto timecode = Timecode(kFormat0, "genMode=\"ClockWatcher\" genFixedTimecode=\"16909060\"");
    EXPECT_EQ(timecode->CurrentTcInput(), "Ltc");
    EXPECT_EQ(timecode->GeneratorMode(), "ClockWatcher");
    EXPECT_EQ(timecode->FixedTimecode(), 0x01020304u);
    EXPECT_EQ(timecode->ClockWatcherInput(), "Vitc");
    // 8 bytes per field of a drop-frame second at 30 frames of 2 fields.
    EXPECT_EQ(timecode->GetBytesPerSecond(), 8 * 60);
    EXPECT_EQ(timecode->GetMediaFileType(99), 7);
    EXPECT_EQ(Timecode(kFormat1)->GetMediaFileType(0), 8);
    EXPECT_EQ(Timecode("Format1080i_50Hz_2To1")->GetMediaFileType(0), 24);

    BYTE block[48];
    std::memset(block, 0xAA, sizeof block);
    Timecode(kFormat1)->GetMediaData(block);
    tmstest::Golden g(48);
    g.U32(0, 1).U32(4, 0x80000000u).U32(8, 0x80000000u).U32(32, 3).U32(36, 50).U32(40, 32);
    g.U32(44, 1);
    EXPECT_EQ(tmstest::Hex(block, 48), tmstest::Hex(g.Bytes().data(), 48));
}

TEST_F(TimecodeResourceTest, PropertySetsNormaliseTheirValuesOrAreRefused) {
    auto timecode = Timecode(kFormat0);
    CComPtr<CAttributeLog> log = MakeComObject<CAttributeLog>();
    const std::string generator =
        "//TcGenerator[@id=//Channel[@channelIndex=\"0\"]/Timecode[@index=\"0\"]/"
        "TcGeneratorComponent/@id]";
    const std::string codec =
        "//TcCodec[@id=//Channel[@channelIndex=\"0\"]/Timecode[@index=\"0\"]/TcCodecComponent/@id]";
    struct Row {
        const char* name;
        CVariant value;
        HRESULT hr;
        std::string path;
        const char* attribute;
        const char* stored;
    } rows[] = {
        {"genmode", CVariant("freerun"), S_OK, generator, "genMode", "FreeRun"},
        {"genmode", CVariant("FIXEDSTART"), S_OK, generator, "genMode", "FixedStart"},
        {"genmode", CVariant("sometimes"), S_OK, generator, "genMode", "TimeOfDay"},
        {"currenttcinput", CVariant("ancvitc"), S_OK, codec, "currentTcInput", "AncVitc"},
        {"currenttcinput", CVariant("vitc2"), S_OK, codec, "currentTcInput", "Internal"},
        {"clockwatcherinput", CVariant("gen"), S_OK, "//ClockWatcher[@id=\"W\"]", "currentTcInput",
         "Internal"},
        {"clockwatcherinput", CVariant("ltc"), S_OK, "//ClockWatcher[@id=\"W\"]", "currentTcInput",
         "Ltc"},
        {"clockwatcherinput", CVariant("?"), S_OK, "//ClockWatcher[@id=\"W\"]", "currentTcInput",
         "TimeOfDay"},
        {"genfixedtimecode", CVariant(0x01020304), S_OK, generator, "genFixedTimecode", "16909060"},
        // Drop-frame text on a 525-line channel sets bit 29: 0x21000000.
        {"genfixedtimecode", CVariant("01:00:00;00"), S_OK, generator, "genFixedTimecode",
         "553648128"},
        {"genfixedtimecode", CVariant("01:61:00:00"), E_INVALIDARG, "", nullptr, nullptr},
        {"genfixedtimecode", CVariant("soon"), E_INVALIDARG, "", nullptr, nullptr},
        {"genuserbits", CVariant(12), S_OK, generator, "genUserBits", "12"},
        {"genuserbits", CVariant("many"), E_INVALIDARG, "", nullptr, nullptr},
        {"timecodestr", CVariant("x"), HR(0x8004300F), "", nullptr, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + row.value.ToString());
        log->Clear();
        bool refresh = false;
        EXPECT_EQ(timecode->SetProperty(log, row.name, row.value, true, &refresh), row.hr);
        EXPECT_FALSE(refresh);
        if (row.attribute == nullptr) {
            EXPECT_TRUE(log->writes.empty());
            continue;
        }
        ASSERT_EQ(log->writes.size(), 1u);
        EXPECT_EQ(log->paths[0], row.path);
        EXPECT_EQ(log->writes[0].first, row.attribute);
        EXPECT_EQ(log->writes[0].second, row.stored);
        CVariant back;
        ASSERT_EQ(timecode->GetProperty(row.name, back.GetAddress()), S_OK);
        EXPECT_EQ(back.ToString(), row.stored);
    }
    CVariant v;
    EXPECT_EQ(timecode->GetProperty("timecodestr", v.GetAddress()), HR(0x8004300E));
}

TEST_F(TimecodeResourceTest, StatusTextsAndTheRegisteredButUnansweredNames) {
    auto timecode = Timecode(kFormat0);
    Rts(0x80000000u, 0x21020304u);
    ASSERT_EQ(timecode->PutStatus(5, m_shmem, 0), S_OK);
    CVariant v;
    ASSERT_EQ(timecode->StringToStatus("timecodestr", v.GetAddress()), S_OK);
    EXPECT_EQ(v.ToString(), "xx:xx:xx;xx");
    ASSERT_EQ(timecode->StringToStatus("dropframe", v.GetAddress()), S_OK);
    EXPECT_TRUE(v.ToBool()) << "the time of day's drop-frame bit";
    EXPECT_EQ(timecode->TimeOfDayText(), "01:02:03,04");
    for (const char* name :
         {"userbits", "vitcinputmask", "ltcinputstr", "geninputuserbits", "TimecodeStr"}) {
        SCOPED_TRACE(name);
        CVariant untouched(42);
        EXPECT_EQ(timecode->StringToStatus(name, untouched.GetAddress()), S_FALSE);
    }
    Rts(0x00010203u, 0);
    ASSERT_EQ(timecode->PutStatus(6, m_shmem, 0), S_OK);
    ASSERT_EQ(timecode->StringToStatus("timecodemask", v.GetAddress()), S_OK);
    EXPECT_EQ(v.ToInt32(), 0x00010203);
    EXPECT_EQ(timecode->TimecodeText(), "00:01:02.03");
}

TEST_F(TimecodeResourceTest, PublicationWritesTheRegionAtItsOffsets) {
    auto timecode = Timecode(kFormat1);
    CChanAccess access(0);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    std::uint8_t* block = access.StatusBlock();
    auto u32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        std::memcpy(&v, block + at, 4);
        return v;
    };
    auto text = [&](std::size_t at) {
        std::string s;
        for (std::size_t i = 0; i < 16; ++i) {
            const unsigned unit = block[at + 2 * i] | block[at + 2 * i + 1] << 8;
            if (unit == 0) {
                break;
            }
            s += static_cast<char>(unit);
        }
        return s;
    };
    for (std::uint16_t cycle : {9, 10}) {
        SCOPED_TRACE(cycle);
        Rts(0x10203000u + cycle, 0x0A0B0C0Du);
        ASSERT_EQ(timecode->PutStatus(cycle, m_shmem, 0), S_OK);
        ASSERT_EQ(timecode->PublishStatus(access), S_OK);
        const std::uint32_t slot = u32(0x19B8C);
        ASSERT_LT(slot, 30u);
        std::uint16_t c = 0;
        std::memcpy(&c, block + 0x19B50 + 2 * slot, 2);
        EXPECT_EQ(c, cycle);
        EXPECT_EQ(u32(0x19B90 + 4 * slot), 0x10203000u + cycle);
        EXPECT_EQ(text(0x19C08 + 32 * slot),
                  "16:32:48." + std::string(cycle < 10 ? "0" : "") + std::to_string(cycle));
        EXPECT_EQ(u32(0x19FC8 + 4 * slot), 0x0A0B0C0Du);
        EXPECT_EQ(text(0x1A040 + 32 * slot), "10:11:12.13");
        EXPECT_EQ(u32(0x1A400), 77u);
    }
}

// Captured during a record: the timecode goes into offset 4 of the media
// data of the segment recorded at its position, once; the end timecode is
// the frame after the last reported timecode.
TEST_F(TimecodeResourceTest, ARecordTimecodeIsStampedIntoItsSegmentOnce) {
    auto timecode = Timecode(kFormat1);
    CComPtr<IMovie> movie = NewMovie("rec");
    unsigned short first = 0, second = 0;
    ASSERT_EQ(movie->AppendSegment(3, 0, 0, 100, 3, nullptr, &first), S_OK);
    ASSERT_EQ(movie->AppendSegment(3, 0, 0, 100, 3, nullptr, &second), S_OK);
    auto stamped = [&](unsigned short segment) {
        unsigned char block[48] = {};
        EXPECT_EQ(movie->GetSegmentMediaData(3, 0, segment, 0, 48, block), S_OK);
        std::uint32_t v = 0;
        std::memcpy(&v, block + 4, 4);
        return v;
    };
    auto endTimecode = [&] {
        CVariant v;
        EXPECT_EQ(movie->GetProperty(CBstr("endTimecode"), v.GetAddress()), S_OK);
        return static_cast<std::uint32_t>(v.ToInt32());
    };
    // Port position 1130 with record origin 1000: the movie's position 130.
    Rts(0x01000000u, 0, false);
    ASSERT_EQ(timecode->PutStatus(1, m_shmem, 0), S_OK);
    Rts(0x01000005u, 0, true, 0x01000003u, 1130);
    ASSERT_EQ(timecode->PutStatus(2, m_shmem, 0), S_OK);
    ASSERT_EQ(timecode->HandleRecordUpdate(movie, 1000), S_OK);
    EXPECT_EQ(stamped(second), 0x01000003u);
    EXPECT_EQ(stamped(first), 0u);
    EXPECT_EQ(endTimecode(), 0x01000001u);

    // The same capture is not written again over a block changed meanwhile.
    unsigned char cleared[48] = {};
    ASSERT_EQ(movie->SetSegmentMediaData(3, 0, second, 1, 48, cleared), S_OK);
    ASSERT_EQ(timecode->HandleRecordUpdate(movie, 1000), S_OK);
    EXPECT_EQ(stamped(second), 0u);

    // Regression: the pass that ends the capture also reports the port idle,
    // and it wiped the end timecode before the record's end handed it on.
    Rts(0x01000009u, 0, false);
    ASSERT_EQ(timecode->PutStatus(3, m_shmem, 0), S_OK);
    EXPECT_EQ(timecode->RecordTimecode(), 0x80000000u);
    ASSERT_EQ(timecode->HandlePortStateChange(movie, 3, 0, TmsShuttleRecord, TmsIdle), S_OK);
    EXPECT_EQ(endTimecode(), 0x01000006u) << "the frame after the last one recorded";
    // Handed on once: a record the RTS reports no capture for ends without.
    ASSERT_EQ(timecode->HandlePortStateChange(movie, 4, 0, TmsIdle, TmsShuttleRecord), S_OK);
    ASSERT_EQ(timecode->HandlePortStateChange(movie, 5, 0, TmsShuttleRecord, TmsIdle), S_OK);
    EXPECT_EQ(endTimecode(), 0x80000000u);
}

// Regression: the end timecode was the packed word plus one, so a record
// whose last frame was the last of a second ended at frame 30 (or 25), which
// the movie refuses, and every record update failed.
TEST(TimecodeWordTest, TheEndTimecodeCarriesFramesIntoSecondsAndOnToMidnight) {
    constexpr std::uint32_t kDrop = 1u << 29;
    struct Row {
        const char* name;
        std::int32_t format;
        std::uint32_t word, next;
    };
    const Row rows[] = {
        {"first frame", 0, 0x00000000u, 0x00000001u},
        {"30-frame second", 0, 0x0100001Du, 0x01000100u},
        {"25-frame second", 1, 0x01000018u, 0x01000100u},
        {"minute", 1, 0x01023B18u, 0x01030000u},
        {"midnight", 0, 0x173B3B1Du, 0x00000000u},
        {"drop frame skips two labels", 0, kDrop | 0x01003B1Du, kDrop | 0x01010002u},
        {"drop frame keeps the tenth minute", 0, kDrop | 0x01093B1Du, kDrop | 0x010A0000u},
        {"no timecode", 0, 0x80000000u, 0x80000000u},
        {"no timecode with stray bits", 1, 0x8000001Du, 0x80000000u},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CTmsResTimecode::NextFrameWord(row.word, row.format), row.next)
            << std::hex << row.word;
    }
}

}  // namespace
