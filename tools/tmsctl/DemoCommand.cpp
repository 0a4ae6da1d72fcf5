// tmsctl demo: timecode counting, then a channel driven end to end through
// the RTS simulator.
#include "tmschannel/common/Timecode.h"
#include "tmschannel/common/VideoFormat.h"
#include "tools/tmsctl/Commands.h"

#include <cstdio>
#include <string>

namespace tmsctl {

int RunDemo(const Args& args) {
    std::string runtime;
    if (args.size() == 2 && args[0] == "--runtime") {
        runtime = args[1];
    } else if (!args.empty()) {
        std::fprintf(stderr,
                     "usage: tmsctl demo [--runtime DIR]   (DIR: a running tms-rtssim's)\n");
        return kExitUsage;
    }
    std::printf(
        "Timecode of field positions in four formats (drop frame where the format has it)\n");
    const std::int32_t formats[] = {0, 1, 4, 2};
    const long long positions[] = {0, 3599, 3600, 35964, -1};
    std::printf("%-26s", "position");
    for (long long p : positions) {
        std::printf("%14lld", p);
    }
    std::printf("\n");
    for (std::int32_t f : formats) {
        CTimecode tc(tmsvideo::TimecodeFormatCode(f, true));
        std::printf("%-26s", tmsvideo::NameFromFormat(f, f).c_str());
        for (long long p : positions) {
            tc.FromFieldCount(p);
            std::printf("%14s", tc.ToString().c_str());
        }
        std::printf("\n");
    }
    CTimecode parsed(tmsvideo::TimecodeFormatCode(0, true));
    parsed.Parse("00:10:00;00", parsed.FieldsPerFrame());
    std::printf("\n\"00:10:00;00\" in Format525_60Hz_2To1 is field %lld\n\n",
                static_cast<long long>(parsed.ToFieldCount()));

    return RunChannelDemo(runtime);
}

}  // namespace tmsctl
