// The system event log: records for operators, kept apart from the error log.
//
// Thread safety: every call may be made from any thread, and from several
// processes at once: each record is appended as one whole line in one write,
// so records of concurrent writers never interleave.
//
// Contract:
// - RegisterEventSource(server, source): server must be null (the local
//   machine; anything else fails with ERROR_NOT_SUPPORTED); source names the
//   writer and may not be null or empty (ERROR_INVALID_PARAMETER).
// - ReportEvent(h, type, category, eventId, sid, numStrings, dataSize,
//   strings, data) appends one line to RuntimePath("log/eventlog.log"):
//     "YYYY-MM-DD hh:mm:ss.mmm <source> <TYPE>: <string 1> | <string 2> ..."
//   in local time, TYPE one of ERROR, WARNING, INFORMATION, SUCCESS,
//   AUDIT_SUCCESS, AUDIT_FAILURE. A category or event id that is not 0 adds
//   " [category C, id I]" before the colon; data adds " [data: hex]" (the
//   first 64 bytes) at the end. CR and LF inside the text become " / ", other
//   control bytes a blank, so a record is always one line; a record longer
//   than 60000 bytes is cut. sid is ignored. An unknown type, or strings
//   null while numStrings is not 0, fails with ERROR_INVALID_PARAMETER; a
//   failed write with the system's reason (the line is then not written).
// - DeregisterEventSource(h) closes the source handle.
#pragma once

#include "platform/kernel/Handle.h"

#include <string>

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

HANDLE RegisterEventSource(const char* server, const char* source);
BOOL ReportEvent(HANDLE eventSource, WORD type, WORD category, DWORD eventId, void* userSid,
                 WORD numStrings, DWORD dataSize, const char** strings, void* data);
BOOL DeregisterEventSource(HANDLE eventSource);

// The file ReportEvent appends to in the current runtime folder.
std::string EventLogPath();
