// The JSON of one status block that the test writes at the offsets
// docs/status.md gives (written out here, not taken from the reader): the
// values tmsctl serve hands out for a block a writer left odd.
#include <gtest/gtest.h>

#include <cstring>
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
    json Json(bool consistent = true, bool publisherRuns = true) const {
        const tmsctl::ChannelSnapshot s{
            4, CStatusMemoryView::Snapshot{CStatusBlockImage(m_bytes), consistent}};
        const tmsctl::PublisherProbe probe{10000, [=](int) { return publisherRuns; }};
        return tmsctl::ChannelJson(s, 50, probe);
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

}  // namespace
