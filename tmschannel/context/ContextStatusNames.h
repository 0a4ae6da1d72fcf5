// The context status names a client asks GetStatus for, their codes, and
// the values a context that is not named (token 0) answers with.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com/Variant.h"

namespace context_status {

// The code of a lower-case status name; -1 when it is not a context status.
std::int32_t CodeOf(const std::string& name);
// The default value of a code; S_FALSE for a code without a name.
HRESULT DefaultValue(std::int32_t code, VARIANT* value);

// Codes a context answers from its own fields.
inline constexpr std::int32_t kCtxPortState = 38;
inline constexpr std::int32_t kAssigned = 40;

}  // namespace context_status
