// GPI outputs end to end: a list timeline of three edits, one per segment,
// played on Chan2 against a tms-rtssim process whose clock is held and
// stepped field by field. The simulator keeps the tick at which each GPI
// state fired; every configured output must fire at the field its trigger
// names, at 1x and at 2x, and never while the context is only cued.
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "tests/channel/ContextFixture.h"
#include "tmschannel/context/ContextRecord.h"

namespace {

using namespace context_record;

constexpr std::int32_t kSegment = 100;
constexpr std::int32_t kLength = 3 * kSegment;

// "tick T ... position P" of the simulator's status line for Chan2.
std::pair<std::uint32_t, std::int32_t> TickAndPosition() {
    const std::string status = tmstest::SimControl("status 1");
    std::smatch tick, position;
    EXPECT_TRUE(std::regex_search(status, tick, std::regex("tick ([0-9]+)"))) << status;
    EXPECT_TRUE(std::regex_search(status, position, std::regex("position (-?[0-9]+)"))) << status;
    if (tick.empty() || position.empty()) {
        return {0, 0};
    }
    return {static_cast<std::uint32_t>(std::stoul(tick[1])), std::stoi(position[1])};
}

struct FiredState {
    std::uint32_t tick;
    std::int32_t position;
    std::uint32_t mask;
    bool operator==(const FiredState& o) const {
        return tick == o.tick && position == o.position && mask == o.mask;
    }
};

void PrintTo(const FiredState& f, std::ostream* os) {
    *os << "tick " << f.tick << " position " << f.position << " mask 0x" << std::hex << f.mask
        << std::dec;
}

std::vector<FiredState> FiredLog() {
    const std::string text = tmstest::SimControl("gpifired 1");
    std::vector<FiredState> out;
    const std::regex entry("tick ([0-9]+) position (-?[0-9]+) mask 0x([0-9A-F]+)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry);
         it != std::sregex_iterator(); ++it) {
        out.push_back({static_cast<std::uint32_t>(std::stoul((*it)[1])), std::stoi((*it)[2]),
                       static_cast<std::uint32_t>(std::stoul((*it)[3], nullptr, 16))});
    }
    return out;
}

class E2eGpiOutputTest : public tmstest::ContextFixture {
protected:
    // Chan2's outputs: 9 and 12 at the start, 10 a second (60 fields at
    // 29.97 frames, drop frame) before the last frame; the start is also
    // each edit's first field and the end each edit's last frame.
    void BeforeOpen() override {
        EditConfig(
            R"(<GpiOutput id="GpiOutput2" controlIndex="9" controller="trigger" triggerName="" triggerAt="start" triggerOffset="00:00:00:00" activateWhen="always"/>)",
            R"(<GpiOutput id="GpiOutput2" controlIndex="9" controller="trigger" triggerName="" triggerAt="start" triggerOffset="00:00:00:00" activateWhen="always"/>)"
            R"(<GpiOutput id="GpiOutput2b" controlIndex="10" controller="trigger" triggerAt="endMinus" triggerOffset="00:00:01;00" activateWhen="play"/>)"
            R"(<GpiOutput id="GpiOutput2c" controlIndex="12" controller="trigger" triggerAt="start" activateWhen="always"/>)");
        EditConfig(R"(<GpiOutputComponent id="GpiOutput2"/>)",
                   R"(<GpiOutputComponent id="GpiOutput2"/><GpiOutputComponent id="GpiOutput2b"/>)"
                   R"(<GpiOutputComponent id="GpiOutput2c"/>)");
    }
};

TEST_F(E2eGpiOutputTest, EachOutputFiresOnTheFieldOfItsTriggerAndNeverWhileCued) {
    CComPtr<IUnknown> timeline;
    const std::uint16_t code = Create("gpi", false, 0, &timeline);
    CComPtr<IMovie> movie = MovieOf(timeline);
    for (int i = 0; i < 3; ++i) {
        unsigned short segment = 0;
        ASSERT_EQ(movie->AppendSegment(VideoTrackType(), 0, 0, kSegment, 4, nullptr, &segment),
                  S_OK);
        CBstr edit;
        ASSERT_EQ(movie->AddEdit(i * kSegment, kSegment, CBstr("e"), FALSE, -1, &edit), S_OK);
    }
    ASSERT_EQ(movie->SetProperty(CBstr("assetType"), CVariant("List")), S_OK);
    const unsigned token = Alloc(code);
    ASSERT_EQ(tmstest::SimControl("clock hold"), "ok");

    // Movie positions and masks where outputs fire: 9 and 12 (0x1200) at
    // every edit start; 10 (0x400) 60 fields before every edit's last
    // frame (98, 198, 298; the last one is the window's too).
    const std::vector<std::pair<std::int32_t, std::uint32_t>> triggers = {
        {0, 0x1200}, {38, 0x400}, {100, 0x1200}, {138, 0x400}, {200, 0x1200}, {238, 0x400}};
    for (const float speed : {1.0f, 2.0f}) {
        SCOPED_TRACE(speed == 1.0f ? "1x" : "2x");
        auto cue = Change(kPortState | kPosition, TmsCuePlay, 0.0f, 0, kLength);
        ASSERT_EQ(m_broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
        ASSERT_EQ(tmstest::SimControl("gpifired 1 clear"), "ok");
        ASSERT_EQ(tmstest::SimControl("clock step 20"), "ok");
        EXPECT_EQ(tmstest::SimControl("gpifired 1"), "gpifired 0") << "cued: nothing fires";

        const auto [startTick, startPosition] = TickAndPosition();
        auto play = Change(kPortState | kSpeed, TmsShuttlePlay, speed, 0, kLength);
        ASSERT_EQ(m_broker->ApplyContextChange(token, 124, play.data()), S_OK) << LastErrorText();
        ASSERT_EQ(tmstest::SimControl("clock step " + std::to_string(kLength)), "ok");

        // A state fires on the tick the position reaches it; the one the
        // move starts from on the first tick.
        const auto step = static_cast<std::int32_t>(speed);
        std::vector<FiredState> expected;
        for (const auto& [m, mask] : triggers) {
            const std::int32_t ticks = m == 0 ? 1 : (m + step - 1) / step;
            expected.push_back(
                {startTick + static_cast<std::uint32_t>(ticks), startPosition + m, mask});
        }
        EXPECT_EQ(FiredLog(), expected);
    }
}

}  // namespace
