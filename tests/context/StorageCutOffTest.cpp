// The storage cut-off's reading of the channel's storage entries: 4 records
// of 128 bytes, the volume name in wide characters at 0, the state (2 full)
// as a 32-bit word at 124.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "tmschannel/context/StorageCutOff.h"

namespace {

struct Entry {
    std::u16string name;
    std::uint32_t state;
};

std::array<std::uint8_t, 4 * 128> Storage(const std::array<Entry, 4>& entries) {
    std::array<std::uint8_t, 4 * 128> b{};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::uint8_t* e = b.data() + 128 * i;
        for (std::size_t c = 0; c < entries[i].name.size() && c < 36; ++c) {
            e[2 * c] = static_cast<std::uint8_t>(entries[i].name[c]);
            e[2 * c + 1] = static_cast<std::uint8_t>(entries[i].name[c] >> 8);
        }
        for (int k = 0; k < 4; ++k) {
            e[124 + k] = static_cast<std::uint8_t>(entries[i].state >> (8 * k));
        }
    }
    return b;
}

TEST(StorageCutOffTest, AFullEntryNamingTheRecordVolumeCutsTheRecordOff) {
    struct Case {
        const char* what;
        std::array<Entry, 4> entries;
        std::string volume;
        bool full;
    };
    const Case cases[] = {
        {"the volume full", {{{u"V:", 2}, {u"W:", 1}, {}, {}}}, "V:", true},
        {"the volume available", {{{u"V:", 1}, {u"W:", 2}, {}, {}}}, "V:", false},
        {"letter case ignored", {{{u"v:", 2}, {}, {}, {}}}, "V:", true},
        {"the last entry", {{{u"A:", 1}, {u"B:", 1}, {u"C:", 1}, {u"V:", 2}}}, "V:", true},
        {"state 0 (unavailable) is not full", {{{u"V:", 0}, {}, {}, {}}}, "V:", false},
        {"state 3 is not full", {{{u"V:", 3}, {}, {}, {}}}, "V:", false},
        {"no volume: never full", {{{u"", 2}, {}, {}, {}}}, "", false},
        {"an entry longer than the volume", {{{u"V:x", 2}, {}, {}, {}}}, "V:", false},
        {"an entry shorter than the volume", {{{u"V", 2}, {}, {}, {}}}, "V:", false},
        {"regression: a file-system name longer than an entry keeps matches its first 10",
         {{{u"MediaStore", 2}, {}, {}, {}}},
         "MediaStore01:",
         true},
        {"11 characters in the entry too: only 10 are compared",
         {{{u"MediaStoreX", 2}, {}, {}, {}}},
         "mediastore01:",
         true},
        {"names that differ within the first 10",
         {{{u"MediaStorf", 2}, {}, {}, {}}},
         "MediaStore01:",
         false},
        {"exactly 10 characters", {{{u"ABCDEFGHI:", 2}, {}, {}, {}}}, "ABCDEFGHI:", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto storage = Storage(c.entries);
        EXPECT_EQ(RecordVolumeFull(storage, c.volume), c.full);
    }
}

TEST(StorageCutOffTest, AShortCopyOfTheEntriesIsReadOnlyAsFarAsItGoes) {
    const auto storage = Storage({{{u"A:", 1}, {u"V:", 2}, {}, {}}});
    EXPECT_FALSE(RecordVolumeFull(std::span<const std::uint8_t>(storage.data(), 128), "V:"));
    EXPECT_TRUE(RecordVolumeFull(std::span<const std::uint8_t>(storage.data(), 256), "V:"));
}

}  // namespace
