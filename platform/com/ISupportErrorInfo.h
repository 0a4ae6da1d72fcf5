// ISupportErrorInfo, by which an object says which of its interfaces leave
// error info (ErrorInfo.h) behind when a call fails.
//
// Thread safety: as IUnknown; implementations answer from constant data.
#pragma once

#include "platform/com/IUnknown.h"

struct ISupportErrorInfo : IUnknown {
    static constexpr IID kIid = MakeGuid("{DF0B3D60-548F-101B-8E65-08002B2BD119}");

    // S_OK when failing calls of interface iid set error info, else S_FALSE.
    virtual HRESULT InterfaceSupportsErrorInfo(const IID& iid) = 0;

protected:
    ~ISupportErrorInfo() override = default;
};

inline constexpr IID IID_ISupportErrorInfo = ISupportErrorInfo::kIid;
