// Whether a record's volume is full, as the channel's storage entries say.
// A pure function of the entries' bytes: the caller holds the status lock
// over the copy it passes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "server/appserverutil/StatusMemoryLayout.h"

// The file-system name characters a storage entry keeps.
inline constexpr std::size_t kStorageVolumeChars = 10;

// True when one of the storage entries (kStorageEntries records of
// kStorageEntrySize bytes) names volume and is full. An entry keeps at most
// kStorageVolumeChars characters of the file-system name, so the names are
// compared over that many characters, without regard to case. An empty
// volume is never full.
bool RecordVolumeFull(std::span<const std::uint8_t> storage, std::string_view volume);
