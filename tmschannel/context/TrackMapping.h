// What a resource asks of the context that plays it: the offsets that map
// the resource's number to the movie track it plays or records. A ganged
// context plays tracks of its own beside the gang's other channels.
#pragma once

#include <cstdint>

class ITrackMapping {
public:
    virtual std::int32_t MappedVideoOffset() const = 0;
    virtual std::int32_t MappedAudioOffset() const = 0;

protected:
    ~ITrackMapping() = default;
};
