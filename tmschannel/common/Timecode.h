// A timecode value: hours, minutes, seconds and the field within the second,
// with the rate it counts at (frame rate, fields per frame, drop frame). It
// turns field counts into timecode and back, with drop-frame counting, and
// prints and parses timecode text. Values wrap at 24 hours.
//
// Drop frame: D = 2 x P x R / 30 fields are skipped at the start of every
// minute that is not a multiple of ten (4 at 30 frames, 2 fields per frame).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CTimecode {
public:
    // 30 frames, 2 fields per frame, drop frame.
    static constexpr std::uint16_t kDefaultFormatCode = 0x1E05;

    CTimecode() { SetFormatCode(kDefaultFormatCode); }
    explicit CTimecode(std::uint16_t formatCode) { SetFormatCode(formatCode); }
    CTimecode(int hours, int minutes, int seconds, int fields, std::uint16_t formatCode);
    CTimecode(std::int64_t fieldCount, std::uint16_t formatCode);

    // Field count of the value; in drop frame the skipped labels are not counted.
    std::int64_t ToFieldCount() const;
    void FromFieldCount(std::int64_t fieldCount);
    // Sets the value; in drop frame a skipped label becomes the first label
    // that exists. Out-of-range parts carry into the next larger one.
    void Set(int hours, int minutes, int seconds, int fields);
    std::int64_t ToMilliseconds() const;
    // Hours 12 and above count as the day before: field count minus one day.
    std::int64_t SignedFieldCount() const;
    // Of the plain and the signed difference, the one nearer to zero.
    std::int64_t ShortestDifference(const CTimecode& other) const;
    void AddDay() { m_hours += 24; }
    std::int64_t FieldsPerDay() const;

    CTimecode operator+(std::int64_t fields) const;
    CTimecode operator-(std::int64_t fields) const;
    CTimecode operator+(const CTimecode& other) const { return *this + other.ToFieldCount(); }
    CTimecode operator-(const CTimecode& other) const { return *this - other.ToFieldCount(); }
    CTimecode& operator+=(std::int64_t fields) { return *this = *this + fields; }
    CTimecode& operator-=(std::int64_t fields) { return *this = *this - fields; }
    CTimecode& operator+=(const CTimecode& other) { return *this = *this + other; }
    CTimecode& operator-=(const CTimecode& other) { return *this = *this - other; }

    bool operator==(const CTimecode& other) const;
    bool operator!=(const CTimecode& other) const { return !(*this == other); }
    bool operator<(const CTimecode& other) const;
    bool operator>(const CTimecode& other) const { return other < *this; }

    std::uint16_t GetFormatCode() const;
    void SetFormatCode(std::uint16_t code);

    // "hh:mm:ss;ff": ";" in drop frame, ":" otherwise; with 2 fields per frame
    // the first field of a frame reads "," in drop frame and "." otherwise.
    std::string ToString() const;
    // Lenient parse as the system has always done it: ",", ";" mean drop
    // frame (never at 25 frames); 1 to 4 numbers split at ":;.,", read from
    // the right as frames, seconds, minutes, hours.
    void Parse(std::string_view text, int fieldsPerFrame);
    // The same, but refuses empty text, other characters, more than four
    // numbers and parts out of range; error says which.
    bool TryParse(std::string_view text, int fieldsPerFrame, std::string* error);

    int Hours() const { return m_hours; }
    int Minutes() const { return m_minutes; }
    int Seconds() const { return m_seconds; }
    int Fields() const { return m_fields; }
    bool Valid() const { return m_valid; }
    int FieldsPerFrame() const { return m_fieldsPerFrame; }
    int FrameRate() const { return m_frameRate; }
    bool DropFrame() const { return m_dropFrame; }

private:
    std::int64_t FieldsPerSecond() const { return std::int64_t{m_frameRate} * m_fieldsPerFrame; }
    int DroppedPerMinute() const { return (2 * m_fieldsPerFrame * m_frameRate) / 30; }

    int m_hours = 0;
    int m_minutes = 0;
    int m_seconds = 0;
    int m_fields = 0;
    bool m_valid = false;
    int m_fieldsPerFrame = 2;
    int m_frameRate = 30;
    bool m_dropFrame = true;
    [[maybe_unused]] bool m_wraps = true;  // values always wrap at 24 hours
};
