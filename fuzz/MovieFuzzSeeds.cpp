// Writes movie files as the timeline component writes them, into the folder
// given, to seed movie_file_fuzz: an empty movie and one with tracks of
// every kind, trimmed and updated segments, sections, edits and timecodes.
#include <cstdio>
#include <fstream>
#include <string>

#include "server/timeline/MovieFileFormat.h"

namespace {

MovieSegment Segment(std::uint16_t code, std::int32_t length, std::int32_t fileType) {
    MovieSegment s;
    s.code = code;
    s.fileType = fileType;
    s.name = "clip " + std::to_string(code);
    s.uuid = "{00000000-0000-4000-8000-00000000000" + std::to_string(code % 10) + "}";
    s.naturalDuration = length;
    s.duration = length;
    s.mediaIn = 0;
    s.mediaOut = length - 1;
    s.mediaData[32] = static_cast<std::uint8_t>(fileType);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: movie_fuzz_seeds FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    MovieState empty;
    std::ofstream(folder + "/empty.movie") << MovieFileText(empty);

    MovieState full;
    full.nextSegmentCode = 9;
    full.assetType = "clip";
    full.videoFormat = "Format625_50Hz_2To1";
    full.markIn = 10;
    full.markOut = 290;
    full.markMode = 3;
    full.maxLength = 280;
    full.repeat = true;
    full.startTimecode = 0x01000000;  // 01:00:00:00
    full.thumbnailMark = 20;
    full.thumbnailImage = {0x89, 0x50, 0x4E, 0x47};
    full.tracks[{2, 0}].label = "A1";
    full.tracks[{2, 0}].segments = {Segment(1, 100, 2), Segment(2, 200, 2)};
    full.tracks[{2, 1}].segments = {Segment(3, 300, 2)};
    MovieSegment trimmed = Segment(4, 300, 5);
    trimmed.duration = 250;
    trimmed.mediaIn = 7;
    trimmed.mediaOut = 256;
    full.tracks[{5, 0}].segments = {trimmed};
    full.tracks[{3, 0}].segments = {Segment(5, 300, 0)};
    full.tracks[{9, 0}].segments = {Segment(6, 0, 0), Segment(7, 300, 9)};
    full.tracks[{10, 0}].segments = {Segment(8, 300, 0)};
    full.sections = {{"{5EC71010-0000-4000-8000-000000000001}", "Opening", 0, 100},
                     {"{5EC71010-0000-4000-8000-000000000002}", "Rest", 100, 200}};
    MovieEdit edit;
    edit.uuid = "{ED171010-0000-4000-8000-000000000001}";
    edit.name = "Intro";
    edit.start = 0;
    edit.duration = 80;
    edit.repeat = true;
    edit.pauseMode = 2;
    full.edits = {edit};
    std::ofstream(folder + "/full.movie") << MovieFileText(full);
    return 0;
}
