// A COM object for the tests: it counts its live instances through a
// counter the test owns, so a test can tell when the last reference went.
#pragma once

#include "platform/com/ComObjectBase.h"
#include "platform/com/ErrorInfo.h"
#include "platform/com/ISupportErrorInfo.h"

struct ITestThing : IUnknown {
    static constexpr IID kIid = MakeGuid("{6A3C1F20-4B7D-4E91-9F0A-1C2D3E4F5A6B}");
    virtual int Value() = 0;
    // Fails with E_FAIL, leaving error info "thing failed" for this interface.
    virtual HRESULT Fail() = 0;

  protected:
    ~ITestThing() override = default;
};

class CTestThing final : public CComObjectBase<ITestThing, ISupportErrorInfo> {
  public:
    CTestThing(int value, int* live) : m_value(value), m_live(live) { ++*m_live; }
    ~CTestThing() override { --*m_live; }

    int Value() override { return m_value; }
    HRESULT Fail() override {
        return ReportErrorInfo(E_FAIL, ITestThing::kIid, "CTestThing", "thing failed");
    }
    HRESULT InterfaceSupportsErrorInfo(const IID& iid) override {
        return iid == ITestThing::kIid ? S_OK : S_FALSE;
    }

  private:
    int m_value;
    int* m_live;
};
