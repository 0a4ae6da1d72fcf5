// A BSTR made from UTF-8 for the length of a test scope, and the way back.
#pragma once

#include <string>

#include "platform/com/Bstr.h"
#include "platform/com/Utf.h"

namespace tmstest {

struct TestBstr {
    explicit TestBstr(const std::string& text) {
        const std::u16string wide = Utf8ToUtf16(text);
        b = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    }
    ~TestBstr() { SysFreeString(b); }
    TestBstr(const TestBstr&) = delete;
    TestBstr& operator=(const TestBstr&) = delete;
    BSTR b;
};

// The text of a BSTR, which is freed.
inline std::string TakeBstr(BSTR b) {
    std::string s = Utf16ToUtf8(std::u16string_view(b, SysStringLen(b)));
    SysFreeString(b);
    return s;
}

}  // namespace tmstest
