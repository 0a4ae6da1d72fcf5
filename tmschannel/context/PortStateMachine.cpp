#include "tmschannel/context/PortStateMachine.h"

namespace port_state_machine {
namespace {

// Rows: current state; columns: requested state (Idle, CuePlay,
// ShuttlePlay, CueRecord, ShuttleRecord). Recording only starts from idle
// or a record cue, and a running record can only stop.
constexpr bool kAllowed[5][5] = {
    {true, true, true, true, true},    {true, true, true, true, false},
    {true, true, true, true, false},   {true, true, false, true, true},
    {true, false, false, false, true},
};

}  // namespace

bool IsAllowed(std::int32_t current, std::int32_t requested) {
    if (current < 0 || current > 4 || requested < 0 || requested > 4) {
        return false;
    }
    return kAllowed[current][requested];
}

}  // namespace port_state_machine
