#include "tmschannel/frame/EntryPoint.h"

#include "platform/kernel/EventLog.h"
#include "platform/kernel/Ticks.h"
#include "server/errorlog/ErrorLog.h"
#include "tmschannel/frame/TextCut.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

void FormatInto(char* buffer, std::size_t size, const char* format, va_list args) {
    if (format == nullptr) {
        buffer[0] = 0;
        return;
    }
    int n = std::vsnprintf(buffer, size, format, args);
    if (n < 0) {
        buffer[0] = 0;
        return;
    }
    if (static_cast<std::size_t>(n) >= size) {
        // Cut: keep the text a valid UTF-8 string.
        TrimPartialUtf8(buffer, size - 1);
    }
}

}  // namespace

namespace tmsframe {

namespace {
// The first message of the failure the calling thread is raising: the one a
// COM caller is shown. Cleared by TakeFailureText at each public boundary.
thread_local std::string t_failureText;
}  // namespace

void NoteFailureText(const char* message) {
    if (t_failureText.empty() && message != nullptr) {
        t_failureText = message;
    }
}

int& BoundaryDepth() {
    thread_local int depth = 0;
    return depth;
}

std::string TakeFailureText() {
    std::string text;
    text.swap(t_failureText);
    return text;
}

}  // namespace tmsframe

CEntryPoint::CEntryPoint()
    : m_line(-1),
      m_reserved1(-1),
      m_startTick(GetTickCount()),
      m_reserved2(0),
      m_time{},
      m_logged(FALSE),
      m_result(S_OK),
      m_componentCode(0),
      m_chainId(0) {
    m_entryText[0] = 0;
    m_entryStrings[0] = 0;
    m_sourceFile[0] = 0;
}

std::int64_t CEntryPoint::KeepText(const char* text) {
    if (text == nullptr) {
        return kNullText;
    }
    const std::size_t offset = m_entryStringsUsed;
    const std::size_t room = kEntryStringsSize - offset;  // never 0: the last byte stays a NUL
    const std::size_t length = strnlen(text, room - 1);
    std::memcpy(m_entryStrings + offset, text, length);
    m_entryStrings[offset + length] = 0;
    m_entryStringsUsed = std::min(offset + length + 1, kEntryStringsSize - 1);
    return static_cast<std::int64_t>(offset);
}

CEntryPoint::CEntryPoint(const char* format, ...) : CEntryPoint() {
    va_list args;
    va_start(args, format);
    SetEntryTextV(format, args);
    va_end(args);
}

CEntryPoint::CEntryPoint(const CEntryPoint& other) = default;
CEntryPoint& CEntryPoint::operator=(const CEntryPoint& other) = default;

CEntryPoint& CEntryPoint::operator=(LONG hr) {
    m_result = hr;
    m_chainId = hr;
    if (FAILED(hr)) {
        LogEntryPoint();
        throw static_cast<LONG>(hr);
    }
    return *this;
}

void CEntryPoint::SetLocation(const char* file, int line) {
    const char* base = file != nullptr ? file : "";
    for (const char* p = base; *p != 0; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    std::snprintf(m_sourceFile, kSourceFileSize, "%s", base);
    m_line = line;
}

LONG CEntryPoint::LogEntryPoint() {
    GetLocalTime(&m_time);
    m_logged = TRUE;
    ErrorLogWriteEntryPointW(m_result, m_time, EntryText());
    return 0;
}

LONG CEntryPoint::LogError(HRESULT hr, const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LONG r = LogErrorV(hr, file, line, format, args);
    va_end(args);
    return r;
}

LONG CEntryPoint::LogErrorV(HRESULT hr, const char* file, int line, const char* format,
                            va_list args) {
    GetLocalTime(&m_time);
    m_result = hr;
    m_logged = TRUE;
    m_line = line;
    DWORD elapsed = GetTickCount() - m_startTick;
    char message[kMessageSize];
    FormatInto(message, kMessageSize, format, args);
    SetLocation(file, line);
    tmsframe::NoteFailureText(message);
    m_chainId = ErrorLogCreateChainId(hr);
    ForEachPiece(message, kRecordPiece, [&](const char* piece) {
        // A failure to log is ignored here: the failure itself is what matters.
        ErrorLogWriteExW(hr, m_time, m_componentCode, ERRORLOG_LEVEL_ERROR, m_sourceFile, m_line,
                         elapsed, piece, m_chainId);
        return true;
    });
    ErrorLogWriteEntryPointW(m_chainId, m_time, EntryText());
    m_result = m_chainId;
    return 0;
}

BOOL CEntryPoint::WriteMessage(LONG level, const char* format, va_list args) {
    GetLocalTime(&m_time);
    char message[kMessageSize];
    FormatInto(message, kMessageSize, format, args);
    LONG chain = ErrorLogCreateChainId(E_FAIL);
    return ForEachPiece(message, kRecordPiece,
                        [&](const char* piece) {
                            return ErrorLogWriteExW(S_OK, m_time, m_componentCode, level,
                                                    m_sourceFile, m_line, 0, piece, chain) != FALSE;
                        })
               ? TRUE
               : FALSE;
}

BOOL CEntryPoint::LogMsg(const char* format, ...) {
    va_list args;
    va_start(args, format);
    BOOL r = WriteMessage(ERRORLOG_LEVEL_MESSAGE, format, args);
    va_end(args);
    return r;
}

BOOL CEntryPoint::LogMsgV(const char* format, va_list args) {
    return WriteMessage(ERRORLOG_LEVEL_MESSAGE, format, args);
}

BOOL CEntryPoint::Trace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    BOOL r = WriteMessage(ERRORLOG_LEVEL_TRACE, format, args);
    va_end(args);
    return r;
}

BOOL CEntryPoint::TraceV(const char* format, va_list args) {
    return WriteMessage(ERRORLOG_LEVEL_TRACE, format, args);
}

int CEntryPoint::LogOwnerInfo(LONG a, const char* s1, const char* s2, const char* s3,
                              const char* s4, LONG b) {
    GetLocalTime(&m_time);
    return ErrorLogWriteOwnerInfoW(a, m_time, s1, s2, s3, s4, b);
}

void CEntryPoint::MarkLoggedWithResult(HRESULT hr) {
    m_result = hr;
    m_logged = TRUE;
}

HRESULT CEntryPointBase::LogEvent(const char* source, WORD eventType, HRESULT hr, const char* file,
                                  int line, const char* format, ...) {
    MarkLoggedWithResult(hr);
    char message[CEntryPoint::kEventMessageSize];
    va_list args;
    va_start(args, format);
    FormatInto(message, sizeof message, format, args);
    va_end(args);

    char text[CEntryPoint::kEventMessageSize + CEntryPoint::kEntryTextSize + 64];
    const char* entryText = EntryTextForEvent();
    if (eventType == EVENTLOG_ERROR_TYPE) {
        std::snprintf(text, sizeof text, "%s\r\n  ->%s\r\n%s(%d) : Error 0x%x", message, entryText,
                      file != nullptr ? file : "", line, static_cast<unsigned>(hr));
    } else {
        std::snprintf(text, sizeof text, "%s", message);
    }
    HANDLE source_handle = RegisterEventSource(nullptr, source);
    if (source_handle == nullptr) {
        return E_FAIL;
    }
    const char* strings[1] = {text};
    BOOL ok = ReportEvent(source_handle, eventType, 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source_handle);
    return ok ? S_OK : E_FAIL;
}

void CEntryPoint::SetEntryTextV(const char* format, va_list args) {
    m_entryFormat = nullptr;
    FormatInto(m_entryText, kEntryTextSize, format, args);
}

const char* CEntryPoint::EntryText() const {
    if (m_entryFormat != nullptr) {
        const char* format = m_entryFormat;
        m_entryFormat = nullptr;
        m_entryFormatter(m_entryText, kEntryTextSize, format, m_entryArgs, m_entryStrings);
        TrimPartialUtf8(m_entryText, kEntryTextSize - 1);
    }
    return m_entryText;
}
