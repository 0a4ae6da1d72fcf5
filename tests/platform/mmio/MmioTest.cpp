#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/mmio/Mmio.h"
#include "platform/mmio/MmioHandle.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

CMmioHandle OpenMemory(void* buffer, LONG size, DWORD growth, DWORD flags) {
    MMIOINFO info;
    info.fccIOProc = FOURCC_MEM;
    info.pchBuffer = static_cast<char*>(buffer);
    info.cchBuffer = size;
    info.adwInfo[0] = growth;
    return CMmioHandle(mmioOpen(nullptr, &info, flags));
}

std::vector<BYTE> Contents(HMMIO h) {
    MMIOINFO info;
    EXPECT_EQ(mmioGetInfo(h, &info, 0), MMSYSERR_NOERROR);
    return {info.pchBuffer, info.pchEndRead};
}

void WriteChunk(HMMIO h, const char* id, const void* data, LONG size) {
    MMCKINFO ck;
    ck.ckid = mmioStringToFOURCC(id, 0);
    ASSERT_EQ(mmioCreateChunk(h, &ck, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioWrite(h, data, size), size);
    ASSERT_EQ(mmioAscend(h, &ck, 0), MMSYSERR_NOERROR);
}

// RIFF "demo" { "abcd": "hello" (odd, padded), "zero": no data }.
void WriteDemo(HMMIO h) {
    MMCKINFO form;
    form.fccType = mmioFOURCC('d', 'e', 'm', 'o');
    ASSERT_EQ(mmioCreateChunk(h, &form, MMIO_CREATERIFF), MMSYSERR_NOERROR);
    WriteChunk(h, "abcd", "hello", 5);
    WriteChunk(h, "zero", nullptr, 0);
    ASSERT_EQ(mmioAscend(h, &form, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(form.cksize, 26u);
}

// Worked out by hand: 4 (form type) + 8 + 5 + 1 (pad) + 8 = 26 bytes of RIFF data.
const std::vector<BYTE> kDemoBytes = {'R', 'I', 'F', 'F', 26, 0, 0, 0, 'd', 'e', 'm', 'o',  //
                                      'a', 'b', 'c', 'd', 5,  0, 0, 0, 'h', 'e', 'l', 'l',
                                      'o', 0,  //
                                      'z', 'e', 'r', 'o', 0,  0, 0, 0};

TEST(MmioTest, GoldenBytesOnMemoryAndDisk) {
    {
        SCOPED_TRACE("growing memory file");
        CMmioHandle h = OpenMemory(nullptr, 0, 16, MMIO_READWRITE | MMIO_CREATE);
        ASSERT_TRUE(h);
        WriteDemo(h.Get());
        EXPECT_EQ(Contents(h.Get()), kDemoBytes);
    }
    tmstest::TestRuntimeDir dir;
    for (DWORD extra : {DWORD{0}, MMIO_ALLOCBUF}) {
        SCOPED_TRACE(extra ? "buffered disk file" : "unbuffered disk file");
        const std::string path = dir.Path() + "/demo.riff";
        CMmioHandle h(mmioOpen(path.c_str(), nullptr, MMIO_READWRITE | MMIO_CREATE | extra));
        ASSERT_TRUE(h);
        WriteDemo(h.Get());
        EXPECT_EQ(mmioSeek(h.Get(), 0, SEEK_END), 34);
        ASSERT_EQ(h.Close(), MMSYSERR_NOERROR);
        const std::string text = tmstest::ReadFileText(path);
        EXPECT_EQ(std::vector<BYTE>(text.begin(), text.end()), kDemoBytes);
    }
}

TEST(MmioTest, NestedRoundTripFindsChunksAndSkipsPadding) {
    std::vector<BYTE> buffer(512);
    CMmioHandle h = OpenMemory(buffer.data(), 512, 0, MMIO_READWRITE);
    MMCKINFO form, list;
    form.fccType = mmioFOURCC('s', 'b', 'u', 'f');
    ASSERT_EQ(mmioCreateChunk(h.Get(), &form, MMIO_CREATERIFF), MMSYSERR_NOERROR);
    const std::vector<BYTE> ctx(56, 0xC7);
    WriteChunk(h.Get(), "ctx ", ctx.data(), 56);
    list.fccType = mmioFOURCC('r', 'b', 'u', 'f');
    ASSERT_EQ(mmioCreateChunk(h.Get(), &list, MMIO_CREATELIST), MMSYSERR_NOERROR);
    WriteChunk(h.Get(), "odd ", "abc", 3);
    WriteChunk(h.Get(), "res ", "0123456789", 10);
    ASSERT_EQ(mmioAscend(h.Get(), &list, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioAscend(h.Get(), &form, 0), MMSYSERR_NOERROR);
    // 4 + (8 + 56) + LIST (8 + 4 + (8 + 3 + 1) + (8 + 10)) = 110
    EXPECT_EQ(form.cksize, 110u);
    EXPECT_EQ(list.cksize, 34u);

    MMCKINFO rf, rl, ck;
    ASSERT_EQ(mmioSeek(h.Get(), 0, SEEK_SET), 0);
    rf.fccType = mmioFOURCC('n', 'o', 'n', 'e');
    EXPECT_EQ(mmioDescend(h.Get(), &rf, nullptr, MMIO_FINDRIFF), MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(mmioSeek(h.Get(), 0, SEEK_CUR), 0);  // a failed search leaves the position
    rf.fccType = mmioFOURCC('s', 'b', 'u', 'f');
    ASSERT_EQ(mmioDescend(h.Get(), &rf, nullptr, MMIO_FINDRIFF), MMSYSERR_NOERROR);
    EXPECT_EQ(rf.cksize, 110u);
    EXPECT_EQ(rf.dwDataOffset, 8u);
    rl.fccType = mmioFOURCC('r', 'b', 'u', 'f');
    ASSERT_EQ(mmioDescend(h.Get(), &rl, &rf, MMIO_FINDLIST), MMSYSERR_NOERROR);
    ck.ckid = mmioFOURCC('r', 'e', 's', ' ');
    ASSERT_EQ(mmioDescend(h.Get(), &ck, &rl, MMIO_FINDCHUNK),
              MMSYSERR_NOERROR);  // skips "odd " + pad
    char data[10];
    ASSERT_EQ(mmioRead(h.Get(), data, 10), 10);
    EXPECT_EQ(std::string(data, 10), "0123456789");
    ASSERT_EQ(mmioAscend(h.Get(), &ck, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(mmioDescend(h.Get(), &ck, &rl, MMIO_FINDCHUNK),
              MMIOERR_CHUNKNOTFOUND);  // end of list

    // Ascending out of an odd chunk that was read moves past its pad byte.
    ASSERT_EQ(mmioSeek(h.Get(), static_cast<LONG>(rl.dwDataOffset + 4), SEEK_SET),
              88);  // 12 + (8 + 56) + 8 + 4
    ASSERT_EQ(mmioDescend(h.Get(), &ck, &rl, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(ck.cksize, 3u);
    ASSERT_EQ(mmioAscend(h.Get(), &ck, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(mmioSeek(h.Get(), 0, SEEK_CUR), 88 + 8 + 3 + 1);
}

TEST(MmioTest, AscendWithoutWritesPatchesSizeZero) {
    std::vector<BYTE> buffer(32, 0xEE);
    CMmioHandle h = OpenMemory(buffer.data(), 32, 0, MMIO_READWRITE | MMIO_CREATE);
    MMCKINFO ck;
    ck.ckid = mmioFOURCC('n', 'o', 'n', 'e');
    ck.cksize = 1234;  // a stale guess that ascend must correct
    ASSERT_EQ(mmioCreateChunk(h.Get(), &ck, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(ck.dwFlags & MMIO_DIRTY, MMIO_DIRTY);
    ASSERT_EQ(mmioAscend(h.Get(), &ck, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(ck.cksize, 0u);
    EXPECT_EQ(ck.dwFlags & MMIO_DIRTY, 0u);
    EXPECT_EQ(Contents(h.Get()), (std::vector<BYTE>{'n', 'o', 'n', 'e', 0, 0, 0, 0}));
}

TEST(MmioTest, CorruptHeadersFailWithoutReadingPastTheBuffer) {
    struct Row {
        const char* name;
        std::vector<BYTE> bytes;
        bool inRiff;  // search within the RIFF chunk descended first
        MMRESULT expected;
    };
    const std::vector<Row> rows = {
        {"RIFF size larger than the buffer",
         {'R', 'I', 'F', 'F', 100, 0, 0, 0, 'a', 'b', 'c', 'd'},
         false,
         MMIOERR_INVALIDFILE},
        {"chunk size past the parent",
         {'R', 'I', 'F', 'F', 16, 0, 0, 0, 'a', 'b', 'c', 'd', 'b',
          'i', 'g', ' ', 50,  0,  0, 0, 1, 2,   3,   4,   9,   9},
         true,
         MMIOERR_INVALIDFILE},
        {"LIST too small for its type",
         {'R', 'I', 'F', 'F', 14,  0, 0, 0, 'a', 'b', 'c',
          'd', 'L', 'I', 'S', 'T', 2, 0, 0, 0,   'x', 'y'},
         true,
         MMIOERR_INVALIDFILE},
        {"stray bytes shorter than a header end the search",
         {'R', 'I', 'F', 'F', 9, 0, 0, 0, 'a', 'b', 'c', 'd', 1, 2, 3, 4, 5},
         true,
         MMIOERR_CHUNKNOTFOUND},
        {"file shorter than a header", {'R', 'I', 'F', 'F', 0}, false, MMIOERR_CHUNKNOTFOUND},
        {"empty file", {}, false, MMIOERR_CHUNKNOTFOUND},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // An exactly sized heap copy, so that any over-read trips the address sanitizer.
        const auto size = static_cast<LONG>(row.bytes.size());
        auto bytes = std::make_unique<BYTE[]>(row.bytes.size());
        if (size > 0) {
            std::memcpy(bytes.get(), row.bytes.data(), row.bytes.size());
        }
        CMmioHandle h = OpenMemory(bytes.get(), size, 0, MMIO_READ);
        ASSERT_TRUE(h);
        MMCKINFO parent, ck;
        const MMCKINFO* within = nullptr;
        if (row.inRiff) {
            ASSERT_EQ(mmioDescend(h.Get(), &parent, nullptr, 0), MMSYSERR_NOERROR);
            within = &parent;
        }
        const LONG before = mmioSeek(h.Get(), 0, SEEK_CUR);
        ck.ckid = mmioFOURCC('m', 'i', 's', 's');
        EXPECT_EQ(mmioDescend(h.Get(), &ck, within, MMIO_FINDCHUNK), row.expected);
        EXPECT_EQ(mmioSeek(h.Get(), 0, SEEK_CUR), before);
        char sink[64];
        EXPECT_EQ(mmioRead(h.Get(), sink, 64), size - before);  // reads stop at the end
    }
}

TEST(MmioTest, SeekSemantics) {
    std::vector<BYTE> buffer(100);
    CMmioHandle h = OpenMemory(buffer.data(), 100, 0, MMIO_READWRITE | MMIO_CREATE);
    ASSERT_EQ(mmioWrite(h.Get(), "0123456789", 10), 10);
    EXPECT_EQ(mmioSeek(h.Get(), 0, SEEK_END), 10);  // the end of the content, not the capacity
    EXPECT_EQ(mmioSeek(h.Get(), -4, SEEK_CUR), 6);
    EXPECT_EQ(mmioSeek(h.Get(), 2, SEEK_SET), 2);
    EXPECT_EQ(mmioSeek(h.Get(), -3, SEEK_CUR), -1);
    EXPECT_EQ(mmioSeek(h.Get(), 1, SEEK_END), -1);  // memory files end at their content
    EXPECT_EQ(mmioSeek(h.Get(), 0, 7), -1);
    EXPECT_EQ(mmioSeek(h.Get(), 0, SEEK_CUR), 2);  // failed seeks keep the position
    char c;
    ASSERT_EQ(mmioRead(h.Get(), &c, 1), 1);
    EXPECT_EQ(c, '2');

    tmstest::TestRuntimeDir dir;
    const std::string path = dir.Path() + "/seek.bin";
    CMmioHandle d(mmioOpen(path.c_str(), nullptr, MMIO_WRITE | MMIO_CREATE | MMIO_ALLOCBUF));
    ASSERT_TRUE(d);
    EXPECT_EQ(mmioSeek(d.Get(), 4, SEEK_SET), 4);  // disk files may seek past their end
    ASSERT_EQ(mmioWrite(d.Get(), "x", 1), 1);
    ASSERT_EQ(d.Close(), MMSYSERR_NOERROR);
    EXPECT_EQ(tmstest::ReadFileText(path), std::string("\0\0\0\0x", 5));
}

TEST(MmioTest, FixedSizeMemoryFileRefusesToGrowAndGrowingOneMoves) {
    std::vector<BYTE> fixed(16);
    CMmioHandle h = OpenMemory(fixed.data(), 16, 0, MMIO_READWRITE | MMIO_CREATE);
    const std::vector<BYTE> data(20, 0xAB);
    EXPECT_EQ(mmioWrite(h.Get(), data.data(), 20), 16);  // writes what fits
    EXPECT_EQ(mmioWrite(h.Get(), data.data(), 1), 0);
    ASSERT_EQ(mmioSeek(h.Get(), 10, SEEK_SET), 10);
    MMCKINFO ck;
    ck.ckid = mmioFOURCC('f', 'u', 'l', 'l');
    EXPECT_EQ(mmioCreateChunk(h.Get(), &ck, 0), MMIOERR_CANNOTEXPAND);
    EXPECT_EQ(mmioSeek(h.Get(), 0, SEEK_CUR), 10);
    EXPECT_EQ(fixed[10], 0xAB);  // no half header was written

    // An odd chunk ending exactly at the capacity has no room for its pad byte.
    ASSERT_EQ(mmioSeek(h.Get(), 1, SEEK_SET), 1);
    ASSERT_EQ(mmioCreateChunk(h.Get(), &ck, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioWrite(h.Get(), data.data(), 7), 7);
    EXPECT_EQ(mmioAscend(h.Get(), &ck, 0), MMIOERR_CANNOTEXPAND);

    std::vector<BYTE> small(8);
    CMmioHandle g = OpenMemory(small.data(), 8, 100, MMIO_READWRITE | MMIO_CREATE);
    ASSERT_EQ(mmioWrite(g.Get(), "abcdefgh", 8), 8);
    ASSERT_EQ(mmioWrite(g.Get(), "ij", 2), 2);
    MMIOINFO info;
    ASSERT_EQ(mmioGetInfo(g.Get(), &info, 0), MMSYSERR_NOERROR);
    EXPECT_NE(info.pchBuffer, reinterpret_cast<char*>(small.data()));  // moved to an owned buffer
    EXPECT_EQ(info.cchBuffer, 108);                                    // one increment
    EXPECT_EQ(std::string(info.pchBuffer, info.pchEndRead), "abcdefghij");
}

// The inline chunk calls store in place only into a writable memory file;
// a read-only one (a reply being parsed) must refuse them as the general path
// does, with nothing written, also once a growing file has moved.
TEST(MmioTest, InlineChunkCallsWriteOnlyIntoWritableMemory) {
    std::vector<BYTE> bytes(64, 0xEE);
    CMmioHandle readOnly = OpenMemory(bytes.data(), 64, 0, MMIO_READ);
    MMCKINFO ck;
    ck.ckid = mmioFOURCC('n', 'o', 'p', 'e');
    EXPECT_EQ(mmioCreateChunk(readOnly.Get(), &ck, 0), MMIOERR_CANNOTWRITE);
    EXPECT_EQ(mmioWrite(readOnly.Get(), "abcd", 4), -1);
    EXPECT_EQ(mmioSeek(readOnly.Get(), 0, SEEK_CUR), 0);
    EXPECT_EQ(bytes, std::vector<BYTE>(64, 0xEE));

    // A growing file: the first chunk's data moves it to a buffer of its
    // own, the next chunk lands there up to its new capacity exactly.
    std::vector<BYTE> small(8);
    CMmioHandle g = OpenMemory(small.data(), 8, 24, MMIO_READWRITE | MMIO_CREATE);
    const std::vector<BYTE> data(12, 0x42);
    WriteChunk(g.Get(), "one ", data.data(), 12);  // 20 bytes: grows to 32
    WriteChunk(g.Get(), "two ", data.data(), 4);   // 32: exactly full
    const std::vector<BYTE> contents = Contents(g.Get());
    ASSERT_EQ(contents.size(), 32u);
    EXPECT_EQ(std::string(contents.begin() + 20, contents.begin() + 24), "two ");
    EXPECT_EQ(contents[24], 4);
}

TEST(MmioTest, OpenFailuresReportTheirCode) {
    MMIOINFO info;
    EXPECT_EQ(mmioOpen("/nonexistent-folder/x.riff", &info, MMIO_READ), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_FILENOTFOUND);
    info.fccIOProc = FOURCC_MEM;
    EXPECT_EQ(mmioOpen(nullptr, &info, MMIO_READWRITE | 0x20),
              nullptr);  // share modes are not offered
    EXPECT_EQ(info.wErrorRet, MMSYSERR_INVALFLAG);
    EXPECT_EQ(mmioStringToFOURCC("ctx", MMIO_TOUPPER), mmioFOURCC('C', 'T', 'X', ' '));
}

}  // namespace
