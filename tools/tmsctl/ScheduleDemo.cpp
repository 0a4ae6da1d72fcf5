// The scheduling part of tmsctl demo: a play the RTS starts by itself two
// seconds ahead, a faster play on a GPI input the demo then switches, a
// cancelled change that never fires, and the simulator's log of the field
// each one was due on and fired on.
#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/tmsctl/ChannelScript.h"
#include "tools/tmsctl/Commands.h"

namespace tmsctl {

namespace {

// 525 lines: 60 fields a second, so two seconds are 120 fields.
const char kScheduleScript[] = R"(# changes the RTS applies by itself when their condition comes
open 1 tmsctl-demo
timeline create demo reels MOVIE 3600 populate
alloc .
cue . 0
wait . cue 2000
schedule . in-two-seconds at=tick:+120 state=play speed=1.0
schedule . on-gpi-3 at=gpi:3 state=play speed=2.0
schedule . never at=tick:+60 state=play speed=4.0
unschedule . never
wait . play 5000
port .
rts gpi 1 3 on
sleep 300
port .
rts gpi 1 3 off
# each change: the field it was due on (due=) and the field it fired on (at=)
rts fired 1
timeline close .
close
)";

}  // namespace

int RunScheduleDemo() {
    std::printf("\nScheduled changes on channel 1:\n\n");
    std::string text = kScheduleScript;
    char name[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(name, sizeof name, "sched-%Y%m%d-%H%M%S", std::localtime(&now));
    text.replace(text.find("MOVIE"), 5, name);
    std::istringstream script(text);
    CChannelScript runner;
    const int rc = runner.Run(script, std::cout);
    std::cout.flush();
    return rc == kExitOk ? kExitOk : kExitFailed;
}

}  // namespace tmsctl
