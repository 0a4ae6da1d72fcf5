// The description of the calling thread's error info, as a client prints it.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/com/ErrorInfo.h"
#include "platform/com/Utf.h"

#include <string>

inline std::string TakeErrorText() {
    CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK) {
        return {};
    }
    BSTR text = nullptr;
    info->GetDescription(&text);
    std::string result = text != nullptr ? Utf16ToUtf8(text) : std::string();
    SysFreeString(text);
    return result;
}
