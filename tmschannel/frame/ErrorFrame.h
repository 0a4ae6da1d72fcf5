// The error frame every public operation runs in, and the three ways a
// failure is raised inside it:
//   - TMS_RAISE(trace, hr, format, ...): logs the failure with its message at
//     this file and line as one error chain and throws;
//   - CheckHr(trace, hr): the HRESULT check for a call of the component's own;
//     a failure writes only the entry-point record and throws hr unchanged;
//   - TMS_CHECK_COM(trace, expr): for calls on another component's interface;
//     a failure records this location and throws _com_error.
// TMS_ERROR_FRAME(trace, body) runs body, catches whatever it throws, logs
// what was not yet logged (once) and returns the operation's HRESULT.
//
// A lock the operation holds is taken by a guard outside the frame, so the
// catch clauses run while it is still held and it is left on return.
#pragma once

#include "platform/com/ComError.h"
#include "tmschannel/frame/EntryPoint.h"

#include <exception>
#include <typeinfo>

[[noreturn]] void RaiseError(CEntryPoint& trace, HRESULT hr, const char* file, int line,
                             const char* format, ...) __attribute__((format(printf, 5, 6)));

#define TMS_RAISE(trace, hr, ...) ::RaiseError((trace), (hr), __FILE__, __LINE__, __VA_ARGS__)

inline void CheckHr(CEntryPoint& trace, HRESULT hr) {
    trace.SetResult(hr);
    if (FAILED(hr)) {
        trace.LogEntryPoint();
        throw static_cast<LONG>(hr);
    }
}

// The failing component's error info, when it left one, travels with the
// error and its description is logged after the system's text.
void CheckComCall(CEntryPoint& trace, HRESULT hr, const char* file, int line);

#define TMS_CHECK_COM(trace, expr) ::CheckComCall((trace), (expr), __FILE__, __LINE__)

namespace tmsframe {

// Logs a caught failure at the location the trace recorded, or at the
// operation's own file and line when none was recorded.
void LogCaught(CEntryPoint& trace, HRESULT hr, const char* file, int line, const char* message);
// The system's text for the error, then the error info's description.
std::string ComErrorText(const _com_error& e);

}  // namespace tmsframe

template <class Body>
HRESULT RunErrorFrame(CEntryPoint& trace, const char* file, int line, Body&& body) {
    try {
        body();
    } catch (LONG h) {
        trace.SetResult(h);
        if (!trace.Logged()) {
            // Thrown by another trace (a nested operation): chain it here too.
            tmsframe::LogCaught(trace, h, file, line, "Unknown error");
        }
    } catch (const _com_error& e) {
        tmsframe::LogCaught(trace, e.Error(), file, line, tmsframe::ComErrorText(e).c_str());
    } catch (const std::exception& e) {
        trace.Trace("%s: %s", typeid(e).name(), e.what());
        tmsframe::LogCaught(trace, E_FAIL, file, line, "Unknown error");
    } catch (...) {
        tmsframe::LogCaught(trace, E_FAIL, file, line, "Unknown error");
    }
    return trace.Result();
}

#define TMS_ERROR_FRAME(trace, ...) ::RunErrorFrame((trace), __FILE__, __LINE__, __VA_ARGS__)
