// The abstract base of every entry-point trace. It declares the two log
// operations a trace must provide and writes operating-system event-log
// entries for modules that report there.
//
// Thread safety: a trace belongs to the thread that opened it and is never
// shared.
#pragma once

#include "platform/com/HResult.h"
#include "platform/kernel/WinTypes.h"

#include <cstdarg>

class CEntryPointBase {
public:
    virtual ~CEntryPointBase() = default;

    // Writes the entry-point record of this trace's operation. Returns 0.
    virtual LONG LogEntryPoint() = 0;

    // Writes an error chain for hr at file:line; see CEntryPoint.
    virtual LONG LogError(HRESULT hr, const char* file, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6))) = 0;

    // Writes one entry to the event log. For eventType 1 (error) the entry
    // reads "<message>\r\n  -><entry text>\r\n<file>(<line>) : Error 0x<hr>".
    // Returns S_OK, or E_FAIL when the event source cannot be opened or the
    // entry cannot be written.
    virtual HRESULT LogEvent(const char* source, WORD eventType, HRESULT hr, const char* file,
                             int line, const char* format, ...)
        __attribute__((format(printf, 7, 8)));

protected:
    CEntryPointBase() = default;
    CEntryPointBase(const CEntryPointBase&) = default;
    CEntryPointBase& operator=(const CEntryPointBase&) = default;

    // What LogEvent needs of the derived trace.
    virtual const char* EntryTextForEvent() const = 0;
    virtual void MarkLoggedWithResult(HRESULT hr) = 0;
};
