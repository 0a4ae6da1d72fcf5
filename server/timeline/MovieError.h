// CMovieError, what the timeline component throws inside: an HRESULT and a
// message that names the value or file at fault. The COM methods turn it
// into their result and the caller's error info (TimelineCall.h).
#pragma once

#include <stdexcept>
#include <string>

#include "platform/com/HResult.h"

class CMovieError : public std::runtime_error {
public:
    CMovieError(HRESULT hr, const std::string& message) : std::runtime_error(message), m_hr(hr) {}
    HRESULT Error() const { return m_hr; }

private:
    HRESULT m_hr;
};
