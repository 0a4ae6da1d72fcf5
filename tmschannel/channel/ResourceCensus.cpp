#include "tmschannel/channel/ResourceCensus.h"

#include "tmschannel/resources/TmsResource.h"

std::int32_t CResourceCensus::Count(std::u16string_view type) const {
    std::int32_t n = 0;
    for (const auto& resource : m_resources) {
        n += resource->TypeName() == type ? 1 : 0;
    }
    return n;
}

std::int32_t CResourceCensus::CountForRecord(std::u16string_view type) const {
    std::int32_t n = 0;
    for (const auto& resource : m_resources) {
        n += resource->TypeName() == type && resource->IsAssignedForRecord() ? 1 : 0;
    }
    return n;
}

std::int32_t CResourceCensus::FieldGranularity() const {
    std::int32_t g = 1;
    for (const auto& resource : m_resources) {
        const std::int32_t r = resource->GetFieldGranularity();
        // A resource without a granularity of its own sets no bound.
        if (r <= 0) {
            continue;
        }
        if (g < r || g % r != 0) {
            g *= r;
        }
    }
    return g;
}

std::int32_t ContinuousRecordSegment(bool on, std::int32_t lengthFields, std::int32_t threeSeconds,
                                     std::int32_t granularity) {
    if (!on) {
        return 0;
    }
    std::int32_t segment = lengthFields / 90;
    if (segment < threeSeconds) {
        segment = threeSeconds;
    }
    const std::int32_t g = granularity > 0 ? granularity : 1;
    return segment > g ? segment - segment % g : g;
}
