// Writing this library's records into the server's error log. Any thread.
#pragma once

#include "platform/kernel/LocalTime.h"
#include "server/errorlog/ErrorLog.h"

#include <string>

namespace appserverutil {

// The component number this library's records carry.
inline constexpr LONG kLogComponent = 0x41;

inline void Log(HRESULT hr, LONG level, const char* file, int line, const std::string& text) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    ErrorLogWriteExW(hr, now, kLogComponent, level, file, line, 0, text.c_str(), 0);
}

}  // namespace appserverutil
