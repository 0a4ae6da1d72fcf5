// What the channel's properties tell of its resource list: how many
// resources of a kind it has, how many of them record, and the granularity
// every continuous-record segment must respect. A channel without resources
// of a kind (no audio yet, say) answers 0 for it; once such resources are in
// the list they answer from themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

class CTmsResource;

class CResourceCensus {
public:
    explicit CResourceCensus(const std::vector<std::shared_ptr<CTmsResource>>& resources)
        : m_resources(resources) {}

    // Resources whose type name is type ("audio", "video").
    std::int32_t Count(std::u16string_view type) const;
    // Of those, the ones assigned for record.
    std::int32_t CountForRecord(std::u16string_view type) const;
    // The field granularity of the list, in list order: g starts at 1 and
    // is multiplied by a resource's granularity r when g < r or r does not
    // divide g.
    std::int32_t FieldGranularity() const;

private:
    const std::vector<std::shared_ptr<CTmsResource>>& m_resources;
};

// The length of one continuous-record segment in fields: 0 when continuous
// record is off; else a ninetieth of the length, at least threeSeconds
// fields, rounded down to a multiple of the granularity (and never below it).
std::int32_t ContinuousRecordSegment(bool on, std::int32_t lengthFields, std::int32_t threeSeconds,
                                     std::int32_t granularity);
