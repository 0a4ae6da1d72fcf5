// A channel with four audio paths and a timecode path (Chan2) against the
// simulator: both kinds are created from the configuration, take part in
// every state message, carry a gain change to the RTS and read it back from
// the status, and report the generator's timecode in the mode the client
// chose. The clock is held wherever a test compares timecodes or fields.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com/VariantArray.h"
#include "tests/channel/ContextFixture.h"

namespace {

using tmstest::Eventually;

// One LIST "rbuf" of a state message: its resource type and state chunks.
struct ResourceList {
    std::string type;
    std::vector<std::vector<BYTE>> states;
};

std::uint32_t U32(const BYTE* p) {
    std::uint32_t v = 0;
    std::memcpy(&v, p, 4);
    return v;
}

// The resource lists of an "sbuf", in order.
std::vector<ResourceList> ListsOf(const std::vector<BYTE>& bytes) {
    std::vector<ResourceList> lists;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::uint32_t size = U32(&bytes[at + 4]);
        const std::size_t end = at + 8 + size + (size & 1);
        if (std::memcmp(&bytes[at], "LIST", 4) == 0 &&
            std::memcmp(&bytes[at + 8], "rbuf", 4) == 0) {
            ResourceList list;
            std::size_t in = at + 12;
            while (in + 8 <= at + 8 + size) {
                const std::uint32_t n = U32(&bytes[in + 4]);
                const BYTE* body = &bytes[in + 8];
                if (std::memcmp(&bytes[in], "res ", 4) == 0) {
                    list.type = reinterpret_cast<const char*>(body + 36);
                } else {
                    list.states.emplace_back(body, body + n);
                }
                in += 8 + n + (n & 1);
            }
            lists.push_back(list);
        }
        at = end;
    }
    return lists;
}

// Fields of a packed timecode word at 30 frames of 2 fields (no drop).
std::int64_t Fields(std::int32_t word) {
    const auto w = static_cast<std::uint32_t>(word);
    const std::int64_t seconds =
        ((w >> 24) & 0x1F) * 3600 + ((w >> 16) & 0x3F) * 60 + ((w >> 8) & 0x3F);
    return (seconds * 30 + (w & 0x3F)) * 2;
}

class ChannelAudioTimecodeTest : public tmstest::ContextFixture {
protected:
    CVariant ResourceStatus(const char* type, int n, const char* name) {
        CVariant v;
        EXPECT_EQ(m_channel->GetResourceStatus(CBstr(type), n, CBstr(name), v.GetAddress()), S_OK)
            << name;
        return v;
    }
    HRESULT Set(const char* type, int n, const char* name, const CVariant& value) {
        return m_channel->SetResourceProperty(CBstr(type), n, CBstr(name), value.GetVARIANT());
    }
    // The generator's word once a status pass has taken the RTS's tick after
    // stepping (the held clock): the timecode resource's tick count is it.
    std::int32_t StepAndRead(int fields) {
        EXPECT_EQ(tmstest::SimControl("clock step " + std::to_string(fields)), "ok");
        const std::string status = tmstest::SimControl("status 1");
        const std::size_t at = status.find(" tick ");
        EXPECT_NE(at, std::string::npos) << status;
        const auto tick = static_cast<std::int32_t>(std::stoul(status.substr(at + 6)));
        EXPECT_TRUE(Eventually(
            [&] { return ResourceStatus("timecode", 0, "tickcount").ToInt32() == tick; }));
        return ResourceStatus("timecode", 0, "timecodemask").ToInt32();
    }
};

TEST_F(ChannelAudioTimecodeTest, TheConfiguredPathsAreCreatedAndAnswerByTypeAndNumber) {
    CVariant labels;
    ASSERT_EQ(m_channel->GetResourceProperty(
                  CBstr("audio"), 3, CBstr("inputlabel+primaryoutputtag+secondaryoutputtag"),
                  labels.GetAddress()),
              S_OK)
        << LastErrorText();
    const auto v = ReadVariantArray(labels.GetVARIANT());
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].ToString(), "A4");
    EXPECT_EQ(v[1].ToString(), "R");
    EXPECT_EQ(v[2].ToString(), "Stereo2");
    CVariant mode;
    ASSERT_EQ(
        m_channel->GetResourceProperty(CBstr("Timecode"), 0, CBstr("GenMode"), mode.GetAddress()),
        S_OK);
    EXPECT_EQ(mode.ToString(), "FreeRun");
    CVariant none;
    EXPECT_EQ(
        m_channel->GetResourceProperty(CBstr("audio"), 4, CBstr("inputgain"), none.GetAddress()),
        HR(0x80045224));
    EXPECT_EQ(
        m_channel->GetResourceProperty(CBstr("timecode"), 1, CBstr("genmode"), none.GetAddress()),
        HR(0x80045224));
}

TEST_F(ChannelAudioTimecodeTest, AMovieWithTwoAudioTracksSendsEveryAudioListAndTheLevelsFollow) {
    CComPtr<IUnknown> timeline;
    const std::uint16_t code = Create("twoaudio", false, 600, &timeline);
    CComPtr<IMovie> movie = MovieOf(timeline);
    unsigned short segment = 0;
    ASSERT_EQ(
        movie->AppendSegment(VideoTrackType(), 0, 0, 600, VideoTrackType(), nullptr, &segment),
        S_OK);
    for (long n : {0L, 1L}) {
        ASSERT_EQ(movie->AppendSegment(2, n, 0, 600, 2, nullptr, &segment), S_OK);
    }
    const unsigned token = Alloc(code);
    Forget();
    auto cue = Change(0x0004 | 0x0008, TmsCuePlay, 0.0f, 0, 600);
    ASSERT_EQ(m_broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
    const auto sent = ReceivedForm("sbuf");
    std::vector<ResourceList> lists;
    for (const auto& m : sent) {
        if (!m.Chunk(rts::FourCC("res ")).empty()) {
            lists = ListsOf(m.bytes);
        }
    }
    ASSERT_EQ(lists.size(), 8u)
        << "video, four audio paths, the timecode path, ancillary data and GPI outputs";
    EXPECT_EQ(lists[0].type, "video");
    for (int n = 0; n < 4; ++n) {
        SCOPED_TRACE(n);
        const ResourceList& list = lists[1 + static_cast<std::size_t>(n)];
        EXPECT_EQ(list.type, "audio");
        ASSERT_FALSE(list.states.empty());
        for (const auto& state : list.states) {
            ASSERT_EQ(state.size(), 48u);
            const std::uint16_t fileCode = static_cast<std::uint16_t>(state[4] | state[5] << 8);
            EXPECT_EQ(fileCode != 0, n < 2) << "tracks 0 and 1 play their file, 2 and 3 black";
        }
    }
    EXPECT_EQ(lists[5].type, "timecode");
    ASSERT_EQ(lists[5].states.size(), 1u) << "the movie has no timecode track: one black state";
    EXPECT_EQ(lists[5].states[0].size(), 20u);
    EXPECT_EQ(lists[6].type, "ancillaryData");
    EXPECT_EQ(lists[7].type, "gpi");

    auto play = Change(0x0104, TmsShuttlePlay, 1.0f);
    ASSERT_EQ(m_broker->ApplyContextChange(token, 124, play.data()), S_OK) << LastErrorText();
    // Paths with a file show a level; the others stay silent.
    EXPECT_TRUE(Eventually([&] {
        return ResourceStatus("audio", 0, "level").ToFloat() > -40.0f &&
               ResourceStatus("audio", 1, "level").ToFloat() > -40.0f;
    }));
    EXPECT_EQ(ResourceStatus("audio", 2, "level").ToFloat(), -40.0f);
    EXPECT_EQ(ResourceStatus("audio", 3, "level").ToFloat(), -40.0f);
}

TEST_F(ChannelAudioTimecodeTest, AGainSetByTheClientReachesTheRtsAndComesBackInTheStatus) {
    EXPECT_TRUE(
        Eventually([&] { return ResourceStatus("audio", 1, "inputgain").ToFloat() == 0.0f; }));
    Forget();
    ASSERT_EQ(Set("audio", 1, "inputgain", CVariant(-6.0f)), S_OK) << LastErrorText();
    EXPECT_EQ(ReceivedForm("rfsh").size(), 1u);
    // Raw 2052, as the RTS reports it back: 20 log10(2052 / 4096) dB.
    EXPECT_TRUE(Eventually([&] {
        return std::abs(ResourceStatus("audio", 1, "inputgain").ToFloat() + 6.0037f) < 0.001f;
    }));
    EXPECT_EQ(ResourceStatus("audio", 1, "outputgain").ToFloat(), 0.0f);
    EXPECT_EQ(ResourceStatus("audio", 0, "inputgain").ToFloat(), 0.0f) << "only path 1 changed";
    EXPECT_NE(ConfigText().find("id=\"AudioInput2_2\" gain=\"2052\""), std::string::npos);

    Forget();
    ASSERT_EQ(Set("audio", 1, "inputgain", CVariant(30.0f)), E_INVALIDARG);
    EXPECT_NE(LastErrorText().find("'30'"), std::string::npos) << LastErrorText();
    EXPECT_TRUE(ReceivedForm("rfsh").empty()) << "a refused gain sends nothing";
}

TEST_F(ChannelAudioTimecodeTest, TheGeneratorStaysPutInFixedStartAndRunsAtTheFieldRateInFreeRun) {
    ASSERT_EQ(tmstest::SimControl("clock hold"), "ok");
    ASSERT_EQ(Set("timecode", 0, "genfixedtimecode", CVariant("01:00:00:00")), S_OK)
        << LastErrorText();
    ASSERT_EQ(Set("timecode", 0, "genmode", CVariant("fixedstart")), S_OK) << LastErrorText();
    const std::int32_t fixed = StepAndRead(1);
    EXPECT_EQ(fixed, 0x01000000);
    EXPECT_EQ(StepAndRead(50), 0x01000000) << "fixed start stays put";
    CVariant text;
    ASSERT_EQ(m_channel->GetStatus(0, CBstr("timecodestr"), text.GetAddress()), S_OK);
    EXPECT_EQ(text.ToString(), "01:00:00.00") << "the channel's timecode is the resource's";

    ASSERT_EQ(Set("timecode", 0, "genmode", CVariant("FreeRun")), S_OK) << LastErrorText();
    // Even steps: a frame is two fields, whichever field the count is on.
    std::int32_t before = StepAndRead(1);
    for (int fields : {2, 60, 1800}) {
        SCOPED_TRACE(fields);
        const std::int32_t after = StepAndRead(fields);
        EXPECT_EQ(Fields(after) - Fields(before), fields) << std::hex << before << " " << after;
        before = after;
    }
}

}  // namespace
