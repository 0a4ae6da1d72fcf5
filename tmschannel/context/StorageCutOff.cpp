#include "tmschannel/context/StorageCutOff.h"

#include <algorithm>
#include <string>

#include "platform/com/Utf.h"

namespace {

constexpr std::uint32_t kStorageFull = 2;

char16_t Fold(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

}  // namespace

bool RecordVolumeFull(std::span<const std::uint8_t> storage, std::string_view volume) {
    std::u16string wanted = Utf8ToUtf16(volume);
    if (wanted.empty()) {
        return false;
    }
    wanted.resize(std::min(wanted.size(), kStorageVolumeChars));
    std::transform(wanted.begin(), wanted.end(), wanted.begin(), Fold);
    namespace se = statusmem::storage_entry;
    for (std::size_t i = 0; i < static_cast<std::size_t>(statusmem::kStorageEntries); ++i) {
        const std::size_t at = i * statusmem::kStorageEntrySize;
        if (at + statusmem::kStorageEntrySize > storage.size()) {
            break;
        }
        const std::uint8_t* entry = storage.data() + at;
        std::u16string name;
        for (std::size_t c = 0; c < kStorageVolumeChars; ++c) {
            const auto ch = static_cast<char16_t>(entry[se::kVolume + 2 * c] |
                                                  entry[se::kVolume + 2 * c + 1] << 8);
            if (ch == 0) {
                break;
            }
            name.push_back(Fold(ch));
        }
        if (name == wanted && Le32(entry + se::kState) == kStorageFull) {
            return true;
        }
    }
    return false;
}
