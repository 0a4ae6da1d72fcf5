#include "platform/kernel/EventLog.h"

#include "platform/kernel/LocalTime.h"
#include "platform/kernel/PrivateFiles.h"
#include "platform/kernel/RuntimeDir.h"
#include "platform/kernel/internal/HandleTable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

namespace tmskernel {
namespace {

constexpr std::size_t kMaxRecord = 60000;
constexpr DWORD kMaxDataShown = 64;

class EventSourceObject : public KernelObject {
public:
    explicit EventSourceObject(std::string source)
        : KernelObject(ObjectKind::EventSource), m_source(std::move(source)) {}
    const std::string& Source() const { return m_source; }

private:
    const std::string m_source;
};

const char* TypeName(WORD type) {
    switch (type) {
        case EVENTLOG_SUCCESS:
            return "SUCCESS";
        case EVENTLOG_ERROR_TYPE:
            return "ERROR";
        case EVENTLOG_WARNING_TYPE:
            return "WARNING";
        case EVENTLOG_INFORMATION_TYPE:
            return "INFORMATION";
        case EVENTLOG_AUDIT_SUCCESS:
            return "AUDIT_SUCCESS";
        case EVENTLOG_AUDIT_FAILURE:
            return "AUDIT_FAILURE";
        default:
            return nullptr;
    }
}

// Appends text so that it cannot end the line: a CR, an LF or a CR LF pair
// becomes " / ", other control bytes a blank.
void AppendOneLine(std::string& out, const char* text) {
    for (const char* p = text; *p != 0; ++p) {
        if (*p == '\r' || *p == '\n') {
            if (*p == '\r' && p[1] == '\n') {
                ++p;
            }
            out += " / ";
        } else if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) {
            out += ' ';
        } else {
            out += *p;
        }
    }
}

}  // namespace
}  // namespace tmskernel

using namespace tmskernel;

std::string EventLogPath() {
    return RuntimePath("log/eventlog.log");
}

HANDLE RegisterEventSource(const char* server, const char* source) {
    if (server != nullptr && *server != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (source == nullptr || *source == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return HandleTable::Instance().Insert(std::make_shared<EventSourceObject>(source));
}

BOOL DeregisterEventSource(HANDLE eventSource) {
    if (HandleTable::Instance().LookupAs<EventSourceObject>(eventSource, ObjectKind::EventSource) ==
        nullptr) {
        return FALSE;
    }
    return CloseHandle(eventSource);
}

BOOL ReportEvent(HANDLE eventSource, WORD type, WORD category, DWORD eventId, void* /*userSid*/,
                 WORD numStrings, DWORD dataSize, const char** strings, void* data) {
    std::shared_ptr<EventSourceObject> src =
        HandleTable::Instance().LookupAs<EventSourceObject>(eventSource, ObjectKind::EventSource);
    if (src == nullptr) {
        return FALSE;
    }
    const char* typeName = TypeName(type);
    if (typeName == nullptr || (numStrings != 0 && strings == nullptr) ||
        (dataSize != 0 && data == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    SYSTEMTIME t;
    GetLocalTime(&t);
    char head[64];
    std::snprintf(head, sizeof head, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    std::string line = head;
    AppendOneLine(line, src->Source().c_str());
    line += ' ';
    line += typeName;
    if (category != 0 || eventId != 0) {
        char ids[48];
        std::snprintf(ids, sizeof ids, " [category %u, id %u]", category, eventId);
        line += ids;
    }
    line += ':';
    for (WORD i = 0; i < numStrings; ++i) {
        line += i == 0 ? " " : " | ";
        AppendOneLine(line, strings[i] != nullptr ? strings[i] : "");
    }
    if (dataSize != 0) {
        line += " [data:";
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (DWORD i = 0; i < dataSize && i < kMaxDataShown; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
            line += hex;
        }
        line += dataSize > kMaxDataShown ? " ...]" : "]";
    }
    if (line.size() > kMaxRecord) {
        line.resize(kMaxRecord - 3);
        line += "...";
    }
    line += '\n';

    std::string path = EventLogPath();
    int fd = OpenPrivateFile(path, O_WRONLY | O_APPEND);
    if (fd < 0) {
        SetLastError(LastErrorFromErrno(errno));
        return FALSE;
    }
    // One write of the whole line: O_APPEND places it at the end in one step,
    // so lines of other writers land before or after it, never inside.
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    int err = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(line.size())) {
        SetLastError(n < 0 ? LastErrorFromErrno(err) : ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}
