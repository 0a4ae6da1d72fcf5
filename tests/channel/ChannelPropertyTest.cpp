// Channel properties by name on channel 1 (Chan2) of the sample
// configuration: what a fresh channel answers, what a setting changes in
// the channel, its configuration and its status block, and the refusals.
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/com/VariantArray.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/ipmclient/RtsShmem.h"
#include "tests/channel/ContextFixture.h"
#include "tests/channel/TmsctlScript.h"
#include "tests/support/RtsSimProcess.h"
#include "tests/tools/TmsctlProcess.h"

namespace {

constexpr HRESULT kBadProperty = HR(0x80043018);

std::uint32_t U32At(const std::uint8_t* block, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, block + at, 4);
    return v;
}

class ChannelPropertyTest : public tmstest::ContextFixture {
protected:
    void SetUp() override {
        tmstest::ContextFixture::SetUp();
        BOOL created = FALSE;
        ASSERT_TRUE(m_block.Open(&created));
    }
    HRESULT Get(const std::string& query, CVariant* value) {
        return m_channel->GetChannelProperty(CBstr(query), value->GetAddress());
    }
    HRESULT Set(const std::string& name, const CVariant& value) {
        return m_channel->SetChannelProperty(CBstr(name), value.GetVARIANT());
    }
    // The value as tmsctl prints it: "true", a number, or the text quoted.
    static std::string Shown(const CVariant& v) {
        if (v.Type() == VT_BSTR) {
            return "\"" + v.ToString() + "\"";
        }
        return v.Type() == VT_BOOL ? (v.ToBool() ? "true" : "false") : v.ToString();
    }
    CChanAccess m_block{kChannel};
};

TEST_F(ChannelPropertyTest, AFreshChannelAnswersEveryNameWithItsTypeAndValue) {
    // Values from Chan2's configuration (a ganged player, gang 0, order
    // 1, four assigned audio resources), the defaults where configuration
    // says nothing.
    struct Row {
        const char* name;
        VARTYPE type;
        const char* value;  // as Shown prints it; null: only the type
    };
    const Row rows[] = {
        {"autostop", VT_BOOL, "true"},
        {"listpauses", VT_BOOL, "false"},
        {"listrepeats", VT_BOOL, "false"},
        {"audiopair", VT_EMPTY, nullptr},
        {"ganged", VT_BOOL, "true"},
        {"gangindex", VT_I4, "0"},
        {"playsameclip", VT_BOOL, "true"},
        {"recordsameclip", VT_BOOL, "true"},
        {"multicast", VT_BOOL, "false"},
        {"multicastname", VT_BSTR, "\"\""},
        {"protocol", VT_BSTR, "\"Serial9Pin\""},
        {"workingvolume", VT_BSTR, "\"V:\""},
        {"workingbin", VT_BSTR, "\"default\""},
        {"stopmode", VT_I4, "0"},
        {"timermode", VT_I4, "3"},
        {"localcontrol", VT_BOOL, "true"},
        {"fixedtimecodedf", VT_BOOL, "false"},
        {"remotecontrol", VT_BOOL, "true"},
        {"controlport", VT_BSTR, "\"/dev/ttyS1\""},
        {"channeltype", VT_BSTR, "\"Player\""},
        {"channelname", VT_BSTR, "\"Chan2\""},
        {"channelid", VT_BSTR, "\"Chan2\""},
        {"gangorder", VT_I4, "1"},
        {"loopplayback", VT_BOOL, "false"},
        {"aspectratio", VT_BSTR, nullptr},
        {"singlecontroller", VT_BOOL, "true"},
        {"consolidateaudio", VT_BOOL, "false"},
        {"consolidatevideo", VT_BOOL, "true"},
        {"numa", VT_I4, "4"},
        {"numaforrecord", VT_I4, "4"},
        {"numv", VT_I4, "1"},
        {"numvforrecord", VT_I4, "1"},
        {"etoe", VT_BOOL, "false"},
        {"continuousrecord", VT_BOOL, "false"},
        {"contreclength", VT_I4, "0"},
        {"suspendcontrec", VT_BOOL, "false"},
        {"bidirectional", VT_BOOL, "false"},
        {"hdinput", VT_BOOL, "false"},
        {"ltctimerinput", VT_BSTR, "\"Ltc\""},
        {"vitctimerinput", VT_BSTR, "\"Vitc\""},
        {"defaultafd", VT_BSTR, nullptr},
    };
    ASSERT_EQ(std::size(rows), 41u) << "every name of the map";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CVariant v;
        EXPECT_EQ(Get(row.name, &v), row.type == VT_EMPTY ? S_FALSE : S_OK) << LastErrorText();
        EXPECT_EQ(v.Type(), row.type);
        if (row.value != nullptr) {
            EXPECT_EQ(Shown(v), row.value);
        }
    }
}

TEST_F(ChannelPropertyTest, QueriesSplitTrimAndLowerCase) {
    CVariant v;
    ASSERT_EQ(Get("autostop+etoe", &v), S_OK);
    ASSERT_EQ(v.Type(), VT_ARRAY | VT_VARIANT);
    const auto values = ReadVariantArray(v.GetVARIANT());
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(Shown(values[0]), "true");
    EXPECT_EQ(Shown(values[1]), "false");
    CVariant mixed;
    ASSERT_EQ(Get("  AutoStop  ", &mixed), S_OK);
    EXPECT_EQ(Shown(mixed), "true");
    CVariant three;
    ASSERT_EQ(Get("numv| channelid ,,gangorder", &three), S_OK);
    const auto shown = ReadVariantArray(three.GetVARIANT());
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(Shown(shown[1]), "\"Chan2\"");
    CVariant withEmpty;
    EXPECT_EQ(Get("audiopair+numv", &withEmpty), S_FALSE) << "a name without a value";
}

TEST_F(ChannelPropertyTest, RefusalsNameTheValue) {
    struct Row {
        const char* what;
        bool set;
        const char* name;
        CVariant value;
        HRESULT hr;
        const char* message;
    };
    const Row rows[] = {
        {"unknown name", false, "nosuch", CVariant(), kBadProperty,
         "Chan2: Unknown property 'nosuch'"},
        {"one unknown name of two", false, "autostop+nosuch", CVariant(), kBadProperty,
         "Chan2: Unknown property 'nosuch'"},
        {"empty query", false, " + , ", CVariant(), E_INVALIDARG, "Property query cannot be empty"},
        {"no name to set", true, "", CVariant(true), E_INVALIDARG,
         "The property name cannot be empty"},
        {"read-only name", true, "channelname", CVariant("x"), kBadProperty,
         "'channelname' property cannot be set in this manner."},
        {"unknown name to set", true, "NoSuch", CVariant(true), kBadProperty,
         "'nosuch' property cannot be set in this manner."},
        {"text for a boolean", true, "loopplayback", CVariant("maybe"), E_INVALIDARG,
         "Chan2: 'loopplayback' property takes a boolean; 'maybe' is not one"},
        {"a number for text", true, "protocol", CVariant(std::int32_t{5}), E_INVALIDARG,
         "Chan2: 'protocol' property takes text; '5' is not text"},
        {"a boolean for a number", true, "stopmode", CVariant(true), E_INVALIDARG,
         "Chan2: 'stopmode' property takes a number"},
        {"a stop mode out of range", true, "stopmode", CVariant(std::int32_t{9}), E_INVALIDARG,
         "Chan2: stop mode 9 is not 0 to 4"},
        {"a timer mode out of range", true, "timermode", CVariant(std::int32_t{-1}), E_INVALIDARG,
         "Chan2: timer mode -1 is not 0 to 3"},
        {"two names and one value", true, "autostop+listpauses", CVariant(true), E_INVALIDARG,
         "needs an array of 2 values"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CVariant v;
        const HRESULT hr = row.set ? Set(row.name, row.value) : Get(row.name, &v);
        EXPECT_EQ(hr, row.hr);
        EXPECT_NE(LastErrorText().find(row.message), std::string::npos) << LastErrorText();
    }
    CVariant after;
    ASSERT_EQ(Get("loopplayback", &after), S_OK);
    EXPECT_EQ(Shown(after), "false") << "a refused value changes nothing";
}

TEST_F(ChannelPropertyTest, SettingsReadBackPersistAndAreAnnounced) {
    struct Row {
        const char* name;
        CVariant value;
        const char* shown;
        bool persisted;
        std::size_t stamp;  // 0: none
    };
    const Row rows[] = {
        {"autostop", CVariant(false), "false", true, 0},
        {"listpauses", CVariant(true), "true", true, 0},
        {"listrepeats", CVariant(true), "true", true, 0},
        {"protocol", CVariant("Odetics"), "\"Odetics\"", true, 0x1A468},
        {"workingvolume", CVariant("W:"), "\"W:\"", true, 0x1A468},
        {"workingbin", CVariant("news"), "\"news\"", true, 0x1A468},
        {"ltctimerinput", CVariant("AncLtc"), "\"AncLtc\"", true, 0x1A468},
        {"vitctimerinput", CVariant("AncVitc"), "\"AncVitc\"", true, 0x1A468},
        {"controlport", CVariant("/dev/ttyS9"), "\"/dev/ttyS9\"", true, 0x1A468},
        {"stopmode", CVariant(std::int32_t{3}), "3", true, 0x1A468},
        {"timermode", CVariant(std::int32_t{1}), "1", true, 0x1A468},
        {"localcontrol", CVariant(false), "false", true, 0x1A468},
        {"remotecontrol", CVariant(false), "false", true, 0x1A468},
        {"fixedtimecodedf", CVariant(true), "true", true, 0x1A468},
        {"loopplayback", CVariant(true), "true", true, 0x1A454},
        {"continuousrecord", CVariant(true), "true", true, 0x1A454},
        {"contreclength", CVariant(std::int32_t{3600}), "3600", true, 0x1A454},
        {"aspectratio", CVariant("4:3"), "\"4:3\"", false, 0x1A454},
        // A widescreen AFD code sets the aspect ratio too.
        {"defaultafd", CVariant("1001w"), "\"1001w\"", true, 0x1A454},
        {"aspectratio", CVariant("16:9"), "\"16:9\"", true, 0x1A454},
        {"singlecontroller", CVariant(false), "false", true, 0x1A46C},
        {"consolidateaudio", CVariant(true), "true", true, 0x1A46C},
        {"consolidatevideo", CVariant(false), "false", true, 0x1A46C},
        {"suspendcontrec", CVariant(true), "true", false, 0},
        {"etoe", CVariant(true), "true", false, 0x1A458},
        // Kept in the configuration, but no value to read.
        {"audiopair", CVariant(std::int32_t{1}), nullptr, false, 0x1A458},
        // Only a player-recorder is bidirectional.
        {"bidirectional", CVariant(true), "false", false, 0},
    };
    std::string names;
    std::string expected;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::uint32_t master = U32At(m_block.StatusBlock(), 0x1A448);
        ASSERT_EQ(Set(row.name, row.value), S_OK) << LastErrorText();
        CVariant back;
        ASSERT_EQ(Get(row.name, &back), row.shown != nullptr ? S_OK : S_FALSE);
        EXPECT_EQ(row.shown != nullptr ? Shown(back) : "", row.shown != nullptr ? row.shown : "");
        if (row.stamp != 0) {
            const std::uint32_t stamp = U32At(m_block.StatusBlock(), row.stamp);
            EXPECT_NE(stamp, 0u);
            EXPECT_EQ(U32At(m_block.StatusBlock(), 0x1A448), stamp) << "master takes the stamp";
        } else {
            EXPECT_EQ(U32At(m_block.StatusBlock(), 0x1A448), master) << "nothing announced";
        }
        if (row.persisted) {
            names += (names.empty() ? "" : "+") + std::string(row.name);
            // tmsctl prints booleans capitalised.
            std::string shown = row.shown;
            shown = shown == "true" ? "True" : shown == "false" ? "False" : shown;
            expected += (expected.empty() ? "" : ", ") + shown;
        }
    }
    // The block carries what it mirrors.
    EXPECT_EQ(m_block.StatusBlock()[0x17665], 1) << "loop";
    EXPECT_EQ(m_block.StatusBlock()[0x17666], 1) << "continuous record";
    EXPECT_EQ(U32At(m_block.StatusBlock(), 0x17668), 3600u);
    EXPECT_EQ(U32At(m_block.StatusBlock(), 0x1A9A0), 3u) << "stop mode";
    EXPECT_EQ(U32At(m_block.StatusBlock(), 0x1A9A4), 1u) << "timer mode";
    EXPECT_EQ(m_block.StatusBlock()[0x1A9A8], 0) << "local control";
    EXPECT_EQ(m_block.StatusBlock()[0x1A9AA], 1) << "drop frame";

    // Another process that opens the channel reads the persisted values.
    ASSERT_EQ(m_channel->Close(), S_OK);
    const std::string out =
        tmstest::RunTmsctlScript(m_dir.Path(), "open 1\nchanprop " + names + "\n");
    EXPECT_NE(out.find("S_OK  [" + expected + "]"), std::string::npos) << out;
}

TEST_F(ChannelPropertyTest, LeavingAndJoiningAGangTakesTheLeadersSettings) {
    // Chan1 (index 0) leads gang 0; Chan2 (index 1) follows it.
    CComPtr<ITmsChannel> leader = NewChannel();
    ASSERT_EQ(OpenIndex(leader, 0), S_OK) << LastErrorText();
    ASSERT_EQ(leader->SetChannelProperty(CBstr("loopplayback"), CVariant(true).GetVARIANT()), S_OK)
        << LastErrorText();

    ASSERT_EQ(Set("gangindex", CVariant(std::int32_t{-1})), S_OK) << LastErrorText();
    CVariant left;
    ASSERT_EQ(Get("ganged+gangindex+gangorder+loopplayback", &left), S_OK);
    auto values = ReadVariantArray(left.GetVARIANT());
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(Shown(values[0]), "false");
    EXPECT_EQ(Shown(values[2]), "-1");
    EXPECT_EQ(Shown(values[3]), "false") << "its own loop";
    EXPECT_EQ(U32At(m_block.StatusBlock(), 0x150FC), 0xFFFFFFFFu);
    EXPECT_EQ(U32At(m_block.StatusBlock(), 0x15100), 0xFFFFFFFFu);
    const std::uint32_t gangStamp = U32At(m_block.StatusBlock(), 0x1A46C);
    EXPECT_NE(gangStamp, 0u);

    // Joining again: one lower channel of the gang, so order 1, and the
    // leader's loop comes along into the block and the configuration.
    ASSERT_EQ(Set("gangindex", CVariant(std::int32_t{0})), S_OK) << LastErrorText();
    CVariant joined;
    ASSERT_EQ(Get("ganged+gangindex+gangorder+loopplayback", &joined), S_OK);
    values = ReadVariantArray(joined.GetVARIANT());
    EXPECT_EQ(Shown(values[0]), "true");
    EXPECT_EQ(Shown(values[1]), "0");
    EXPECT_EQ(Shown(values[2]), "1");
    EXPECT_EQ(Shown(values[3]), "true") << "the leader's loop";
    EXPECT_EQ(m_block.StatusBlock()[0x17665], 1);
    EXPECT_EQ(U32At(m_block.StatusBlock(), 0x15100), 1u);
    EXPECT_GE(U32At(m_block.StatusBlock(), 0x1A46C), gangStamp);
    const std::string config = ConfigText();
    const std::size_t chan2 = config.find("<Channel id=\"Chan2\"");
    ASSERT_NE(chan2, std::string::npos);
    EXPECT_NE(config.find("loop=\"true\"", chan2), std::string::npos) << config;
    EXPECT_NE(config.find("<Ganging gangIndex=\"0\" gangOrder=\"1\"", chan2), std::string::npos)
        << config.substr(chan2, 3000);

    // The same index again changes nothing and announces nothing.
    const std::uint32_t before = U32At(m_block.StatusBlock(), 0x1A46C);
    ASSERT_EQ(Set("gangindex", CVariant(std::int32_t{0})), S_OK);
    EXPECT_EQ(U32At(m_block.StatusBlock(), 0x1A46C), before);
    EXPECT_EQ(Set("gangindex", CVariant(std::int32_t{-2})), E_INVALIDARG);
    leader->Close();
}

// Regression: "listpauses" set through the property was kept apart from
// the play-list settings the contexts read, so a context went on taking the
// configured value (Chan2: false) for whether it pauses at an edit's pause.
TEST_F(ChannelPropertyTest, ListPausesSetByPropertyReachesTheContexts) {
    const struct Row {
        const char* name;
        bool listPauses;
    } rows[] = {{"list pauses on", true}, {"list pauses off", false}, {"on again", true}};
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(Set("listpauses", CVariant(row.listPauses)), S_OK) << LastErrorText();
        CComPtr<IUnknown> timeline;
        const std::uint16_t code =
            Create(("pauses" + std::to_string(n++)).c_str(), true, 600, &timeline);
        CComPtr<IMovie> movie = MovieOf(timeline);
        CBstr edit;
        ASSERT_EQ(movie->AddEdit(0, 300, CBstr("paused"), FALSE, 0, &edit), S_OK);
        const unsigned token = Alloc(code);
        ASSERT_EQ(tmstest::SimControl("context 1 0 2 3"), "ok");
        // The simulator publishes the active context with its next field.
        CRtsShmem shmem;
        ASSERT_TRUE(shmem.Open());
        for (int i = 0; i < 200 && !shmem.IsActiveContext(kChannel, 0); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(shmem.IsActiveContext(kChannel, 0));
        auto play = Change(0x0004 | 0x0008 | 0x0100, TmsShuttlePlay, 1.0f, 100, 600);
        ASSERT_EQ(m_broker->ApplyContextChange(token, 124, play.data()), S_OK) << LastErrorText();
        CVariant paused;
        ASSERT_EQ(m_channel->GetStatus(token, CBstr("pauseatlimit"), paused.GetAddress()), S_OK)
            << LastErrorText();
        EXPECT_EQ(paused.ToBool(), row.listPauses);
        ASSERT_EQ(m_channel->FreeContext(token), S_OK);
    }
}

TEST_F(ChannelPropertyTest, SuspendContRecIsKeptForThisOpenOnly) {
    ASSERT_EQ(Set("suspendcontrec", CVariant(true)), S_OK) << LastErrorText();
    CVariant v;
    ASSERT_EQ(Get("suspendcontrec", &v), S_OK);
    EXPECT_EQ(Shown(v), "true");
    ASSERT_EQ(m_channel->Close(), S_OK);
    ASSERT_EQ(OpenIndex(m_channel, kChannel), S_OK) << LastErrorText();
    ASSERT_EQ(Get("suspendcontrec", &v), S_OK);
    EXPECT_EQ(Shown(v), "false") << "not kept in configuration";
}

// Regression: "controlport" answered the channel's own copy, not the block
// that every process holding the channel writes.
TEST_F(ChannelPropertyTest, ControlPortIsReadFromTheStatusBlock) {
    constexpr std::size_t kControlPort = 0x1A470;  // 36 UTF-16 units
    const struct Row {
        const char* name;
        std::u16string units;  // written as is, no terminator added
        const char* shown;
    } rows[] = {
        {"short text", std::u16string(u"COM7\0", 5), "\"COM7\""},
        {"empty", std::u16string(1, u'\0'), "\"\""},
        {"the whole field, no terminator", std::u16string(36, u'x'),
         "\"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\""},
    };
    std::uint8_t* b = m_block.StatusBlock();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Something past the field that must not be read.
        b[kControlPort + 72] = 'Z';
        b[kControlPort + 73] = 0;
        for (std::size_t i = 0; i < row.units.size(); ++i) {
            b[kControlPort + 2 * i] = static_cast<std::uint8_t>(row.units[i] & 0xFF);
            b[kControlPort + 2 * i + 1] = static_cast<std::uint8_t>(row.units[i] >> 8);
        }
        CVariant v;
        ASSERT_EQ(Get("controlport", &v), S_OK) << LastErrorText();
        EXPECT_EQ(Shown(v), row.shown);
    }
}

TEST_F(ChannelPropertyTest, TimerModeSetsTheTimecodeInputAndGeneratorMode) {
    // The simulator's video is not HD: the ancillary inputs never apply.
    const struct Row {
        std::int32_t mode;
        const char* ltcTimerInput;
        const char* input;
        const char* genMode;
    } rows[] = {
        {0, "Ltc", "Ltc", "FixedStart"},
        {0, "AncLtc", "Ltc", "FixedStart"},
        {2, "Ltc", "Vitc", "FixedStart"},
        {3, "Ltc", "Internal", "TimeOfDay"},
        // Mode 0 and 2 leave the generator as the last mode set it.
        {2, "Ltc", "Vitc", "TimeOfDay"},
        {1, "Ltc", "Internal", "FixedStart"},
    };
    ASSERT_EQ(Set("timermode", CVariant(std::int32_t{1})), S_OK) << LastErrorText();
    for (const Row& row : rows) {
        SCOPED_TRACE("mode " + std::to_string(row.mode) + ", LTC input " + row.ltcTimerInput);
        ASSERT_EQ(Set("ltctimerinput", CVariant(row.ltcTimerInput)), S_OK) << LastErrorText();
        ASSERT_EQ(Set("timermode", CVariant(row.mode)), S_OK) << LastErrorText();
        CVariant input;
        CVariant mode;
        ASSERT_EQ(m_channel->GetResourceProperty(CBstr("timecode"), 0, CBstr("currentTcInput"),
                                                 input.GetAddress()),
                  S_OK)
            << LastErrorText();
        ASSERT_EQ(m_channel->GetResourceProperty(CBstr("timecode"), 0, CBstr("genMode"),
                                                 mode.GetAddress()),
                  S_OK)
            << LastErrorText();
        EXPECT_EQ(input.ToString(), row.input);
        EXPECT_EQ(mode.ToString(), row.genMode);
        EXPECT_EQ(U32At(m_block.StatusBlock(), 0x1A9A4), static_cast<std::uint32_t>(row.mode));
    }
}

// Chan2 with its last audio resource left out of recording.
class ChannelPropertyUnassignedAudioTest : public ChannelPropertyTest {
protected:
    void BeforeOpen() override {
        EditConfig("<Audio index=\"7\" assigned=\"true\">",
                   "<Audio index=\"7\" assigned=\"false\">");
    }
};

TEST_F(ChannelPropertyUnassignedAudioTest, NumAForRecordCountsOnlyAssignedAudio) {
    CVariant v;
    ASSERT_EQ(Get("numa+numaforrecord+numv+numvforrecord", &v), S_OK) << LastErrorText();
    const auto values = ReadVariantArray(v.GetVARIANT());
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(Shown(values[0]), "4");
    EXPECT_EQ(Shown(values[1]), "3");
    EXPECT_EQ(Shown(values[2]), "1");
    EXPECT_EQ(Shown(values[3]), "1");
}

// A channel open in a tmsctl script of another process: its answers to
// chanprop, read from the script's output as it runs.
class OtherProcessChannel {
public:
    explicit OtherProcessChannel(std::string output) : m_output(std::move(output)) {}
    bool Open(int index) {
        return m_script.Start(m_output) && Ask("open " + std::to_string(index)) == "S_OK";
    }
    // The answer line of one script command, without its indentation; ""
    // when none came within 10 s.
    std::string Ask(const std::string& command) {
        if (!m_script.Send(command + "\n")) {
            return "";
        }
        ++m_asked;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            std::ifstream file(m_output);
            std::stringstream text;
            text << file.rdbuf();
            std::string line;
            std::string answer;
            int answers = 0;
            // Answers are indented; a line without its newline is not whole.
            while (std::getline(text, line)) {
                if (line.rfind("  ", 0) == 0 && !text.eof()) {
                    ++answers;
                    answer = line.substr(2);
                }
            }
            if (answers == m_asked) {
                return answer;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "";
    }
    int Close() {
        m_script.Send("close\n");
        return m_script.Finish();
    }

private:
    tmstest::ScriptProcess m_script;
    std::string m_output;
    int m_asked = 0;
};

TEST_F(ChannelPropertyTest, GangSettingsReachAGangMemberOpenInAnotherProcess) {
    // Chan1 (index 0) leads gang 0 in a second process; the change is made
    // on Chan2, its follower, here. Chan1 watches only its own block.
    ASSERT_NE(tmstest::SimControl("clock hold"), "");
    OtherProcessChannel leader(m_dir.Path() + "/leader.out");
    ASSERT_TRUE(leader.Open(0));
    struct Row {
        const char* name;
        bool value;
        const char* before;
        const char* after;
    };
    const Row rows[] = {
        {"singlecontroller", false, "S_OK  True", "S_OK  False"},
        {"consolidateaudio", true, "S_OK  False", "S_OK  True"},
        {"consolidatevideo", false, "S_OK  True", "S_OK  False"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string ask = std::string("chanprop ") + row.name;
        ASSERT_EQ(leader.Ask(ask), row.before);
        ASSERT_EQ(Set(row.name, CVariant(row.value)), S_OK) << LastErrorText();
        // The other channel re-reads its configuration in a status cycle
        // that sees the RTS tick move: the clock is stepped until it has.
        std::string seen;
        for (int attempt = 0; attempt < 200 && seen != row.after; ++attempt) {
            tmstest::SimControl("clock step 2");
            seen = leader.Ask(ask);
        }
        EXPECT_EQ(seen, row.after);
    }
    leader.Close();
}

}  // namespace
