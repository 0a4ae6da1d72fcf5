#include "platform/com/Variant.h"

#include "TestObject.h"
#include "platform/com/ComError.h"
#include "platform/com/IDispatch.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace {

CVariant Raw(VARTYPE vt) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    CVariant result;
    result.Attach(&v);
    return result;
}

CVariant Date(double d) {
    CVariant v(d);
    v.GetVARIANT().vt = VT_DATE;
    return v;
}

// Same type and same value: text by content, reals by value (NaN equals
// NaN), everything else by its bytes.
::testing::AssertionResult SameValue(const VARIANT& actual, const VARIANT& expected) {
    if (actual.vt != expected.vt) {
        return ::testing::AssertionFailure() << "vt " << actual.vt << ", expected " << expected.vt;
    }
    bool same = false;
    switch (actual.vt) {
        case VT_BSTR:
            same = CBstr::FromBstr(actual.bstrVal) == CBstr::FromBstr(expected.bstrVal);
            break;
        case VT_R4:
            same = actual.fltVal == expected.fltVal ||
                   (std::isnan(actual.fltVal) && std::isnan(expected.fltVal));
            break;
        case VT_R8:
        case VT_DATE:
            same = actual.dblVal == expected.dblVal;
            break;
        default:
            same = std::memcmp(&actual.llVal, &expected.llVal, sizeof(actual.llVal)) == 0;
    }
    if (same) {
        return ::testing::AssertionSuccess();
    }
    auto text = [](const VARIANT& v) {
        CVariant copy(v);
        try {
            return copy.ToString();
        } catch (const _com_error&) {
            return std::string("?");
        }
    };
    return ::testing::AssertionFailure()
           << "value " << text(actual) << ", expected " << text(expected);
}

struct ChangeRow {
    const char* name;
    CVariant from;
    VARTYPE to;
    HRESULT hr;
    CVariant expected;  // when hr is S_OK
};

TEST(ComVariant, ChangeTypeTable) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const ChangeRow rows[] = {
        // Integer ranges.
        {"I4 32767 to I2", CVariant(32767), VT_I2, S_OK, CVariant(std::int16_t{32767})},
        {"I4 32768 to I2 overflows", CVariant(32768), VT_I2, DISP_E_OVERFLOW, {}},
        {"I4 -1 to UI1 overflows", CVariant(-1), VT_UI1, DISP_E_OVERFLOW, {}},
        {"UI4 max to I4 overflows", CVariant(0xFFFFFFFFu), VT_I4, DISP_E_OVERFLOW, {}},
        {"I8 min to R8", CVariant(std::numeric_limits<std::int64_t>::min()), VT_R8, S_OK,
         CVariant(-9223372036854775808.0)},
        // Reals to integers round half to even.
        {"R8 2.5 to I4", CVariant(2.5), VT_I4, S_OK, CVariant(2)},
        {"R8 3.5 to I4", CVariant(3.5), VT_I4, S_OK, CVariant(4)},
        {"R8 -2.5 to I4", CVariant(-2.5), VT_I4, S_OK, CVariant(-2)},
        {"R8 2147483647.4 to I4", CVariant(2147483647.4), VT_I4, S_OK, CVariant(2147483647)},
        {"R8 2147483647.5 to I4 overflows", CVariant(2147483647.5), VT_I4, DISP_E_OVERFLOW, {}},
        {"R8 NaN to I4 overflows", CVariant(nan), VT_I4, DISP_E_OVERFLOW, {}},
        {"R8 1e39 to R4 overflows", CVariant(1e39), VT_R4, DISP_E_OVERFLOW, {}},
        {"R8 FLT_MAX to R4", CVariant(static_cast<double>(FLT_MAX)), VT_R4, S_OK,
         CVariant(FLT_MAX)},
        // Booleans.
        {"BOOL true to I4", CVariant(true), VT_I4, S_OK, CVariant(-1)},
        {"BOOL true to BSTR", CVariant(true), VT_BSTR, S_OK, CVariant("True")},
        {"I4 2 to BOOL", CVariant(2), VT_BOOL, S_OK, CVariant(true)},
        // Text to numbers and booleans.
        {"BSTR ' 42 ' to I4", CVariant(" 42 "), VT_I4, S_OK, CVariant(42)},
        {"BSTR -2147483648 to I4", CVariant("-2147483648"), VT_I4, S_OK,
         CVariant(std::numeric_limits<std::int32_t>::min())},
        {"BSTR 2147483648 to I4 overflows", CVariant("2147483648"), VT_I4, DISP_E_OVERFLOW, {}},
        {"BSTR abc to I4", CVariant("abc"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"BSTR empty to I4", CVariant(""), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"BSTR 1,5 to R8 (C locale)", CVariant("1,5"), VT_R8, DISP_E_TYPEMISMATCH, {}},
        {"BSTR 2.5 to I4", CVariant("2.5"), VT_I4, S_OK, CVariant(2)},
        {"BSTR &H1F to I4", CVariant("&H1F"), VT_I4, S_OK, CVariant(31)},
        {"BSTR -1 to UI4 overflows", CVariant("-1"), VT_UI4, DISP_E_OVERFLOW, {}},
        {"BSTR 1e400 to R8 overflows", CVariant("1e400"), VT_R8, DISP_E_OVERFLOW, {}},
        {"BSTR true to BOOL", CVariant("true"), VT_BOOL, S_OK, CVariant(true)},
        {"BSTR yes to BOOL", CVariant("yes"), VT_BOOL, DISP_E_TYPEMISMATCH, {}},
        // Numbers to text.
        {"I4 -7 to BSTR", CVariant(-7), VT_BSTR, S_OK, CVariant("-7")},
        {"UI8 max to BSTR", CVariant(std::numeric_limits<std::uint64_t>::max()), VT_BSTR, S_OK,
         CVariant("18446744073709551615")},
        {"R8 0.1 to BSTR", CVariant(0.1), VT_BSTR, S_OK, CVariant("0.1")},
        {"R8 1/3 to BSTR", CVariant(1.0 / 3), VT_BSTR, S_OK, CVariant("0.3333333333333333")},
        {"R8 1e20 to BSTR", CVariant(1e20), VT_BSTR, S_OK, CVariant("1E+20")},
        // Dates: day 36526 is 2000-01-01.
        {"DATE to BSTR", Date(36526.5), VT_BSTR, S_OK, CVariant("2000-01-01 12:00:00")},
        {"BSTR ISO to DATE", CVariant("2000-01-01"), VT_DATE, S_OK, Date(36526)},
        {"BSTR M/D/YYYY to DATE", CVariant("1/1/2000 6:00 PM"), VT_DATE, S_OK, Date(36526.75)},
        {"BSTR Feb 30 to DATE", CVariant("2001-02-29"), VT_DATE, DISP_E_TYPEMISMATCH, {}},
        {"DATE last second does not round past the range", Date(2958465.9999999), VT_BSTR, S_OK,
         CVariant("9999-12-31 23:59:59")},
        {"R8 1e7 to DATE overflows", CVariant(1e7), VT_DATE, DISP_E_OVERFLOW, {}},
        // Empty, null, interfaces and bad types.
        {"EMPTY to I4", CVariant(), VT_I4, S_OK, CVariant(0)},
        {"NULL to I4", Raw(VT_NULL), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"I4 to array", CVariant(1), VT_ARRAY | VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"unknown source vt", Raw(99), VT_I4, DISP_E_BADVARTYPE, {}},
        {"to VT_VARIANT", CVariant(1), VT_VARIANT, DISP_E_BADVARTYPE, {}},
    };
    for (const ChangeRow& row : rows) {
        SCOPED_TRACE(row.name);
        VARIANT out;
        VariantInit(&out);
        out.vt = VT_I2;
        out.iVal = 77;  // must survive a failed conversion
        const HRESULT hr = VariantChangeType(&out, &row.from.GetVARIANT(), 0, row.to);
        EXPECT_EQ(hr, row.hr);
        if (SUCCEEDED(row.hr) && SUCCEEDED(hr)) {
            EXPECT_TRUE(SameValue(out, row.expected.GetVARIANT()));
        } else {
            EXPECT_EQ(out.vt, VT_I2);
            EXPECT_EQ(out.iVal, 77);
        }
        VariantClear(&out);
    }
}

TEST(ComVariant, ChangeTypeInPlaceAndThroughReferences) {
    CVariant v("123");
    v.ChangeType(VT_I4);  // frees the string it converted from
    EXPECT_EQ(v.Type(), VT_I4);
    EXPECT_EQ(v.GetVARIANT().lVal, 123);
    v = CVariant("abc");
    EXPECT_THROW(v.ChangeType(VT_I4), _com_error);
    EXPECT_EQ(v.ToString(), "abc");  // unchanged by the failure

    LONG target = 5;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &target;
    CVariant text;
    text.ChangeType(VT_BSTR, &ref);
    EXPECT_EQ(text.ToString(), "5");
    VARIANT inner = CVariant(2.5).Detach();
    VARIANT varRef;
    VariantInit(&varRef);
    varRef.vt = VT_BYREF | VT_VARIANT;
    varRef.pvarVal = &inner;
    EXPECT_EQ(VariantChangeType(&varRef, &varRef, 0, VT_I2), S_OK);
    EXPECT_EQ(varRef.vt, VT_I2);
    EXPECT_EQ(varRef.iVal, 2);
    ref.plVal = nullptr;
    EXPECT_EQ(VariantChangeType(&varRef, &ref, 0, VT_I4), E_POINTER);
}

TEST(ComVariant, InterfaceValuesAreReferencedNotLeaked) {
    int live = 0;
    {
        CComPtr<ITestThing> thing = MakeComObject<CTestThing>(4, &live);
        CVariant a(static_cast<IUnknown*>(thing));
        thing = nullptr;
        CVariant b = a;
        CVariant c;
        c = std::move(b);
        EXPECT_EQ(live, 1);
        VARIANT dispatch;
        VariantInit(&dispatch);
        // No IDispatch on this object: the conversion fails and takes nothing.
        EXPECT_EQ(VariantChangeType(&dispatch, &c.GetVARIANT(), 0, VT_DISPATCH), E_NOINTERFACE);
        EXPECT_EQ(VariantChangeType(&dispatch, &c.GetVARIANT(), 0, VT_I4), DISP_E_TYPEMISMATCH);
        VARIANT detached = c.Detach();
        CVariant d;
        d.Attach(&detached);
        EXPECT_EQ(detached.vt, VT_EMPTY);
        a.Clear();
        EXPECT_EQ(live, 1);
        *d.GetAddress() = CVariant(1).Detach();  // GetAddress releases the object first
        EXPECT_EQ(live, 0);
    }
    EXPECT_EQ(live, 0);
}

}  // namespace
