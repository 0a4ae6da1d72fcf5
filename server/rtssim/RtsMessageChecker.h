// Checks a request against the RTS message protocol and reads what the
// simulator acts on. It is an independent reader: every offset and size is
// checked against the bytes received before it is read.
//
// Checks: RIFF framing (the size word matches the bytes received exactly,
// every chunk lies inside its parent), known form, chunk order and count per
// form, body sizes per chunk id, ranges of enumerated fields, file codes
// 1 to 1000 opened before a state or a close uses them, and bounds on items
// (36 file chunks per list, 20 resource lists, 1000 states per list).
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "server/rtssim/RtsAckStatus.h"
#include "server/rtssim/RtsMessage.h"

struct RtsCheckResult {
    RtsAckStatus status = kAckOk;
    std::string problem;  // what was wrong and at which byte offset; "" when ok
    RtsMessage message;
};

// openFiles: the file codes the client has opened and not closed.
RtsCheckResult CheckRtsMessage(const unsigned char* data, std::size_t size,
                               const std::set<std::uint16_t>& openFiles);
