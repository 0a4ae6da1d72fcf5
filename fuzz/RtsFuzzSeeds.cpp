// Writes one file per message form the component builds, as the seed corpus
// of the RTS message fuzzer.
#include "tmschannel/rts/RtsMessages.h"

#include <cstdio>
#include <string>

namespace {

bool Save(const std::string& dir, const char* name, CMmioMsg& msg) {
    std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    std::fwrite(msg.GetBuffer(), 1, msg.GetMsgSize(), f);
    return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: rts_fuzz_seeds DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    using namespace rts;
    OwnerRecord owner{};
    owner.channelIndex = 1;
    SetNarrow(owner.channelId, "Chan1");
    bool ok = true;
    {
        CMmioMsg m(kSmallMessageSize);
        ok &= SUCCEEDED(BuildReplyMessage(m, 0)) && Save(dir, "repl", m);
    }
    {
        CMmioMsg m(kLargeMessageSize);
        ok &= SUCCEEDED(BuildOpenMessage(m, owner, "<Config><Channel id=\"Chan1\"/></Config>")) &&
              Save(dir, "open", m);
    }
    {
        CMmioMsg m(kSmallMessageSize);
        ok &= SUCCEEDED(BuildScheduleMessage(m, GpiInputSchedule(2, false), GpiInputContext())) &&
              Save(dir, "schc", m);
    }
    {
        CMmioMsg m(kLargeMessageSize);
        CStateMessageBuilder b(m);
        PortContextRecord ctx{};
        ctx.flags = kFlagPortState | kFlagSpeed;
        ctx.speed = 1.0f;
        b.Begin(ctx);
        ResourceIdRecord id{};
        SetNarrow(id.typeName, "video");
        b.BeginResource(id);
        VideoStateRecord v{};
        v.fileCode = 1;
        b.AddVideoState(v);
        b.AddVideoState(v);
        b.EndResource();
        ok &= SUCCEEDED(b.Finish()) && Save(dir, "sbuf", m);
    }
    {
        CMmioMsg m(kLargeMessageSize);
        CFileStateMessageBuilder b(
            m, 0, 1, [&](CMmioMsg& sent) { return Save(dir, "file", sent) ? S_OK : E_FAIL; });
        FileStateRecord f{};
        f.fileCode = 1;
        SetNarrow(f.handleName, "vol0/clip.mxf");
        b.Add(kChunkFileRead, f);
        ok &= SUCCEEDED(b.Finish());
    }
    return ok ? 0 : 1;
}
