// The class that the test server library serves, shared by the server and
// the tests that activate it.
#pragma once

#include "platform/com/IUnknown.h"

struct ITestWidget : IUnknown {
    static constexpr IID kIid = MakeGuid("{6B1C2E1A-3F4D-4C1B-9A51-7E0D2C3B4A51}");

    virtual HRESULT Add(LONG a, LONG b, LONG* sum) = 0;

protected:
    ~ITestWidget() override = default;
};

inline constexpr CLSID CLSID_TestWidget = MakeGuid("{0F3A9C2E-5B7D-4E61-8C2A-1D4E5F607182}");
inline constexpr const char* kTestWidgetProgId = "TmsTest.Widget.1";
inline constexpr const char* kTestWidgetIndependentProgId = "TmsTest.Widget";
