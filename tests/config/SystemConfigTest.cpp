// The sample system configuration against every query the channel makes on
// its own reduced document: each must select a node, and typed values must
// convert as the readers take them.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/xml/XmlDocument.h"

namespace {

enum class Kind { Node, Text, Long, Bool, Float };

struct Query {
    const char* xpath;  // "%d" is the channel index
    Kind kind;
};

#define CH "//Channel[@channelIndex=\"%d\"]"
#define VIDEO_IN "//VideoInput[@id=" CH "/Video/VideoInputComponent/@id]"
#define VIDEO_CODEC "//VideoCodec[@id=" CH "/Video/VideoCodecComponent/@id]"
#define VIDEO_OUT "//VideoOutput[@id=" CH "/Video/VideoOutputComponent/@id]"
#define AUDIO_IN "//AudioInput[@id=" CH "/Audio/AudioInputComponent/@id]"
#define AUDIO_OUT "//AudioOutput[@id=" CH "/Audio/AudioOutputComponent/@id]"
#define TC_GEN "//TcGenerator[@id=" CH "/Timecode/TcGeneratorComponent/@id]"
#define TC_CODEC "//TcCodec[@id=" CH "/Timecode/TcCodecComponent/@id]"
#define CLOCK "//ClockWatcher[@id=" CH "/Timecode/ClockWatcherComponent/@id]"
#define ANC_CODEC "//AncDataCodec[@id=" CH "/AncData/AncDataCodecComponent/@id]"
#define GPI_IN "//GpiInput[@id=" CH "/Gpi/GpiInputComponent/@id]"
#define GPI_OUT "//GpiOutput[@id=" CH "/Gpi/GpiOutputComponent/@id]"

const Query kChannelQueries[] = {
    // Channel node and system settings.
    {"./Config/Channel/@channelType", Kind::Text},
    {"./Config/Channel/@id", Kind::Text},
    {"./Config/Channel/@channelIndex", Kind::Long},
    {"./Config/System/SystemVideoReference", Kind::Node},
    {"./Config/System/SystemVideoReference/@referenceStandard", Kind::Text},
    {"./Config/System/@model", Kind::Text},
    {"./Config/Board/@id", Kind::Text},
    {"./Config/Panel/@shuttleSpeedMin", Kind::Float},
    {"./Config/Panel/@shuttleSpeedMax", Kind::Float},
    {CH "/@loop", Kind::Bool},
    {CH "/@continuousRecord", Kind::Bool},
    {CH "/@continuousRecordLength", Kind::Text},
    {CH "/@autoStop", Kind::Bool},
    {CH "/@listPauses", Kind::Bool},
    {CH "/@listRepeats", Kind::Bool},
    {CH "/Monitor/@ee", Kind::Bool},
    {CH "/Monitor/@audioPair", Kind::Text},
    {CH "/Ganging/@gangIndex", Kind::Long},
    {CH "/Ganging/@gangOrder", Kind::Long},
    // Remote control.
    {CH "/Remote/@controlPort", Kind::Text},
    {CH "/Remote/@protocol", Kind::Text},
    {CH "/Remote/@workingVolume", Kind::Text},
    {CH "/Remote/@workingBin", Kind::Text},
    {CH "/Remote/@ltcTimerInput", Kind::Text},
    {CH "/Remote/@vitcTimerInput", Kind::Text},
    {CH "/Remote/@stopMode", Kind::Long},
    {CH "/Remote/@localControl", Kind::Bool},
    {CH "/Remote/@remoteControl", Kind::Bool},
    // Resource elements (index and assignment).
    {CH "/Video/@index", Kind::Text},
    {CH "/Video/@assigned", Kind::Bool},
    {CH "/Audio/@index", Kind::Text},
    {CH "/Audio/@assigned", Kind::Bool},
    {CH "/Timecode/@index", Kind::Text},
    {CH "/Timecode/@assigned", Kind::Bool},
    {CH "/AncData/@index", Kind::Text},
    {CH "/AncData/@assigned", Kind::Bool},
    {CH "/Gpi/@index", Kind::Text},
    // Video.
    {VIDEO_IN "/@selectedInput", Kind::Text},
    {VIDEO_IN "/@videoInputFormat", Kind::Text},
    {VIDEO_CODEC "/@compressionFormat", Kind::Text},
    {VIDEO_CODEC "/@aspectRatio", Kind::Text},
    {VIDEO_CODEC "/@defaultAfd", Kind::Text},
    {VIDEO_CODEC "/@defaultAfdHd", Kind::Text},
    {VIDEO_OUT "/@stillPlayMode", Kind::Text},
    // Audio (first track; the per-track walk is below).
    {AUDIO_IN "/@gain", Kind::Long},
    {AUDIO_IN "/@selectedInput", Kind::Text},
    {AUDIO_OUT "/@gain", Kind::Long},
    {CH "/Audio/AudioInputComponent/@tag", Kind::Text},
    {CH "/Audio/AudioOutputComponent/@primaryTag", Kind::Text},
    {CH "/Audio/AudioOutputComponent/@secondaryTag", Kind::Text},
    {CH "/Audio/AudioOutputComponent/@playSilence", Kind::Bool},
    // Timecode.
    {TC_GEN "/@genMode", Kind::Text},
    {TC_GEN "/@genFixedTimecode", Kind::Long},
    {TC_GEN "/@genUserBits", Kind::Long},
    {TC_CODEC "/@currentTcInput", Kind::Text},
    {CLOCK "/@currentTcInput", Kind::Text},
    // Ancillary data.
    {CH "/AncData/AncDataInputComponent/@id", Kind::Text},
    {CH "/AncData/AncDataOutputComponent/@id", Kind::Text},
    {ANC_CODEC "/@fieldsPerRiff", Kind::Long},
    // GPI.
    {GPI_IN "/@triggerAction", Kind::Text},
    {GPI_IN "/@controlIndex", Kind::Long},
    {GPI_OUT "/@controlIndex", Kind::Long},
    {GPI_OUT "/@controller", Kind::Text},
    {GPI_OUT "/@triggerName", Kind::Text},
    {GPI_OUT "/@triggerAt", Kind::Text},
    {GPI_OUT "/@triggerOffset", Kind::Text},
    {GPI_OUT "/@activateWhen", Kind::Text},
};

// Read only when the channel's gang index is 0 or more; "%d" is that index.
const Query kGangQueries[] = {
    {"//Gang[@index=\"%d\"]/@singleController", Kind::Bool},
    {"//Gang[@index=\"%d\"]/@consolidateAudio", Kind::Bool},
    {"//Gang[@index=\"%d\"]/@consolidateVideo", Kind::Bool},
    {"//Gang[@index=\"%d\"]/@playSameClip", Kind::Bool},
    {"//Gang[@index=\"%d\"]/@recordSameClip", Kind::Bool},
    {"//Gang[@index=\"%d\"]/@multicast", Kind::Bool},
    {"//Gang[@index=\"%d\"]/@multicastName", Kind::Text},
};

std::string Format(const char* pattern, int value) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}

// The channel's document: the system document without the other channels.
CXmlDocument ReduceToChannel(const CXmlDocument& system, int channelIndex) {
    CXmlDocument doc = system.Clone();
    CXmlNode config = doc.SelectSingleNode("./Config");
    for (const CXmlNode& channel : doc.SelectNodes("./Config/Channel")) {
        if (channel.GetAttribute("channelIndex") != std::to_string(channelIndex))
            config.RemoveChild(channel);
    }
    return doc;
}

void CheckQuery(const CXmlDocument& doc, const Query& query, int value) {
    const std::string xpath = Format(query.xpath, value);
    SCOPED_TRACE(xpath);
    ASSERT_FALSE(doc.SelectSingleNode(xpath).IsNull());
    std::string text;
    std::int32_t number = 0;
    bool flag = false;
    double real = 0;
    switch (query.kind) {
        case Kind::Node:
            break;
        case Kind::Text:
            EXPECT_TRUE(doc.ReadText(xpath, &text));
            break;
        case Kind::Long:
            EXPECT_NO_THROW(EXPECT_TRUE(doc.ReadLong(xpath, &number)));
            break;
        case Kind::Bool:
            EXPECT_NO_THROW(EXPECT_TRUE(doc.ReadBool(xpath, &flag)));
            break;
        case Kind::Float:
            EXPECT_NO_THROW(EXPECT_TRUE(doc.ReadFloat(xpath, &real)));
            break;
    }
}

class SystemConfigTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_THROW(m_system.Load(TMS_SAMPLE_CONFIG)); }
    CXmlDocument m_system;
};

TEST_F(SystemConfigTest, EveryChannelQuerySelectsAConvertibleValue) {
    for (int channel = 0; channel < 4; ++channel) {
        SCOPED_TRACE("channel " + std::to_string(channel));
        CXmlDocument doc = ReduceToChannel(m_system, channel);
        ASSERT_EQ(doc.SelectNodes("./Config/Channel").size(), 1u);
        std::int32_t index = -1;
        ASSERT_TRUE(doc.ReadLong("./Config/Channel/@channelIndex", &index));
        EXPECT_EQ(index, channel);
        for (const Query& query : kChannelQueries)
            CheckQuery(doc, query, channel);

        std::int32_t gang = -1;
        ASSERT_TRUE(doc.ReadLong(Format(CH "/Ganging/@gangIndex", channel), &gang));
        if (gang >= 0)
            for (const Query& query : kGangQueries)
                CheckQuery(doc, query, gang);

        // The data rate is read under the child that the compression names.
        std::string compression;
        ASSERT_TRUE(doc.ReadText(Format(VIDEO_CODEC "/@compressionFormat", channel), &compression));
        if (compression == "Mpeg" || compression == "D10") {
            double rate = 0;
            ASSERT_TRUE(doc.ReadFloat(Format(VIDEO_CODEC "/", channel) + compression + "/@dataRate",
                                      &rate));
            EXPECT_GT(rate, 0.0);
            for (const char* attribute : {"@openGop", "@pPixPerIPix", "@bPixPerPPix"}) {
                SCOPED_TRACE(attribute);
                const std::string xpath = Format(VIDEO_CODEC "/Mpeg/", channel) + attribute;
                bool flag = false;
                std::int32_t number = 0;
                EXPECT_TRUE(attribute[1] == 'o' ? doc.ReadBool(xpath, &flag)
                                                : doc.ReadLong(xpath, &number));
            }
        }

        // Every audio track: its format is read under the input it selects.
        for (const CXmlNode& audio : doc.SelectNodes("./Config/Channel/Audio")) {
            auto id = audio.SelectSingleNode("AudioInputComponent").GetAttribute("id");
            SCOPED_TRACE("audio input " + id.value_or("(none)"));
            ASSERT_TRUE(id);
            ASSERT_FALSE(audio.SelectSingleNode("AudioOutputComponent/@id").IsNull());
            std::string selected;
            const std::string input = "//AudioInput[@id=\"" + *id + "\"]";
            ASSERT_TRUE(doc.ReadText(input + "/@selectedInput", &selected));
            std::string format;
            ASSERT_TRUE(doc.ReadText(input + "/" + selected + "/@audioInputFormat", &format));
        }

        // The fixed start is a valid packed timecode (bit 31 clear, fields in range).
        std::int32_t packed = 0;
        ASSERT_TRUE(doc.ReadLong(Format(TC_GEN "/@genFixedTimecode", channel), &packed));
        const auto word = static_cast<std::uint32_t>(packed);
        EXPECT_EQ(word & 0x80000000u, 0u);
        EXPECT_LT(word & 0x3Fu, 30u);
        EXPECT_LT((word >> 8) & 0x3Fu, 60u);
        EXPECT_LT((word >> 16) & 0x3Fu, 60u);
        EXPECT_LT((word >> 24) & 0x1Fu, 24u);
    }
}

}  // namespace
