// Which port-state moves a context change may ask for. A request for the
// current state is always allowed (and moves nothing); a stored state
// outside TmsIdle..TmsShuttleRecord refuses every request.
#pragma once

#include <cstdint>

namespace port_state_machine {

bool IsAllowed(std::int32_t current, std::int32_t requested);

}  // namespace port_state_machine
