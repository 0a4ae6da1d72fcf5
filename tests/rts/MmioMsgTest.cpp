#include "tmschannel/rts/MmioMsg.h"

#include "platform/mmio/RiffFormat.h"
#include "tests/rts/Golden.h"
#include "tests/support/TestRuntimeDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr FOURCC Id(const char (&s)[5]) {
    return mmioFOURCC(s[0], s[1], s[2], s[3]);
}

class MmioMsgTest : public ::testing::Test {
protected:
    std::string Log() { return tmstest::ReadFileText(m_dir.Path() + "/log/errorlog.log"); }
    tmstest::TestRuntimeDir m_dir;
};

TEST_F(MmioMsgTest, ChunksArePaddedToFourAndThePaddingCounts) {
    struct Row {
        DWORD size;
        DWORD stored;
    } rows[] = {{0, 0}, {1, 4}, {5, 8}, {8, 8}, {11, 12}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        CMmioMsg msg(1024);
        MMCKINFO form{};
        ASSERT_EQ(msg.CreateRiff(Id("test"), &form), S_OK);
        std::vector<BYTE> data(row.size, 0xAB);
        ASSERT_EQ(msg.CreateChunk(Id("abcd"), data.data(), row.size), S_OK);
        ASSERT_EQ(msg.Ascend(&form), S_OK);
        const BYTE* b = msg.GetBuffer();
        EXPECT_EQ(riff::LoadLe32(b + 16), row.stored);
        EXPECT_EQ(msg.GetMsgSize(), 12 + 8 + row.stored);
        for (DWORD i = row.size; i < row.stored; ++i) {
            EXPECT_EQ(b[20 + i], 0) << "pad byte " << i;
        }
    }
}

TEST_F(MmioMsgTest, GoldenBytesOfASmallMessage) {
    CMmioMsg msg(1024);
    MMCKINFO form{}, list{};
    ASSERT_EQ(msg.CreateRiff(Id("sbuf"), &form), S_OK);
    const BYTE five[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(msg.CreateChunk(Id("ctx "), five, 5), S_OK);
    ASSERT_EQ(msg.CreateList(Id("rbuf"), &list), S_OK);
    ASSERT_EQ(msg.CreateChunk(Id("gpi "), five, 4), S_OK);
    ASSERT_EQ(msg.Ascend(&list), S_OK);
    ASSERT_EQ(msg.Ascend(&form), S_OK);
    // RIFF(4 + 16 + 24) = 44; "ctx " 8 (5 + 3 pad); LIST(4 + 12) = 16.
    auto g = tmstest::Golden(52)
                 .Text(0, "RIFF")
                 .U32(4, 44)
                 .Text(8, "sbuf")
                 .Text(12, "ctx ")
                 .U32(16, 8)
                 .U8(20, 1)
                 .U8(21, 2)
                 .U8(22, 3)
                 .U8(23, 4)
                 .U8(24, 5)
                 .Text(28, "LIST")
                 .U32(32, 16)
                 .Text(36, "rbuf")
                 .Text(40, "gpi ")
                 .U32(44, 4)
                 .U8(48, 1)
                 .U8(49, 2)
                 .U8(50, 3)
                 .U8(51, 4);
    ASSERT_EQ(msg.GetMsgSize(), 52u);
    EXPECT_EQ(tmstest::Hex(msg.GetBuffer(), 52), tmstest::Hex(g.Bytes().data(), 52));
}

TEST_F(MmioMsgTest, ReuseClearsEveryByteOfTheEarlierMessage) {
    CMmioMsg msg(1024);
    MMCKINFO form{};
    std::vector<BYTE> big(600, 0xEE);
    ASSERT_EQ(msg.CreateRiff(Id("sbuf"), &form), S_OK);
    ASSERT_EQ(msg.CreateChunk(Id("vid "), big.data(), 600), S_OK);
    ASSERT_EQ(msg.Ascend(&form), S_OK);
    MMCKINFO again{};
    ASSERT_EQ(msg.CreateRiff(Id("clos"), &again), S_OK);
    ASSERT_EQ(msg.CreateChunk(Id("ownr"), big.data(), 4), S_OK);
    ASSERT_EQ(msg.Ascend(&again), S_OK);
    for (DWORD i = msg.GetMsgSize(); i < msg.GetBufferSize(); ++i) {
        ASSERT_EQ(msg.GetBuffer()[i], 0) << "offset " << i;
    }
}

TEST_F(MmioMsgTest, WritingPastTheCapacityFailsAndTheBufferDoesNotGrow) {
    CMmioMsg msg(1024);
    MMCKINFO form{};
    ASSERT_EQ(msg.CreateRiff(Id("schc"), &form), S_OK);
    std::vector<BYTE> data(264, 1);
    HRESULT hr = S_OK;
    int written = 0;
    while ((hr = msg.CreateChunk(Id("fr  "), data.data(), 264)) == S_OK) {
        ++written;
    }
    EXPECT_EQ(written, 3);  // 12 + 3 * 272 = 828; a fourth needs 1100
    EXPECT_TRUE(hr == HR(0x80043005) || hr == HR(0x80043007)) << std::hex << hr;
    EXPECT_EQ(msg.GetBufferSize(), 1024u);
}

TEST_F(MmioMsgTest, FindChunkDataPtrChecksTheSizeAndNamesBoth) {
    CMmioMsg msg(1024);
    MMCKINFO form{};
    const BYTE twelve[12] = {};
    ASSERT_EQ(msg.CreateRiff(Id("repl"), &form), S_OK);
    ASSERT_EQ(msg.CreateChunk(Id("ack "), twelve, 12), S_OK);
    ASSERT_EQ(msg.Ascend(&form), S_OK);

    MMCKINFO found{};
    bool isFound = false;
    ASSERT_EQ(msg.FindRiff(Id("repl"), &found, &isFound), S_OK);
    ASSERT_TRUE(isFound);
    const BYTE* data = nullptr;
    EXPECT_EQ(msg.FindChunkDataPtr(Id("ack "), &found, &data, 8, &isFound), HR(0x8004300c));
    EXPECT_NE(Log().find("Chunk size 12 does not match expected size of 8"), std::string::npos);

    ASSERT_EQ(msg.FindRiff(Id("repl"), &found, &isFound), S_OK);
    EXPECT_EQ(msg.FindChunkDataPtr(Id("ack "), &found, &data, 12, &isFound), S_OK);
    EXPECT_TRUE(isFound);
    EXPECT_EQ(data, msg.GetBuffer() + 20);
    // Searched again after it: nothing more in the form.
    const BYTE* untouched = reinterpret_cast<const BYTE*>(1);
    EXPECT_EQ(msg.FindChunkDataPtr(Id("ack "), &found, &untouched, 12, &isFound), S_FALSE);
    EXPECT_FALSE(isFound);
    EXPECT_EQ(untouched, reinterpret_cast<const BYTE*>(1));
}

TEST_F(MmioMsgTest, FindRiffOnAnotherFormIsNotFound) {
    CMmioMsg msg(1024);
    MMCKINFO form{};
    bool found = true;
    EXPECT_EQ(msg.FindRiff(Id("repl"), &form, &found), S_FALSE);  // empty buffer
    EXPECT_FALSE(found);
    ASSERT_EQ(msg.CreateRiff(Id("sbuf"), &form), S_OK);
    ASSERT_EQ(msg.Ascend(&form), S_OK);
    found = true;
    EXPECT_EQ(msg.FindRiff(Id("repl"), &form, &found), S_FALSE);
    EXPECT_FALSE(found);
    EXPECT_EQ(msg.FindRiff(Id("repl"), &form, nullptr), S_FALSE);
}

// A peer's bytes that claim more than they hold are refused, never read on.
TEST_F(MmioMsgTest, ChunkRunningPastItsParentFails) {
    CMmioMsg msg(64);
    BYTE* b = msg.GetBuffer();
    std::memcpy(b, "RIFF", 4);
    riff::StoreLe32(b + 4, 20);
    std::memcpy(b + 8, "repl", 4);
    std::memcpy(b + 12, "ack ", 4);
    riff::StoreLe32(b + 16, 4000);  // far past the form and the buffer
    MMCKINFO form{};
    bool found = false;
    ASSERT_EQ(msg.FindRiff(Id("repl"), &form, &found), S_OK);
    const BYTE* data = nullptr;
    EXPECT_EQ(msg.FindChunkDataPtr(Id("ack "), &form, &data, 8, &found), HR(0x80043006));
    EXPECT_FALSE(found);
    EXPECT_EQ(data, nullptr);
}

TEST_F(MmioMsgTest, MessagesWithoutABufferOfTheirOwn) {
    std::vector<BYTE> outside(256, 0);
    CMmioMsg attached;
    ASSERT_EQ(attached.Attach(outside.data(), 256), S_OK);
    EXPECT_EQ(attached.GetBuffer(), nullptr);
    MMCKINFO ck{};
    const BYTE* data = nullptr;
    bool found = false;
    EXPECT_EQ(attached.FindChunkDataPtr(Id("ack "), nullptr, &data, 8, &found), HR(0x8004300b));
    CMmioMsg owned(256);
    EXPECT_EQ(attached.Copy(owned), HR(0x8004300b));
    EXPECT_EQ(owned.Copy(attached), HR(0x8004300b));

    std::string path = m_dir.Path() + "/msg.riff";
    CMmioMsg onDisk;
    ASSERT_EQ(onDisk.Create(path.c_str()), S_OK);
    ASSERT_EQ(onDisk.CreateRiff(Id("rfsh"), &ck), S_OK);
    ASSERT_EQ(onDisk.CreateChunk(Id("cdef"), "<a/>", 5), S_OK);
    ASSERT_EQ(onDisk.Ascend(&ck), S_OK);
    EXPECT_EQ(onDisk.GetMsgSize(), 12u + 8u + 8u);
    EXPECT_EQ(onDisk.GetDataPtr(&data, 8), HR(0x8004300b));
}

TEST_F(MmioMsgTest, CopyNeedsRoomAndClearsTheRest) {
    CMmioMsg big(40960);
    MMCKINFO form{};
    std::vector<BYTE> data(2000, 7);
    ASSERT_EQ(big.CreateRiff(Id("open"), &form), S_OK);
    ASSERT_EQ(big.CreateChunk(Id("cdef"), data.data(), 2000), S_OK);
    ASSERT_EQ(big.Ascend(&form), S_OK);
    CMmioMsg small(1024);
    std::memset(small.GetBuffer(), 0x55, 1024);
    EXPECT_EQ(big.Copy(small), HR(0x80043007));
    EXPECT_EQ(small.GetBuffer()[1023], 0x55);  // nothing written past or into it

    CMmioMsg other(4096);
    std::memset(other.GetBuffer(), 0x55, 4096);
    ASSERT_EQ(big.Copy(other), S_OK);
    EXPECT_EQ(std::memcmp(other.GetBuffer(), big.GetBuffer(), big.GetMsgSize()), 0);
    EXPECT_EQ(other.GetBuffer()[4095], 0);
}

// A reused buffer is no longer cleared when a message begins, only past the
// end of the next message finished in it, up to the high-water mark. Every
// way bytes get into the buffer must move that mark, or an earlier message's
// bytes would go out behind the next one's end.
TEST_F(MmioMsgTest, NoEarlierByteSurvivesPastTheEndOfTheNextMessage) {
    const std::vector<BYTE> stale(1024, 0xEE);
    struct Row {
        const char* name;
        std::function<void(CMmioMsg&)> dirty;
    } rows[] = {
        {"a longer message",
         [&](CMmioMsg& m) {
             MMCKINFO form{};
             ASSERT_EQ(m.CreateRiff(Id("sbuf"), &form), S_OK);
             ASSERT_EQ(m.CreateChunk(Id("vid "), stale.data(), 600), S_OK);
             ASSERT_EQ(m.Ascend(&form), S_OK);
         }},
        {"a build that ran out of room",
         [&](CMmioMsg& m) {
             MMCKINFO form{};
             ASSERT_EQ(m.CreateRiff(Id("sbuf"), &form), S_OK);
             ASSERT_EQ(m.CreateChunk(Id("vid "), stale.data(), 1020), HR(0x80043007));
         }},
        {"a build never finished",
         [&](CMmioMsg& m) {
             MMCKINFO form{}, list{};
             ASSERT_EQ(m.CreateRiff(Id("sbuf"), &form), S_OK);
             ASSERT_EQ(m.CreateList(Id("rbuf"), &list), S_OK);
             ASSERT_EQ(m.CreateChunk(Id("vid "), stale.data(), 700), S_OK);
         }},
        {"bytes written through GetBuffer",
         [&](CMmioMsg& m) { std::memset(m.GetBuffer(), 0xEE, m.GetBufferSize()); }},
        {"a copy of a longer message",
         [&](CMmioMsg& m) {
             CMmioMsg source(1024);
             MMCKINFO form{};
             ASSERT_EQ(source.CreateRiff(Id("open"), &form), S_OK);
             ASSERT_EQ(source.CreateChunk(Id("cdef"), stale.data(), 900), S_OK);
             ASSERT_EQ(source.Ascend(&form), S_OK);
             ASSERT_EQ(source.Copy(m), S_OK);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CMmioMsg msg(1024);
        row.dirty(msg);
        MMCKINFO form{};
        const BYTE owner[4] = {1, 2, 3, 4};
        ASSERT_EQ(msg.CreateRiff(Id("clos"), &form), S_OK);
        ASSERT_EQ(msg.CreateChunk(Id("ownr"), owner, 4), S_OK);
        ASSERT_EQ(msg.Ascend(&form), S_OK);
        ASSERT_EQ(msg.GetMsgSize(), 24u);
        const BYTE* b = std::as_const(msg).GetBuffer();
        EXPECT_EQ(riff::LoadLe32(b + 4), 16u);
        EXPECT_EQ(riff::LoadLe32(b + 16), 4u);
        EXPECT_EQ(b[20], 1);
        for (DWORD i = 24; i < msg.GetBufferSize(); ++i) {
            ASSERT_EQ(b[i], 0) << "offset " << i;
        }
        // And once more, after the short one: nothing comes back.
        ASSERT_EQ(msg.ClearBuffer(), S_OK);
        for (DWORD i = 0; i < msg.GetBufferSize(); ++i) {
            ASSERT_EQ(b[i], 0) << "offset " << i << " after ClearBuffer";
        }
    }
}

// The one-step chunk path and the traced mmio calls must give the same bytes
// (a disk file always takes the mmio calls), for every padding and for
// records copied by type.
TEST_F(MmioMsgTest, OneStepChunksMatchTheMmioCallsByteForByte) {
    struct Six {
        BYTE b[6];
    };
    const Six six{{9, 8, 7, 6, 5, 4}};
    std::vector<BYTE> data(40);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<BYTE>(0xA0 + i);
    }
    auto build = [&](CMmioMsg& m) {
        MMCKINFO form{}, list{};
        ASSERT_EQ(m.CreateRiff(Id("sbuf"), &form), S_OK);
        for (DWORD size : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 33u}) {
            SCOPED_TRACE(size);
            ASSERT_EQ(m.CreateChunk(Id("dat "), data.data(), size), S_OK);
        }
        ASSERT_EQ(m.CreateList(Id("rbuf"), &list), S_OK);
        ASSERT_EQ(m.CreateChunk(Id("six "), six), S_OK);
        ASSERT_EQ(m.CreateChunk(Id("six "), &six, sizeof six), S_OK);
        ASSERT_EQ(m.Ascend(&list), S_OK);
        ASSERT_EQ(m.Ascend(&form), S_OK);
    };
    CMmioMsg memory(1024);
    std::memset(memory.GetBuffer(), 0xEE, 1024);  // padding must be written, not found
    build(memory);
    const std::string path = m_dir.Path() + "/chunks.riff";
    {
        CMmioMsg onDisk;
        ASSERT_EQ(onDisk.Create(path.c_str()), S_OK);
        build(onDisk);
    }
    const std::string disk = tmstest::ReadFileText(path);
    // 12 + (8 + 0) + (8 + 4) * 4 + (8 + 8) * 3 + (8 + 36) + 12 + (8 + 8) * 2.
    ASSERT_EQ(memory.GetMsgSize(), 12u + 8u + 48u + 48u + 44u + 12u + 32u);
    ASSERT_EQ(disk.size(), memory.GetMsgSize());
    EXPECT_EQ(tmstest::Hex(std::as_const(memory).GetBuffer(), disk.size()),
              tmstest::Hex(reinterpret_cast<const BYTE*>(disk.data()), disk.size()));
    const BYTE* six1 = std::as_const(memory).GetBuffer() + memory.GetMsgSize() - 32;
    EXPECT_EQ(riff::LoadLe32(six1 + 4), 8u);
    EXPECT_EQ(six1[13], 4);
    EXPECT_EQ(six1[14], 0);  // pad
    EXPECT_EQ(six1[15], 0);
}

// At the capacity, a chunk that fits exactly takes the one-step path, and one
// that does not fails as the mmio calls always did, with the same HRESULT and
// text and the bytes that fit written (and counted, see above).
TEST_F(MmioMsgTest, ChunksAtTheCapacityFitExactlyOrFailAsBefore) {
    struct Row {
        DWORD capacity;
        DWORD first;  // data bytes of a chunk written before (0: none)
        DWORD size;   // data bytes of the chunk under test
        HRESULT hr;
        const char* text;  // in the error log, or null
    } rows[] = {
        {64, 0, 44, S_OK, nullptr},  // 12 + 8 + 44 = 64
        {64, 0, 41, S_OK, nullptr},  // padded to 44: ends at 64 too
        {64, 0, 42, S_OK, nullptr},
        {64, 0, 45, HR(0x80043007), "Could only write 44 bytes of 45 for chunk"},
        {64, 0, 50, HR(0x80043007), "Could only write 44 bytes of 50 for chunk"},
        {64, 40, 0, HR(0x80043005), "Could not create chunk"},  // 60 + 8 > 64
        {64, 36, 1, HR(0x80043007), "Could only write 0 bytes of 1 for chunk"},
        {62, 0, 42, HR(0x80043007), "Could only write 0 bytes of 2 for chunk"},  // the padding
    };
    const std::vector<BYTE> data(64, 0x5A);
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << row.capacity << ": " << row.first << " then " << row.size);
        CMmioMsg msg(row.capacity);
        std::memset(msg.GetBuffer(), 0xEE, row.capacity);
        MMCKINFO form{};
        ASSERT_EQ(msg.CreateRiff(Id("schc"), &form), S_OK);
        if (row.first != 0) {
            ASSERT_EQ(msg.CreateChunk(Id("firs"), data.data(), row.first), S_OK);
        }
        EXPECT_EQ(msg.CreateChunk(Id("test"), data.data(), row.size), row.hr);
        const BYTE* b = std::as_const(msg).GetBuffer();
        const DWORD at = 12 + (row.first != 0 ? 8 + row.first : 0);
        if (row.hr == S_OK) {
            const DWORD padded = (row.size + 3) & ~3u;
            EXPECT_EQ(riff::LoadLe32(b + at + 4), padded);
            for (DWORD i = row.size; i < padded; ++i) {
                EXPECT_EQ(b[at + 8 + i], 0) << "pad byte " << i;
            }
            ASSERT_EQ(msg.Ascend(&form), S_OK);
            EXPECT_EQ(msg.GetMsgSize(), row.capacity);
        } else {
            EXPECT_NE(Log().find(row.text), std::string::npos) << Log();
        }
    }

    // A record copied by type that does not fit fails the same way.
    struct Ten {
        BYTE b[10];
    };
    const Ten ten{};
    CMmioMsg msg(28);
    MMCKINFO form{};
    ASSERT_EQ(msg.CreateRiff(Id("sbuf"), &form), S_OK);
    EXPECT_EQ(msg.CreateChunk(Id("ten "), ten), HR(0x80043007));  // 12 + 8 + 10 > 28
    EXPECT_NE(Log().find("Could only write 8 bytes of 10 for chunk"), std::string::npos) << Log();
}

// CreateList and Ascend skip their trace only when the memory file does the
// work in place; every other case fails or moves as the mmio calls do.
TEST_F(MmioMsgTest, ListsAndAscendsOutsideTheInPlaceCasesBehaveAsBefore) {
    CMmioMsg small(20);
    MMCKINFO form{}, list{};
    ASSERT_EQ(small.CreateRiff(Id("sbuf"), &form), S_OK);
    EXPECT_EQ(small.CreateList(Id("rbuf"), &list), HR(0x80043005));  // 12 + 12 > 20
    EXPECT_NE(Log().find("Could not create LIST chunk"), std::string::npos) << Log();

    MMCKINFO never{};
    EXPECT_EQ(small.Ascend(&never), HR(0x80043008));
    EXPECT_NE(Log().find("Could not ascend from chunk"), std::string::npos) << Log();

    // A chunk found in a message (not built here) is left by moving past it.
    CMmioMsg msg(1024);
    const BYTE four[4] = {1, 2, 3, 4};
    ASSERT_EQ(msg.CreateRiff(Id("repl"), &form), S_OK);
    ASSERT_EQ(msg.CreateChunk(Id("one "), four, 4), S_OK);
    ASSERT_EQ(msg.CreateChunk(Id("two "), four, 2), S_OK);
    ASSERT_EQ(msg.Ascend(&form), S_OK);
    const std::vector<BYTE> before(std::as_const(msg).GetBuffer(),
                                   std::as_const(msg).GetBuffer() + 1024);
    bool found = false;
    ASSERT_EQ(msg.FindRiff(Id("repl"), &form, &found), S_OK);
    MMCKINFO ck{};
    ASSERT_EQ(msg.FindChunk(Id("one "), &form, &ck, &found), S_OK);
    ASSERT_EQ(msg.Ascend(&ck), S_OK);
    ASSERT_EQ(msg.FindNextChunk(&ck, &found), S_OK);
    EXPECT_EQ(ck.ckid, Id("two "));
    ASSERT_EQ(msg.Ascend(&form), S_OK);  // a found form: nothing patched, nothing cleared
    EXPECT_EQ(
        std::vector<BYTE>(std::as_const(msg).GetBuffer(), std::as_const(msg).GetBuffer() + 1024),
        before);
}

}  // namespace
