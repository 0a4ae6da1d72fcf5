// The ancillary-data resource: what its configuration gives (data rate,
// record assignment), its media data block and "ancd" states byte for byte
// (expected bytes written out from the layout tables), its status names and
// its status region.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/NamedObjects.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/ipmclient/RtsShmemWriter.h"
#include "tests/resources/ConfigDocument.h"
#include "tests/rts/Golden.h"
#include "tests/support/TestRuntimeDir.h"
#include "tmschannel/resources/TmsResAncData.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

constexpr const char* k525 = "Format525_60Hz_2To1";
constexpr const char* k625 = "Format625_50Hz_2To1";

class AncDataTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(DllRegisterServerAt(TMS_XMLDOM_LIB), S_OK); }
    void TearDown() override {
        m_shmem.Close();
        m_writer.Destroy();
        UnlinkAllNamedObjects();
        CoFreeUnusedLibrariesEx(0, 0);
    }

    // Channel 0 of the given type with one AncData element; codec is the
    // attribute text of its codec element.
    std::unique_ptr<CTmsResAncData> AncData(const std::string& reference, const std::string& codec,
                                            const std::string& channelType = "Recorder",
                                            const std::string& assigned = "false") {
        m_doc = tmstest::LoadConfig(
            "<Config><System><SystemVideoReference referenceStandard=\"" + reference +
            "\"/></System><VideoInput id=\"In\" videoInputFormat=\"Format1080_59_94Hz_2To1\"/>"
            "<AncDataCodec id=\"Co\" " +
            codec + "/><Channel id=\"Chan1\" channelIndex=\"0\" channelType=\"" + channelType +
            "\"><Video index=\"0\"><VideoInputComponent id=\"In\"/></Video>"
            "<AncData index=\"3\" assigned=\"" +
            assigned +
            "\"><AncDataInputComponent id=\"AIn\"/><AncDataCodecComponent id=\"Co\"/>"
            "<AncDataOutputComponent id=\"AOut\"/></AncData></Channel></Config>");
        auto anc = std::make_unique<CTmsResAncData>(0);
        EXPECT_EQ(anc->InitFromConfig(m_doc, tmstest::SelectNode(m_doc, "//AncData")), S_OK);
        return anc;
    }

    tmstest::TestRuntimeDir m_dir;
    CComPtr<IXMLDOMDocument2> m_doc;
    CRtsShmemWriter m_writer;
    CRtsShmem m_shmem;
};

TEST_F(AncDataTest, DataRateFollowsTheFormatAndTheFieldsPerRiff) {
    struct Row {
        const char* what;
        const char* reference;
        const char* codec;
        std::int32_t bytesPerSecond;
    } rows[] = {
        {"525, 2 fields: 65,536 x 59.94 / 2, truncated", k525, "fieldsPerRiff=\"2\"", 1964113},
        {"525, 1 field", k525, "fieldsPerRiff=\"1\"", 3928227},
        {"625, 2 fields: 65,536 x 50 / 2", k625, "fieldsPerRiff=\"2\"", 1638400},
        {"625, 3 fields: integer division", k625, "fieldsPerRiff=\"3\"", 1092266},
        {"no block size", k625, "fieldsPerRiff=\"0\"", 0},
        {"a negative block size", k625, "fieldsPerRiff=\"-2\"", 0},
        {"attribute missing", k625, "", 0},
        {"a high-definition reference", "Format1080_59_94Hz_2To1", "fieldsPerRiff=\"2\"", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto anc = AncData(row.reference, row.codec);
        EXPECT_EQ(anc->GetBytesPerSecond(), row.bytesPerSecond);
        EXPECT_EQ(anc->TrackType(), 9);
        EXPECT_EQ(anc->EncodeFileType(), 8);
        EXPECT_EQ(anc->GetMediaFileType(4), 21);
    }
}

TEST_F(AncDataTest, APlayerRecordsAncillaryDataWhateverItsAssignedFlag) {
    struct Row {
        const char* channelType;
        const char* assigned;
        bool records;
    } rows[] = {{"Player", "false", true},
                {"Player", "true", true},
                {"Recorder", "true", true},
                {"Recorder", "false", false},
                {"player", "false", false}};  // the type is compared exactly
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.channelType) + " assigned=" + row.assigned);
        auto anc = AncData(k625, "fieldsPerRiff=\"2\"", row.channelType, row.assigned);
        EXPECT_EQ(anc->IsAssignedForRecord(), row.records);
    }
}

TEST_F(AncDataTest, MediaDataBlockBytes) {
    auto anc = AncData(k625, "fieldsPerRiff=\"2\"");
    BYTE block[48];
    std::memset(block, 0xAA, sizeof block);
    anc->GetMediaData(block);
    // 32: encode file type 8; 36: 1,638,400 = 0x00190000; 40: 2; 44: format 1.
    std::vector<BYTE> expected(48, 0);
    expected[32] = 8;
    expected[38] = 0x19;
    expected[40] = 2;
    expected[44] = 1;
    EXPECT_EQ(std::vector<BYTE>(block, block + 48), expected);
}

TEST_F(AncDataTest, AncdListGoldenBytes) {
    auto anc = AncData(k625, "fieldsPerRiff=\"2\"");
    CMmioMsg message(rts::kLargeMessageSize);
    rts::CStateMessageBuilder builder(message);
    rts::ResourceIdRecord id{};
    rts::SetNarrow(id.indexText, "3");
    rts::SetNarrow(id.typeName, "ancillaryData");
    ASSERT_EQ(builder.BeginResource(id), S_OK);
    MediaSegmentInfo segment;
    segment.start = 100;
    segment.markIn = 40;
    segment.duration = 50;
    segment.fileCode = 7;
    ASSERT_EQ(anc->AddState(nullptr, 110, 1110, false, false, segment, builder), S_OK);
    ASSERT_EQ(anc->AddState(nullptr, 110, 1110, true, false, segment, builder), S_OK);
    ASSERT_EQ(anc->AddBlackState(nullptr, 170, 2000, builder, 25, 300), S_OK);
    ASSERT_EQ(builder.EndResource(), S_OK);

    // LIST (4 + 80 + 3 x 28 = 168 bytes of body) "rbuf"; "res " 72: index
    // text and type name in 36 bytes each; three "ancd" chunks of 20 bytes:
    // port position, file code (u16) and 0 (u16), media position, fields
    // left, movie position less the segment start.
    tmstest::Golden g(8 + 168);
    g.Text(0, "LIST").U32(4, 168).Text(8, "rbuf");
    g.Text(12, "res ").U32(16, 72).Text(20, "3").Text(56, "ancillaryData");
    // Play: media 110 - 100 + 40 = 50; left 100 + 50 - 110 - 1 = 39; into 10.
    g.Text(92, "ancd")
        .U32(96, 20)
        .U32(100, 1110)
        .U16(104, 7)
        .U32(108, 50)
        .U32(112, 39)
        .U32(116, 10);
    // Record: left runs to the last position, 0x7FFFFFFF - 110.
    g.Text(120, "ancd").U32(124, 20).U32(128, 1110).U16(132, 7).U32(136, 50);
    g.U32(140, 0x7FFFFF91).U32(144, 10);
    // Black: port position, no file, no media, to the window end, past the track.
    g.Text(148, "ancd").U32(152, 20).U32(156, 2000).U32(168, 300).U32(172, 25);
    const BYTE* bytes = message.GetBuffer();
    EXPECT_EQ(std::vector<BYTE>(bytes, bytes + message.GetMsgSize()), g.Bytes());
}

TEST_F(AncDataTest, StatusNamesAreExactAndPropertiesAreRefused) {
    auto anc = AncData(k625, "fieldsPerRiff=\"2\"");
    CVariant v;
    ASSERT_EQ(anc->StringToStatus("fieldsPerRiff", v.GetAddress()), S_OK);
    EXPECT_EQ(v.ToInt32(), 2);
    VARIANT untouched;
    VariantInit(&untouched);
    untouched.vt = VT_I4;
    untouched.lVal = 77;
    EXPECT_EQ(anc->StringToStatus("fieldsperriff", &untouched), S_FALSE);
    EXPECT_EQ(untouched.vt, VT_I4);
    EXPECT_EQ(untouched.lVal, 77) << "an unknown name leaves the value alone";
    ASSERT_EQ(anc->StringToStatus("videoformatstr", v.GetAddress()), S_OK);
    EXPECT_EQ(v.ToString(), k625);
    ASSERT_EQ(anc->StringToStatus("fieldsperframe", v.GetAddress()), S_OK);
    EXPECT_EQ(v.ToInt32(), 2);
    EXPECT_EQ(anc->GetProperty("fieldsperriff", v.GetAddress()), static_cast<HRESULT>(0x8004300E));
    EXPECT_EQ(anc->SetProperty(nullptr, "enabled", CVariant(true), true, nullptr),
              static_cast<HRESULT>(0x8004300F));
}

TEST_F(AncDataTest, StatusComesFromTheRtsAndAFailedReadKeepsTheLast) {
    auto anc = AncData(k625, "fieldsPerRiff=\"2\"");
    ASSERT_EQ(m_writer.Create(1), 0u);
    ASSERT_TRUE(m_shmem.Open());
    {
        CRtsChannelWrite w(m_writer, 0);
        ASSERT_TRUE(w);
        w->present = 1;
        w->ancData.tickCount = 4321;
        w->ancData.errorCode = 5;
        w->ancData.packetCount = 99;
        w->ancData.present = 1;
    }
    ASSERT_EQ(anc->PutStatus(3, m_shmem, 0), S_OK);
    EXPECT_EQ(anc->AncDataStatus().packetCount, 99u);
    // Channel 1 is not in the shared memory: the read fails, and that is no error.
    ASSERT_EQ(anc->PutStatus(4, m_shmem, 1), S_OK);
    EXPECT_EQ(anc->StatusCycle(), 3);
    CVariant v;
    ASSERT_EQ(anc->StringToStatus("tickcount", v.GetAddress()), S_OK);
    EXPECT_EQ(v.ToInt32(), 4321);
    ASSERT_EQ(anc->StringToStatus("errorcode", v.GetAddress()), S_OK);
    EXPECT_EQ(v.ToInt32(), 5);

    // The region: ring index at 0x1A440, cycle numbers from 0x1A404.
    CChanAccess access(0);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    std::uint8_t* block = access.StatusBlock();
    ASSERT_NE(block, nullptr);
    for (std::uint16_t cycle : {std::uint16_t{7}, std::uint16_t{65535}}) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(anc->PutStatus(cycle, m_shmem, 0), S_OK);
        ASSERT_EQ(anc->PublishStatus(access), S_OK);
        std::uint32_t slot = 0;
        std::memcpy(&slot, block + 0x1A440, 4);
        ASSERT_LT(slot, 30u);
        std::uint16_t published = 0;
        std::memcpy(&published, block + 0x1A404 + 2 * slot, 2);
        EXPECT_EQ(published, cycle);
    }
}

TEST_F(AncDataTest, MatchesItsOwnElementOnly) {
    auto anc = AncData(k625, "fieldsPerRiff=\"2\"");
    auto doc = tmstest::LoadConfig(
        "<C><AncData index=\"3\"/><ancillarydata index=\"3\"/><AncData index=\"4\"/>"
        "<AncData/><Audio index=\"3\"/></C>");
    CComPtr<IXMLDOMNodeList> nodes;
    ASSERT_EQ(doc->selectNodes(CBstr("/C/*"), &nodes), S_OK);
    const bool expected[] = {true, true, false, false, false};
    for (long i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        CComPtr<IXMLDOMNode> node;
        ASSERT_EQ(nodes->get_item(i, &node), S_OK);
        EXPECT_EQ(anc->IsMyXml(node), expected[i]);
    }
}

}  // namespace
