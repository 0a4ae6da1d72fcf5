#include "platform/xml/XmlTextConvert.h"

#include <charconv>
#include <cmath>

namespace xmltext {
namespace {

bool IsXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != b[i]) {
            return false;
        }
    }
    return true;
}

// Splits off an optional sign; false when nothing follows it.
bool TakeSign(std::string_view* text, bool* negative) {
    *negative = false;
    if (!text->empty() && (text->front() == '+' || text->front() == '-')) {
        *negative = text->front() == '-';
        text->remove_prefix(1);
    }
    return !text->empty();
}

// Unsigned digits of the given base, all of the text, at most `max`.
bool ParseMagnitude(std::string_view digits, int base, std::uint64_t max, std::uint64_t* out) {
    if (digits.empty()) {
        return false;
    }
    std::uint64_t v = 0;
    for (char c : digits) {
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (d >= static_cast<unsigned>(base) || v > (max - d) / static_cast<unsigned>(base)) {
            return false;
        }
        v = v * static_cast<unsigned>(base) + d;
    }
    *out = v;
    return true;
}

}  // namespace

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsXmlSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsXmlSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool ParseLong(std::string_view text, std::int32_t* out) {
    text = Trim(text);
    bool negative;
    if (!TakeSign(&text, &negative)) {
        return false;
    }
    std::uint64_t magnitude;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (!ParseMagnitude(text.substr(2), 16, 0xFFFFFFFFu, &magnitude)) {
            return false;
        }
        if (!negative) {
            *out = static_cast<std::int32_t>(static_cast<std::uint32_t>(magnitude));
            return true;
        }
    } else if (!ParseMagnitude(text, 10, 0x80000000u, &magnitude) ||
               (!negative && magnitude > 0x7FFFFFFF)) {
        return false;
    }
    if (negative && magnitude > 0x80000000u) {
        return false;
    }
    *out = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                    : static_cast<std::int32_t>(magnitude);
    return true;
}

bool ParseInteger(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t* out) {
    text = Trim(text);
    bool negative;
    if (!TakeSign(&text, &negative)) {
        return false;
    }
    std::uint64_t magnitude;
    if (!ParseMagnitude(text, 10, std::uint64_t{1} << 63, &magnitude)) {
        return false;
    }
    if (!negative && magnitude > static_cast<std::uint64_t>(INT64_MAX)) {
        return false;
    }
    const std::int64_t v =
        negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    if (v < min || v > max) {
        return false;
    }
    *out = v;
    return true;
}

bool ParseDouble(std::string_view text, double* out) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);  // from_chars takes '-' only
    }
    if (text.empty() || text.front() == '+' ||
        (text.size() > 1 && text[0] == '-' && text[1] == '+')) {
        return false;
    }
    double v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v, std::chars_format::general);
    if (ec != std::errc() || ptr != end || !std::isfinite(v)) {
        return false;
    }
    *out = v;
    return true;
}

bool ParseBool(std::string_view text, bool* out) {
    const std::string_view t = Trim(text);
    if (EqualsNoCase(t, "true") || EqualsNoCase(t, "yes")) {
        *out = true;
        return true;
    }
    if (EqualsNoCase(t, "false") || EqualsNoCase(t, "no")) {
        *out = false;
        return true;
    }
    std::int32_t l;
    if (ParseLong(t, &l)) {
        *out = l != 0;
        return true;
    }
    double d;
    if (ParseDouble(t, &d)) {
        *out = d != 0;
        return true;
    }
    return false;
}

bool IsName(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool start =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
        const bool inner = (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!(start || (i > 0 && inner))) {
            return false;
        }
    }
    return true;
}

}  // namespace xmltext
