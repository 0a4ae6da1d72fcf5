#include "tmschannel/frame/ErrorFrame.h"

#include "platform/com/ErrorInfo.h"

#include <cstdio>

void RaiseError(CEntryPoint& trace, HRESULT hr, const char* file, int line, const char* format,
                ...) {
    char message[CEntryPoint::kMessageSize];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (n < 0) {
        message[0] = 0;
    }
    // The text is already formatted: hand it on verbatim.
    trace.LogError(hr, file, line, "%s", message);
    trace.SetLogged();
    throw static_cast<LONG>(trace.Result());
}

void CheckComCall(CEntryPoint& trace, HRESULT hr, const char* file, int line) {
    if (FAILED(hr)) {
        trace.SetLocation(file, line);
        IErrorInfo* info = nullptr;
        if (GetErrorInfo(0, &info) != S_OK) {
            info = nullptr;
        }
        throw _com_error(hr, info);
    }
}

namespace tmsframe {

std::string ComErrorText(const _com_error& e) {
    std::string text = e.ErrorMessage();
    const std::string description = e.Description();
    if (!description.empty() && description != text) {
        text += ": " + description;
    }
    return text;
}

void LogCaught(CEntryPoint& trace, HRESULT hr, const char* file, int line, const char* message) {
    if (trace.Line() != -1) {
        // Copy first: LogError overwrites the location with what it is given.
        char recorded[CEntryPoint::kSourceFileSize];
        std::snprintf(recorded, sizeof recorded, "%s", trace.SourceFile());
        trace.LogError(hr, recorded, trace.Line(), "%s", message);
    } else {
        trace.LogError(hr, file, line, "%s", message);
    }
}

}  // namespace tmsframe
