// Free functions of the application-server utility library. Any thread.
#pragma once

#include "platform/com/HResult.h"

namespace AppServerUtil {

// The channel's compatibility masks, fixed for this server:
// first mask 0x00000001: bit n - 1 set for status memory layout version n it
//   writes (version 1, StatusMemoryLayout.h);
// second mask 0x0000001F: bit s set for each port state s it can run
//   (TmsIdle 0 to TmsShuttleRecord 4).
inline constexpr unsigned kCompatibilityMask1 = 0x00000001;
inline constexpr unsigned kCompatibilityMask2 = 0x0000001F;

// E_POINTER when either pointer is null (nothing written).
HRESULT GetCompatibilityMasks(unsigned* mask1, unsigned* mask2);

}  // namespace AppServerUtil
