// The "ack " statuses the RTS simulator answers with. 0 is success; every
// other value fails the request on the client side. The simulator also logs
// one line saying what was wrong and where.
#pragma once

#include <cstdint>

enum RtsAckStatus : std::uint32_t {
    kAckOk = 0,
    kAckMalformed = 1,    // RIFF framing: sizes, truncation, trailing bytes
    kAckUnknownForm = 2,  // form type not one of the protocol's
    kAckChunkOrder = 3,   // a chunk missing, extra or out of order
    kAckChunkSize = 4,    // a body of the wrong size for its id
    kAckBadValue = 5,     // a field outside its range
    kAckUnknownFile = 6,  // a file code used or closed before it was opened
    kAckTooMany = 7,      // more items than the protocol allows
    kAckNotOpen = 8,      // a request before "open" on this connection
};
