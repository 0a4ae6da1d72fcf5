// ITimelineControl, the timeline's control side: lengthening the movie for a
// record, and the capabilities of the channel that drives it.
//
// Thread safety: an object may be used by several threads at once.
#pragma once

#include "platform/com/IUnknown.h"

struct ITimelineControl : IUnknown {
    static constexpr IID kIid = MakeGuid("{8185A8BA-4CD6-4DC6-86B1-7C29F06624E5}");

    // The movie may now run from start to end (movie positions, end
    // exclusive); length is end - start. maxLength becomes end - mark in.
    // reserved is 0. end below start, or length not end - start: E_INVALIDARG.
    virtual HRESULT Extend(int start, int end, int length, long reserved) = 0;
    // The masks last given by SetChannelCapabilities (0, 0 before).
    virtual HRESULT GetChannelCapabilities(unsigned int* capabilities1,
                                           unsigned int* capabilities2) = 0;
    virtual HRESULT SetChannelCapabilities(unsigned int capabilities1,
                                           unsigned int capabilities2) = 0;

protected:
    ~ITimelineControl() override = default;
};

inline constexpr IID IID_ITimelineControl = ITimelineControl::kIid;
