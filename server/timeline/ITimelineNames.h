// ITimelineNames: which stored movie a timeline holds.
//
// Thread safety: an object may be used by several threads at once.
#pragma once

#include "platform/com/Bstr.h"
#include "platform/com/IUnknown.h"

struct ITimelineNames : IUnknown {
    static constexpr IID kIid = MakeGuid("{F3134522-94A5-11D4-A8AF-00104B7916FC}");

    // Three new BSTRs that the caller frees.
    virtual HRESULT GetNames(BSTR* dataset, BSTR* group, BSTR* movie) = 0;

protected:
    ~ITimelineNames() override = default;
};

inline constexpr IID IID_ITimelineNames = ITimelineNames::kIid;
