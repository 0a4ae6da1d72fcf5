// The JSON of one status block that the test writes at the offsets
// docs/status.md gives (written out here, not taken from the reader): the
// values tmsctl serve hands out for a block a writer left odd.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tools/tmsctl/StatusJson.h"

namespace {

using nlohmann::json;

class Block {
public:
    template <class T>
    Block& Put(std::size_t offset, T value) {
        std::memcpy(m_bytes.data() + offset, &value, sizeof value);  // little-endian host
        return *this;
    }
    // With its terminator, unless it fills its field.
    Block& PutText(std::size_t offset, std::u16string_view text, bool terminate = true) {
        std::memcpy(m_bytes.data() + offset, text.data(), text.size() * 2);
        return terminate ? Put<char16_t>(offset + text.size() * 2, 0) : *this;
    }
    json Json(bool consistent = true, bool publisherRuns = true,
              const std::optional<tmsctl::RtsOutputs>& rts = std::nullopt) const {
        const tmsctl::ChannelSnapshot s{
            4, CStatusMemoryView::Snapshot{CStatusBlockImage(m_bytes), consistent}};
        const tmsctl::PublisherProbe probe{10000, [=](int) { return publisherRuns; }};
        return tmsctl::ChannelJson(s, rts, 50, probe);
    }

private:
    std::vector<std::uint8_t> m_bytes = std::vector<std::uint8_t>(0x20000);
};

TEST(StatusJsonTest, OddBlocksReadAsTheyAre) {
    // A block with a context published in slot 3 of its ring, cycle 9.
    auto playing = [] {
        Block b;
        b.PutText(0x14514, u"Chan5").Put<std::int32_t>(0x1467C, 1);
        b.Put<std::int32_t>(0x15608, 3).Put<std::uint16_t>(0x155CC + 2 * 3, 9);
        b.Put<std::int32_t>(0x1650C + 4 * 3, 250).Put<std::int32_t>(0x16584 + 4 * 3, 2);
        b.Put<float>(0x165FC + 4 * 3, -2.5f);
        b.Put<std::int32_t>(0x15104, 4242).Put<std::uint32_t>(0x15108, 9990);
        b.Put<std::uint32_t>(0x150F0, 0x80000005u);
        return b;
    };
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    constexpr float kInf = std::numeric_limits<float>::infinity();
    // Two audio resources: 0 published in slot 2 of its ring (cycle 5), 1
    // never.
    auto withAudio = [&] {
        Block b = playing();
        b.Put<std::int32_t>(0x180AC, 2);
        b.Put<std::int32_t>(0x18470, 2).Put<std::uint16_t>(0x180B0 + 2 * 2, 5);
        b.Put<float>(0x193B0 + 4 * 2, -12.5f);
        b.Put<float>(0x184B0 + 4 * 2, 3.0f).Put<float>(0x18C30 + 4 * 2, -6.0f);
        return b;
    };
    // The timecode ring's slot 29, its last, with cycle 7.
    auto withTimecode = [&] {
        Block b = playing();
        b.Put<std::int32_t>(0x19B8C, 29).Put<std::uint16_t>(0x19B50 + 2 * 29, 7);
        b.Put<std::uint32_t>(0x19B90 + 4 * 29, 0x10203040u);
        b.PutText(0x19C08 + 32 * 29, u"10:20:30:15");
        b.PutText(0x1A040 + 32 * 29, u"08:00:00:00");
        b.Put<std::int32_t>(0x1A9A4, 2);
        return b;
    };
    struct Row {
        const char* name;
        Block block;
        bool consistent;
        bool publisherRuns;
        const char* pointer;  // a JSON pointer into the answer
        json expected;
    } rows[] = {
        {"blank block", Block(), true, true, "/published", false},
        {"playing: port state", playing(), true, true, "/context/portState", "ShuttlePlay"},
        {"playing: position", playing(), true, true, "/context/position", 250},
        {"playing: speed", playing(), true, true, "/context/speed", -2.5},
        {"playing: slot", playing(), true, true, "/context/ring/slot", 3},
        {"playing: GPI input numbers", playing(), true, true, "/gpiInputs/on",
         json::array({0, 2, 31})},
        {"playing: publisher 10 ms old", playing(), true, true, "/publisher",
         json{{"state", "live"}, {"pid", 4242}, {"ageMs", 10}}},
        {"publisher gone", playing(), true, false, "/publisher",
         json{{"state", "gone"}, {"pid", 4242}}},
        {"stale publisher", playing().Put<std::uint32_t>(0x15108, 10000 - 2000), true, true,
         "/publisher/state", "stale"},
        {"publisher tick ahead of the reader", playing().Put<std::uint32_t>(0x15108, 10005), true,
         true, "/publisher/ageMs", 0},
        {"torn copy", playing(), false, true, "/consistent", false},
        {"unknown port state", playing().Put<std::int32_t>(0x16584 + 4 * 3, 7), true, true,
         "/context/portState", nullptr},
        {"unknown port state keeps its number", playing().Put<std::int32_t>(0x16584 + 4 * 3, 7),
         true, true, "/context/portStateCode", 7},
        {"ring index out of range", playing().Put<std::int32_t>(0x15608, 30), true, true,
         "/context/ring", json{{"cycle", 0}, {"slot", 0}, {"indexValid", false}, {"index", 30}}},
        {"negative ring index", playing().Put<std::int32_t>(0x15608, -1), true, true,
         "/context/ring/indexValid", false},
        {"context never published", playing().Put<std::uint16_t>(0x155CC + 2 * 3, 0), true, true,
         "/context", nullptr},
        {"text without terminator", playing().PutText(0x14514, std::u16string(36, u'x'), false),
         true, true, "/id", std::string(36, 'x')},
        {"unpaired surrogate",
         playing().PutText(0x14514,
                           u"A\xD800"
                           u"B"),
         true, true, "/id", "A?B"},
        {"NaN speed", playing().Put<float>(0x165FC + 4 * 3, kNaN), true, true, "/context/speed",
         nullptr},
        {"infinite speed", playing().Put<float>(0x165FC + 4 * 3, -kInf), true, true,
         "/context/speed", nullptr},
        {"audio level", withAudio(), true, true, "/audio/0/levelDb", -12.5},
        {"audio input gain", withAudio(), true, true, "/audio/0/inputGainDb", 3.0},
        {"audio output gain", withAudio(), true, true, "/audio/0/outputGainDb", -6.0},
        {"audio ring", withAudio(), true, true, "/audio/0/ring/slot", 2},
        {"audio resource never published", withAudio(), true, true, "/audio/1",
         json{{"index", 1}, {"ring", nullptr}}},
        {"audio level NaN", withAudio().Put<float>(0x193B0 + 4 * 2, kNaN), true, true,
         "/audio/0/levelDb", nullptr},
        {"audio count beyond 16 stops at 16", withAudio().Put<std::int32_t>(0x180AC, 1000), true,
         true, "/audio/16", "missing"},
        {"negative audio count", withAudio().Put<std::int32_t>(0x180AC, -1), true, true, "/audio",
         json::array()},
        {"no timecode resource", playing(), true, true, "/timecode", nullptr},
        {"timecode text", withTimecode(), true, true, "/timecode/timecode", "10:20:30:15"},
        {"timecode word", withTimecode(), true, true, "/timecode/word", 0x10203040u},
        {"time of day", withTimecode(), true, true, "/timecode/timeOfDay", "08:00:00:00"},
        {"timecode mode", withTimecode(), true, true, "/timecode/mode", "VITC"},
        {"timecode ring's last slot", withTimecode(), true, true, "/timecode/ring/slot", 29},
        {"unknown timer mode", withTimecode().Put<std::int32_t>(0x1A9A4, 9), true, true,
         "/timecode/mode", "unknown"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const json j = row.block.Json(row.consistent, row.publisherRuns);
        EXPECT_EQ(j.value(json::json_pointer(row.pointer), json("missing")), row.expected)
            << j.dump(1);
        // Whatever the block holds, its texts are valid UTF-8 (dump throws
        // on anything else) and the answer valid JSON.
        std::string text;
        EXPECT_NO_THROW(text = j.dump());
        EXPECT_TRUE(json::accept(text));
    }
}

// The RTS outputs are read by the caller once and given in: the JSON
// carries the mask given, and nothing without the RTS memory.
TEST(StatusJsonTest, GpiOutputsComeFromTheOneReadingGiven) {
    Block b;
    b.PutText(0x14514, u"Chan5").Put<std::int32_t>(0x1467C, 1);
    tmsctl::RtsOutputs rts;
    rts.gpiOutputMask = 0x80000001u;
    const json with = b.Json(true, true, rts);
    EXPECT_EQ(with.value(json::json_pointer("/gpiOutputs/on"), json()), json::array({0, 31}));
    EXPECT_NE(with["text"].get<std::string>().find("0x80000001"), std::string::npos);
    EXPECT_FALSE(b.Json(true, true, std::nullopt).contains("gpiOutputs"));
}

}  // namespace
