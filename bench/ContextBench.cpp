// Context changes through the channel component, against the RTS simulator
// run in this process.
//
// BM_ContextChangeRoundTrip: ApplyContextChange of a play change (speed
// 1.0 and 0.5 alternately, each a real "sbuf" the simulator checks and
// acknowledges) against a bare SOCK_SEQPACKET request/reply of the same byte
// counts, measured alternately, every thread pinned to one CPU (Arg 1) or
// two (Arg 2). The request size is taken from a first run with the
// simulator dumping what it receives. Targets: ours within 2x of bare at the
// median (1 and 2 CPUs), within 1.5x at p99 (2 CPUs).
//
// Then the CPU a change costs, over blocks of changes in a row against
// blocks of bare exchanges, in turn, the median block of each: the calling
// thread's CPU (CLOCK_THREAD_CPUTIME_ID) plus the channel's RTS message
// thread ("tms-rts-N", from its schedstat) plus the wall time the
// connection spent spinning (CRtsMsg::SpinNanos: a spin holds a CPU whether
// or not the scheduler bills it), per change; against the caller's CPU plus
// the echo thread's, per exchange. The simulator's threads stand for the
// RTS, which is not ours to count: they are left out, as the echo thread's
// work is the bare exchange's RTS.
// Target: within 2x.
//
// BM_StateListMovieLength: a position change with a purge, so that each
// change builds a fresh list of 256 states, on a movie of 9,000 segments
// against the same on a movie of 10 segments; both windows cover the same
// nine segments of the same length, so only the movie's length differs.
// Target: within 2x at the median.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchRuntime.h"
#include "bench/BenchSim.h"
#include "bench/BenchStats.h"
#include "bench/BenchSummary.h"
#include "bench/ThreadTimes.h"
#include "platform/com/Bstr.h"
#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComPtr.h"
#include "platform/com/Variant.h"
#include "platform/kernel/NamedObjects.h"
#include "server/configmgr/SystemConfigFile.h"
#include "server/rtssim/RtsSimulator.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/MovieFile.h"
#include "server/timeline/MovieName.h"
#include "tmschannel/context/ContextRecord.h"
#include "tmschannel/rts/RtsMsg.h"
#include "tmschannel/tmschannel.h"

namespace {

using bench::CCpuPin;
using bench::Clock;
using bench::Micros;
using namespace context_record;

constexpr std::uint32_t kChannel = 1;  // Chan2: one video resource, two fields a frame

// The RTS simulator of the runtime folder, in this process, its clock
// stopped so that no status pass runs between the measured calls. With a
// dump folder it writes every message it receives there.
class CInProcessRts {
public:
    explicit CInProcessRts(const std::string& dumpDir)
        : m_sim(bench::CBenchSim::Options(false, dumpDir)) {}

    const std::string& Error() const { return m_sim.Error(); }
    std::string Status() { return m_sim.Sim().Control("status " + std::to_string(kChannel)); }

private:
    bench::CBenchSim m_sim;
};

// Channel 1 opened through the component, and its context broker; closed
// on destruction.
class COpenChannel {
public:
    COpenChannel() {
        if (CoCreateInstance(CLSID_TmsChannel, nullptr, CLSCTX_INPROC_SERVER, IID_ITmsChannel,
                             reinterpret_cast<void**>(&m_channel)) != S_OK) {
            m_error = "cannot create the channel";
            return;
        }
        if (m_channel->Open(CVariant(static_cast<std::int32_t>(kChannel)), CBstr("suite"),
                            CBstr("user"), CBstr("bench"), CBstr("uuid-1234")) != S_OK) {
            m_error = "cannot open channel " + std::to_string(kChannel);
            m_channel.Release();
            return;
        }
        m_channel->QueryInterface(IID_ITmsContextBroker, reinterpret_cast<void**>(&m_broker));
        if (m_broker == nullptr) {
            m_error = "the channel has no context broker";
        }
    }
    ~COpenChannel() {
        m_broker.Release();
        if (m_channel != nullptr) {
            m_channel->Close();
        }
    }
    COpenChannel(const COpenChannel&) = delete;
    COpenChannel& operator=(const COpenChannel&) = delete;

    const std::string& Error() const { return m_error; }
    ITmsChannel* Channel() const { return m_channel; }
    ITmsContextBroker* Broker() const { return m_broker; }

private:
    CComPtr<ITmsChannel> m_channel;
    CComPtr<ITmsContextBroker> m_broker;
    std::string m_error;
};

// A client's change record: the given flags, trigger Asap, the timeline's
// length.
struct ChangeArgs {
    std::uint32_t flags = 0;
    std::int32_t portState = 0;
    float speed = 0.0f;
    std::int32_t position = 0;
    std::int32_t length = 0;
};

ChangeRecord MakeChange(const ChangeArgs& a) {
    return bench::Change(a.flags, a.portState, a.speed, a.position, a.length);
}

HRESULT Apply(ITmsContextBroker* broker, unsigned token, ChangeRecord record) {
    return broker->ApplyContextChange(token, sizeof record,
                                      reinterpret_cast<unsigned char*>(&record));
}

// The messages the simulator has dumped so far, oldest first.
class CDumpReader {
public:
    explicit CDumpReader(std::string dir) : m_dir(std::move(dir)) {
        std::filesystem::create_directories(m_dir);
    }
    const std::string& Dir() const { return m_dir; }
    // The sizes of the messages dumped since the last call.
    std::vector<std::uintmax_t> TakeNew() {
        std::vector<std::string> files;
        for (const auto& e : std::filesystem::directory_iterator(m_dir)) {
            files.push_back(e.path().string());
        }
        std::sort(files.begin(), files.end());
        std::vector<std::uintmax_t> sizes;
        for (std::size_t i = m_seen; i < files.size(); ++i) {
            sizes.push_back(std::filesystem::file_size(files[i]));
        }
        m_seen = files.size();
        return sizes;
    }

private:
    std::string m_dir;
    std::size_t m_seen = 0;
};

// The runtime folder, the in-process RTS (dumping into Dump() when asked)
// and channel 1 open on it: what every measurement here starts from.
class CBenchChannel {
public:
    explicit CBenchChannel(bool dump)
        : m_dump(m_runtime.Path() + "/dump"), m_rts(dump ? m_dump.Dir() : std::string()) {}
    // The first set-up failure; empty when all went well.
    std::string Error() const {
        for (const std::string* e : {&m_runtime.Error(), &m_rts.Error(), &m_channel.Error()}) {
            if (!e->empty()) {
                return *e;
            }
        }
        return {};
    }
    const std::string& Path() const { return m_runtime.Path(); }
    CDumpReader& Dump() { return m_dump; }
    ITmsChannel* Channel() const { return m_channel.Channel(); }
    ITmsContextBroker* Broker() const { return m_channel.Broker(); }

private:
    CBenchRuntime m_runtime;
    CDumpReader m_dump;
    CInProcessRts m_rts;
    COpenChannel m_channel;
};

// ---------------------------------------------------------------------------
// Context-change round trip.

constexpr int kPlayLength = 600;
constexpr int kSamplesPerRound = 64;

// A context cued and playing at 1x on a populated movie; each Next() is a
// play change to the other speed, one state message without new states.
class CPlayingContext {
public:
    explicit CPlayingContext(ITmsChannel* channel, ITmsContextBroker* broker) : m_broker(broker) {
        unsigned short code = 0;
        CComPtr<IUnknown> timeline;
        GUID iid = IID_IUnknown;
        if (channel->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr("play"), TRUE, kPlayLength,
                                    &code, &iid, reinterpret_cast<void**>(&timeline)) != S_OK ||
            channel->AllocateContext(code, &m_token) != S_OK) {
            m_error = "cannot make a context on a populated movie";
            return;
        }
        if (Apply(broker, m_token,
                  MakeChange({kPortState | kPosition, TmsCuePlay, 0.0f, 0, kPlayLength})) != S_OK ||
            Apply(broker, m_token,
                  MakeChange({kPortState | kSpeed, TmsShuttlePlay, 1.0f, 0, kPlayLength})) !=
                S_OK) {
            m_error = "cannot cue and play the context";
        }
    }
    const std::string& Error() const { return m_error; }

    HRESULT Next() {
        m_slow = !m_slow;
        return Apply(m_broker, m_token,
                     MakeChange({kPortState | kSpeed, TmsShuttlePlay, m_slow ? 0.5f : 1.0f, 0,
                                 kPlayLength}));
    }

private:
    ITmsContextBroker* m_broker;
    unsigned m_token = 0;
    bool m_slow = false;
    std::string m_error;
};

// The size of the message each play change sends: every change of a short
// run must send exactly one message, all of one size; 0 when not.
std::uintmax_t PlayChangeSize(std::string* error) {
    CBenchChannel channel(true);
    if (*error = channel.Error(); !error->empty()) {
        return 0;
    }
    CDumpReader& dump = channel.Dump();
    CPlayingContext context(channel.Channel(), channel.Broker());
    if (!context.Error().empty()) {
        *error = context.Error();
        return 0;
    }
    dump.TakeNew();
    std::uintmax_t size = 0;
    for (int i = 0; i < 8; ++i) {
        if (context.Next() != S_OK) {
            *error = "a play change failed";
            return 0;
        }
        const auto sizes = dump.TakeNew();
        if (sizes.size() != 1 || (size != 0 && sizes[0] != size)) {
            *error = "a play change did not send exactly one message of the first one's size";
            return 0;
        }
        size = sizes[0];
    }
    return size;
}

// A SOCK_SEQPACKET pair whose far end answers each request with reply bytes.
class CEchoPair {
public:
    CEchoPair(std::size_t requestSize, std::size_t replySize) {
        ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, m_fd);
        m_echo = std::thread([fd = m_fd[1], requestSize, replySize] {
            // Named, so that its CPU can be told from the others'.
            ::pthread_setname_np(::pthread_self(), "tms-bench-echo");
            std::vector<char> buf(requestSize + 1);
            const std::vector<char> reply(replySize, 0);
            while (::recv(fd, buf.data(), buf.size(), 0) > 0) {
                ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        });
    }
    ~CEchoPair() {
        ::shutdown(m_fd[0], SHUT_RDWR);
        m_echo.join();
        ::close(m_fd[0]);
        ::close(m_fd[1]);
    }
    CEchoPair(const CEchoPair&) = delete;
    CEchoPair& operator=(const CEchoPair&) = delete;

    void RoundTrip(const std::vector<char>& request, std::vector<char>& reply) {
        ::send(m_fd[0], request.data(), request.size(), MSG_NOSIGNAL);
        ::recv(m_fd[0], reply.data(), reply.size(), 0);
    }

private:
    int m_fd[2] = {-1, -1};
    std::thread m_echo;
};

// A figure against its baseline: ratio and whether it is within target.
void AddRatioRow(const std::string& figure, double ours, const std::string& baseName, double base,
                 double target) {
    const double ratio = ours / base;
    bench::AddSummary({figure, bench::Us(ours), baseName + " " + bench::Us(base), ratio,
                       bench::Text("<= %.1fx", target), ratio <= target});
}

void BM_ContextChangeRoundTrip(benchmark::State& state) {
    std::string error;
    const std::uintmax_t requestSize = PlayChangeSize(&error);
    if (requestSize == 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::size_t replySize = BuildRtsReply(0).size();

    CCpuPin pin(static_cast<int>(state.range(0)));
    if (!pin.Ok()) {
        state.SkipWithError("cannot pin to that many CPUs");
        return;
    }
    std::vector<double> ours, bare;
    {
        CBenchChannel channel(false);
        if (const std::string e = channel.Error(); !e.empty()) {
            state.SkipWithError(e.c_str());
            return;
        }
        CPlayingContext context(channel.Channel(), channel.Broker());
        if (!context.Error().empty()) {
            state.SkipWithError(context.Error().c_str());
            return;
        }
        CEchoPair pair(requestSize, replySize);
        const std::vector<char> request(requestSize, 'x');
        std::vector<char> reply(replySize + 64);
        bool failed = false;
        for (auto _ : state) {
            for (int i = 0; i < kSamplesPerRound; ++i) {
                const auto t0 = Clock::now();
                failed = failed || context.Next() != S_OK;
                const auto t1 = Clock::now();
                pair.RoundTrip(request, reply);
                const auto t2 = Clock::now();
                ours.push_back(Micros(t0, t1));
                bare.push_back(Micros(t1, t2));
            }
        }
        if (failed) {
            state.SkipWithError("a play change failed");
            return;
        }

        // CPU, over changes in a row and bare exchanges in a row. Blocks in
        // turn, and the median block of each: a block the machine disturbed
        // (another process, the host) does not make the figure.
        const std::string echoThread = "tms-bench-echo";
        const auto threads = bench::ReadThreadTimes();
        for (const std::string& prefix : {std::string("tms-rts-"), echoThread}) {
            if (std::none_of(threads.begin(), threads.end(),
                             [&](const auto& t) { return t.second.name.rfind(prefix, 0) == 0; })) {
                state.SkipWithError(("no thread named " + prefix + "...").c_str());
                return;
            }
        }
        constexpr int kCpuBlocks = 7;
        constexpr int kCpuBlock = 300;
        std::vector<double> oursBlocks, bareBlocks, callerBlocks, rtsBlocks, spinBlocks;
        for (int b = 0; b < kCpuBlocks && !failed; ++b) {
            const double spin0 = static_cast<double>(CRtsMsg::SpinNanos());
            const auto threads0 = bench::ReadThreadTimes();
            const double caller0 = bench::ThreadCpuNs();
            for (int i = 0; i < kCpuBlock; ++i) {
                failed = failed || context.Next() != S_OK;
            }
            const double caller1 = bench::ThreadCpuNs();
            const auto threads1 = bench::ReadThreadTimes();
            const double spin1 = static_cast<double>(CRtsMsg::SpinNanos());
            for (int i = 0; i < kCpuBlock; ++i) {
                pair.RoundTrip(request, reply);
            }
            const double caller2 = bench::ThreadCpuNs();
            const auto threads2 = bench::ReadThreadTimes();
            callerBlocks.push_back((caller1 - caller0) / kCpuBlock / 1e3);
            rtsBlocks.push_back(bench::CpuBetween(threads0, threads1, "tms-rts-") / kCpuBlock /
                                1e3);
            spinBlocks.push_back((spin1 - spin0) / kCpuBlock / 1e3);
            oursBlocks.push_back(callerBlocks.back() + rtsBlocks.back() + spinBlocks.back());
            bareBlocks.push_back(
                (caller2 - caller1 + bench::CpuBetween(threads1, threads2, echoThread)) /
                kCpuBlock / 1e3);
        }
        if (failed) {
            state.SkipWithError("a play change failed");
            return;
        }
        const double oursCpu = bench::Percentile(oursBlocks, 0.5);
        const double bareCpu = bench::Percentile(bareBlocks, 0.5);
        state.counters["caller_cpu_us"] = bench::Percentile(callerBlocks, 0.5);
        state.counters["rts_thread_cpu_us"] = bench::Percentile(rtsBlocks, 0.5);
        state.counters["spin_us"] = bench::Percentile(spinBlocks, 0.5);
        state.counters["ours_cpu_us"] = oursCpu;
        state.counters["bare_cpu_us"] = bareCpu;
        state.counters["ratio_cpu"] = oursCpu / bareCpu;
        AddRatioRow(
            std::string("CPU per context change, ") + (state.range(0) == 1 ? "1 CPU" : "2 CPUs"),
            oursCpu, "bare exchange", bareCpu, 2.0);
    }
    state.counters["request_bytes"] = static_cast<double>(requestSize);
    state.counters["reply_bytes"] = static_cast<double>(replySize);
    bench::ReportAgainst(state, ours, bare, "ours", "bare");
    const std::string cpus = state.range(0) == 1 ? "1 CPU" : "2 CPUs";
    AddRatioRow("context change round trip, " + cpus + ", median", bench::Percentile(ours, 0.5),
                "bare SEQPACKET", bench::Percentile(bare, 0.5), 2.0);
    if (state.range(0) == 2) {
        AddRatioRow("context change round trip, 2 CPUs, p99", bench::Percentile(ours, 0.99),
                    "bare SEQPACKET", bench::Percentile(bare, 0.99), 1.5);
    }
}

BENCHMARK(BM_ContextChangeRoundTrip)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(100)
    ->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// State-list building against the movie's length.

constexpr int kSegmentLength = 60;  // fields; 256 states two fields apart span nine segments
constexpr int kShortMovie = 10;
constexpr int kLongMovie = 9000;  // seven tracks of it use 63,000 of a movie's 65,535 segment codes
constexpr int kListSamplesPerRound = 8;

// A stored movie of count segments on each track the channel populates,
// every one a copy of the populated segment with its own code and uuid,
// opened as a timeline; a context on it cued and playing at 1x near its end.
// Each Next() moves to the other of two positions one segment apart, with a
// purge, so that a fresh list of 256 states is built over the same nine
// segments whatever the movie's length.
class CListContext {
public:
    CListContext(ITmsChannel* channel, ITmsContextBroker* broker, const std::string& runtime,
                 const std::string& name, int count)
        : m_broker(broker),
          m_length(count * kSegmentLength),
          m_base((count - kShortMovie) * kSegmentLength) {
        unsigned short code = 0;
        CComPtr<IUnknown> timeline;
        GUID iid = IID_IUnknown;
        if (channel->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr(name.c_str()), TRUE,
                                    kSegmentLength, &code, &iid,
                                    reinterpret_cast<void**>(&timeline)) != S_OK) {
            m_error = "cannot create movie " + name;
            return;
        }
        timeline.Release();
        channel->CloseTimeline(code);
        if (!Lengthen(CMovieName("ds", "grp", name).FilePath(runtime), count)) {
            return;
        }
        iid = IID_IUnknown;
        if (channel->OpenTimeline(CBstr("ds"), CBstr("grp"), CBstr(name.c_str()), &code, &iid,
                                  reinterpret_cast<void**>(&timeline)) != S_OK ||
            !HasLength(timeline) || channel->AllocateContext(code, &m_token) != S_OK) {
            m_error = "cannot open movie " + name + " of " + std::to_string(count) + " segments";
            return;
        }
        if (Apply(broker, m_token,
                  MakeChange({kPortState | kPosition, TmsCuePlay, 0.0f, m_base, m_length})) !=
                S_OK ||
            Apply(broker, m_token,
                  MakeChange({kPortState | kSpeed, TmsShuttlePlay, 1.0f, m_base, m_length})) !=
                S_OK) {
            m_error = "cannot cue and play on movie " + name;
        }
    }
    const std::string& Error() const { return m_error; }

    HRESULT Next() {
        m_second = !m_second;
        return Apply(m_broker, m_token,
                     MakeChange({kPosition | kPurge, 0, 1.0f,
                                 m_base + (m_second ? kSegmentLength : 0), m_length}));
    }

private:
    bool Lengthen(const std::string& path, int count) {
        try {
            const CMovieFile file(path);
            MovieState movie = file.Read();
            for (auto& [key, track] : movie.tracks) {
                if (track.segments.size() != 1) {
                    m_error = "the populated movie has a track without exactly one segment";
                    return false;
                }
                const MovieSegment first = track.segments.front();
                for (int i = 1; i < count; ++i) {
                    MovieSegment copy = first;
                    copy.code = static_cast<std::uint16_t>(movie.nextSegmentCode++);
                    copy.uuid = first.uuid + "-" + std::to_string(i);
                    track.segments.push_back(std::move(copy));
                }
            }
            file.Replace(movie);
            return true;
        } catch (const std::exception& e) {
            m_error = e.what();
            return false;
        }
    }

    bool HasLength(IUnknown* timeline) const {
        CComPtr<IMovie> movie;
        timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&movie));
        CVariant length;
        return movie != nullptr &&
               movie->GetProperty(CBstr("length"), length.GetAddress()) == S_OK &&
               length.ToInt32() == m_length;
    }

    ITmsContextBroker* m_broker;
    const std::int32_t m_length;
    const std::int32_t m_base;
    unsigned m_token = 0;
    bool m_second = false;
    std::string m_error;
};

// Both movies' contexts on one channel.
struct ListContexts {
    ListContexts(ITmsChannel* channel, ITmsContextBroker* broker, const std::string& runtime)
        : shortMovie(channel, broker, runtime, "short", kShortMovie),
          longMovie(channel, broker, runtime, "long", kLongMovie) {}
    std::string Error() const {
        return !shortMovie.Error().empty() ? shortMovie.Error() : longMovie.Error();
    }
    CListContext shortMovie;
    CListContext longMovie;
};

// Messages and bytes a change sends on each movie, from a run with the
// simulator dumping: the two must send the same number of messages.
struct ListTraffic {
    double shortMessages = 0, longMessages = 0;
    double shortBytes = 0, longBytes = 0;
};

bool MeasureListTraffic(ListTraffic* traffic, std::string* error) {
    CBenchChannel channel(true);
    if (*error = channel.Error(); !error->empty()) {
        return false;
    }
    CDumpReader& dump = channel.Dump();
    ListContexts contexts(channel.Channel(), channel.Broker(), channel.Path());
    if (!contexts.Error().empty()) {
        *error = contexts.Error();
        return false;
    }
    constexpr int kChanges = 6;
    auto run = [&](CListContext& context, double* messages, double* bytes) {
        dump.TakeNew();
        for (int i = 0; i < kChanges; ++i) {
            if (context.Next() != S_OK) {
                return false;
            }
        }
        const auto sizes = dump.TakeNew();
        *messages = static_cast<double>(sizes.size()) / kChanges;
        for (auto s : sizes) {
            *bytes += static_cast<double>(s) / kChanges;
        }
        return true;
    };
    if (!run(contexts.shortMovie, &traffic->shortMessages, &traffic->shortBytes) ||
        !run(contexts.longMovie, &traffic->longMessages, &traffic->longBytes)) {
        *error = "a position change failed";
        return false;
    }
    if (traffic->shortMessages != traffic->longMessages || traffic->shortMessages < 1) {
        *error = "the two movies' changes send different numbers of messages";
        return false;
    }
    return true;
}

void BM_StateListMovieLength(benchmark::State& state) {
    ListTraffic traffic;
    std::string error;
    if (!MeasureListTraffic(&traffic, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    CCpuPin pin(static_cast<int>(state.range(0)));
    if (!pin.Ok()) {
        state.SkipWithError("cannot pin to that many CPUs");
        return;
    }
    std::vector<double> longTimes, shortTimes;
    {
        CBenchChannel channel(false);
        if (const std::string e = channel.Error(); !e.empty()) {
            state.SkipWithError(e.c_str());
            return;
        }
        ListContexts contexts(channel.Channel(), channel.Broker(), channel.Path());
        if (!contexts.Error().empty()) {
            state.SkipWithError(contexts.Error().c_str());
            return;
        }
        bool failed = false;
        for (auto _ : state) {
            for (int i = 0; i < kListSamplesPerRound; ++i) {
                const auto t0 = Clock::now();
                failed = failed || contexts.longMovie.Next() != S_OK;
                const auto t1 = Clock::now();
                failed = failed || contexts.shortMovie.Next() != S_OK;
                const auto t2 = Clock::now();
                longTimes.push_back(Micros(t0, t1));
                shortTimes.push_back(Micros(t1, t2));
            }
        }
        if (failed) {
            state.SkipWithError("a position change failed");
            return;
        }
    }
    state.counters["messages_per_change"] = traffic.longMessages;
    state.counters["long_bytes_per_change"] = traffic.longBytes;
    state.counters["short_bytes_per_change"] = traffic.shortBytes;
    bench::ReportAgainst(state, longTimes, shortTimes, "long", "short");
    AddRatioRow("state list, 9,000-segment movie, median", bench::Percentile(longTimes, 0.5),
                "10-segment movie", bench::Percentile(shortTimes, 0.5), 2.0);
}

BENCHMARK(BM_StateListMovieLength)->Arg(2)->Iterations(20)->Unit(benchmark::kMicrosecond);

}  // namespace
