// The video resource's live side: the AFD it takes from the RTS's
// ancillary-data status and stamps into the segment being recorded, the
// default AFD set as a property, its media file types, and the bytes its
// publication writes into the channel's status block. Offsets and codes are
// written out from the layouts, not read back from the code.
#include <gtest/gtest.h>

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
#include "tests/support/TestRuntimeDir.h"
#include "tmschannel/resources/TmsResVideo.h"

namespace {

class VideoStatusTest : public tmstest::ResourceFixture {
protected:
    // A video resource of channel 0 on the given reference and input
    // formats, MPEG at 4:3 unless the codec attributes say otherwise.
    std::unique_ptr<CTmsResVideo> Video(const std::string& reference,
                                        const std::string& inputFormat,
                                        const std::string& codec =
                                            "compressionFormat=\"Mpeg\" "
                                            "aspectRatio=\"4:3\"") {
        m_doc.Release();
        EXPECT_EQ(CoCreateInstance(CLSID_DOMDocument40, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IXMLDOMDocument2, reinterpret_cast<void**>(&m_doc)),
                  S_OK);
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(
            m_doc->loadXML(
                CBstr("<Config><System><SystemVideoReference referenceStandard=\"" + reference +
                      "\"/></System><VideoInput id=\"In\" selectedInput=\"VideoSdi\" "
                      "videoInputFormat=\"" +
                      inputFormat + "\"/><VideoCodec id=\"Co\" " + codec +
                      "/><VideoOutput id=\"Out\" stillPlayMode=\"Field\"/>"
                      "<Channel id=\"Chan1\" channelIndex=\"0\"><Video index=\"0\" "
                      "assigned=\"true\"><VideoInputComponent id=\"In\"/>"
                      "<VideoCodecComponent id=\"Co\"/><VideoOutputComponent "
                      "id=\"Out\"/></Video></Channel></Config>"),
                &ok),
            S_OK);
        CComPtr<IXMLDOMNode> element;
        m_doc->selectSingleNode(CBstr("./Config/Channel/Video"), &element);
        auto video = std::make_unique<CTmsResVideo>(0);
        EXPECT_EQ(video->InitFromConfig(m_doc, element), S_OK);
        return video;
    }
    // The RTS's status of channel 0 as the next PutStatus reads it.
    void Rts(std::int32_t afdPosition, std::uint8_t received, std::uint8_t afd,
             std::uint32_t fieldSize = 0, std::uint32_t pixelCoding = 0) {
        OpenRts();
        CRtsChannelWrite w(m_writer, 0);
        ASSERT_TRUE(w);
        w->present = 1;
        w->video.afdPosition = afdPosition;
        w->video.fieldSize = fieldSize;
        w->video.pixelCoding = pixelCoding;
        w->ancData.afdReceived = received;
        w->ancData.afd = afd;
    }
    // A movie whose video track has one segment of 100 fields.
    CComPtr<IMovie> Movie(CTmsResVideo& video, unsigned short* segment) {
        CComPtr<IMovieBuilder> builder;
        EXPECT_EQ(CoCreateInstance(CLSID_MovieBuilder, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IMovieBuilder, reinterpret_cast<void**>(&builder)),
                  S_OK);
        CComPtr<ITimeline> timeline;
        unsigned short code = 0;
        EXPECT_EQ(builder->CreateTimeline(CBstr("ds"), CBstr("grp"),
                                          CBstr("afd" + std::to_string(++m_movies)), &code,
                                          IID_ITimeline, reinterpret_cast<void**>(&timeline)),
                  S_OK);
        CComPtr<IMovie> movie;
        EXPECT_EQ(timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&movie)), S_OK);
        EXPECT_EQ(movie->AppendSegment(video.TrackType(), 0, 0, 100, 4, nullptr, segment), S_OK);
        return movie;
    }
    static std::uint16_t WordAt(IMovie* movie, long trackType, unsigned short segment,
                                std::size_t at) {
        unsigned char block[48] = {};
        EXPECT_EQ(movie->GetSegmentMediaData(trackType, 0, segment, 0, 48, block), S_OK);
        return static_cast<std::uint16_t>(block[at] | block[at + 1] << 8);
    }

    int m_movies = 0;
};

TEST_F(VideoStatusTest, TheAfdComesFromTheRtsWhenItSaysSoElseFromTheDefault) {
    // An MPEG 4:3 segment's word at 24 is 2 + 64; the AFD word keeps its
    // bits 0-5 and 12-14, takes the code in bits 8-11, sets bit 15, and
    // bit 7 (16:9) or bit 6 (4:3).
    struct Row {
        const char* name;
        const char* defaultAfd;
        std::uint8_t received;
        std::uint8_t afd;
        bool written;
        std::uint8_t code;
        bool widescreen;
    } rows[] = {
        {"the RTS's code, widescreen", "1000", 1, 0x40 | 0x20 | 0x10 | 0x9, true, 9, true},
        {"the RTS's code, 4:3", "1000", 1, 0x40 | 0x20 | 0x3, true, 3, false},
        {"valid but not to be used: the default", "1000", 1, 0x40 | 0x0A, true, 8, false},
        {"a default with w", "0100w", 1, 0x40 | 0x10 | 0x0A, true, 4, true},
        {"a default of 1111", "1111", 1, 0x40, true, 15, false},
        {"not valid: nothing new", "1000", 1, 0x20 | 0x5, false, 0, false},
        {"not received: nothing new", "1000", 0, 0x40 | 0x20 | 0x5, false, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto video =
            Video("Format525_60Hz_2To1", "Format525_60Hz_2To1",
                  std::string("compressionFormat=\"Mpeg\" aspectRatio=\"4:3\" defaultAfd=\"") +
                      row.defaultAfd + "\"");
        unsigned short segment = 0;
        CComPtr<IMovie> movie = Movie(*video, &segment);
        ASSERT_NE(segment, 0);
        unsigned char block[48] = {};
        video->GetMediaData(block);
        ASSERT_EQ(movie->SetSegmentMediaData(video->TrackType(), 0, segment, 1, 48, block), S_OK);
        const std::uint16_t before = WordAt(movie, video->TrackType(), segment, 24);
        ASSERT_EQ(before, 2 + 64);
        Rts(10, row.received, row.afd);
        ASSERT_EQ(video->PutStatus(1, m_shmem, 0), S_OK);
        ASSERT_EQ(video->HandleRecordUpdate(movie, 0), S_OK);
        const std::uint16_t expected =
            row.written ? static_cast<std::uint16_t>(0x02 | row.code << 8 | 0x8000 |
                                                     (row.widescreen ? 0x80 : 0x40))
                        : before;
        EXPECT_EQ(WordAt(movie, video->TrackType(), segment, 24), expected);
        // The same AFD again is not written twice.
        ASSERT_EQ(movie->SetSegmentMediaData(video->TrackType(), 0, segment, 1, 48, block), S_OK);
        ASSERT_EQ(video->PutStatus(2, m_shmem, 0), S_OK);
        ASSERT_EQ(video->HandleRecordUpdate(movie, 0), S_OK);
        EXPECT_EQ(WordAt(movie, video->TrackType(), segment, 24), before);
        m_shmem.Close();
        m_writer.Destroy();
        m_open = false;
    }
}

TEST_F(VideoStatusTest, AnAfdThatStopsArrivingResetsTheCode) {
    // Once the AFD stops, the code and the code last written go to 0: the
    // same AFD arriving again at the same position is written again, where
    // without the pause it would not be.
    auto video = Video("Format525_60Hz_2To1", "Format525_60Hz_2To1");
    unsigned short segment = 0;
    CComPtr<IMovie> movie = Movie(*video, &segment);
    unsigned char block[48] = {};
    video->GetMediaData(block);
    const std::uint16_t afd9 = 0x02 | 9 << 8 | 0x8000 | 0x80;
    struct Step {
        std::uint8_t received;
        std::uint8_t afd;
        std::uint16_t word;  // at 24 after the update, from a fresh block
    } steps[] = {{1, 0x40 | 0x20 | 0x10 | 0x9, afd9},
                 {1, 0x40 | 0x20 | 0x10 | 0x9, 2 + 64},
                 {0, 0, 2 + 64},
                 {1, 0x40 | 0x20 | 0x10 | 0x9, afd9}};
    std::uint16_t cycle = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(++cycle);
        ASSERT_EQ(movie->SetSegmentMediaData(video->TrackType(), 0, segment, 1, 48, block), S_OK);
        Rts(10, step.received, step.afd);
        ASSERT_EQ(video->PutStatus(cycle, m_shmem, 0), S_OK);
        ASSERT_EQ(video->HandleRecordUpdate(movie, 0), S_OK);
        EXPECT_EQ(WordAt(movie, video->TrackType(), segment, 24), step.word);
    }
}

TEST_F(VideoStatusTest, DefaultAfdOnAnSdInputAlsoSetsTheAspectRatio) {
    struct Row {
        const char* input;
        const char* text;
        std::vector<std::pair<std::string, std::string>> writes;
    } rows[] = {
        {"Format525_60Hz_2To1", "1000w", {{"defaultAfd", "1000w"}, {"aspectRatio", "16:9"}}},
        {"Format625_50Hz_2To1", "0100W", {{"defaultAfd", "0100W"}, {"aspectRatio", "16:9"}}},
        {"Format525_60Hz_2To1", "1000", {{"defaultAfd", "1000"}, {"aspectRatio", "4:3"}}},
        {"Format525_60Hz_2To1", "0011", {{"defaultAfd", "0011"}, {"aspectRatio", "4:3"}}},
        {"Format525_60Hz_2To1", "", {{"defaultAfd", ""}, {"aspectRatio", "4:3"}}},
        {"Format720_59_94Hz_1To1", "1000w", {{"defaultAfdHd", "1000w"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.input) + " " + row.text);
        auto video = Video("Format525_60Hz_2To1", row.input);
        CComPtr<CAttributeLog> manager = MakeComObject<CAttributeLog>();
        bool refresh = false;
        ASSERT_EQ(video->SetProperty(manager, "defaultafd", CVariant(row.text).GetVARIANT(), true,
                                     &refresh),
                  S_OK);
        EXPECT_EQ(manager->writes, row.writes);
    }
}

TEST_F(VideoStatusTest, MediaFileTypesFollowTheFileTypeAndTheVideoFormat) {
    struct Row {
        const char* reference;
        std::int32_t types[6];  // for file types 4, 5, 6, 7, 3, 8
    } rows[] = {
        {"Format525_60Hz_2To1", {11, 13, 15, 20, 2, 2}},
        {"Format625_50Hz_2To1", {12, 14, 16, 20, 2, 2}},
        {"Format720_59_94Hz_1To1", {11, 14, 16, 20, 2, 2}},
    };
    const std::int32_t fileTypes[6] = {4, 5, 6, 7, 3, 8};
    for (const Row& row : rows) {
        auto video = Video(row.reference, row.reference);
        for (int i = 0; i < 6; ++i) {
            SCOPED_TRACE(std::string(row.reference) + " file type " + std::to_string(fileTypes[i]));
            EXPECT_EQ(video->GetMediaFileType(fileTypes[i]), row.types[i]);
        }
    }
}

TEST_F(VideoStatusTest, PublicationWritesCycleFieldSizeAndPixelCodingIntoTheNextSlot) {
    auto video = Video("Format525_60Hz_2To1", "Format525_60Hz_2To1");
    CChanAccess access(0);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    std::uint8_t* block = access.StatusBlock();
    struct Row {
        std::uint16_t cycle;
        std::uint32_t fieldSize;
        std::uint32_t pixelCoding;
        const char* name;
    } rows[] = {{7, 120000, 1, "PixCodingI"},
                {8, 64000, 2, "PixCodingP"},
                {65535, 1, 3, "PixCodingB"},
                {1, 0, 9, "PixCodingNone"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rts(0, 0, 0, row.fieldSize, row.pixelCoding);
        ASSERT_EQ(video->PutStatus(row.cycle, m_shmem, 0), S_OK);
        std::uint32_t before = 0;
        std::memcpy(&before, block + 0x177B8, 4);
        ASSERT_EQ(video->PublishStatus(access), S_OK);
        std::uint32_t slot = 0;
        std::memcpy(&slot, block + 0x177B8, 4);
        EXPECT_NE(slot, before) << "the counter moves on";
        std::uint16_t cycle = 0;
        std::memcpy(&cycle, block + 0x1777C + 2 * slot, 2);
        EXPECT_EQ(cycle, row.cycle);
        std::uint32_t size = 0;
        std::memcpy(&size, block + 0x177BC + 4 * slot, 4);
        EXPECT_EQ(size, row.fieldSize);
        std::string text;
        for (std::size_t i = 0; i < 36; ++i) {
            const std::size_t at = 0x17834 + 72 * slot + 2 * i;
            const unsigned unit = block[at] | block[at + 1] << 8;
            if (unit == 0) {
                break;
            }
            text += static_cast<char>(unit);
        }
        EXPECT_EQ(text, row.name);
    }
}

}  // namespace
