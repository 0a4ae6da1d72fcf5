// Feeds arbitrary bytes to every reader of RTS messages: the reply reader,
// the message walker of CMmioMsg, the RIFF printer, and the RTS simulator's
// checker with its channel model. Any crash, over-read
// or undefined behaviour is a finding.
#include "server/rtssim/RtsChannelModel.h"
#include "server/rtssim/RtsMessageChecker.h"
#include "tmschannel/rts/RtsMessages.h"
#include "tools/tmsctl/RiffPrinter.h"

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <streambuf>

namespace {

class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
};

void WalkChunks(CMmioMsg& msg, const MMCKINFO* parent, int depth) {
    for (int i = 0; i < 64 && depth < 8; ++i) {
        MMCKINFO ck{};
        bool found = false;
        if (msg.FindNextChunk(&ck, &found) != S_OK || !found) {
            return;
        }
        if (ck.ckid == FOURCC_LIST || ck.ckid == FOURCC_RIFF) {
            WalkChunks(msg, &ck, depth + 1);
        } else {
            const BYTE* data = nullptr;
            msg.GetDataPtr(&data, ck.cksize);
            if (data != nullptr && ck.cksize > 0) {
                volatile BYTE sink = data[ck.cksize - 1];
                (void)sink;
            }
        }
        msg.Ascend(&ck);
    }
    (void)parent;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Refused messages are logged; millions of runs must not fill a disk.
    setenv("TMS_LOG_FILE", "/dev/null", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > rts::kLargeMessageSize) {
        return 0;
    }
    CMmioMsg msg(static_cast<DWORD>(size == 0 ? 1 : size));
    std::memcpy(msg.GetBuffer(), data, size);
    bool found = false;
    std::int32_t status = 0;
    rts::ReadReply(msg, static_cast<DWORD>(size), &found, &status);

    msg.Rewind();
    WalkChunks(msg, nullptr, 0);

    NullBuffer nb;
    std::ostream out(&nb);
    tmsctl::CRiffPrinter printer(out);
    printer.Print(data, size);

    RtsCheckResult checked = CheckRtsMessage(data, size, {1, 2, 3});
    if (checked.status == kAckOk) {
        RtsSimChannel config;
        config.fieldsPerSecond = 50;
        config.audioCount = 4;
        CRtsChannelModel model(config);
        model.Apply(checked.message);
        model.Advance(100);
        RtsChannelBlock block{};
        model.Publish(block);
    }
    return 0;
}
