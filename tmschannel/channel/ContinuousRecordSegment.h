// The length of one segment that continuous record adds to a movie: a
// ninetieth of the length kept, so that the movie grows in small steps, but
// never under three seconds, so that segments do not pile up on a short
// length; a whole number of the resources' field granularity.
#pragma once

#include <algorithm>
#include <cstdint>

inline std::int32_t ContinuousRecordSegment(bool continuousRecord, std::int32_t lengthFields,
                                            std::int32_t fieldsPerSecond,
                                            std::int32_t granularity) {
    if (!continuousRecord) {
        return 0;
    }
    std::int32_t segment = std::max(lengthFields / 90, 3 * std::max(fieldsPerSecond, 1));
    const std::int32_t step = std::max(granularity, 1);
    segment = (segment + step - 1) / step * step;
    return segment;
}
