// tmsctl demo: until the channel runs end to end, a showcase of timecode
// counting, of the RTS messages the component builds, and of the RTS
// simulator answering them.
#include "tmschannel/common/Timecode.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/rts/RtsMessages.h"
#include "tools/tmsctl/Commands.h"
#include "tools/tmsctl/RiffPrinter.h"

#include <cstdio>
#include <iostream>

namespace tmsctl {

int RunDemo(const Args&) {
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

    std::printf("The default end mode message a channel sends the RTS when it opens:\n");
    CMmioMsg msg(rts::kLargeMessageSize);
    if (FAILED(rts::BuildPortContextMessage(msg, rts::DefaultEndModeContext(0)))) {
        std::fprintf(stderr, "tmsctl demo: could not build the message\n");
        return kExitFailed;
    }
    CRiffPrinter printer(std::cout);
    printer.Print(msg.GetBuffer(), msg.GetMsgSize());
    return RunSimulatorDemo();
}

}  // namespace tmsctl
