// tmsctl timecode --format N [--drop-frame] POSITION
// tmsctl timecode --format N [--drop-frame] --parse TEXT
#include "tmschannel/common/Timecode.h"
#include "tmschannel/common/VideoFormat.h"
#include "tools/tmsctl/Commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tmsctl {

namespace {

void Usage(FILE* to) {
    std::fprintf(to,
                 "usage: tmsctl timecode --format FORMAT [--drop-frame] POSITION\n"
                 "       tmsctl timecode --format FORMAT [--drop-frame] --parse TEXT\n"
                 "FORMAT is a video format number (0-32, 240, 241) or name, e.g.\n"
                 "Format525_60Hz_2To1. POSITION is a field count (may be negative).\n"
                 "--drop-frame counts in drop frame where the format has it.\n");
}

bool ParseInt(const std::string& text, long long* value) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != 0) {
        return false;
    }
    *value = v;
    return true;
}

bool ParseFormat(const std::string& text, std::int32_t* format) {
    long long n = 0;
    if (ParseInt(text, &n)) {
        if (n < 0 || n > 255 || !tmsvideo::IsKnownFormat(static_cast<std::int32_t>(n)) ||
            n >= tmsvideo::kFormatUnknown) {
            return false;
        }
        *format = static_cast<std::int32_t>(n);
        return true;
    }
    std::int32_t v = tmsvideo::FormatFromName(text, -1);
    if (v < 0 || v >= tmsvideo::kFormatUnknown) {
        return false;
    }
    *format = v;
    return true;
}

}  // namespace

int RunTimecode(const Args& args) {
    std::string formatText, value;
    bool drop = false, parse = false, haveFormat = false, haveValue = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return kExitOk;
        } else if (a == "--format") {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "tmsctl timecode: --format needs a value\n");
                return kExitUsage;
            }
            formatText = args[++i];
            haveFormat = true;
        } else if (a == "--drop-frame") {
            drop = true;
        } else if (a == "--parse") {
            parse = true;
        } else if (!haveValue &&
                   (a.empty() || a[0] != '-' || a.size() == 1 || (a[1] >= '0' && a[1] <= '9'))) {
            value = a;
            haveValue = true;
        } else {
            std::fprintf(stderr, "tmsctl timecode: unexpected argument '%s'\n", a.c_str());
            return kExitUsage;
        }
    }
    if (!haveFormat) {
        std::fprintf(stderr, "tmsctl timecode: --format is required\n");
        return kExitUsage;
    }
    std::int32_t format = 0;
    if (!ParseFormat(formatText, &format)) {
        std::fprintf(stderr, "tmsctl timecode: unknown video format '%s'\n", formatText.c_str());
        return kExitUsage;
    }
    if (!haveValue) {
        std::fprintf(stderr, "tmsctl timecode: %s is required\n", parse ? "TEXT" : "POSITION");
        return kExitUsage;
    }
    if (drop && !tmsvideo::HasDropFrame(format)) {
        std::fprintf(stderr,
                     "tmsctl timecode: warning: %s has no drop-frame timecode; counting "
                     "without drop frame\n",
                     tmsvideo::NameFromFormat(format, format).c_str());
    }
    std::uint16_t code = tmsvideo::TimecodeFormatCode(format, drop);
    CTimecode tc(code);
    if (parse) {
        std::string error;
        if (!tc.TryParse(value, tc.FieldsPerFrame(), &error)) {
            std::fprintf(stderr, "tmsctl timecode: %s\n", error.c_str());
            return kExitUsage;
        }
        std::printf("%lld\n", static_cast<long long>(tc.ToFieldCount()));
        return kExitOk;
    }
    long long position = 0;
    if (!ParseInt(value, &position) || position < INT32_MIN || position > INT32_MAX) {
        std::fprintf(stderr, "tmsctl timecode: position '%s' is not a 32-bit field count\n",
                     value.c_str());
        return kExitUsage;
    }
    tc.FromFieldCount(position);
    std::printf("%s\n", tc.ToString().c_str());
    return kExitOk;
}

}  // namespace tmsctl
