#include "server/ipmclient/IpmLog.h"

#include <cstring>

#include "platform/kernel/LocalTime.h"
#include "server/errorlog/ErrorLog.h"

void IpmLogFailure(const char* file, int line, const std::string& what, int error) {
    const char* base = std::strrchr(file, '/');
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::string text = what + ": " + std::strerror(error);
    ErrorLogWriteExW(E_FAIL, now, 0, ERRORLOG_LEVEL_ERROR, base ? base + 1 : file, line, 0,
                     text.c_str(), 0);
}
