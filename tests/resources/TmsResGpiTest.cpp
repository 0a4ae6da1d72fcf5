// The GPI output resource: which outputs fire in which state for each
// trigger rule, the "gpi " list byte for byte (expected bytes written out
// from the layout table), its reading of the configuration, its property
// and its status. The states run against a real movie of the timeline
// component, with application triggers put on its edits here.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/com/VariantArray.h"
#include "platform/kernel/NamedObjects.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/ipmclient/RtsShmemWriter.h"
#include "server/timeline/IMovieBuilder.h"
#include "server/timeline/ITimeline.h"
#include "tests/resources/ConfigDocument.h"
#include "tests/resources/ForwardingMovie.h"
#include "tests/rts/Golden.h"
#include "tests/support/TestRuntimeDir.h"
#include "tmschannel/context/FileMap.h"
#include "tmschannel/resources/TmsResGpi.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

// The GPI trigger an edit or section carries: name, "start" or "end", offset.
struct AppTrigger {
    std::string name;
    std::string position;
    std::int32_t offset = 0;
};

// The movie with application triggers on some of its edits and sections.
class CTriggerMovie : public tmstest::CForwardingMovie {
public:
    std::map<std::string, AppTrigger> triggers;  // by edit or section uuid

    HRESULT GetEditProperties(BSTR uuid, BSTR names, VARIANT* values) override {
        return WithTrigger(uuid, names, values, true);
    }
    HRESULT GetSectionProperties(BSTR uuid, BSTR names, VARIANT* values) override {
        return WithTrigger(uuid, names, values, false);
    }

private:
    // The resource asks for the trigger as the last three names.
    HRESULT WithTrigger(BSTR uuid, BSTR names, VARIANT* values, bool edit) {
        const HRESULT hr = edit ? movie->GetEditProperties(uuid, names, values)
                                : movie->GetSectionProperties(uuid, names, values);
        const auto it = triggers.find(CBstr::FromBstr(uuid).ToUtf8());
        if (FAILED(hr) || it == triggers.end()) {
            return hr;
        }
        std::vector<CVariant> read = ReadVariantArray(*values);
        const std::size_t n = read.size();
        read[n - 3] = CVariant(it->second.name);
        read[n - 2] = CVariant(it->second.position);
        read[n - 1] = CVariant(it->second.offset);
        VariantClear(values);
        return MakeVariantArray(read).CopyTo(values);
    }
};

using Fired = std::vector<std::pair<std::int32_t, std::uint32_t>>;

class GpiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(DllRegisterServerAt(TMS_XMLDOM_LIB), S_OK);
        ASSERT_EQ(DllRegisterServerAt(TMS_TIMELINE_LIB), S_OK);
        CComPtr<IMovie> real = tmstest::NewMovie("gpi");
        ASSERT_NE(real, nullptr);
        unsigned short segment = 0;
        ASSERT_EQ(real->AppendSegment(4, 0, 0, 200, 4, nullptr, &segment), S_OK);
        m_movie = MakeComObject<CTriggerMovie>();
        m_movie->movie = real;
    }
    void TearDown() override {
        m_movie.Release();
        m_shmem.Close();
        m_writer.Destroy();
        UnlinkAllNamedObjects();
        CoFreeUnusedLibrariesEx(0, 0);
    }

    // A GPI resource on channel 0 (625 lines: 25 frames, 2 fields a frame)
    // with one output per attribute text, ids G0, G1, ...
    std::unique_ptr<CTmsResGpi> Gpi(const std::vector<std::string>& outputs) {
        std::string config =
            "<Config><System><SystemVideoReference referenceStandard=\"Format625_50Hz_2To1\"/>"
            "</System>";
        std::string components;
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            const std::string id = "G" + std::to_string(i);
            config += "<GpiOutput id=\"" + id + "\" " + outputs[i] + "/>";
            components += "<GpiOutputComponent id=\"" + id + "\"/>";
        }
        config +=
            "<Channel id=\"Chan1\" channelIndex=\"0\"><Gpi index=\"0\">"
            "<GpiInputComponent id=\"In\"/>" +
            components + "</Gpi></Channel></Config>";
        m_doc = tmstest::LoadConfig(config);
        auto gpi = std::make_unique<CTmsResGpi>(0);
        EXPECT_EQ(gpi->InitFromConfig(m_doc, tmstest::SelectNode(m_doc, "//Gpi")), S_OK);
        return gpi;
    }

    // States from movie position first to last every step fields, the port
    // 1000 ahead; the window [windowStart, windowEnd].
    Fired Write(CTmsResGpi& gpi, std::int32_t first, std::int32_t last, std::int32_t step,
                std::int32_t windowStart, std::int32_t windowEnd,
                std::vector<BYTE>* bytes = nullptr) {
        std::vector<std::unique_ptr<StateEntry>> owned;
        std::vector<StateEntry*> states;
        for (std::int32_t m = first; m <= last; m += step) {
            owned.push_back(std::make_unique<StateEntry>());
            owned.back()->position = {m, m + 1000};
            states.push_back(owned.back().get());
        }
        CMmioMsg message(rts::kLargeMessageSize);
        rts::CStateMessageBuilder builder(message);
        CFileMap files;
        StateWriteTarget target{m_movie, &builder, &files, windowStart, windowEnd};
        EXPECT_EQ(gpi.WriteStates(target, 0, false, false, states), S_OK);
        const BYTE* b = message.GetBuffer();
        const DWORD size = message.GetMsgSize();
        if (bytes != nullptr) {
            bytes->assign(b, b + size);
        }
        // After LIST, "rbuf" and the 80-byte "res " chunk come the states.
        Fired fired;
        for (DWORD at = 12 + 80; at + 8 <= size; at += 16) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + at), 4), "gpi ");
            std::int32_t position = 0;
            std::uint32_t mask = 0;
            std::memcpy(&position, b + at + 8, 4);
            std::memcpy(&mask, b + at + 12, 4);
            fired.emplace_back(position, mask);
        }
        return fired;
    }

    std::string AddEdit(std::int32_t start, std::int32_t duration) {
        CBstr uuid;
        EXPECT_EQ(m_movie->AddEdit(start, duration, CBstr("e"), FALSE, -1, &uuid), S_OK);
        return uuid.ToUtf8();
    }

    tmstest::TestRuntimeDir m_dir;
    CComPtr<IXMLDOMDocument2> m_doc;
    CComPtr<CTriggerMovie> m_movie;
    CRtsShmemWriter m_writer;
    CRtsShmem m_shmem;
};

std::string Output(int controlIndex, const std::string& triggerAt,
                   const std::string& offset = "00:00:00:00", const std::string& extra = "") {
    return "controlIndex=\"" + std::to_string(controlIndex) +
           "\" controller=\"trigger\" triggerName=\"\" triggerAt=\"" + triggerAt +
           "\" triggerOffset=\"" + offset + "\" " + extra;
}

// States 0 to 100 every 2 fields (play at 1x), the port 1000 ahead, the
// window 10 to 99: its first field is 10, its last frame starts at 98.
TEST_F(GpiTest, ChannelTriggersFireAtTheirFieldWithTheMaskOfEveryOutputThere) {
    struct Case {
        const char* what;
        std::vector<std::string> outputs;
        std::int32_t step;
        Fired fired;
    };
    const Case cases[] = {
        {"start", {Output(3, "start")}, 2, {{1010, 0x8}}},
        {"end: the last frame's first field", {Output(3, "end")}, 2, {{1098, 0x8}}},
        {"startPlus 5 frames: 10 fields on",
         {Output(0, "startPlus", "00:00:00:05")},
         2,
         {{1020, 0x1}}},
        {"endMinus 5 frames", {Output(0, "endMinus", "00:00:00:05")}, 2, {{1088, 0x1}}},
        {"startPlus a negative offset: before the window start",
         {Output(0, "startPlus", "-00:00:00:02")},
         2,
         {{1006, 0x1}}},
        {"endMinus a second", {Output(1, "endMinus", "00:00:01:00")}, 2, {{1048, 0x2}}},
        {"several outputs at one field: one record with all their bits",
         {Output(1, "start"), Output(4, "start"), Output(2, "end")},
         2,
         {{1010, 0x12}, {1098, 0x4}}},
        {"two outputs on one control index share its bit",
         {Output(5, "start"), Output(37, "start")},
         2,
         {{1010, 0x20}}},
        {"2x: triggers between two states fire at their own fields",
         {Output(6, "start"), Output(7, "end")},
         4,
         {{1010, 0x40}, {1098, 0x80}}},
        {"activateWhen always",
         {Output(1, "start", "0", "activateWhen=\"always\"")},
         2,
         {{1010, 0x2}}},
        {"activateWhen empty", {Output(1, "start", "0", "activateWhen=\"\"")}, 2, {{1010, 0x2}}},
        {"activateWhen play, playing",
         {Output(1, "start", "0", "activateWhen=\"play\"")},
         2,
         {{1010, 0x2}}},
        {"activateWhen record never fires: outputs take no part in a record",
         {Output(1, "start", "0", "activateWhen=\"record\""), Output(2, "start")},
         2,
         {{1010, 0x4}}},
        {"activateWhen of no known value never fires",
         {Output(1, "start", "0", "activateWhen=\"sometimes\""), Output(2, "start")},
         2,
         {{1010, 0x4}}},
        {"a trigger at of no known value never fires", {Output(1, "middle")}, 2, {}},
        {"an offset that is no timecode never fires",
         {Output(1, "startPlus", "1:xx"), Output(2, "start")},
         2,
         {{1010, 0x4}}},
        {"an application output is no channel trigger",
         {"controlIndex=\"1\" controller=\"application\" triggerName=\"x\" triggerAt=\"start\""},
         2,
         {}},
        {"a trigger outside the states fires nothing",
         {Output(1, "endMinus", "00:01:00:00")},
         2,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto gpi = Gpi(c.outputs);
        EXPECT_EQ(Write(*gpi, 0, 100, c.step, 10, 99), c.fired);
    }
}

TEST_F(GpiTest, TheEnabledPropertyStopsEveryOutput) {
    auto gpi = Gpi({Output(3, "start")});
    CVariant enabled;
    ASSERT_EQ(gpi->GetProperty("enabled", enabled.GetAddress()), S_OK);
    EXPECT_EQ(enabled.Type(), VT_BOOL);
    EXPECT_TRUE(enabled.ToBool());
    bool refresh = false;
    ASSERT_EQ(gpi->SetProperty(nullptr, "enabled", CVariant(false), true, &refresh), S_OK);
    EXPECT_FALSE(refresh) << "nothing to read again";
    std::vector<BYTE> bytes;
    EXPECT_EQ(Write(*gpi, 0, 100, 2, 10, 99, &bytes), Fired{});
    EXPECT_EQ(bytes.size(), 12u + 80u) << "the list and its resource id stay";
    ASSERT_EQ(gpi->SetProperty(nullptr, "enabled", CVariant("true"), true, &refresh), S_OK);
    EXPECT_EQ(Write(*gpi, 0, 100, 2, 10, 99), (Fired{{1010, 0x8}}));
    // Only "enabled" exists, and only as true or false.
    EXPECT_EQ(gpi->SetProperty(nullptr, "outputmask", CVariant(1), true, &refresh),
              static_cast<HRESULT>(0x8004300E));
    EXPECT_EQ(gpi->GetProperty("outputmask", enabled.GetAddress()),
              static_cast<HRESULT>(0x8004300E));
    EXPECT_EQ(gpi->SetProperty(nullptr, "enabled", CVariant("maybe"), true, &refresh),
              E_INVALIDARG);
    EXPECT_TRUE(gpi->Enabled());
}

TEST_F(GpiTest, GpiListGoldenBytes) {
    auto gpi = Gpi({Output(3, "start"), Output(31, "start"), Output(0, "end")});
    std::vector<BYTE> bytes;
    Write(*gpi, 0, 100, 2, 10, 99, &bytes);
    // LIST "rbuf"; "res " 72 with index "0" and type "gpi"; two "gpi "
    // chunks of 8 bytes: port position, output mask.
    tmstest::Golden g(8 + 4 + 80 + 2 * 16);
    g.Text(0, "LIST").U32(4, 4 + 80 + 32).Text(8, "rbuf");
    g.Text(12, "res ").U32(16, 72).Text(20, "0").Text(56, "gpi");
    g.Text(92, "gpi ").U32(96, 8).U32(100, 1010).U32(104, 0x80000008);
    g.Text(108, "gpi ").U32(112, 8).U32(116, 1098).U32(120, 0x1);
    EXPECT_EQ(bytes, g.Bytes());
}

// A list timeline of two edits, [0, 50) and [50, 100): channel triggers
// fire at each edit too, and application triggers where an edit or its
// section names an output's trigger.
TEST_F(GpiTest, OnAListTimelineEditsAndSectionsFireTheirTriggers) {
    ASSERT_EQ(m_movie->SetProperty(CBstr("assetType"), CVariant("List")), S_OK);
    const std::string first = AddEdit(0, 50);
    const std::string second = AddEdit(50, 50);
    CBstr section;
    ASSERT_EQ(m_movie->AddSection(50, 50, CBstr("s"), &section), S_OK);
    m_movie->triggers[second] = {"Promo", "end", 4};
    m_movie->triggers[section.ToUtf8()] = {"LOGO", "start", 6};
    m_movie->triggers[first] = {"nobody", "start", 0};
    auto gpi = Gpi({Output(2, "start"), Output(3, "endMinus", "00:00:00:01"),
                    "controlIndex=\"5\" controller=\"application\" triggerName=\"promo\"",
                    "controlIndex=\"6\" controller=\"application\" triggerName=\"logo\"",
                    "controlIndex=\"7\" controller=\"application\" triggerName=\"nobody-else\""});
    // Edit starts 0 and 50 and the window start 10; "endMinus" a frame
    // before each edit's last frame (48 - 2, 98 - 2) and the window's (the
    // same 96); the second edit's "promo" 4 before its last frame (98 - 4);
    // its section's "logo" 6 after the section start. The first edit names a trigger no
    // output carries.
    EXPECT_EQ(Write(*gpi, 0, 100, 2, 10, 99), (Fired{{1000, 0x4},
                                                     {1010, 0x4},
                                                     {1046, 0x8},
                                                     {1050, 0x4},
                                                     {1056, 0x40},
                                                     {1094, 0x20},
                                                     {1096, 0x8}}));
    // A plain timeline has no edits to fire at.
    ASSERT_EQ(m_movie->SetProperty(CBstr("assetType"), CVariant("")), S_OK);
    EXPECT_EQ(Write(*gpi, 0, 100, 2, 10, 99), (Fired{{1010, 0x4}, {1096, 0x8}}));
}

TEST_F(GpiTest, TriggerMasksForOnePosition) {
    auto gpi = Gpi({Output(1, "start"), Output(2, "end"), Output(3, "startPlus", "00:00:00:02"),
                    Output(4, "endMinus", "00:00:00:02"),
                    "controlIndex=\"8\" controller=\"application\" triggerName=\"Break\"",
                    "controlIndex=\"9\" controller=\"Application\" triggerName=\"break\""});
    struct Row {
        std::int32_t position;
        bool editKnown;
        std::uint32_t mask;
    } rows[] = {
        {10, false, 0x2}, {98, false, 0x4}, {14, false, 0x8}, {94, false, 0x10}, {20, false, 0},
        {20, true, 0x2},  {60, true, 0x4},  {24, true, 0x8},  {56, true, 0x10},  {11, true, 0},
    };
    // Window 10..98, edit 20..60.
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.position) + (row.editKnown ? " in an edit" : ""));
        EXPECT_EQ(gpi->GpiChanelTriggerToMask(row.position, row.editKnown, 20, 60, 10, 98),
                  row.mask);
    }
    EXPECT_EQ(gpi->GpiAppTriggerToMask("BREAK"), 0x100u) << "the controller is matched exactly";
    EXPECT_EQ(gpi->GpiAppTriggerToMask(""), 0u);
    EXPECT_EQ(gpi->GpiAppTriggerToMask("promo"), 0u);
}

TEST_F(GpiTest, ConfigurationIsReadAgainInPlace) {
    auto gpi = Gpi({Output(3, "start", "00:00:01:00", "activateWhen=\"play\""),
                    "controlIndex=\"4\" controller=\"application\" triggerName=\"MiXeD\""});
    auto outputs = gpi->Outputs();
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].id, "G0");
    EXPECT_EQ(outputs[0].triggerOffset, 50) << "a second at 25 frames, 2 fields a frame";
    EXPECT_EQ(outputs[0].activateWhen, "play");
    EXPECT_EQ(outputs[1].triggerName, "mixed");
    // Read again from a document with one output: the records are replaced.
    m_doc = tmstest::LoadConfig(
        "<Config><GpiOutput id=\"X\" controlIndex=\"9\" controller=\"trigger\" "
        "triggerAt=\"end\"/><Channel channelIndex=\"0\"><Gpi><GpiOutputComponent id=\"X\"/>"
        "</Gpi></Channel></Config>");
    CComPtr<IXMLDOMNode> element = tmstest::SelectNode(m_doc, "//Gpi");
    ASSERT_EQ(gpi->InitFromConfig(m_doc, element), S_OK);
    outputs = gpi->Outputs();
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0].controlIndex, 9);
    EXPECT_TRUE(gpi->IsMyXml(element));
    auto bare = tmstest::LoadConfig("<C><Gpi index=\"0\"><GpiInputComponent id=\"I\"/></Gpi></C>");
    EXPECT_FALSE(gpi->IsMyXml(tmstest::SelectNode(bare, "//Gpi"))) << "no output component";
}

TEST_F(GpiTest, StatusIsTheRtsOutputMaskAndAFailedReadFailsThePass) {
    auto gpi = Gpi({Output(3, "start")});
    ASSERT_EQ(m_writer.Create(1), 0u);
    ASSERT_TRUE(m_shmem.Open());
    {
        CRtsChannelWrite w(m_writer, 0);
        ASSERT_TRUE(w);
        w->present = 1;
        w->tickCount = 777;
        w->gpiOutputMask = 0x900;
    }
    ASSERT_EQ(gpi->PutStatus(12, m_shmem, 0), S_OK);
    CVariant v;
    ASSERT_EQ(gpi->StringToStatus("outputmask", v.GetAddress()), S_OK);
    EXPECT_EQ(v.ToInt32(), 0x900);
    ASSERT_EQ(gpi->StringToStatus("tickcount", v.GetAddress()), S_OK);
    EXPECT_EQ(v.ToInt32(), 777);
    ASSERT_EQ(gpi->StringToStatus("errorcode", v.GetAddress()), S_OK);
    EXPECT_EQ(v.ToInt32(), 0);
    EXPECT_EQ(gpi->StringToStatus("OutputMask", v.GetAddress()), S_FALSE);
    EXPECT_EQ(gpi->PutStatus(13, m_shmem, 1), E_FAIL) << "channel 1 is not in the memory";
    EXPECT_EQ(gpi->StatusCycle(), 12);
    EXPECT_EQ(gpi->OutputMask(), 0x900u);
}

}  // namespace
