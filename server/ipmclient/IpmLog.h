// One error-log line for an IPM failure: what failed, on which port, and the
// system's reason.
#pragma once

#include <string>

void IpmLogFailure(const char* file, int line, const std::string& what, int error);
#define IPM_LOG_FAILURE(what, error) IpmLogFailure(__FILE__, __LINE__, (what), (error))
