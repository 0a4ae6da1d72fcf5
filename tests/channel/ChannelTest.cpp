// The channel end to end, as a client drives it: CoCreateInstance, Open on a
// channel of the sample configuration against a tms-rtssim process, and
// what arrives at the RTS, byte by byte where the layouts fix the bytes.
#include <cstring>

#include "platform/com/VariantArray.h"
#include "server/appserverutil/ChanAccess.h"
#include "tests/channel/ChannelFixture.h"
#include "tests/frame/LogLines.h"
#include "tmschannel/rts/RtsMessageFormat.h"

namespace {

using tmstest::DumpedMessage;

constexpr HRESULT kLost = HR(0x80043012);
constexpr HRESULT kResourceNotFound = HR(0x80045224);

rts::PortContextRecord Context(const DumpedMessage& m) {
    rts::PortContextRecord ctx{};
    const auto body = m.Chunk(rts::kChunkContext);
    EXPECT_EQ(body.size(), sizeof ctx) << m.FormName();
    if (body.size() == sizeof ctx) {
        std::memcpy(&ctx, body.data(), sizeof ctx);
    }
    return ctx;
}

rts::ScheduleRecord Schedule(const DumpedMessage& m) {
    return m.ChunkAs<rts::ScheduleRecord>(rts::kChunkSchedule);
}

std::vector<std::string> Forms(const std::vector<DumpedMessage>& messages) {
    std::vector<std::string> forms;
    for (const auto& m : messages) {
        forms.push_back(m.FormName());
    }
    return forms;
}

class ChannelTest : public tmstest::ChannelFixture {};

TEST_F(ChannelTest, OpenByIndexSendsOwnerConfigurationAndDefaultModes) {
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 1), S_OK) << LastErrorText();
    const auto got = Received();
    ASSERT_EQ(Forms(got), (std::vector<std::string>{"open", "sbuf", "sbuf", "schc", "schc"}));

    // "ownr": index, id, application, UUID, each text in 36 bytes.
    const auto owner = got[0].Chunk(rts::kChunkOwner);
    ASSERT_EQ(owner.size(), 112u);
    EXPECT_EQ(owner[0], 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&owner[4])), "Chan2");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&owner[40])), "test-app");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&owner[76])), "uuid-1234");
    // "cdef": the channel's configuration without the Board elements, with its NUL.
    const auto cdef = got[0].Chunk(rts::kChunkConfig);
    const std::string xml(reinterpret_cast<const char*>(cdef.data()));
    EXPECT_NE(xml.find("id=\"Chan2\""), std::string::npos);
    EXPECT_EQ(xml.find("id=\"Chan1\""), std::string::npos);
    EXPECT_EQ(xml.find("<Board"), std::string::npos);
    EXPECT_NE(xml.find("<Panel"), std::string::npos);

    const auto idle = Context(got[1]);
    EXPECT_EQ(idle.contextIndex, -1);
    EXPECT_EQ(idle.flags, 0x81u);
    EXPECT_EQ(idle.trigger, 1);
    EXPECT_EQ(idle.idleMode, 0);  // E-to-E off
    const auto end = Context(got[2]);
    EXPECT_EQ(end.flags, 0x41u);
    EXPECT_EQ(end.endMode, 0);  // stop mode 0 is Default, sent as Freeze

    const auto cancelAll = Schedule(got[3]);
    EXPECT_EQ(cancelAll.condition, 1);
    EXPECT_EQ(cancelAll.triggerValue, -1);
    EXPECT_EQ(cancelAll.cancel, 1);
    EXPECT_EQ(Context(got[3]).changeId, -2);
    // GpiInput2: "play" on control index 1.
    const auto play = Schedule(got[4]);
    EXPECT_EQ(play.triggerValue, 1);
    EXPECT_EQ(play.cancel, 0);
    const auto playCtx = Context(got[4]);
    EXPECT_EQ(playCtx.flags, 0x104u);
    EXPECT_EQ(playCtx.portState, TmsShuttlePlay);
    EXPECT_EQ(static_cast<float>(playCtx.speed), 1.0f);
}

TEST_F(ChannelTest, OpenByNameReadsThatChannelAndItsEtoE) {
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    ASSERT_EQ(OpenName(m_channel, "Chan3"), S_OK) << LastErrorText();
    const auto got = Received();
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got[0].Chunk(rts::kChunkOwner)[0], 2);
    EXPECT_EQ(Context(got[1]).idleMode, 1) << "Chan3 is configured with E-to-E on";
    BOOL ee = 0;
    EXPECT_EQ(m_channel->GetEtoE(&ee), S_OK);
    EXPECT_EQ(ee, -1);
    // GpiInput3 records.
    EXPECT_EQ(Context(got.back()).portState, TmsShuttleRecord);
}

TEST_F(ChannelTest, OpenTwiceAndCloseTwiceSendOneOpenAndOneClose) {
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    EXPECT_EQ(m_channel->Close(), S_OK) << "close before open";
    ASSERT_EQ(OpenIndex(m_channel, 0), S_OK);
    Forget();
    ASSERT_EQ(OpenIndex(m_channel, 0, "a-second-application-name-longer-than-35"), S_OK);
    EXPECT_TRUE(Received().empty());
    ASSERT_EQ(m_channel->Close(), S_OK);
    ASSERT_EQ(m_channel->Close(), S_OK);
    const auto got = Received();
    ASSERT_EQ(Forms(got), std::vector<std::string>{"clos"});
    const auto owner = got[0].Chunk(rts::kChunkOwner);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&owner[40])),
              std::string("a-second-application-name-longer-than-35").substr(0, 35));
}

TEST_F(ChannelTest, BoardsAreStrippedFromTheRtsTextButStillRead) {
    // Without E-to-E on the board a Player's idle mode is Freeze even with
    // E-to-E configured on: the Board element is still in the document.
    EditConfig("<Board id=\"Board0\" slot=\"0\"/>",
               "<Board id=\"Board0\" slot=\"0\"><NoEe/></Board>");
    EditConfig("<Monitor ee=\"false\" audioPair=\"0\"/>", "<Monitor ee=\"true\" audioPair=\"0\"/>");
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 0), S_OK) << LastErrorText();
    const auto got = Received();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(Context(got[1]).idleMode, 0);
    const std::string xml(reinterpret_cast<const char*>(got[0].Chunk(rts::kChunkConfig).data()));
    EXPECT_EQ(xml.find("NoEe"), std::string::npos);
}

TEST_F(ChannelTest, EtoEIsPersistedPublishedAndStamped) {
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 0), S_OK);
    CChanAccess block(0);
    BOOL created = FALSE;
    ASSERT_TRUE(block.Open(&created));
    for (const BOOL on : {TRUE, FALSE, TRUE}) {
        SCOPED_TRACE(on);
        ASSERT_EQ(m_channel->SetEtoE(on), S_OK) << LastErrorText();
        BOOL ee = 7;
        EXPECT_EQ(m_channel->GetEtoE(&ee), S_OK);
        EXPECT_EQ(ee, on ? -1 : 0);
        EXPECT_EQ(block.StatusBlock()[0x17664], on ? 1 : 0);
        std::uint32_t stamp = 0, master = 0;
        std::memcpy(&stamp, block.StatusBlock() + 0x1A458, 4);
        std::memcpy(&master, block.StatusBlock() + 0x1A448, 4);
        EXPECT_NE(stamp, 0u);
        EXPECT_EQ(stamp, master);
        const std::string text = ConfigText();
        const std::size_t chan = text.find("id=\"Chan1\"");
        const std::size_t monitor = text.find("<Monitor", chan);
        EXPECT_EQ(text.substr(monitor, 40).find(on ? "ee=\"true\"" : "ee=\"false\""), 9u)
            << text.substr(monitor, 40);
    }
    // A new channel object reads the persisted state.
    ASSERT_EQ(m_channel->Close(), S_OK);
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 0), S_OK);
    BOOL ee = 0;
    EXPECT_EQ(m_channel->GetEtoE(&ee), S_OK);
    EXPECT_EQ(ee, -1);
}

TEST_F(ChannelTest, ResourcePropertiesAndStatusByName) {
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 0), S_OK);
    CVariant one;
    ASSERT_EQ(
        m_channel->GetResourceProperty(CBstr("Video"), 0, CBstr("Compression"), one.GetAddress()),
        S_OK);
    EXPECT_EQ(one.ToString(), "Mpeg");
    CVariant two;
    ASSERT_EQ(m_channel->GetResourceProperty(CBstr("video"), 0, CBstr(" compression + tracktype "),
                                             two.GetAddress()),
              S_OK);
    EXPECT_EQ(two.Type(), VT_ARRAY | VT_VARIANT);
    const auto values = ReadVariantArray(two.GetVARIANT());
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].ToString(), "Mpeg");
    EXPECT_EQ(values[1].Type(), VT_I4);

    CVariant status(123);
    EXPECT_EQ(
        m_channel->GetResourceStatus(CBstr("video"), 0, CBstr("VideoFormat"), &status.GetVARIANT()),
        S_FALSE)
        << "status names are matched exactly";
    EXPECT_EQ(status.ToInt32(), 123);
    EXPECT_EQ(m_channel->GetResourceStatus(CBstr("video"), 0, CBstr("videoformatstr"),
                                           status.GetAddress()),
              S_OK);
    EXPECT_EQ(status.Type(), VT_BSTR);

    struct Row {
        const char* type;
        int number;
        const char* query;
        HRESULT expected;
        const char* message;
    } rows[] = {
        {"audio", 4, "inputgain", kResourceNotFound, "Could not find resource audio[4]"},
        {"video", 1, "compression", kResourceNotFound, "Could not find resource video[1]"},
        {"video", 0, " + , ", E_INVALIDARG, "Property query cannot be empty"},
        {"video", 0, "compression+nosuchname", HR(0x8004300E),
         "video property 'nosuchname' is not available through this interface"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.query);
        CVariant v;
        EXPECT_EQ(m_channel->GetResourceProperty(CBstr(row.type), row.number, CBstr(row.query),
                                                 v.GetAddress()),
                  row.expected);
        EXPECT_EQ(LastErrorText(), row.message);
        EXPECT_TRUE(v.IsEmpty()) << "a failed query leaves no partial result";
    }
}

TEST_F(ChannelTest, ResourcePropertyWritesArePersistedOnTheCodec) {
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 1), S_OK);
    ASSERT_EQ(
        m_channel->SetResourceProperty(CBstr("video"), 0, CBstr("AspectRatio"), CVariant("16:9")),
        S_OK)
        << LastErrorText();
    std::string text = ConfigText();
    std::size_t codec = text.find("<VideoCodec id=\"VideoCodec2\"");
    ASSERT_NE(codec, std::string::npos);
    EXPECT_NE(text.substr(codec, 200).find("aspectRatio=\"16:9\""), std::string::npos);
    EXPECT_EQ(
        text.find("<VideoCodec id=\"VideoCodec1\" compressionFormat=\"Mpeg\" aspectRatio=\"4:3\""),
        text.find("<VideoCodec id=\"VideoCodec1\""))
        << "another channel's codec is untouched";

    // Not persisted: the file keeps its value.
    ASSERT_EQ(m_channel->SetResourcePropertyEx(CBstr("video"), 0, CBstr("aspectratio"),
                                               CVariant("4:3"), FALSE),
              S_OK);
    text = ConfigText();
    codec = text.find("<VideoCodec id=\"VideoCodec2\"");
    EXPECT_NE(text.substr(codec, 200).find("aspectRatio=\"16:9\""), std::string::npos);

    EXPECT_EQ(
        m_channel->SetResourceProperty(CBstr("video"), 0, CBstr("compression"), CVariant("Dv25")),
        HR(0x8004300F));
    EXPECT_EQ(LastErrorText(), "video property 'compression' cannot be set in this manner.");
    // A value outside the property's set is refused, not stored as 4:3.
    const std::string before = ConfigText();
    EXPECT_EQ(
        m_channel->SetResourceProperty(CBstr("video"), 0, CBstr("aspectratio"), CVariant("banana")),
        E_INVALIDARG);
    EXPECT_EQ(LastErrorText(),
              "video property 'aspectratio' cannot be 'banana': the values are 16:9, 4:3 and "
              "empty");
    EXPECT_EQ(ConfigText(), before);
    EXPECT_EQ(m_channel->SetResourceProperty(CBstr("video"), 0, CBstr("aspectratio+defaultafd"),
                                             CVariant("16:9")),
              E_INVALIDARG)
        << "two names need an array of two values";
    CVariant pair = MakeVariantArray({CVariant("16:9"), CVariant("1000w")});
    EXPECT_EQ(
        m_channel->SetResourceProperty(CBstr("video"), 0, CBstr("aspectratio|defaultafd"), pair),
        S_OK)
        << LastErrorText();
}

// The aspect ratio's check refused an empty text, though empty is what a
// codec without one has: the operator could not put that back.
TEST_F(ChannelTest, AnEmptyAspectRatioTheUnconfiguredValueIsAcceptedAndPersisted) {
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 1), S_OK);
    ASSERT_EQ(m_channel->SetResourceProperty(CBstr("video"), 0, CBstr("aspectratio"), CVariant("")),
              S_OK)
        << LastErrorText();
    const std::string text = ConfigText();
    const std::size_t codec = text.find("<VideoCodec id=\"VideoCodec2\"");
    ASSERT_NE(codec, std::string::npos);
    const std::string element = text.substr(codec, text.find('>', codec) - codec);
    EXPECT_NE(element.find("aspectRatio=\"\""), std::string::npos) << element;
}

TEST_F(ChannelTest, RefreshWithGpinSendsTheConfigurationAgainAndReinitialisesGpiInputs) {
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    EXPECT_EQ(m_channel->RefreshConfig(CBstr("")), E_UNEXPECTED) << "not open";
    ASSERT_EQ(OpenIndex(m_channel, 0), S_OK);
    Forget();
    ASSERT_EQ(m_channel->RefreshConfig(CBstr("")), S_OK) << LastErrorText();
    EXPECT_TRUE(Received().empty()) << "a plain refresh only reads the configuration";
    ASSERT_EQ(m_channel->RefreshConfig(CBstr("gpout")), S_OK);
    EXPECT_EQ(Forms(Received()), std::vector<std::string>{"rfsh"});
    Forget();
    EditConfig("<GpiInput id=\"GpiInput1\" triggerAction=\"play\"",
               "<GpiInput id=\"GpiInput1\" triggerAction=\"FastForward\"");
    ASSERT_EQ(m_channel->RefreshConfig(CBstr("sys gpin")), S_OK) << LastErrorText();
    const auto got = Received();
    ASSERT_EQ(Forms(got), (std::vector<std::string>{"rfsh", "schc", "schc"}));
    const std::string xml(reinterpret_cast<const char*>(got[0].Chunk(rts::kChunkConfig).data()));
    EXPECT_NE(xml.find("Chan1"), std::string::npos);
    EXPECT_EQ(xml.find("id=\"Chan2\""), std::string::npos) << "only this channel's element";
    EXPECT_EQ(xml.find("<Board"), std::string::npos);
    EXPECT_EQ(static_cast<float>(Context(got[2]).speed), 32.0f);
}

TEST_F(ChannelTest, AFailedOpenLeavesNothingAndASecondOpenSucceeds) {
    m_channel = NewChannel();
    EXPECT_EQ(OpenIndex(m_channel, 0), HR(0x80043015)) << "no RTS is running";
    EXPECT_EQ(LastErrorText(), "Could not open RTS shared memory");
    CVariant v;
    EXPECT_EQ(
        m_channel->GetResourceProperty(CBstr("video"), 0, CBstr("compression"), v.GetAddress()),
        kResourceNotFound)
        << "resources of the failed open are gone";
    EXPECT_EQ(OpenIndex(m_channel, 9), E_INVALIDARG) << "no such channel";
    ASSERT_EQ(StartSimulator(), "");
    ASSERT_EQ(OpenIndex(m_channel, 0), S_OK) << LastErrorText();
    EXPECT_EQ(Forms(Received()).front(), "open");
}

TEST_F(ChannelTest, AnRtsThatGoesAwayFailsTheNextCallAndCloseStillReleases) {
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 0), S_OK);
    m_sim.Kill();
    EXPECT_EQ(m_channel->RefreshConfig(CBstr("gpin")), kLost);
    EXPECT_EQ(m_channel->Close(), kLost) << "the closing message could not be sent";
    EXPECT_EQ(m_channel->Close(), S_OK) << "but the channel is closed";
    ASSERT_EQ(StartSimulator(), "");  // takes over what the killed one left
    ASSERT_EQ(OpenIndex(m_channel, 0), S_OK);
}

// Regression: a Default end mode (stop mode 0) is sent as Freeze but was
// traced "endMode=Default ".
TEST_F(ChannelTest, DefaultEndModeTracesTheWordOfTheModeSent) {
    ASSERT_EQ(StartSimulator(), "");
    struct Row {
        const char* stopMode;
        std::int32_t sent;
        const char* word;
    } rows[] = {{"0", 0, "Freeze "}, {"1", 0, "Freeze "}, {"3", 2, "Black "}, {"4", 1, "EE "}};
    std::string current = "0";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stopMode);
        EditConfig("stopMode=\"" + current + "\"",
                   std::string("stopMode=\"") + row.stopMode + "\"");
        current = row.stopMode;
        const std::size_t seen = tmstest::ReadLog().size();
        Forget();
        m_channel = NewChannel();
        ASSERT_EQ(OpenIndex(m_channel, 0), S_OK) << LastErrorText();
        const auto got = Received();
        ASSERT_GE(got.size(), 3u);
        EXPECT_EQ(Context(got[2]).endMode, row.sent);
        std::vector<std::string> traced;
        const auto log = tmstest::ReadLog();
        for (std::size_t i = seen; i < log.size(); ++i) {
            if (const auto& r = log[i]; r.text.find("dftCtx: endMode=") != std::string::npos) {
                traced.push_back(r.text);
            }
        }
        // The configuration read sets it before the RTS is connected, Open
        // again once it is: every trace names the mode sent.
        ASSERT_FALSE(traced.empty());
        for (const auto& text : traced) {
            EXPECT_EQ(text, std::string("    Chan1:dftCtx: endMode=") + row.word);
        }
        ASSERT_EQ(m_channel->Close(), S_OK);
    }
}

}  // namespace
