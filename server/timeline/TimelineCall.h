// The error frame of the timeline component's COM methods: the body works
// with exceptions, the method answers an HRESULT and leaves error info with
// the message for the caller's log. Internal faults (storage, corruption, a
// broker that fails) are also written to the server's error log; a caller's
// mistake (bad argument, unknown movie) is only reported back.
//
// Thread safety: call from any thread; error info is per thread.
#pragma once

#include <new>
#include <string>

#include "platform/com/ComError.h"
#include "platform/com/Guid.h"
#include "platform/kernel/WinTypes.h"
#include "server/timeline/MovieError.h"

// One record in the server's error log; level is an ERRORLOG_LEVEL_*.
void LogTimelineEvent(LONG level, HRESULT hr, const char* file, const std::string& text);

// Leaves error info (iid, source, text) for the calling thread, logs an
// internal fault, and returns hr.
HRESULT ReportTimelineFailure(HRESULT hr, const IID& iid, const char* source, const char* file,
                              const std::string& text);

template <class F>
HRESULT TimelineCall(const IID& iid, const char* source, const char* file, F&& body) noexcept {
    try {
        return body();
    } catch (const CMovieError& e) {
        return ReportTimelineFailure(e.Error(), iid, source, file, e.what());
    } catch (const _com_error& e) {
        const std::string text = e.Description();
        return ReportTimelineFailure(e.Error(), iid, source, file,
                                     text.empty() ? e.ErrorMessage() : text);
    } catch (const std::bad_alloc&) {
        return ReportTimelineFailure(E_OUTOFMEMORY, iid, source, file, "Out of memory");
    } catch (const std::exception& e) {
        return ReportTimelineFailure(E_UNEXPECTED, iid, source, file, e.what());
    } catch (...) {
        return ReportTimelineFailure(E_UNEXPECTED, iid, source, file, "An unknown exception");
    }
}
