// The status names that the ancillary-data and GPI output resources share:
// the first five tokens of their status maps, answered the same way.
#pragma once

#include "platform/com/Variant.h"

#include <cstdint>
#include <string>
#include <unordered_map>

namespace resource_status {

enum CommonToken : std::int32_t {
    kVideoFormat,     // "videoformat"
    kVideoFormatStr,  // "videoformatstr"
    kFieldsPerFrame,  // "fieldsperframe"
    kTickCount,       // "tickcount"
    kErrorCode,       // "errorcode"
    kCommonCount,     // the first token a kind adds of its own
};

// Adds the five shared names to a status-name map.
void AddCommonNames(std::unordered_map<std::string, std::int32_t>* names);

// The value of a shared token; false for any other token.
bool CommonValue(std::int32_t token, std::int32_t videoFormat, std::int32_t fieldsPerFrame,
                 std::uint32_t tickCount, std::uint32_t errorCode, CVariant* value);

}  // namespace resource_status
