// The scheduling part of tmsctl demo: a play the RTS starts by itself two
// seconds ahead, a faster play on a GPI input the demo then switches, a
// cancelled change that never fires, and the simulator's log of the field
// each one was due on and fired on.
#include <cstdio>

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
    return RunBuiltInScript(kScheduleScript, "sched");
}

}  // namespace tmsctl
