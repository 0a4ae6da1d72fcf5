// The status monitor of an open channel (CChannel built from the channel's
// library, as the class factory builds it), against the RTS simulator run
// in this process, with four contexts allocated on movies, cued, the last
// one playing.
//
// BM_StatusPeriod: over 10 s, the running monitor's mean period and p99
// lateness from its own schedule's counters, against a plain loop sleeping
// to absolute 20 ms deadlines (clock_nanosleep TIMER_ABSTIME) counted by a
// schedule of its own in the same 10 s. Target: mean 20.000 ms within
// 0.05%, p99 lateness no more than the plain loop's.
//
// BM_StatusCycleCost: the thread CPU time of one status cycle
// (PutStatus + PublishStatus, called here while the monitor is idle: the
// simulator's clock moves only when this thread steps it, and only in the
// gaps between the monitor's own cycles) against a memcpy of as many bytes
// as the cycle publishes into the mapped status block; heap allocations
// (operator new) and minor page faults per cycle. Target: 10 us at the
// median, no allocation. publish_median_ns is the PublishStatus part alone;
// the rest is PutStatus, mostly the wake of the hand-back thread of the
// playing context's timeline (the cued contexts' records do not change, and
// are not handed on).
// With TMS_BENCH_ALLOC_SITES=1 the call stacks of one cycle's allocations
// are printed as module+offset, for llvm-symbolizer.
//
// BM_StatusQuery: GetStatus of "position" and of four "+"-joined names
// against a std::map<std::string,int> lookup and VARIANT fill; then eight
// threads querying while the monitor publishes against the same while it is
// ended, and how long PublishStatus holds the status-file mutex. Target:
// one name under 1 us and four under 4 us at the median; the contended p99
// near the one without the monitor.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchRuntime.h"
#include "bench/BenchSim.h"
#include "bench/BenchStats.h"
#include "bench/BenchSummary.h"
#include "platform/com/Bstr.h"
#include "platform/com/ComObjectBase.h"
#include "platform/com/ComPtr.h"
#include "platform/com/Variant.h"
#include "server/appserverutil/StatusMemoryLayout.h"
#include "server/rtssim/RtsSimulator.h"
#include "tmschannel/channel/ChanAccessTable.h"
#include "tmschannel/channel/Channel.h"
#include "tmschannel/context/ContextRecord.h"
#include "tmschannel/context/ContextStatusBlock.h"

// ---------------------------------------------------------------------------
// Heap allocations of the calling thread, counted only while it says so.

namespace {

thread_local bool t_counting = false;
thread_local std::uint64_t t_allocations = 0;

// Call stacks of the counted allocations, kept without allocating.
constexpr int kSiteFrames = 14;
constexpr int kMaxSites = 256;
struct AllocSite {
    int frames = 0;
    void* pc[kSiteFrames];
};
AllocSite g_sites[kMaxSites];
std::atomic<int> g_siteCount{0};
thread_local bool t_recordSites = false;

void* CountedAlloc(std::size_t size) {
    if (t_counting) {
        ++t_allocations;
        if (t_recordSites) {
            const int i = g_siteCount.fetch_add(1);
            if (i < kMaxSites) {
                t_counting = false;  // backtrace must not count itself
                g_sites[i].frames = backtrace(g_sites[i].pc, kSiteFrames);
                t_counting = true;
            }
        }
    }
    return std::malloc(size == 0 ? 1 : size);
}

// Out of line, so that the compiler does not see free() take what a new
// expression returned once it inlines these replacements into their callers.
[[gnu::noinline]] void CountedFree(void* p) noexcept {
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* p = CountedAlloc(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAlloc(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAlloc(size);
}
void operator delete(void* p) noexcept {
    CountedFree(p);
}
void operator delete[](void* p) noexcept {
    CountedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
    CountedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    CountedFree(p);
}

namespace {

using bench::Clock;
using bench::Percentile;
using namespace context_record;

constexpr std::int32_t kChannel = 1;  // Chan2: one video resource
constexpr int kContexts = 4;
constexpr int kMovieLength = 200000;  // fields: the playing context never reaches the end

double ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

long MinorFaults() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

// A simulator clock that moves only when told.
class CSteppedClock : public IRtsSimClock {
public:
    double Seconds() override { return m_seconds.load(); }
    void Advance(double seconds) { m_seconds.store(m_seconds.load() + seconds); }

private:
    std::atomic<double> m_seconds{1000.0};
};

// The RTS simulator of the runtime folder in this process: its own clock
// thread running, or stepped by the caller (Step).
class CBenchRts {
public:
    explicit CBenchRts(bool running)
        : m_sim(bench::CBenchSim::Options(running, std::string(), &m_clock)) {}

    const std::string& Error() const { return m_sim.Error(); }
    // One step of a 50 Hz field or more: the tick moves at every format.
    void Step() {
        m_clock.Advance(1.0 / 50.0);
        m_sim.Sim().StepClock();
    }
    std::string Status() { return m_sim.Sim().Control("status " + std::to_string(kChannel)); }

private:
    CSteppedClock m_clock;
    bench::CBenchSim m_sim;
};

ChangeRecord Change(std::uint32_t flags, std::int32_t portState, float speed) {
    return bench::Change(flags, portState, speed, 0, kMovieLength);
}

// Channel 1 made from the channel's library as its class factory makes it,
// opened, with four contexts on movies of their own, all cued and the last
// one playing at 1x; closed on destruction.
class CBusyChannel {
public:
    CBusyChannel() : m_channel(MakeComObject<CChannel>()) {
        if (m_channel->Open(CVariant(kChannel), CBstr("suite"), CBstr("user"), CBstr("bench"),
                            CBstr("uuid-1234")) != S_OK) {
            m_error = "cannot open channel " + std::to_string(kChannel);
            return;
        }
        m_opened = true;
        for (int i = 0; i < kContexts; ++i) {
            const std::string name = "status" + std::to_string(i);
            unsigned short code = 0;
            CComPtr<IUnknown> timeline;
            GUID iid = IID_IUnknown;
            unsigned token = 0;
            if (m_channel->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr(name.c_str()), TRUE,
                                          kMovieLength, &code, &iid,
                                          reinterpret_cast<void**>(&timeline)) != S_OK ||
                m_channel->AllocateContext(code, &token) != S_OK ||
                Apply(token, Change(kPortState | kPosition, TmsCuePlay, 0.0f)) != S_OK) {
                m_error = "cannot cue a context on movie " + name;
                return;
            }
            m_tokens.push_back(token);
        }
        if (Apply(m_tokens.back(), Change(kPortState | kSpeed, TmsShuttlePlay, 1.0f)) != S_OK) {
            m_error = "cannot play the last context";
        }
    }
    ~CBusyChannel() {
        if (m_opened) {
            m_channel->Close();
        }
    }
    CBusyChannel(const CBusyChannel&) = delete;
    CBusyChannel& operator=(const CBusyChannel&) = delete;

    const std::string& Error() const { return m_error; }
    CChannel& Channel() const { return *m_channel; }
    // The playing context's token.
    unsigned PlayingToken() const { return m_tokens.back(); }
    CChanAccess* Access() const { return chan_access_table::Get(kChannel); }

private:
    HRESULT Apply(unsigned token, ChangeRecord record) {
        return m_channel->ApplyContextChange(token, sizeof record,
                                             reinterpret_cast<unsigned char*>(&record));
    }

    CComPtr<CChannel> m_channel;
    bool m_opened = false;
    std::vector<unsigned> m_tokens;
    std::string m_error;
};

// The channel's configuration as the variant measures it: as the sample
// has it (video, four audio paths, a timecode path), or with the video only.
class CConfigShape {
public:
    explicit CConfigShape(bool videoOnly) {
        if (!videoOnly) {
            return;
        }
        std::ifstream in(SystemConfigPath());
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t begin = text.find("<Channel id=\"Chan2\"");
        const std::size_t end = text.find("</Channel>", begin);
        if (begin == std::string::npos || end == std::string::npos) {
            return;
        }
        static const std::regex kinds(R"(\s*<(Audio|Timecode) [\s\S]*?</(Audio|Timecode)>)");
        text.replace(begin, end - begin,
                     std::regex_replace(text.substr(begin, end - begin), kinds, ""));
        std::ofstream(SystemConfigPath(), std::ios::trunc) << text;
    }
};

// The runtime folder, the simulator and the busy channel, in the order
// they must start and end.
struct StatusSetup {
    explicit StatusSetup(bool rtsRunning, bool videoOnly = false)
        : shape(videoOnly), rts(rtsRunning) {}
    std::string Error() const {
        for (const std::string* e : {&runtime.Error(), &rts.Error()}) {
            if (!e->empty()) {
                return *e;
            }
        }
        return channel ? channel->Error() : std::string("no channel");
    }
    bool Start() {
        if (!runtime.Error().empty() || !rts.Error().empty()) {
            return false;
        }
        channel = std::make_unique<CBusyChannel>();
        return channel->Error().empty();
    }
    CBenchRuntime runtime;
    CConfigShape shape;  // after the runtime folder, before the RTS reads it
    CBenchRts rts;
    std::unique_ptr<CBusyChannel> channel;
};

// ---------------------------------------------------------------------------
// Period and lateness.

constexpr auto kPeriodWindow = std::chrono::seconds(10);

// A schedule's counters read just after one of its cycles began, so that
// the count and the mean period belong to the same cycle.
struct ScheduleReading {
    std::uint64_t cycles = 0;
    double meanPeriodUs = 0;
    LatenessCounts lateness;
};

ScheduleReading ReadAtCycleStart(const CStatusSchedule& schedule) {
    for (;;) {
        const std::uint64_t before = schedule.Cycles();
        while (schedule.Cycles() == before) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ScheduleReading r;
        r.cycles = schedule.Cycles();
        r.meanPeriodUs = schedule.MeanPeriodUs();
        r.lateness = schedule.Lateness();
        if (schedule.Cycles() == r.cycles) {
            return r;
        }
    }
}

// Mean period and lateness of the cycles between two readings.
struct WindowFigures {
    double cycles = 0;
    double meanPeriodUs = 0;
    double p50LateUs = 0;
    double p99LateUs = 0;
};

WindowFigures Window(const ScheduleReading& a, const ScheduleReading& b) {
    WindowFigures w;
    w.cycles = static_cast<double>(b.cycles - a.cycles);
    // The mean is over the first to the last deadline: n - 1 periods.
    const double spanA = a.meanPeriodUs * static_cast<double>(a.cycles - 1);
    const double spanB = b.meanPeriodUs * static_cast<double>(b.cycles - 1);
    w.meanPeriodUs = w.cycles > 0 ? (spanB - spanA) / w.cycles : 0.0;
    const LatenessCounts late = b.lateness.Since(a.lateness);
    w.p50LateUs = static_cast<double>(late.PercentileUs(0.50));
    w.p99LateUs = static_cast<double>(late.PercentileUs(0.99));
    return w;
}

// The plain loop: sleeps to each absolute deadline of its schedule.
void SleepLoop(CStatusSchedule& schedule, const std::atomic<bool>& stop) {
    schedule.Start();
    while (!stop.load()) {
        const auto since = schedule.Deadline().time_since_epoch();
        timespec ts{};
        ts.tv_sec =
            static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
        ts.tv_nsec =
            static_cast<long>((since - std::chrono::seconds(ts.tv_sec)).count() % 1'000'000'000LL);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        schedule.Begin();
    }
}

void BM_StatusPeriod(benchmark::State& state) {
    static_assert(std::is_same_v<CStatusSchedule::Clock, std::chrono::steady_clock>,
                  "the plain loop sleeps on CLOCK_MONOTONIC");
    StatusSetup setup(true);
    if (!setup.Start()) {
        state.SkipWithError(setup.Error().c_str());
        return;
    }
    const CStatusSchedule& monitor = setup.channel->Channel().StatusSchedule();
    WindowFigures ours, plain;
    for (auto _ : state) {
        CStatusSchedule loop{std::chrono::milliseconds(20)};
        std::atomic<bool> stop{false};
        std::thread sleeper([&] { SleepLoop(loop, stop); });
        const ScheduleReading loopFrom = ReadAtCycleStart(loop);
        const ScheduleReading from = ReadAtCycleStart(monitor);
        std::this_thread::sleep_for(kPeriodWindow);
        const ScheduleReading to = ReadAtCycleStart(monitor);
        const ScheduleReading loopTo = ReadAtCycleStart(loop);
        stop = true;
        sleeper.join();
        ours = Window(from, to);
        plain = Window(loopFrom, loopTo);
    }
    state.counters["cycles"] = ours.cycles;
    state.counters["plain_cycles"] = plain.cycles;
    state.counters["mean_period_us"] = ours.meanPeriodUs;
    state.counters["plain_mean_period_us"] = plain.meanPeriodUs;
    state.counters["period_error_pct"] = (ours.meanPeriodUs - 20000.0) / 20000.0 * 100.0;
    state.counters["p50_late_us"] = ours.p50LateUs;
    state.counters["plain_p50_late_us"] = plain.p50LateUs;
    state.counters["p99_late_us"] = ours.p99LateUs;
    state.counters["plain_p99_late_us"] = plain.p99LateUs;
    state.counters["max_late_us"] = static_cast<double>(monitor.MaxLatenessUs());
    // A plain loop that was never late at the 99th percentile leaves no
    // room: the monitor must not have been either.
    const double lateRatio = plain.p99LateUs > 0  ? ours.p99LateUs / plain.p99LateUs
                             : ours.p99LateUs > 0 ? INFINITY
                                                  : 1.0;
    bench::AddSummary({"status period, p99 lateness", bench::Us(ours.p99LateUs),
                       "plain sleep " + bench::Us(plain.p99LateUs), lateRatio, "<= 1.0x",
                       lateRatio <= 1.0});
    const double periodErrorPct = (ours.meanPeriodUs - 20000.0) / 20000.0 * 100.0;
    bench::AddSummary({"status period, mean", bench::Text("%.4f ms", ours.meanPeriodUs / 1000.0),
                       bench::Text("plain sleep %.4f ms", plain.meanPeriodUs / 1000.0), NAN,
                       "20 ms +- 0.05 %", std::fabs(periodErrorPct) <= 0.05});
}

BENCHMARK(BM_StatusPeriod)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// The cost of one cycle.

// What one cycle of the busy channel writes into the status block, by the
// writes of the publishing functions (ring index words are written too).
namespace published {
namespace b = context_block;
constexpr std::size_t kWide(std::size_t chars) {
    return 2 * chars;
}
// CChannel::PublishStatus: ring index, cycle, GPI inputs, server UUID, storage.
constexpr std::size_t kChannel = 4 + 2 + 4 + kWide(36) + 4 * 128;
// CTmsResVideo::PublishStatus: ring index, cycle, field size, pixel coding.
constexpr std::size_t kVideo = 4 + 2 + 4 + kWide(36);
// CTimelineContext::PublishStatus of the active context: ring index, names
// and texts, five marks, four flags, cycle, four countdown texts, five ring
// words, position text, two record words.
constexpr std::size_t kActiveContext = 4 + kWide(b::kNameChars) + kWide(b::kUriChars) +
                                       3 * kWide(b::kTextChars) + kWide(b::kAssetTypeChars) +
                                       5 * 4 + 4 + 2 + 4 * kWide(b::kTextChars) + 5 * 4 +
                                       kWide(b::kTextChars) + 2 * 4;
// Every busy context: its asset URI slot.
constexpr std::size_t kContext = kWide(statusmem::kContextAssetUriChars);
constexpr std::size_t kCycle = kChannel + kVideo + kActiveContext + kContexts * kContext;
// CTmsResAudio::PublishStatus: ring index, cycle, level, two gains.
constexpr std::size_t kAudio = 4 + 2 + 3 * 4;
// CTmsResTimecode::PublishStatus: ring index, cycle, timecode word and text,
// time-of-day word and text, tick count.
constexpr std::size_t kTimecode = 4 + 2 + 4 + kWide(16) + 4 + kWide(16) + 4;
// The sample channel's four audio paths and timecode path.
constexpr std::size_t kSignals = 4 * kAudio + kTimecode;
}  // namespace published

// The gaps between the monitor's cycles: a stepped cycle here never runs
// at the same time as the monitor's own (which, the tick not having moved
// since, only publishes).
class CMonitorGaps {
public:
    explicit CMonitorGaps(const CStatusSchedule& schedule) : m_schedule(schedule) {}
    // Waits until the monitor has begun a cycle and is done with it.
    void Next() {
        const std::uint64_t before = m_schedule.Cycles();
        while (m_schedule.Cycles() == before) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        m_end = Clock::now() + std::chrono::milliseconds(12);
    }
    bool Open() const { return Clock::now() < m_end; }

private:
    const CStatusSchedule& m_schedule;
    Clock::time_point m_end{};
};

struct CycleSample {
    double cpuNs = 0;
    double publishNs = 0;  // of cpuNs, the PublishStatus part
    std::uint64_t allocations = 0;
    long faults = 0;
};

// One stepped status cycle, measured.
CycleSample MeasuredCycle(CBenchRts& rts, CChannel& channel, CChanAccess* access,
                          std::uint16_t cycle, bool sites) {
    rts.Step();
    CycleSample s;
    const long faults = MinorFaults();
    t_allocations = 0;
    t_recordSites = sites;
    t_counting = true;
    const double t0 = ThreadCpuNs();
    channel.PutStatus(cycle);
    const double tPut = ThreadCpuNs();
    channel.PublishStatus(access);
    const double t1 = ThreadCpuNs();
    s.publishNs = t1 - tPut;
    t_counting = false;
    t_recordSites = false;
    s.faults = MinorFaults() - faults;
    s.cpuNs = t1 - t0;
    s.allocations = t_allocations;
    return s;
}

void PrintAllocSites() {
    const int n = std::min(g_siteCount.load(), kMaxSites);
    std::fprintf(stderr, "allocations of one status cycle: %d\n", g_siteCount.load());
    for (int i = 0; i < n; ++i) {
        std::fprintf(stderr, "allocation %d\n", i);
        for (int f = 1; f < g_sites[i].frames; ++f) {
            Dl_info info{};
            if (dladdr(g_sites[i].pc[f], &info) != 0 && info.dli_fname != nullptr) {
                std::fprintf(stderr, "  %s 0x%zx\n", info.dli_fname,
                             static_cast<std::size_t>(static_cast<char*>(g_sites[i].pc[f]) -
                                                      static_cast<char*>(info.dli_fbase)) -
                                 1);
            }
        }
    }
}

// Bytes that differ after one stepped cycle: at most what it publishes.
std::size_t ChangedBytes(CBenchRts& rts, CChannel& channel, CChanAccess* access,
                         std::uint16_t cycle) {
    const std::uint8_t* block = access->StatusBlock();
    const std::vector<std::uint8_t> before(block, block + statusmem::kBlockSize);
    rts.Step();
    channel.PutStatus(cycle);
    channel.PublishStatus(access);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        changed += before[i] != block[i] ? 1 : 0;
    }
    return changed;
}

constexpr int kWarmCycles = 300;
constexpr int kCostCycles = 20000;
constexpr int kCopiesPerSample = 64;

void BM_StatusCycleCost(benchmark::State& state) {
    // Argument 1: the channel with its four audio paths and timecode path;
    // 0: the video only.
    const bool signals = state.range(0) != 0;
    StatusSetup setup(false, !signals);
    if (!setup.Start()) {
        state.SkipWithError(setup.Error().c_str());
        return;
    }
    CChannel& channel = setup.channel->Channel();
    CChanAccess* access = setup.channel->Access();
    if (access == nullptr || access->StatusBlock() == nullptr) {
        state.SkipWithError("the channel has no status block");
        return;
    }
    const bool sites = std::getenv("TMS_BENCH_ALLOC_SITES") != nullptr;
    if (sites) {
        void* warm[4];
        backtrace(warm, 4);  // loads the unwinder before any counting
    }
    CMonitorGaps gaps(channel.StatusSchedule());
    std::vector<CycleSample> cycles;
    cycles.reserve(kCostCycles);
    std::vector<double> copies;
    copies.reserve(kCostCycles);
    std::size_t changed = 0;
    std::uint16_t cycle = 100;
    // The copy source: the context region as it is, written back in place,
    // so the block stays as the cycle left it.
    std::uint8_t* target = access->StatusBlock() + context_block::kMovieName;
    const std::size_t publishedBytes = published::kCycle + (signals ? published::kSignals : 0);
    std::vector<std::uint8_t> source(publishedBytes);
    for (auto _ : state) {
        gaps.Next();
        for (int i = 0; i < kWarmCycles; ++i) {
            if (!gaps.Open()) {
                gaps.Next();
            }
            MeasuredCycle(setup.rts, channel, access, ++cycle, false);
        }
        gaps.Next();
        changed = ChangedBytes(setup.rts, channel, access, ++cycle);
        if (sites) {
            MeasuredCycle(setup.rts, channel, access, ++cycle, true);
            PrintAllocSites();
        }
        while (static_cast<int>(cycles.size()) < kCostCycles) {
            if (!gaps.Open()) {
                gaps.Next();
                std::memcpy(source.data(), target, source.size());
            }
            cycles.push_back(MeasuredCycle(setup.rts, channel, access, ++cycle, false));
            const double t0 = ThreadCpuNs();
            for (int c = 0; c < kCopiesPerSample; ++c) {
                std::memcpy(target, source.data(), source.size());
                benchmark::ClobberMemory();
            }
            copies.push_back((ThreadCpuNs() - t0) / kCopiesPerSample);
        }
    }
    std::vector<double> cpu, publish;
    double allocations = 0, faults = 0, cpuSum = 0;
    std::uint64_t maxAllocations = 0;
    for (const CycleSample& s : cycles) {
        cpu.push_back(s.cpuNs);
        publish.push_back(s.publishNs);
        cpuSum += s.cpuNs;
        allocations += static_cast<double>(s.allocations);
        faults += static_cast<double>(s.faults);
        maxAllocations = std::max(maxAllocations, s.allocations);
    }
    std::vector<double> perCycle;
    for (const CycleSample& s : cycles) {
        perCycle.push_back(static_cast<double>(s.allocations));
    }
    const double n = static_cast<double>(cycles.size());
    const double om = Percentile(cpu, 0.5), cm = Percentile(copies, 0.5);
    state.counters["published_bytes"] = static_cast<double>(publishedBytes);
    state.counters["changed_bytes"] = static_cast<double>(changed);
    state.counters["cycle_median_ns"] = om;
    state.counters["cycle_mean_ns"] = cpuSum / n;
    state.counters["cycle_p99_ns"] = Percentile(cpu, 0.99);
    state.counters["memcpy_median_ns"] = cm;
    state.counters["publish_median_ns"] = Percentile(publish, 0.5);
    state.counters["ratio_publish_median"] = Percentile(publish, 0.5) / cm;
    state.counters["ratio_median"] = om / cm;
    state.counters["allocs_per_cycle"] = allocations / n;
    state.counters["allocs_median"] = Percentile(perCycle, 0.5);
    state.counters["allocs_max"] = static_cast<double>(maxAllocations);
    state.counters["faults_per_cycle"] = faults / n;
    if (signals) {
        // The channel as the sample configures it, audio and timecode paths
        // and all; the video-only variant shows what the signals add.
        bench::AddSummary({"status cycle, 4 contexts, median", bench::Us(om / 1000.0),
                           "memcpy " + bench::Us(cm / 1000.0), NAN, "<= 10 us", om <= 10000.0});
    }
    const std::string status = setup.rts.Status();
    std::fprintf(stderr, "after %d stepped cycles the RTS reports: %s\n", kCostCycles,
                 status.c_str());
}

BENCHMARK(BM_StatusCycleCost)
    ->ArgName("audio_timecode")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// Queries.

constexpr int kQueriesPerSample = 32;
constexpr int kQuerySamples = 3000;
constexpr int kQueryThreads = 8;
constexpr auto kContendedTime = std::chrono::milliseconds(1500);
constexpr int kHoldSamples = 2000;

// The context status names, for the plain lookup.
std::map<std::string, int> PlainNames() {
    std::map<std::string, int> names;
    const char* const list[] = {
        "videoformat",     "videoformatstr", "fieldsperframe",   "duration",     "countdown",
        "percentcomplete", "position",       "portstate",        "shuttlespeed", "minposition",
        "maxposition",     "endmode",        "idlemode",         "tickcount",    "triggerstatus",
        "statelist",       "statewindow",    "positiontimecode", "moviename",    "datasetname"};
    int code = 0;
    for (const char* n : list) {
        names[n] = code++;
    }
    return names;
}

// Median nanoseconds a call of f takes, from batches of calls.
template <class F>
double MedianCallNs(F&& f) {
    std::vector<double> samples;
    samples.reserve(kQuerySamples);
    for (int s = 0; s < kQuerySamples; ++s) {
        const auto t0 = Clock::now();
        for (int q = 0; q < kQueriesPerSample; ++q) {
            f();
        }
        samples.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count() /
                          kQueriesPerSample);
    }
    return Percentile(samples, 0.5);
}

// Latencies of single queries from eight threads for a while, in ns.
std::vector<double> ContendedQueries(CChannel& channel, unsigned token, bool* failed) {
    std::vector<std::vector<double>> perThread(kQueryThreads);
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    const auto end = Clock::now() + kContendedTime;
    for (int t = 0; t < kQueryThreads; ++t) {
        threads.emplace_back([&, t] {
            CBstr name("position");
            VARIANT v;
            VariantInit(&v);
            std::vector<double>& mine = perThread[static_cast<std::size_t>(t)];
            mine.reserve(1 << 20);
            while (Clock::now() < end) {
                const auto t0 = Clock::now();
                const HRESULT hr = channel.GetStatus(token, name, &v);
                mine.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
                if (hr != S_OK) {
                    bad = true;
                }
            }
            VariantClear(&v);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    *failed = bad.load();
    std::vector<double> all;
    for (const auto& v : perThread) {
        all.insert(all.end(), v.begin(), v.end());
    }
    return all;
}

void BM_StatusQuery(benchmark::State& state) {
    StatusSetup setup(true);
    if (!setup.Start()) {
        state.SkipWithError(setup.Error().c_str());
        return;
    }
    CChannel& channel = setup.channel->Channel();
    const unsigned token = setup.channel->PlayingToken();
    CBstr one("position");
    CBstr four("position+portstate+shuttlespeed+percentcomplete");
    VARIANT v;
    VariantInit(&v);
    if (channel.GetStatus(token, one, &v) != S_OK || v.vt != VT_I4 ||
        channel.GetStatus(token, four, &v) != S_OK) {
        VariantClear(&v);
        state.SkipWithError("GetStatus failed");
        return;
    }
    const std::map<std::string, int> names = PlainNames();
    const std::string plainName = "position";
    double oneNs = 0, fourNs = 0, plainNs = 0;
    std::vector<double> running, ended;
    std::vector<double> hold;
    double cyclesWhileQuerying = 0;
    bool failed = false;
    for (auto _ : state) {
        oneNs = MedianCallNs([&] { channel.GetStatus(token, one, &v); });
        fourNs = MedianCallNs([&] { channel.GetStatus(token, four, &v); });
        plainNs = MedianCallNs([&] {
            VariantClear(&v);
            const auto it = names.find(plainName);
            v.vt = VT_I4;
            v.lVal = it == names.end() ? -1 : it->second;
            benchmark::DoNotOptimize(v);
        });
        const std::uint64_t before = channel.StatusSchedule().Cycles();
        running = ContendedQueries(channel, token, &failed);
        cyclesWhileQuerying = static_cast<double>(channel.StatusSchedule().Cycles() - before);
        channel.EndStatusMonitor();
        bool failedEnded = false;
        ended = ContendedQueries(channel, token, &failedEnded);
        failed = failed || failedEnded;
        // The monitor holds the status-file mutex for the whole of
        // PublishStatus: the same call, now that it is ended.
        CChanAccess* access = setup.channel->Access();
        hold.reserve(kHoldSamples);
        for (int i = 0; i < kHoldSamples; ++i) {
            const auto t0 = Clock::now();
            channel.PublishStatus(access);
            hold.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
        }
    }
    VariantClear(&v);
    if (failed) {
        state.SkipWithError("a contended query failed");
        return;
    }
    state.counters["one_median_ns"] = oneNs;
    state.counters["four_median_ns"] = fourNs;
    state.counters["plain_map_median_ns"] = plainNs;
    state.counters["ratio_one"] = oneNs / plainNs;
    state.counters["monitor_cycles"] = cyclesWhileQuerying;
    state.counters["queries_running"] = static_cast<double>(running.size());
    state.counters["queries_ended"] = static_cast<double>(ended.size());
    state.counters["running_p50_ns"] = Percentile(running, 0.5);
    state.counters["running_p99_ns"] = Percentile(running, 0.99);
    state.counters["ended_p50_ns"] = Percentile(ended, 0.5);
    state.counters["ended_p99_ns"] = Percentile(ended, 0.99);
    state.counters["ratio_p99"] = Percentile(running, 0.99) / Percentile(ended, 0.99);
    state.counters["hold_p50_ns"] = Percentile(hold, 0.5);
    state.counters["hold_p99_ns"] = Percentile(hold, 0.99);
    const std::string plain = "std::map " + bench::Us(plainNs / 1000.0);
    bench::AddSummary({"GetStatus, 1 name, median", bench::Us(oneNs / 1000.0), plain, NAN, "< 1 us",
                       oneNs < 1000.0});
    bench::AddSummary({"GetStatus, 4 names, median", bench::Us(fourNs / 1000.0), plain, NAN,
                       "< 4 us", fourNs < 4000.0});
    // "Near the one without the monitor": eight threads on a loaded two-core
    // machine move a p99 by a good part, so near is within half again.
    const double runningP99 = Percentile(running, 0.99), endedP99 = Percentile(ended, 0.99);
    bench::AddSummary({"GetStatus p99 while publishing", bench::Us(runningP99 / 1000.0),
                       "monitor ended " + bench::Us(endedP99 / 1000.0), runningP99 / endedP99,
                       "<= 1.5x", runningP99 <= 1.5 * endedP99});
}

BENCHMARK(BM_StatusQuery)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
