// The boundary of a public COM method: the error frame, and on failure the
// error info (GetErrorInfo) that tells the caller what went wrong, with the
// first message the failure logged. A public method the component calls on
// itself (configuration calling SetEtoE) runs inside the caller's boundary
// and leaves the error info to it.
#pragma once

#include "platform/com/ComError.h"
#include "platform/com/ErrorInfo.h"
#include "tmschannel/frame/ErrorFrame.h"

namespace tmsframe {

// Depth of nested public methods on this thread.
int& BoundaryDepth();

template <class Body>
HRESULT RunComBoundary(CEntryPoint& trace, const IID& iid, const char* file, int line,
                       Body&& body) {
    int& depth = BoundaryDepth();
    const bool outermost = depth++ == 0;
    if (outermost) {
        TakeFailureText();  // a failure an earlier call logged and swallowed
    }
    const HRESULT hr = RunErrorFrame(trace, file, line, body);
    --depth;
    if (outermost) {
        std::string text = TakeFailureText();
        if (FAILED(hr)) {
            if (text.empty()) {
                text = _com_error(hr).ErrorMessage();
            }
            ReportErrorInfo(hr, iid, "TmsChannel", text);
        }
    }
    return hr;
}

}  // namespace tmsframe

#define TMS_COM_BOUNDARY(trace, iid, ...) \
    ::tmsframe::RunComBoundary((trace), (iid), __FILE__, __LINE__, __VA_ARGS__)
