#include "platform/com/SafeArray.h"

#include "TestObject.h"
#include "platform/com/ComError.h"
#include "platform/com/VariantArray.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

TEST(ComSafeArray, VectorBoundsAndBadIndices) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, -2, 3);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(SafeArrayGetDim(array), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(array), sizeof(VARIANT));
    EXPECT_EQ(array->fFeatures & FADF_VARIANT, FADF_VARIANT);
    LONG lower = 0;
    LONG upper = 0;
    EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
    EXPECT_EQ(lower, -2);
    EXPECT_EQ(upper, 0);
    EXPECT_EQ(SafeArrayGetLBound(array, 2, &lower), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(array, 0, &upper), DISP_E_BADINDEX);

    CVariant value("text");
    for (LONG index : {-3, 1, 0x7FFFFFFF, -0x7FFFFFFF - 1}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(SafeArrayPutElement(array, &index, &value.GetVARIANT()), DISP_E_BADINDEX);
        VARIANT out;
        EXPECT_EQ(SafeArrayGetElement(array, &index, &out), DISP_E_BADINDEX);
    }
    for (LONG index : {-2, 0}) {
        EXPECT_EQ(SafeArrayPutElement(array, &index, &value.GetVARIANT()), S_OK);
    }
    // Elements not written read back empty.
    LONG middle = -1;
    CVariant out;
    EXPECT_EQ(SafeArrayGetElement(array, &middle, out.GetAddress()), S_OK);
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);  // frees both strings

    SAFEARRAY* empty = SafeArrayCreateVector(VT_I4, 5, 0);
    EXPECT_EQ(SafeArrayGetUBound(empty, 1, &upper), S_OK);
    EXPECT_EQ(upper, 4);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
    EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_I4, 0x7FFFFFFF, 2), nullptr);  // last index past LONG
}

TEST(ComSafeArray, LockedArrayCannotBeDestroyed) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, 4);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
    static_cast<BYTE*>(data)[3] = 0x5A;
    EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
    VARIANT holder;
    VariantInit(&holder);
    holder.vt = VT_ARRAY | VT_UI1;
    holder.parray = array;
    EXPECT_EQ(VariantClear(&holder), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(holder.vt, VT_ARRAY | VT_UI1);  // left as it was
    EXPECT_EQ(SafeArrayUnaccessData(array), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(array), E_UNEXPECTED);
    LONG index = 3;
    BYTE b = 0;
    EXPECT_EQ(SafeArrayGetElement(array, &index, &b), S_OK);
    EXPECT_EQ(b, 0x5A);
    EXPECT_EQ(VariantClear(&holder), S_OK);
}

TEST(ComSafeArray, VariantArrayRoundTripAndOwnership) {
    int live = 0;
    CComPtr<ITestThing> thing = MakeComObject<CTestThing>(9, &live);
    std::vector<CVariant> values{CVariant(1), CVariant("two"), CVariant(true),
                                 CVariant(static_cast<IUnknown*>(thing))};
    CVariant array = MakeVariantArray(values);
    EXPECT_EQ(array.Type(), VT_ARRAY | VT_VARIANT);  // 0x200C
    EXPECT_EQ(array.Type(), 0x200C);
    CVariant copy = array;
    CVariant moved = std::move(array);
    thing = nullptr;
    values.clear();
    EXPECT_EQ(live, 1);

    std::vector<CVariant> back = ReadVariantArray(copy);
    ASSERT_EQ(back.size(), 4u);
    EXPECT_EQ(back[0].ToInt32(), 1);
    EXPECT_EQ(back[1].ToString(), "two");
    EXPECT_EQ(back[2].GetVARIANT().boolVal, VARIANT_TRUE);
    EXPECT_EQ(back[3].Type(), VT_UNKNOWN);

    // By reference, as an [in,out] argument carries it.
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
    ref.pparray = &moved.GetVARIANT().parray;
    EXPECT_EQ(ReadVariantArray(ref).size(), 4u);

    back.clear();
    copy.Clear();
    moved = CVariant();
    EXPECT_EQ(live, 0);
    EXPECT_THROW(ReadVariantArray(CVariant(3)), _com_error);

    const BYTE block[48] = {1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 48};
    CVariant bytes = MakeByteArray(block, sizeof(block));
    EXPECT_EQ(bytes.Type(), 0x2011);
    const std::vector<BYTE> read = ReadByteArray(bytes);
    EXPECT_EQ(read, std::vector<BYTE>(block, block + 48));
    EXPECT_EQ(ReadVariantArray(bytes)[47].Type(), VT_UI1);
    EXPECT_THROW(ReadByteArray(MakeVariantArray({})), _com_error);
}

}  // namespace
