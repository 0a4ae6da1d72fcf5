#include "tmschannel/common/Timecode.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

CTimecode::CTimecode(int hours, int minutes, int seconds, int fields, std::uint16_t formatCode) {
    SetFormatCode(formatCode);
    Set(hours, minutes, seconds, fields);
}

CTimecode::CTimecode(std::int64_t fieldCount, std::uint16_t formatCode) {
    SetFormatCode(formatCode);
    FromFieldCount(fieldCount);
}

void CTimecode::SetFormatCode(std::uint16_t code) {
    int rate = (code >> 8) & 0xFF;
    int perFrame = (code >> 1) & 0x7F;
    if (rate == 0 || perFrame == 0) {
        // A format without a timecode rate counts as 30 frames of 2 fields,
        // so nothing ever divides by zero.
        rate = 30;
        perFrame = 2;
    }
    m_frameRate = rate;
    m_fieldsPerFrame = perFrame;
    m_dropFrame = (code & 1) != 0;
}

std::uint16_t CTimecode::GetFormatCode() const {
    return static_cast<std::uint16_t>((m_frameRate << 8) | (m_fieldsPerFrame << 1) |
                                      (m_dropFrame ? 1 : 0));
}

std::int64_t CTimecode::FieldsPerDay() const {
    if (m_dropFrame) {
        std::int64_t m = FieldsPerSecond() * 60;
        std::int64_t d = DroppedPerMinute();
        std::int64_t tenMinutes = (m - d) * 9 + m;
        return tenMinutes * 6 * 24;
    }
    return FieldsPerSecond() * 86400;
}

std::int64_t CTimecode::ToFieldCount() const {
    std::int64_t n =
        ((std::int64_t{m_hours} * 60 + m_minutes) * 60 + m_seconds) * FieldsPerSecond() + m_fields;
    if (m_dropFrame) {
        std::int64_t d = DroppedPerMinute();
        n -= d * 54 * m_hours + d * (m_minutes - m_minutes / 10);
    }
    return n;
}

void CTimecode::FromFieldCount(std::int64_t n) {
    const std::int64_t perSecond = FieldsPerSecond();
    const std::int64_t day = FieldsPerDay();
    n %= day;
    if (n < 0) {
        n += day;
    }
    if (m_dropFrame) {
        const std::int64_t d = DroppedPerMinute();
        const std::int64_t m = perSecond * 60;
        const std::int64_t t = (m - d) * 9 + m;
        std::int64_t q = n / t;
        std::int64_t r = n % t;
        m_hours = static_cast<int>(q / 6);
        m_minutes = static_cast<int>((q % 6) * 10);
        if (r >= m) {
            r -= m;
            std::int64_t q2 = r / (m - d);
            std::int64_t r2 = r % (m - d);
            m_minutes += static_cast<int>(1 + q2);
            r = r2 + d;
        }
        m_seconds = static_cast<int>(r / perSecond);
        m_fields = static_cast<int>(r % perSecond);
    } else {
        m_hours = static_cast<int>(n / (perSecond * 3600));
        m_minutes = static_cast<int>((n / (perSecond * 60)) % 60);
        m_seconds = static_cast<int>((n / perSecond) % 60);
        m_fields = static_cast<int>(n % perSecond);
    }
    m_valid = true;
}

void CTimecode::Set(int hours, int minutes, int seconds, int fields) {
    const int perSecond = static_cast<int>(FieldsPerSecond());
    const int d = DroppedPerMinute();
    if (m_dropFrame && fields >= 0 && fields < d && seconds == 0 && minutes % 10 != 0) {
        fields = d;  // the first label of the minute that exists
    }
    // Carry out-of-range parts upwards, wrapping at a day.
    std::int64_t s = std::int64_t{seconds} + fields / perSecond;
    std::int64_t f = fields % perSecond;
    if (f < 0) {
        f += perSecond;
        s -= 1;
    }
    std::int64_t m = std::int64_t{minutes} + s / 60;
    s %= 60;
    if (s < 0) {
        s += 60;
        m -= 1;
    }
    std::int64_t h = std::int64_t{hours} + m / 60;
    m %= 60;
    if (m < 0) {
        m += 60;
        h -= 1;
    }
    h %= 24;
    if (h < 0) {
        h += 24;
    }
    m_hours = static_cast<int>(h);
    m_minutes = static_cast<int>(m);
    m_seconds = static_cast<int>(s);
    m_fields = static_cast<int>(f);
    m_valid = true;
}

std::int64_t CTimecode::ToMilliseconds() const {
    return ToFieldCount() * 1000 / FieldsPerSecond();
}

std::int64_t CTimecode::SignedFieldCount() const {
    std::int64_t n = ToFieldCount();
    return m_hours >= 12 ? n - FieldsPerDay() : n;
}

std::int64_t CTimecode::ShortestDifference(const CTimecode& other) const {
    std::int64_t plain = ToFieldCount() - other.ToFieldCount();
    std::int64_t signedDiff = SignedFieldCount() - other.SignedFieldCount();
    return std::llabs(signedDiff) < std::llabs(plain) ? signedDiff : plain;
}

CTimecode CTimecode::operator+(std::int64_t fields) const {
    CTimecode r(*this);
    r.FromFieldCount(ToFieldCount() + fields);
    return r;
}

CTimecode CTimecode::operator-(std::int64_t fields) const {
    CTimecode r(*this);
    r.FromFieldCount(ToFieldCount() - fields);
    return r;
}

bool CTimecode::operator==(const CTimecode& o) const {
    return m_hours == o.m_hours && m_minutes == o.m_minutes && m_seconds == o.m_seconds &&
           m_fields == o.m_fields && m_frameRate == o.m_frameRate &&
           m_fieldsPerFrame == o.m_fieldsPerFrame && m_dropFrame == o.m_dropFrame;
}

bool CTimecode::operator<(const CTimecode& o) const {
    if (m_hours != o.m_hours) {
        return m_hours < o.m_hours;
    }
    if (m_minutes != o.m_minutes) {
        return m_minutes < o.m_minutes;
    }
    if (m_seconds != o.m_seconds) {
        return m_seconds < o.m_seconds;
    }
    return m_fields < o.m_fields;
}

std::string CTimecode::ToString() const {
    char sep = m_dropFrame ? ';' : ':';
    if (m_fieldsPerFrame == 2 && m_fields % 2 == 0) {
        sep = m_dropFrame ? ',' : '.';
    }
    const int frames = m_fields / m_fieldsPerFrame;
    const int parts[] = {m_hours, m_minutes, m_seconds, frames};
    if (std::all_of(std::begin(parts), std::end(parts), [](int p) { return p >= 0 && p < 100; })) {
        // The status pass prints several of these every cycle: two digits
        // each by hand, as "%02d" would.
        const char seps[] = {':', ':', sep};
        std::string text(11, '0');
        for (std::size_t i = 0; i < 4; ++i) {
            text[3 * i] = static_cast<char>('0' + parts[i] / 10);
            text[3 * i + 1] = static_cast<char>('0' + parts[i] % 10);
            if (i < 3) {
                text[3 * i + 2] = seps[i];
            }
        }
        return text;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d%c%02d", m_hours, m_minutes, m_seconds, sep,
                  frames);
    return buf;
}

namespace {

bool IsSeparator(char c) {
    return c == ':' || c == ';' || c == '.' || c == ',';
}

// Splits text at the separators into numbers; false on any other character,
// an empty part, or a number too large to hold.
bool SplitNumbers(std::string_view text, std::vector<long>* numbers, std::string* error) {
    long value = 0;
    bool inNumber = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (value > 100000) {
                *error = "number too large in timecode '" + std::string(text) + "'";
                return false;
            }
            value = value * 10 + (c - '0');
            inNumber = true;
        } else if (IsSeparator(c)) {
            if (!inNumber) {
                *error = "empty part in timecode '" + std::string(text) + "'";
                return false;
            }
            numbers->push_back(value);
            value = 0;
            inNumber = false;
        } else {
            *error = std::string("unexpected character '") + c + "' in timecode '" +
                     std::string(text) + "'";
            return false;
        }
    }
    if (!inNumber) {
        *error = text.empty() ? "empty timecode"
                              : "timecode '" + std::string(text) + "' ends in a separator";
        return false;
    }
    numbers->push_back(value);
    return true;
}

}  // namespace

void CTimecode::Parse(std::string_view text, int fieldsPerFrame) {
    bool drop = text.find_first_of(",;") != std::string_view::npos && m_frameRate != 25;
    m_dropFrame = drop;
    if (fieldsPerFrame > 0) {
        m_fieldsPerFrame = fieldsPerFrame;
    }
    std::vector<long> n;
    long value = 0;
    bool any = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            value = (value * 10 + (c - '0')) % 1000000;
            any = true;
        } else if (IsSeparator(c)) {
            n.push_back(value);
            value = 0;
            any = false;
        }
    }
    if (any || n.empty()) {
        n.push_back(value);
    }
    long h = 0, m = 0, s = 0, f = 0;
    switch (n.size() > 4 ? 4 : n.size()) {
        case 4:
            h = n[n.size() - 4];
            [[fallthrough]];
        case 3:
            m = n[n.size() - 3];
            [[fallthrough]];
        case 2:
            s = n[n.size() - 2];
            [[fallthrough]];
        default:
            f = n[n.size() - 1];
    }
    Set(static_cast<int>(h), static_cast<int>(m), static_cast<int>(s),
        static_cast<int>(f * m_fieldsPerFrame));
}

bool CTimecode::TryParse(std::string_view text, int fieldsPerFrame, std::string* error) {
    std::string err;
    std::vector<long> n;
    if (!SplitNumbers(text, &n, &err)) {
        if (error != nullptr) {
            *error = err;
        }
        return false;
    }
    if (n.size() > 4) {
        if (error != nullptr) {
            *error = "timecode '" + std::string(text) + "' has more than four parts";
        }
        return false;
    }
    long parts[4] = {0, 0, 0, 0};  // hours, minutes, seconds, frames
    for (std::size_t i = 0; i < n.size(); ++i) {
        parts[4 - n.size() + i] = n[i];
    }
    const char* names[4] = {"hours", "minutes", "seconds", "frames"};
    long limits[4] = {23, 59, 59, m_frameRate - 1L};
    for (int i = 0; i < 4; ++i) {
        if (parts[i] > limits[i]) {
            if (error != nullptr) {
                *error = std::string(names[i]) + " " + std::to_string(parts[i]) +
                         " out of range (0.." + std::to_string(limits[i]) + ") in timecode '" +
                         std::string(text) + "'";
            }
            return false;
        }
    }
    Parse(text, fieldsPerFrame);
    return true;
}
