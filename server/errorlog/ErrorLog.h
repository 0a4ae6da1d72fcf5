// The server's error log. Every process of the server writes its error chains,
// messages and traces here; operators read one file per runtime folder.
//
// Thread safety: every function may be called from any thread of any process
// at the same time. Each record is appended to the log file with one write, so
// records of concurrent writers never interleave within a line.
//
// Records: <runtime folder>/log/errorlog.log, one line each:
//   2026-12-06 19:03:14.123 ERROR comp=5 chain=1234.7 hr=0x80043015 Channel.cpp:120 +3ms text
// Levels: 4 error (ERROR), 2 message (MSG), 6 trace (TRACE); entry-point
// records read ENTRY and owner records OWNER.
//
// Chains: ErrorLogCreateChainId starts a new chain on the calling thread; the
// records that thread writes next carry that chain's number ("<pid>.<n>") until
// the next chain starts. It returns the HRESULT it was given (E_FAIL when that
// was not a failure), so that the caller's result stays the failure code.
#pragma once

#include "platform/com/HResult.h"
#include "platform/kernel/LocalTime.h"
#include "platform/kernel/WinTypes.h"

#include <string>

constexpr LONG ERRORLOG_LEVEL_ERROR = 4;
constexpr LONG ERRORLOG_LEVEL_MESSAGE = 2;
constexpr LONG ERRORLOG_LEVEL_TRACE = 6;

// Writes one record. Returns nonzero when it was written.
BOOL ErrorLogWriteExW(HRESULT hr, SYSTEMTIME time, LONG component, LONG level, const char* file,
                      LONG line, DWORD elapsedMs, const char* text, LONG chainId);

// Writes the entry-point record that closes an error chain: the operation's
// trace text and the chain's result.
void ErrorLogWriteEntryPointW(HRESULT hrOrChain, SYSTEMTIME time, const char* entryText);

// Starts a new chain on this thread; see the file comment for the result.
HRESULT ErrorLogCreateChainId(HRESULT hr);

// Records which application owns what (used by other modules of the server).
LONG ErrorLogWriteOwnerInfoW(LONG a, SYSTEMTIME time, const char* s1, const char* s2,
                             const char* s3, const char* s4, LONG b);

// Notes that this process uses the channel; written once as a message record.
void ErrorLogSetChannelUse(LONG channelIndex, LONG use);

// The log file: $TMS_LOG_FILE when set, else log/errorlog.log in the
// current runtime folder.
std::string ErrorLogPath();

// When TMS_LOG_STDERR is set to a level (2, 4 or 6), records at or below that
// level are also written to standard error (handy when trying tmsctl by hand).
