#include "platform/com/ErrorInfo.h"

#include "platform/com/ComPtr.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

CComPtr<IErrorInfo> MakeInfo(const char16_t* description) {
    CComPtr<ICreateErrorInfo> create;
    EXPECT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(description);
    return create.QueryInterface<IErrorInfo>();
}

std::string DescriptionOf(IErrorInfo* info) {
    CBstr text;
    EXPECT_EQ(info->GetDescription(&text), S_OK);
    return text.ToUtf8();
}

TEST(ComErrorInfo, GetHandsOverAndClearsTheThreadsInfo) {
    CComPtr<IErrorInfo> info;
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
    EXPECT_EQ(info, nullptr);

    ASSERT_EQ(SetErrorInfo(0, MakeInfo(u"first")), S_OK);
    ASSERT_EQ(SetErrorInfo(0, MakeInfo(u"second")), S_OK);  // releases "first"
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    EXPECT_EQ(DescriptionOf(info), "second");
    CComPtr<IErrorInfo> again;
    EXPECT_EQ(GetErrorInfo(0, &again), S_FALSE);

    EXPECT_EQ(SetErrorInfo(1, info), E_INVALIDARG);
    EXPECT_EQ(GetErrorInfo(0, nullptr), E_POINTER);
    ASSERT_EQ(SetErrorInfo(0, info), S_OK);
    ASSERT_EQ(SetErrorInfo(0, nullptr), S_OK);  // clears
    EXPECT_EQ(GetErrorInfo(0, &again), S_FALSE);
}

TEST(ComErrorInfo, EachThreadSeesOnlyItsOwn) {
    ASSERT_EQ(SetErrorInfo(0, MakeInfo(u"main")), S_OK);
    HRESULT otherBefore = S_OK;
    std::string otherOwn;
    std::thread other([&] {
        CComPtr<IErrorInfo> seen;
        otherBefore = GetErrorInfo(0, &seen);
        SetErrorInfo(0, MakeInfo(u"other"));
        CComPtr<IErrorInfo> own;
        GetErrorInfo(0, &own);
        otherOwn = own ? DescriptionOf(own) : "";
        // Left set on purpose: the thread's end must release it.
        SetErrorInfo(0, MakeInfo(u"left behind"));
    });
    other.join();
    EXPECT_EQ(otherBefore, S_FALSE);
    EXPECT_EQ(otherOwn, "other");
    CComPtr<IErrorInfo> mine;
    ASSERT_EQ(GetErrorInfo(0, &mine), S_OK);
    EXPECT_EQ(DescriptionOf(mine), "main");
}

}  // namespace
