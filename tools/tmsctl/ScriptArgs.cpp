#include "tools/tmsctl/ScriptArgs.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tmsctl {
namespace {

int DigitValue(char c, int base) {
    int v = -1;
    if (c >= '0' && c <= '9') {
        v = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
        v = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
        v = c - 'A' + 10;
    }
    return v < base ? v : -1;
}

}  // namespace

bool ScriptInteger(const std::string& text, const char* argument, std::int64_t low,
                   std::int64_t high, std::int64_t* value) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    i += negative ? 1 : 0;
    int base = 10;
    if (text.size() > i + 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) {
        return false;
    }
    // The magnitude saturates: anything past 2^63 is out of every range here.
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
    std::uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const int d = DigitValue(text[i], base);
        if (d < 0) {
            return false;
        }
        if (magnitude <= kLimit) {
            magnitude =
                magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
        }
    }
    bool inRange = magnitude <= kLimit && (negative || magnitude < kLimit);
    std::int64_t v = 0;
    if (inRange) {
        v = negative ? static_cast<std::int64_t>(0 - magnitude)  // two's complement, -2^63 too
                     : static_cast<std::int64_t>(magnitude);
        inRange = v >= low && v <= high;
    }
    if (!inRange) {
        throw CScriptError(std::string(argument) + " '" + text + "' is out of range (" +
                           std::to_string(low) + " to " + std::to_string(high) + ")");
    }
    *value = v;
    return true;
}

bool ScriptReal(const std::string& text, const char* argument, double low, double high,
                double* value) {
    if (text.empty() || text[0] == ' ' || text[0] == '\t') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) {
        return false;
    }
    if (!std::isfinite(v) || errno == ERANGE || v < low || v > high) {
        char range[96];
        std::snprintf(range, sizeof range, " is out of range (%g to %g)", low, high);
        throw CScriptError(std::string(argument) + " '" + text + "'" + range);
    }
    *value = v;
    return true;
}

void CheckScriptLine(std::string& line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "control character 0x%02X at column %zu: a line holds text only", c,
                          i + 1);
            throw CScriptError(text);
        }
    }
}

}  // namespace tmsctl
