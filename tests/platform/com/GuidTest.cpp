#include "platform/com/Guid.h"

#include "platform/com/IUnknown.h"

#include <gtest/gtest.h>

#include <cstring>
#include <unordered_set>

namespace {

// Checked at compile time: a literal in a header costs nothing at run time.
constexpr GUID kSample = MakeGuid("{01234567-89AB-CDEF-0123-456789ABCDEF}");
static_assert(kSample.Data1 == 0x01234567u && kSample.Data2 == 0x89AB && kSample.Data3 == 0xCDEF);
static_assert(kSample.Data4[0] == 0x01 && kSample.Data4[7] == 0xEF);
static_assert(IID_IUnknown.Data4[0] == 0xC0 && IID_IUnknown.Data4[7] == 0x46);

TEST(ComGuid, ParsesTheRegistryFormAndRejectsMalformedText) {
    struct Row {
        const char* text;
        bool ok;
    };
    const Row rows[] = {
        {"{01234567-89AB-CDEF-0123-456789ABCDEF}", true},
        {"01234567-89ab-cdef-0123-456789abcdef", true},    // no braces, lower case
        {"{01234567-89aB-CdEf-0123-456789AbCdEf}", true},  // mixed case
        {"{01234567-89AB-CDEF-0123-456789ABCDEF", false},  // one brace
        {"01234567-89AB-CDEF-0123-456789ABCDEF}", false},
        {"(01234567-89AB-CDEF-0123-456789ABCDEF)", false},
        {"{01234567-89AB-CDEF-0123-456789ABCDE}", false},  // short
        {"{01234567-89AB-CDEF-0123-456789ABCDEF0}", false},
        {"{0123456789AB-CDEF-0123-456789ABCDEF-}", false},  // hyphen moved
        {"{01234567-89AB-CDEF-01234-56789ABCDEF}", false},
        {"{0123456G-89AB-CDEF-0123-456789ABCDEF}", false},  // not hex
        {"{01234567-89AB-CDEF-0123-456789ABCDE }", false},
        {" 01234567-89AB-CDEF-0123-456789ABCDEF", false},
        {"{+1234567-89AB-CDEF-0123-456789ABCDEF}", false},
        {"", false},
    };
    const GUID sentinel = MakeGuid("{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        GUID g = sentinel;
        EXPECT_EQ(GuidFromString(row.text, &g), row.ok);
        EXPECT_EQ(g, row.ok ? kSample : sentinel);  // nothing written on failure
    }
    EXPECT_FALSE(GuidFromString("{01234567-89AB-CDEF-0123-456789ABCDEF}", nullptr));
}

TEST(ComGuid, FormatsUpperCaseWithBracesAndByteOrder) {
    EXPECT_EQ(GuidToString(kSample), "{01234567-89AB-CDEF-0123-456789ABCDEF}");
    EXPECT_EQ(GuidToString(GUID_NULL), "{00000000-0000-0000-0000-000000000000}");
    EXPECT_EQ(GuidToString(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
    // In memory the first three fields are native (little-endian) integers.
    unsigned char bytes[16];
    std::memcpy(bytes, &kSample, 16);
    const unsigned char expected[16] = {0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD,
                                        0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(std::memcmp(bytes, expected, 16), 0);
}

}  // namespace
