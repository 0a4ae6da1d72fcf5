// The second half of tmsctl demo: the RTS simulator started on a private
// runtime folder and driven as a channel drives it, message by message.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "server/ipmclient/IpmClient.h"
#include "server/ipmclient/RtsShmem.h"
#include "tmschannel/rts/MmioMsg.h"
#include "tmschannel/rts/RtsMessages.h"
#include "tools/tmsctl/Commands.h"

namespace tmsctl {

namespace {

using namespace std::chrono_literals;

// The simulator process for the scope of the demo.
class CSimulatorProcess {
public:
    bool Start(const std::string& runtime) {
        int out[2];
        if (::pipe(out) != 0)
            return false;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::execl(TMS_RTSSIM_PATH, TMS_RTSSIM_PATH, "--runtime", runtime.c_str(),
                    static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(out[1]);
        char line[64] = {};
        const ssize_t n = ::read(out[0], line, sizeof line - 1);
        ::close(out[0]);
        return m_pid > 0 && n > 0 && std::strstr(line, "ready") != nullptr;
    }
    ~CSimulatorProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

private:
    pid_t m_pid = -1;
};

// One exchange; prints what was sent and the answer.
bool Send(CIpmClient& port, CMmioMsg& msg, const char* what) {
    char reply[1024];
    int n = -1;
    if (port.Write(reinterpret_cast<const char*>(msg.GetBuffer()),
                   static_cast<int>(msg.GetMsgSize())) > 0) {
        n = port.Read(reply, sizeof reply);
    }
    if (n <= 0) {
        std::printf("  %-44s no answer (%s)\n", what, std::strerror(port.LastError()));
        return false;
    }
    CMmioMsg answer(rts::kSmallMessageSize);
    std::memcpy(answer.GetBuffer(), reply, static_cast<std::size_t>(n));
    bool found = false;
    std::int32_t status = -1;
    rts::ReadReply(answer, static_cast<DWORD>(n), &found, &status);
    std::printf("  %-44s %5u bytes -> ack %d\n", what, msg.GetMsgSize(), status);
    return true;
}

void ShowContext(const CRtsShmem& shmem, const char* when) {
    TmsPortContextStatus s{};
    unsigned ticks = 0, gpi = 0;
    shmem.GetTickCount(0, &ticks);
    shmem.GetGpiInputMask(0, &gpi);
    shmem.GetContextStatus(0, 0, &s);
    std::printf("  %-44s tick %5u  state %d  position %5d  speed %5.1f  gpi-in 0x%X\n", when, ticks,
                s.portState, s.position, s.speed, gpi);
}

std::string Control(const std::string& command) {
    CIpmClient control(512, 1, "rtssim/control", 5000);
    char answer[512];
    if (control.Write(command.data(), static_cast<int>(command.size())) < 0)
        return "no answer";
    const int n = control.Read(answer, sizeof answer);
    return n > 0 ? std::string(answer, static_cast<std::size_t>(n)) : "no answer";
}

rts::PortContextRecord Play(std::int32_t position, float speed) {
    rts::PortContextRecord c{};
    c.contextIndex = 0;
    c.flags = rts::kFlagPortState | rts::kFlagPosition | rts::kFlagSpeed | rts::kFlagMaxPos;
    c.changeId = 1;
    c.portState = 2;  // ShuttlePlay
    c.position = position;
    c.maxPosition = 600;
    c.speed = speed;
    return c;
}

}  // namespace

int RunSimulatorDemo() {
    std::string runtime = (std::filesystem::temp_directory_path() / "tms-demo-XXXXXX").string();
    if (::mkdtemp(runtime.data()) == nullptr) {
        std::fprintf(stderr, "tmsctl demo: cannot make a runtime folder\n");
        return kExitFailed;
    }
    ::setenv("TMS_RUNTIME_DIR", runtime.c_str(), 1);
    int result = kExitOk;
    {
        std::printf("\nThe RTS simulator on a private runtime folder (%s), driven as channel 0:\n",
                    runtime.c_str());
        CSimulatorProcess sim;
        if (!sim.Start(runtime)) {
            std::fprintf(stderr, "tmsctl demo: the RTS simulator did not start\n");
            result = kExitFailed;
        } else {
            CIpmClient port(4096, 1, "rtp/TmsFore00", 60000);
            CRtsShmem shmem;
            shmem.Open();
            rts::OwnerRecord owner{};
            rts::SetNarrow(owner.channelId, "Chan1");
            rts::SetNarrow(owner.application, "tmsctl demo");
            CMmioMsg msg(rts::kLargeMessageSize);
            rts::BuildOpenMessage(msg, owner, "<Config/>");
            Send(port, msg, "\"open\" with the owner record");
            rts::BuildPortContextMessage(msg, rts::DefaultEndModeContext(0));
            Send(port, msg, "\"sbuf\" default end mode Freeze");
            rts::BuildPortContextMessage(msg, rts::DefaultIdleModeContext(2));
            Send(port, msg, "\"sbuf\" default idle mode Black");
            rts::BuildPortContextMessage(msg, Play(100, 1.0f));
            Send(port, msg, "\"sbuf\" context 0: play from 100, limit 600");
            std::this_thread::sleep_for(20ms);
            ShowContext(shmem, "20 ms later");
            std::this_thread::sleep_for(1s);
            ShowContext(shmem, "one second later (about 60 fields)");
            rts::BuildPortContextMessage(msg, Play(400, 8.0f));
            Send(port, msg, "\"sbuf\" context 0: shuttle x8 from 400");
            std::this_thread::sleep_for(1s);
            ShowContext(shmem, "one second later (held at the limit)");
            std::printf("  %-44s %s\n", "control: gpi 0 3 on", Control("gpi 0 3 on").c_str());
            std::this_thread::sleep_for(50ms);
            ShowContext(shmem, "GPI input 3 seen in shared memory");
            rts::BuildOpenMessage(msg, owner, "<Config/>");
            msg.GetBuffer()[8] = 'x';  // not a form the RTS knows
            Send(port, msg, "a corrupted message (refused)");
            rts::BuildCloseMessage(msg, owner);
            Send(port, msg, "\"clos\"");
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(runtime, ec);
    return result;
}

}  // namespace tmsctl
