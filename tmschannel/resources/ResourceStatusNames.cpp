#include "tmschannel/resources/ResourceStatusNames.h"

#include "tmschannel/common/VideoFormat.h"

namespace resource_status {

void AddCommonNames(std::unordered_map<std::string, std::int32_t>* names) {
    names->emplace("videoformat", kVideoFormat);
    names->emplace("videoformatstr", kVideoFormatStr);
    names->emplace("fieldsperframe", kFieldsPerFrame);
    names->emplace("tickcount", kTickCount);
    names->emplace("errorcode", kErrorCode);
}

bool CommonValue(std::int32_t token, std::int32_t videoFormat, std::int32_t fieldsPerFrame,
                 std::uint32_t tickCount, std::uint32_t errorCode, CVariant* value) {
    switch (token) {
        case kVideoFormat:
            *value = CVariant(videoFormat);
            return true;
        case kVideoFormatStr:
            // 254 is the name table's "unknown" entry.
            *value = CVariant(tmsvideo::NameFromFormat(videoFormat, 254));
            return true;
        case kFieldsPerFrame:
            *value = CVariant(fieldsPerFrame);
            return true;
        case kTickCount:
            *value = CVariant(static_cast<std::int32_t>(tickCount));
            return true;
        case kErrorCode:
            *value = CVariant(static_cast<std::int32_t>(errorCode));
            return true;
        default:
            return false;
    }
}

}  // namespace resource_status
