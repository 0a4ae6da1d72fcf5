// What the RTS simulator takes from the system configuration: the channels
// it runs, with their field rate and resources.
#pragma once

#include <string>
#include <vector>

struct RtsSimChannel {
    int index = 0;               // @channelIndex: port number and shared-memory block
    std::string id;              // @id, e.g. "Chan1"
    std::string videoFormat;     // the video input's format name
    double fieldsPerSecond = 0;  // from the format name
    int audioCount = 0;          // Audio elements of the channel
    // What a record writes: the video codec's compression and data rate, and
    // for MPEG its GOP (P pictures per I, B pictures per P).
    std::string compression;
    double videoBytesPerSecond = 0;
    int pPicturesPerI = 0;
    int bPicturesPerP = 0;
};

// Reads the channels of a system configuration file. On failure returns
// false with *error naming the file and what was wrong.
bool ReadRtsSimConfig(const std::string& path, std::vector<RtsSimChannel>* channels,
                      std::string* error);

// Fields per second of a format name such as "Format525_60Hz_2To1" (59.94)
// or "Format625_50Hz_2To1" (50); 0 when the name gives no rate.
double FieldsPerSecondOf(const std::string& formatName);
