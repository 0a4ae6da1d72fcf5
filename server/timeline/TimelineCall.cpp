#include "server/timeline/TimelineCall.h"

#include "platform/com/ErrorInfo.h"
#include "platform/kernel/LocalTime.h"
#include "server/errorlog/ErrorLog.h"
#include "server/timeline/TimelineErrors.h"

namespace {

bool IsCallerMistake(HRESULT hr) {
    return hr == E_INVALIDARG || hr == E_POINTER || hr == E_NOINTERFACE ||
           hr == TIMELINE_E_MOVIE_EXISTS || hr == TIMELINE_E_MOVIE_NOT_FOUND;
}

}  // namespace

void LogTimelineEvent(LONG level, HRESULT hr, const char* file, const std::string& text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    ErrorLogWriteExW(hr, now, 0, level, file, 0, 0, ("timeline: " + text).c_str(), 0);
}

HRESULT ReportTimelineFailure(HRESULT hr, const IID& iid, const char* source, const char* file,
                              const std::string& text) {
    if (!IsCallerMistake(hr)) {
        LogTimelineEvent(ERRORLOG_LEVEL_ERROR, hr, file, text);
    }
    return ReportErrorInfo(hr, iid, source, text);
}
