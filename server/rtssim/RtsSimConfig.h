// What the RTS simulator takes from the system configuration: the channels
// it runs, with their field rate and resources.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CXmlDocument;
class CXmlNode;

// What an audio path runs with: the raw gains (4096 is unity) of its
// input and output components.
struct RtsSimAudio {
    std::uint16_t inputGain = 4096;
    std::uint16_t outputGain = 4096;
};

// The timecode path: the codec's input and the generator's mode and fixed
// start (a packed timecode word).
struct RtsSimTimecode {
    bool present = false;
    std::string input = "Internal";  // "Internal": the generator; else the reader
    std::string genMode = "FixedStart";
    std::uint32_t fixedTimecode = 0;
};

struct RtsSimChannel {
    int index = 0;                   // @channelIndex: port number and shared-memory block
    std::string id;                  // @id, e.g. "Chan1"
    std::string videoFormat;         // the video input's format name
    double fieldsPerSecond = 0;      // from the format name
    int audioCount = 0;              // Audio elements of the channel
    std::vector<RtsSimAudio> audio;  // one per Audio element, in order
    RtsSimTimecode timecode;         // of the first Timecode element
    // What a record writes: the video codec's compression and data rate, and
    // for MPEG its GOP (P pictures per I, B pictures per P).
    std::string compression;
    double videoBytesPerSecond = 0;
    int pPicturesPerI = 0;
    int bPicturesPerP = 0;
};

// The audio gains and timecode settings of a channel element. Throws
// CXmlError for a value that is not of its type.
void ReadRtsSimSignals(const CXmlDocument& doc, const CXmlNode& channel, RtsSimChannel* ch);
// The same from configuration text as a client sends it ("open", "rfsh"):
// the channel element with ch->index. False with *error when the text does
// not read or the channel is not in it; ch is unchanged then.
bool ReadRtsSimSignalsFromText(const std::string& xml, RtsSimChannel* ch, std::string* error);

// Reads the channels of a system configuration file. On failure returns
// false with *error naming the file and what was wrong.
bool ReadRtsSimConfig(const std::string& path, std::vector<RtsSimChannel>* channels,
                      std::string* error);

// Fields per second of a format name such as "Format525_60Hz_2To1" (59.94)
// or "Format625_50Hz_2To1" (50); 0 when the name gives no rate.
double FieldsPerSecondOf(const std::string& formatName);
