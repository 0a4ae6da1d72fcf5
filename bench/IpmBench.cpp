// A request/reply round trip through CIpmClient to the RTS simulator (run in
// this process, checking every request) against a bare SOCK_SEQPACKET
// ping-pong of the same sizes (a 4096-byte request, a 28-byte reply), the
// two measured alternately in the same run. Every thread is pinned to one
// CPU (Arg 1) or to two CPUs (Arg 2). Target: ours within 1.5x of bare at
// the median and at p99 (counters ratio_median and ratio_p99).
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchStats.h"
#include "bench/BenchSummary.h"
#include "server/configmgr/SystemConfigFile.h"
#include "server/ipmclient/IpmClient.h"
#include "server/rtssim/RtsSimulator.h"
#include "tmschannel/rts/MmioMsg.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRequest = 4096;
constexpr int kReply = 28;
constexpr int kSamplesPerRound = 64;

// A valid "open" of exactly kRequest bytes, so the simulator checks it whole.
// Its configuration text is a well-formed document padded out with a
// comment: text that is not XML would send the simulator down its parse
// failure (an exception, and a line and column worked out over the whole
// text) on every request, which is no part of a round trip.
std::vector<char> OpenRequest() {
    rts::OwnerRecord owner{};
    rts::SetNarrow(owner.channelId, "Chan1");
    // RIFF header 12 + "ownr" 8 + 112 + "cdef" 8 + text with its NUL.
    const std::string head = "<Config><!--";
    const std::string tail = "--></Config>";
    std::string text = head;
    text.append(kRequest - 12 - 120 - 8 - 1 - head.size() - tail.size(), 'x');
    text += tail;
    CMmioMsg msg(rts::kLargeMessageSize);
    rts::BuildOpenMessage(msg, owner, text);
    return std::vector<char>(msg.GetBuffer(), msg.GetBuffer() + msg.GetMsgSize());
}

void BM_IpmRoundTrip(benchmark::State& state) {
    const int cpus = static_cast<int>(state.range(0));
    if (static_cast<int>(std::thread::hardware_concurrency()) < cpus) {
        state.SkipWithError("not enough CPUs");
        return;
    }
    // Threads started from here on inherit the mask.
    bench::CCpuPin pin(cpus);
    if (!pin.Ok()) {
        state.SkipWithError("sched_setaffinity failed");
        return;
    }
    std::string folder = (std::filesystem::temp_directory_path() / "tms-bench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    ::setenv("TMS_RUNTIME_DIR", folder.c_str(), 1);
    {
        RtsSimOptions options;
        options.configPath = SampleConfigPath();
        options.runClockThread = false;
        CRtsSimulator sim(options);
        std::string error;
        if (!sim.Start(&error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        CIpmClient port(4096, 1, "rtp/TmsFore00", 60000);
        const std::vector<char> request = OpenRequest();

        int pair[2];
        ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair);
        std::thread echo([fd = pair[1]] {
            char buf[kRequest];
            const char reply[kReply] = {};
            while (::recv(fd, buf, sizeof buf, 0) > 0) {
                ::send(fd, reply, sizeof reply, MSG_NOSIGNAL);
            }
        });

        std::vector<double> ours, bare;
        char reply[1024];
        for (auto _ : state) {
            for (int i = 0; i < kSamplesPerRound; ++i) {
                auto t0 = Clock::now();
                port.Write(request.data(), static_cast<int>(request.size()));
                port.Read(reply, sizeof reply);
                auto t1 = Clock::now();
                ::send(pair[0], request.data(), request.size(), MSG_NOSIGNAL);
                ::recv(pair[0], reply, sizeof reply, 0);
                auto t2 = Clock::now();
                ours.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
                bare.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
            }
        }
        ::shutdown(pair[0], SHUT_RDWR);
        echo.join();
        ::close(pair[0]);
        ::close(pair[1]);
        port.Close();
        sim.Stop();
        bench::ReportAgainst(state, ours, bare, "ours", "bare");
        const std::string cpuText = cpus == 1 ? "1 CPU" : "2 CPUs";
        for (const double p : {0.5, 0.99}) {
            const double o = bench::Percentile(ours, p);
            const double b = bench::Percentile(bare, p);
            bench::AddSummary({"IPM round trip, " + cpuText + (p == 0.5 ? ", median" : ", p99"),
                               bench::Us(o), "bare SEQPACKET " + bench::Us(b), o / b, "<= 1.5x",
                               o / b <= 1.5});
        }
    }
    std::filesystem::remove_all(folder);
    ::unsetenv("TMS_RUNTIME_DIR");
}

BENCHMARK(BM_IpmRoundTrip)->Arg(1)->Arg(2)->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace
