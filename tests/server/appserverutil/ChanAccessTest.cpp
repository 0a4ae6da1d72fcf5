#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/com/SafeArray.h"
#include "platform/kernel/Mutex.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/kernel/WaitFunctions.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/appserverutil/StatusMemoryLayout.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

class ChanAccessTest : public ::testing::Test {
protected:
    void TearDown() override {
        UnlinkAllNamedObjects();
        EXPECT_TRUE(tmstest::NamedObjectsLeft().empty());
    }
    tmstest::TestRuntimeDir m_dir;
};

LONG* At(CChanAccess& a, std::size_t offset) {
    return reinterpret_cast<LONG*>(a.StatusBlock() + offset);
}

TEST_F(ChanAccessTest, BlocksOfChannelsNeverOverlap) {
    CChanAccess first(0), last(15), outside(16), negative(-1);
    ASSERT_TRUE(first.IsValid());
    ASSERT_NE(first.StatusBlock(), nullptr);
    // The highest offset the component writes (0x1A9AA, a byte) fits its block.
    EXPECT_LE(0x1A9ABu, statusmem::kBlockSize);
    EXPECT_EQ(last.StatusBlock() + statusmem::kBlockSize, last.View() + statusmem::kMemorySize);
    first.StatusBlock()[statusmem::kBlockSize - 1] = 0x5A;
    CChanAccess second(1);
    EXPECT_EQ(second.StatusBlock()[0], 0);
    EXPECT_EQ(*(second.StatusBlock() - 1), 0x5A);  // the same memory seen through both
    for (CChanAccess* a : {&outside, &negative}) {
        bool offline = false;
        EXPECT_EQ(a->StatusBlock(), nullptr);
        EXPECT_EQ(a->IsChanOffline(offline), E_UNEXPECTED);
        EXPECT_EQ(a->ClearPortStatus(), E_UNEXPECTED);
    }
}

TEST_F(ChanAccessTest, RingsWrapAndForeignAddressesAreRefused) {
    CChanAccess a(2);
    struct Case {
        std::size_t offset;
        LONG slots;  // 0 = not a ring index
    } cases[] = {
        {0x148C8, 30}, {0x15608, 30},          {0x177B8, 30},         {0x19B8C, 30}, {0x1A440, 30},
        {0x18470, 30}, {0x18470 + 4 * 15, 30}, {0x18470 + 4 * 16, 0}, {0x18472, 0},  {0x148CC, 0},
        {0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.offset);
        LONG* index = At(a, c.offset);
        if (c.slots == 0) {
            // Refused addresses may be misaligned: compare the bytes.
            std::uint8_t before[4], after[4];
            std::memcpy(before, index, 4);
            EXPECT_EQ(a.IncrementIndex(index), 0);
            std::memcpy(after, index, 4);
            EXPECT_EQ(std::memcmp(before, after, 4), 0);
            continue;
        }
        for (LONG i = 1; i <= c.slots; ++i) {
            EXPECT_EQ(a.IncrementIndex(index), i % c.slots);
        }
        EXPECT_EQ(*index, 0);
        *index = 9999;  // a foreign value restarts the ring
        EXPECT_EQ(a.IncrementIndex(index), 0);
        *index = -3;
        EXPECT_EQ(a.IncrementIndex(index), 0);
    }
    LONG elsewhere = 0;
    EXPECT_EQ(a.IncrementIndex(&elsewhere), 0);
    EXPECT_EQ(a.IncrementIndex(nullptr), 0);
}

TEST_F(ChanAccessTest, StatusByNameOfflineFlagsAndSlots) {
    CChanAccess a(3);
    *At(a, statusmem::kContextRingIndex) = 5;
    *At(a, statusmem::kContextPortState + 4 * 5) = 2;
    const float speed = -2.5f;
    std::memcpy(a.StatusBlock() + statusmem::kContextSpeed + 4 * 5, &speed, 4);
    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(a.StringToStatus("portstate", false, nullptr, nullptr, &v), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 2);
    ASSERT_EQ(a.StringToStatus("shuttlespeed", false, nullptr, nullptr, &v), S_OK);
    EXPECT_EQ(v.vt, VT_R4);
    EXPECT_FLOAT_EQ(v.fltVal, -2.5f);
    EXPECT_EQ(a.StringToStatus("PortState", false, nullptr, nullptr, &v), E_INVALIDARG);

    bool chan = true, sys = true;
    ASSERT_EQ(a.IsChanOffline(chan), S_OK);
    EXPECT_FALSE(chan);
    ASSERT_EQ(a.SetChanOfflineEvent(true), S_OK);
    ASSERT_EQ(a.SetSysOffline(true), S_OK);
    CChanAccess other(0);
    ASSERT_EQ(other.IsChanOffline(chan), S_OK);
    ASSERT_EQ(other.IsSysOffline(sys), S_OK);
    EXPECT_FALSE(chan);
    EXPECT_TRUE(sys);
    EXPECT_EQ(a.StatusBlock()[0x148C4], 1);
    // Clearing the channel's status keeps the flags and the change stamps.
    *At(a, 0x1A448) = 777;
    *At(a, 0x150F0) = 0xFF;
    ASSERT_EQ(a.ClearChannelStatus(), S_OK);
    EXPECT_EQ(*At(a, 0x150F0), 0);
    EXPECT_EQ(*At(a, 0x1A448), 777);
    ASSERT_EQ(a.IsChanOffline(chan), S_OK);
    EXPECT_TRUE(chan);

    std::u16string longUri(300, u'u');
    EXPECT_EQ(a.SetCtxAssetUri(4, u"x"), E_INVALIDARG);
    ASSERT_EQ(a.SetCtxAssetUri(1, longUri.c_str()), S_OK);
    const auto* uri = reinterpret_cast<const char16_t*>(a.StatusBlock() + 0x148D0 + 0x208);
    EXPECT_EQ(std::u16string(uri), std::u16string(259, u'u'));
    EXPECT_EQ(a.StatusBlock()[0x148D0 + 2 * 0x208], 0);  // context 2 untouched

    SAFEARRAY* image = SafeArrayCreateVector(VT_UI1, 0, 3);
    void* data = nullptr;
    SafeArrayAccessData(image, &data);
    std::memcpy(data, "\x01\x02\x03", 3);
    SafeArrayUnaccessData(image);
    VARIANT img;
    VariantInit(&img);
    img.vt = VT_ARRAY | VT_UI1;
    img.parray = image;
    ASSERT_EQ(a.SetThumbnail(img), S_OK);
    EXPECT_EQ(*At(a, statusmem::kThumbnail), 3);
    EXPECT_EQ(a.StatusBlock()[statusmem::kThumbnail + 6], 3);
    VariantClear(&img);
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_I4;
    EXPECT_EQ(a.SetThumbnail(text), E_INVALIDARG);
    ASSERT_EQ(a.ClearThumbnail(), S_OK);
    EXPECT_EQ(*At(a, statusmem::kThumbnail), 0);
}

TEST_F(ChanAccessTest, SecondProcessSeesTheMemoryNotCreatedTwice) {
    {
        CChanAccess a(1);
        *At(a, 0x150F0) = 0x1234;
    }
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CChanAccess b(1);
        BOOL created = TRUE;
        b.Close();
        b.Open(&created);
        _exit(!created && *reinterpret_cast<LONG*>(b.StatusBlock() + 0x150F0) == 0x1234 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ChanAccessTest, WriterKilledHoldingTheMutexDoesNotDeadlockTheNext) {
    CChanAccess a(0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CChanAccess b(0);
        if (WaitForSingleObject(b.MutexHandle(), 5000) != WAIT_OBJECT_0)
            _exit(1);
        *reinterpret_cast<LONG*>(b.StatusBlock() + 0x150F0) = 0x77;  // half a publication
        _exit(0);                                                    // dies holding the mutex
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // The next writer takes the mutex over, and the block is still there.
    EXPECT_EQ(a.SetChanOfflineEvent(true), S_OK);
    EXPECT_EQ(*At(a, 0x150F0), 0x77);
    EXPECT_EQ(WaitForSingleObject(a.MutexHandle(), 5000), WAIT_OBJECT_0);
    ReleaseMutex(a.MutexHandle());
}

}  // namespace

// Regression: clearing a port after the last context was freed cleared
// 0x1519A-0x1777C whole, and with it the channel's E-to-E, loop and
// continuous-record bytes at 0x17664-0x1768B.
TEST_F(ChanAccessTest, ClearPortStatusKeepsTheChannelsEeLoopAndRecordLength) {
    CChanAccess a(1);
    std::uint8_t* block = a.StatusBlock();
    ASSERT_NE(block, nullptr);
    std::memset(block + 0x15000, 0xA5, 0x18000 - 0x15000);
    ASSERT_EQ(a.ClearPortStatus(), S_OK);
    struct Row {
        const char* name;
        std::size_t begin;
        std::size_t end;
        bool cleared;
    } rows[] = {
        {"before the movie name", 0x15000, 0x1519A, false},
        {"movie name .. position texts (30 x 32 bytes from 0x16764)", 0x1519A, 0x16B24, true},
        {"after the position texts", 0x16B24, 0x17664, false},
        {"E-to-E, loop, continuous record, length and its text", 0x17664, 0x1768C, false},
        {"record words 24 and 28 (30 x 4 bytes each)", 0x1768C, 0x1777C, true},
        {"the video region", 0x1777C, 0x18000, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::uint8_t expected = row.cleared ? 0 : 0xA5;
        std::size_t wrong = 0;
        for (std::size_t offset = row.begin; offset < row.end; ++offset) {
            wrong += block[offset] != expected ? 1 : 0;
        }
        EXPECT_EQ(wrong, 0u);
    }
}
