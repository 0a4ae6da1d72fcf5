// CTimecodeFormat: the timecode texts of a movie, by its video format.
//
// Texts read "HH:MM:SS:FF", non-drop, two fields a frame: 25 frames a second
// when the format name contains "625", "_25Hz" or "_50Hz", else 30.
// A packed timecode holds frames in bits 0-7, seconds in bits 8-15, minutes
// in bits 16-23 and hours in bits 24-28; bit 31 set means none.
//
// Thread safety: a value; constant after construction.
#pragma once

#include <cstdint>
#include <string>

class CTimecodeFormat {
public:
    static constexpr int kFieldsPerFrame = 2;

    explicit CTimecodeFormat(const std::string& videoFormat);

    int FramesPerSecond() const { return m_fps; }
    // A position in fields as the time from the movie's start ("-" before).
    std::string PositionText(std::int32_t fields) const;
    // "" for none.
    std::string PackedText(std::int32_t packed) const;
    // "" when packed is none or a timecode of this rate, else what is wrong.
    std::string PackedProblem(std::int32_t packed) const;

private:
    int m_fps;
};
