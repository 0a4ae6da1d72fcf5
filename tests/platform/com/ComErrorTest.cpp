#include "platform/com/ComError.h"

#include "TestObject.h"
#include "platform/com/SystemErrorText.h"

#include <gtest/gtest.h>

namespace {

TEST(ComError, MessageIsSystemTextThenDispatchNumberThenUnknown) {
    struct Row {
        HRESULT hr;
        const char* message;
    };
    const Row rows[] = {
        {S_OK, "The operation completed successfully."},
        {E_FAIL, "Unspecified error"},
        {E_INVALIDARG, "The parameter is incorrect."},
        {E_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
        {E_NOTIMPL, "Not implemented"},
        {E_POINTER, "Invalid pointer"},
        {E_UNEXPECTED, "Catastrophic failure"},
        {E_ABORT, "Operation aborted"},
        {E_NOINTERFACE, "No such interface supported"},
        {E_ACCESSDENIED, "Access is denied."},
        {E_HANDLE, "The handle is invalid."},
        {REGDB_E_CLASSNOTREG, "Class not registered"},
        {CO_E_CLASSSTRING, "Invalid class string"},
        {DISP_E_TYPEMISMATCH, "Type mismatch."},
        {DISP_E_OVERFLOW, "Out of present range."},
        {DISP_E_BADVARTYPE, "Bad variable type."},
        {DISP_E_BADINDEX, "Invalid index."},
        {HRESULT_FROM_WIN32(2), "The system cannot find the file specified."},
        {2, "The system cannot find the file specified."},  // a plain Win32 code
        {HRESULT_FROM_WIN32(183), "Cannot create a file when that file already exists."},
        // The interface facility from 0x200 on has no system text.
        {HR(0x80040200), "IDispatch error #0"},
        {HR(0x80043003), "IDispatch error #11779"},
        {HR(0x8004FFFF), "IDispatch error #65023"},
        {HR(0x800401FF), "Unknown error 0x800401FF"},  // just below the range
        {HR(0x80050000), "Unknown error 0x80050000"},  // just above it
        {HR(0x80070063), "Unknown error 0x80070063"},  // a Win32 code without text
        {HR(0x0004ABCD), "Unknown error 0x4ABCD"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        EXPECT_EQ(_com_error(row.hr).ErrorMessage(), row.message);
    }
    EXPECT_FALSE(GetSystemErrorText(HR(0x80043003), nullptr));
    std::string text = "kept";
    EXPECT_FALSE(GetSystemErrorText(HR(0x80048007), &text));
    EXPECT_EQ(text, "kept");
}

TEST(ComError, CarriesErrorInfoThroughCopiesAndThrows) {
    int live = 0;
    CComPtr<ITestThing> thing = MakeComObject<CTestThing>(1, &live);
    ASSERT_EQ(thing->Fail(), E_FAIL);
    try {
        _com_issue_errorex(E_FAIL, thing, ITestThing::kIid);
    } catch (const _com_error& thrown) {
        _com_error copy = thrown;
        _com_error assigned(S_OK);
        assigned = copy;
        EXPECT_EQ(assigned.Error(), E_FAIL);
        EXPECT_EQ(assigned.Description(), "thing failed");
        EXPECT_EQ(copy.Source(), "CTestThing");
        EXPECT_EQ(thrown.Guid(), ITestThing::kIid);
    }
    // The error info was taken from the thread.
    IErrorInfo* info = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);

    // Without ISupportErrorInfo for the interface the thread's info is left alone.
    ASSERT_EQ(thing->Fail(), E_FAIL);
    try {
        _com_issue_errorex(E_ABORT, thing, IID_IUnknown);
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_ABORT);
        EXPECT_EQ(e.Description(), "");
        EXPECT_EQ(e.Guid(), GUID_NULL);
    }
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    info->Release();
}

}  // namespace
