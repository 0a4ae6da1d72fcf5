#include "platform/com/Bstr.h"

#include "platform/com/ComError.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

std::uint32_t PrefixOf(BSTR b) {
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(b) - 4, 4);
    return prefix;
}

TEST(ComBstr, LayoutIsByteLengthPrefixCharactersAndTerminator) {
    BSTR b = SysAllocString(u"ABC");
    ASSERT_NE(b, nullptr);
    const auto* bytes = reinterpret_cast<const unsigned char*>(b) - 4;
    // 6 bytes of text, little-endian, then 'A' 'B' 'C' as UTF-16LE, then a 2-byte NUL.
    const unsigned char expected[] = {6, 0, 0, 0, 'A', 0, 'B', 0, 'C', 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof(expected)));
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(SysStringByteLen(b), 6u);
    SysFreeString(b);
}

TEST(ComBstr, EmbeddedNulsCountInTheLength) {
    const char16_t text[] = {u'a', 0, u'b', 0, u'c'};
    BSTR b = SysAllocStringLen(text, 5);
    EXPECT_EQ(PrefixOf(b), 10u);
    EXPECT_EQ(SysStringLen(b), 5u);
    EXPECT_EQ(b[4], u'c');
    EXPECT_EQ(b[5], u'\0');
    // A wrapper copy keeps all five characters.
    CBstr copy = CBstr::FromBstr(b);
    EXPECT_EQ(copy.View(), std::u16string_view(text, 5));
    SysFreeString(b);

    BSTR zeros = SysAllocStringLen(nullptr, 3);
    EXPECT_EQ(SysStringLen(zeros), 3u);
    EXPECT_EQ(zeros[0], 0);
    EXPECT_EQ(zeros[2], 0);
    SysFreeString(zeros);
}

TEST(ComBstr, OddByteLengthKeepsEveryByte) {
    BSTR b = SysAllocStringByteLen("xyz", 3);
    EXPECT_EQ(SysStringByteLen(b), 3u);
    EXPECT_EQ(SysStringLen(b), 1u);
    const char* bytes = reinterpret_cast<const char*>(b);
    EXPECT_EQ(std::memcmp(bytes, "xyz\0\0", 5), 0);
    CBstr copy = CBstr::FromBstr(b);
    EXPECT_EQ(SysStringByteLen(copy), 3u);
    SysFreeString(b);
}

TEST(ComBstr, ReAllocFromItsOwnTextIsSafe) {
    BSTR b = SysAllocString(u"hello world");
    ASSERT_TRUE(SysReAllocString(&b, b + 6));
    EXPECT_EQ(std::u16string_view(b, SysStringLen(b)), u"world");
    ASSERT_TRUE(SysReAllocStringLen(&b, b, 3));
    EXPECT_EQ(std::u16string_view(b, SysStringLen(b)), u"wor");
    SysFreeString(b);
}

TEST(ComBstr, WrapperAllocationFailureThrowsOutOfMemory) {
    CBstr text("x");
    // Past what the 4-byte prefix can count.
    const std::u16string_view huge(text.Get(), 0x80000000u);
    try {
        text.Append(huge);
        FAIL() << "expected _com_error";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_OUTOFMEMORY);
    }
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
}

}  // namespace
