// Sixteen channels in one process, against the same process with one.
//
// BM_SixteenChannels: one process, one RTS simulator in it with its clock
// thread running (so every status monitor keeps its real 20 ms period), and
// a configuration of sixteen independent players built from the sample's
// second channel in the benchmark's runtime folder. Each open channel has
// four contexts on movies of their own, cued and playing; a client thread
// per channel sends a context change every 100 ms (a play change of the
// channel's active context to the other of two speeds: one 76-byte message
// without states); eight reader threads wake every 20 ms and read a
// context's "position" on every open channel. The same load runs for a
// fixed window with channel 0 alone open, then with all sixteen.
//
// Per phase: each monitor's lateness p99 and latest cycle in the window
// (its own schedule's histogram), the round trip of ApplyContextChange
// (median, p99), the process's CPU per second and the wall time the RTS
// connections spent spinning, the simulator's threads apart (rtssim-*),
// the monitors' CPU (tms-status-*), the CPU of a change (the client thread
// inside the call plus an exchange's share of the tms-rts-* threads) and
// the readers' p99.
//
// The baseline for the CPU of a change is a bare SOCK_SEQPACKET request and
// reply of the same byte counts between two threads, paced and spread as
// the changes are (sixteen pairs, one exchange each per 100 ms), both ends'
// thread CPU counted.
//
// Targets at sixteen channels: lateness p99 <= 1 ms, no cycle later than
// 5 ms, round trip p99 <= 1.5x the one-channel figure, the sixteen monitors
// under 5 % of one core, a change's CPU <= 2x the bare exchange's.
//
// The channels are made from the channel library linked into this program,
// as its class factory makes them (StatusBench does the same), and driven
// only through ITmsChannel and ITmsContextBroker: the loaded library keeps
// its own copy of the RTS connection's spin counter and the schedule is not
// on the interface.
#include <benchmark/benchmark.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchRuntime.h"
#include "bench/BenchSim.h"
#include "bench/BenchStats.h"
#include "bench/BenchSummary.h"
#include "bench/ThreadTimes.h"
#include "platform/com/Bstr.h"
#include "platform/com/ComObjectBase.h"
#include "platform/com/ComPtr.h"
#include "platform/com/Variant.h"
#include "server/configmgr/SystemConfigFile.h"
#include "server/rtssim/RtsSimulator.h"
#include "tmschannel/channel/Channel.h"
#include "tmschannel/context/ContextRecord.h"
#include "tmschannel/rts/RtsMsg.h"

namespace {

using bench::Clock;
using bench::Percentile;
using bench::ThreadCpuNs;
using namespace context_record;
using namespace std::chrono_literals;

constexpr int kChannels = 16;  // channel numbers 0 to 15
constexpr int kContexts = 4;
constexpr int kMovieLength = 200000;  // fields: no context reaches the end in a run
constexpr auto kChangePeriod = 100ms;
constexpr int kReaders = 8;
constexpr auto kReadPeriod = 20ms;
constexpr auto kWarmUp = 1s;
constexpr auto kWindow = 10s;
// One channel makes a sixteenth of the changes: a longer window gives its
// p99, the baseline of the sixteen's, 300 changes rather than 100 (where
// the p99 would be the second latest change).
constexpr auto kOneChannelWindow = 30s;
constexpr auto kBareWindow = 3s;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// ---------------------------------------------------------------------------
// The configuration: sixteen copies of the sample's second channel (a
// player), each with components of its own, out of any gang, its resources
// numbered as a channel's own (video, timecode, ancillary data and GPI by
// the channel's number, audio paths 0 to 3).

std::string Between(const std::string& text, const std::string& from, const std::string& to,
                    bool withTo) {
    const std::size_t begin = text.find(from);
    const std::size_t end = begin == std::string::npos ? begin : text.find(to, begin);
    if (end == std::string::npos) {
        return {};
    }
    return text.substr(begin, end - begin + (withTo ? to.size() : 0));
}

// text with each match of pattern replaced by make(match).
template <class Make>
std::string Rewrite(const std::string& text, const char* pattern, Make make) {
    const std::regex re(pattern);
    std::string out;
    auto from = text.cbegin();
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it) {
        out.append(from, (*it)[0].first);
        out += make(*it);
        from = (*it)[0].second;
    }
    out.append(from, text.cend());
    return out;
}

// text with the number that ends each match of pattern ("attribute=\"")
// set to value.
std::string Set(const std::string& text, const std::string& pattern, const std::string& value) {
    return Rewrite(text, (pattern + "-?[0-9]+\"").c_str(),
                   [&](const std::smatch& m) { return m.str(1) + value + "\""; });
}

std::string ChannelCopy(const std::string& components, const std::string& channel, int index) {
    const std::string n = std::to_string(index);
    // Every id of the template ends in the template channel's number 2
    // ("VideoInput2", "AudioOutput2_3", "Chan2").
    const auto renumber = [&](const std::string& text) {
        return Rewrite(text, R"~(( id="[A-Za-z]+)2(_[0-9]+)?")~", [&](const std::smatch& m) {
            return m.str(1) + std::to_string(index + 1) + m.str(2) + "\"";
        });
    };
    std::string c = Set(renumber(components), R"~((<Gpi(?:Input|Output) [^>]*controlIndex="))~", n);
    std::string ch = renumber(channel);
    ch = Set(ch, R"~((channelIndex="))~", n);
    ch = Set(ch, R"~((<(?:Video|Timecode|AncData|Gpi) index="))~", n);
    ch = Set(ch, R"~((gangIndex="))~", "-1");
    ch = Set(ch, R"~((gangOrder="))~", "-1");
    ch = Set(ch, R"~((controlPort="/dev/ttyS))~", n);
    int path = 0;
    ch = Rewrite(ch, R"~(<Audio index="[0-9]+")~", [&](const std::smatch&) {
        return "<Audio index=\"" + std::to_string(path++) + "\"";
    });
    return c + "\n" + ch + "\n";
}

// Rewrites the runtime folder's system.xml (the sample, copied there) as
// the sixteen channels; false with the reason when the sample lacks what
// the copies are made from.
bool WriteSixteenChannels(std::string* error) {
    const std::string path = SystemConfigPath();
    std::ifstream in(path);
    const std::string sample((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    const std::string head = Between(sample, "<?xml", "<!-- Chan1 components -->", false);
    const std::string components =
        Between(sample, "<!-- Chan2 components -->", "<!-- Chan3 components -->", false);
    const std::string channel = Between(sample, "<Channel id=\"Chan2\"", "</Channel>", true);
    if (head.empty() || components.empty() || channel.empty()) {
        *error = path + ": the sample has no second channel (Chan2) to copy sixteen times";
        return false;
    }
    std::string text = head;
    for (int i = 0; i < kChannels; ++i) {
        text += ChannelCopy(components, channel, i);
    }
    text += "</Config>\n";
    std::ofstream out(path, std::ios::trunc);
    if (!(out << text) || !out.flush()) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// One open channel with its four contexts playing.

ChangeRecord PlayChange(std::uint32_t flags, std::int32_t portState, float speed) {
    return bench::Change(flags, portState, speed, 0, kMovieLength);
}

class CScaleChannel {
public:
    explicit CScaleChannel(int index) : m_index(index), m_object(MakeComObject<CChannel>()) {
        const std::string name = "channel " + std::to_string(index);
        m_channel = m_object.Get();
        m_broker = m_object.Get();
        if (m_channel->Open(CVariant(static_cast<std::int32_t>(index)), CBstr("suite"),
                            CBstr("user"), CBstr("scale"), CBstr("uuid-scale")) != S_OK) {
            m_error = "cannot open " + name;
            return;
        }
        m_opened = true;
        for (int k = 0; k < kContexts; ++k) {
            const std::string movie = "scale" + std::to_string(index) + "-" + std::to_string(k);
            unsigned short code = 0;
            CComPtr<IUnknown> timeline;
            GUID iid = IID_IUnknown;
            unsigned token = 0;
            if (m_channel->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr(movie.c_str()), TRUE,
                                          kMovieLength, &code, &iid,
                                          reinterpret_cast<void**>(&timeline)) != S_OK ||
                m_channel->AllocateContext(code, &token) != S_OK ||
                Apply(token, PlayChange(kPortState | kPosition, TmsCuePlay, 0.0f)) != S_OK ||
                Apply(token, PlayChange(kPortState | kSpeed, TmsShuttlePlay, 1.0f)) != S_OK) {
                m_error = "cannot cue and play movie " + movie + " on " + name;
                return;
            }
            m_tokens.push_back(token);
        }
    }
    ~CScaleChannel() {
        if (m_opened) {
            m_channel->Close();
        }
    }
    CScaleChannel(const CScaleChannel&) = delete;
    CScaleChannel& operator=(const CScaleChannel&) = delete;

    const std::string& Error() const { return m_error; }
    int Index() const { return m_index; }
    ITmsChannel* Channel() const { return m_channel; }
    unsigned Token(int context) const { return m_tokens[static_cast<std::size_t>(context)]; }
    const CStatusSchedule& Schedule() const { return m_object->StatusSchedule(); }

    // The next client change: a play change of the context played last (the
    // channel's active one) to the other of its two speeds, one message
    // without states. Client thread only.
    HRESULT NextChange() {
        m_slow = !m_slow;
        return Apply(m_tokens.back(),
                     PlayChange(kPortState | kSpeed, TmsShuttlePlay, m_slow ? 0.5f : 1.0f));
    }

private:
    HRESULT Apply(unsigned token, ChangeRecord record) {
        return m_broker->ApplyContextChange(token, sizeof record,
                                            reinterpret_cast<unsigned char*>(&record));
    }

    const int m_index;
    CComPtr<CChannel> m_object;
    ITmsChannel* m_channel = nullptr;
    ITmsContextBroker* m_broker = nullptr;
    bool m_opened = false;
    std::vector<unsigned> m_tokens;  // constant after construction
    bool m_slow = false;             // client thread only
    std::string m_error;
};

// The runtime folder with the sixteen channels' configuration, the
// simulator, and the channels opened so far, in the order they must start
// and end.
class CScaleSetup {
public:
    explicit CScaleSetup(bool dump) {
        if (!m_runtime.Error().empty()) {
            m_error = m_runtime.Error();
            return;
        }
        if (!WriteSixteenChannels(&m_error)) {
            return;
        }
        if (dump) {
            m_dumpDir = m_runtime.Path() + "/dump";
            std::filesystem::create_directories(m_dumpDir);
        }
        m_rts = std::make_unique<bench::CBenchSim>(bench::CBenchSim::Options(true, m_dumpDir));
        m_error = m_rts->Error();
    }
    ~CScaleSetup() {
        m_channels.clear();  // closed before the simulator goes
        m_rts.reset();
    }
    CScaleSetup(const CScaleSetup&) = delete;
    CScaleSetup& operator=(const CScaleSetup&) = delete;

    const std::string& Error() const { return m_error; }
    const std::string& DumpDir() const { return m_dumpDir; }
    // Opens channels until count are open; false with Error() set when one
    // cannot be.
    bool OpenChannels(int count) {
        while (m_error.empty() && static_cast<int>(m_channels.size()) < count) {
            auto channel = std::make_unique<CScaleChannel>(static_cast<int>(m_channels.size()));
            m_error = channel->Error();
            m_channels.push_back(std::move(channel));
        }
        return m_error.empty();
    }
    std::vector<std::unique_ptr<CScaleChannel>>& Channels() { return m_channels; }
    // Requests the simulator has handled so far.
    std::uint64_t Requests() const { return m_rts->Sim().Requests(); }

private:
    CBenchRuntime m_runtime;
    std::string m_dumpDir;
    std::unique_ptr<bench::CBenchSim> m_rts;  // its clock thread running
    std::vector<std::unique_ptr<CScaleChannel>> m_channels;
    std::string m_error;
};

// The size of the message one client change sends, from a run with the
// simulator dumping: each of a few changes must send exactly one message,
// all of one size; 0 with the reason when not.
std::size_t ChangeMessageSize(std::string* error) {
    CScaleSetup setup(true);
    if (!setup.OpenChannels(1)) {
        *error = setup.Error();
        return 0;
    }
    const auto dumped = [&] {
        std::vector<std::filesystem::path> files;
        for (const auto& e : std::filesystem::directory_iterator(setup.DumpDir())) {
            files.push_back(e.path());
        }
        std::sort(files.begin(), files.end());
        return files;
    };
    std::size_t size = 0;
    for (int i = 0; i < 8; ++i) {
        const std::size_t before = dumped().size();
        if (setup.Channels()[0]->NextChange() != S_OK) {
            *error = "a play change failed on channel 0";
            return 0;
        }
        const auto files = dumped();
        if (files.size() != before + 1) {
            *error = "a play change sent " + std::to_string(files.size() - before) +
                     " messages, not one";
            return 0;
        }
        const std::size_t now = std::filesystem::file_size(files.back());
        if (size != 0 && now != size) {
            *error = "play changes sent messages of " + std::to_string(size) + " and " +
                     std::to_string(now) + " bytes";
            return 0;
        }
        size = now;
    }
    return size;
}

// ---------------------------------------------------------------------------
// The load: a client per channel and the readers, each its own thread.

// A thread started on construction, told to stop and joined on
// destruction.
class CLoadThread {
public:
    template <class Body>
    explicit CLoadThread(const std::string& name, Body body)
        : m_thread([this, name, body]() mutable {
              pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
              body(m_stop);
          }) {}
    ~CLoadThread() {
        m_stop = true;
        m_thread.join();
    }
    CLoadThread(const CLoadThread&) = delete;
    CLoadThread& operator=(const CLoadThread&) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Samples a load thread keeps while recording is on; read after it joined.
struct LoadSamples {
    std::vector<double> us;  // a change's round trip, or a query's time
    double cpuNs = 0;        // the thread's CPU inside those calls
    int failed = 0;
};

// Sleeps to an absolute time in steps short enough to notice stop soon.
bool SleepUntil(Clock::time_point when, const std::atomic<bool>& stop) {
    while (!stop.load() && Clock::now() < when) {
        std::this_thread::sleep_until(std::min(when, Clock::now() + 50ms));
    }
    return !stop.load();
}

// A client's loop: a change every period, starting at offset.
void ClientLoop(CScaleChannel& channel, Clock::duration offset, const std::atomic<bool>& recording,
                LoadSamples& samples, const std::atomic<bool>& stop) {
    samples.us.reserve(1024);
    auto next = Clock::now() + offset;
    while (SleepUntil(next, stop)) {
        const bool record = recording.load();
        const double cpu0 = ThreadCpuNs();
        const auto t0 = Clock::now();
        const HRESULT hr = channel.NextChange();
        const auto t1 = Clock::now();
        const double cpu1 = ThreadCpuNs();
        if (record) {
            samples.us.push_back(bench::Micros(t0, t1));
            samples.cpuNs += cpu1 - cpu0;
            samples.failed += hr == S_OK ? 0 : 1;
        }
        next += kChangePeriod;
    }
}

// A reader's loop: every period, "position" of one context on each channel.
void ReaderLoop(const std::vector<CScaleChannel*>& channels, int context, Clock::duration offset,
                const std::atomic<bool>& recording, LoadSamples& samples,
                const std::atomic<bool>& stop) {
    samples.us.reserve(1 << 16);
    CBstr name("position");
    CVariant value;
    auto next = Clock::now() + offset;
    while (SleepUntil(next, stop)) {
        for (CScaleChannel* channel : channels) {
            const auto t0 = Clock::now();
            const HRESULT hr =
                channel->Channel()->GetStatus(channel->Token(context), name, value.GetAddress());
            const auto t1 = Clock::now();
            if (recording.load()) {
                samples.us.push_back(bench::Micros(t0, t1));
                samples.failed += hr == S_OK ? 0 : 1;
            }
        }
        next += kReadPeriod;
    }
}

// The host's own lateness: a thread that does nothing but sleep to absolute
// 20 ms deadlines, as a monitor does, with the same timer slack. A monitor
// late by as much as this thread is late by the host, not by the channel.
void PlainSleepLoop(const std::atomic<bool>& recording, LoadSamples& samples,
                    const std::atomic<bool>& stop) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    samples.us.reserve(1024);
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!stop.load()) {
        next.tv_nsec += 20'000'000;
        if (next.tv_nsec >= 1'000'000'000) {
            next.tv_nsec -= 1'000'000'000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double lateUs = static_cast<double>(now.tv_sec - next.tv_sec) * 1e6 +
                              static_cast<double>(now.tv_nsec - next.tv_nsec) / 1e3;
        if (recording.load()) {
            samples.us.push_back(std::max(lateUs, 0.0));
        }
    }
}

// ---------------------------------------------------------------------------
// One phase: the open channels under load for the window.

struct ChannelFigures {
    int index = 0;
    std::uint64_t cycles = 0;
    double lateP99Us = 0;
    double lateMaxUs = 0;  // the latest cycle in the window (LatestCycleUs)
    double changeMedianUs = 0;
    double changeP99Us = 0;
    std::size_t changes = 0;
};

struct PhaseFigures {
    int channels = 0;
    double seconds = 0;  // the window's length
    std::vector<ChannelFigures> perChannel;
    double lateP99Us = 0;   // the worst channel's
    double lateMaxUs = 0;   // the latest cycle of any channel
    double sleepP99Us = 0;  // the plain sleeper's, in the same window
    double sleepMaxUs = 0;
    double changeMedianUs = 0;
    double changeP99Us = 0;
    double changes = 0;
    double queryP99Us = 0;
    double queries = 0;
    double cpuPerS = 0;  // seconds of CPU per second, the whole process
    double spinPerS = 0;
    double simPerS = 0;
    double monitorsPerS = 0;
    double rtsThreadsPerS = 0;
    double timelinesPerS = 0;
    double loadPerS = 0;  // the clients and readers themselves
    // A change's cost: its client thread's CPU inside the call, and an
    // exchange's share of the message threads' CPU (the playing contexts'
    // own state messages are exchanges too, so the share is per exchange).
    // Both include what their threads spent spinning: the spin yields in a
    // loop on the CPU, so its wall time is on-CPU time unless another thread
    // took the CPU, and then it cost nothing; spinPerExchangeUs, the wall
    // time, is shown beside it and not added, which would count it twice.
    double clientCpuPerChangeUs = 0;
    double rtsCpuPerExchangeUs = 0;
    double spinPerExchangeUs = 0;
    double exchangesPerChange = 0;
    double cpuPerChangeUs = 0;  // client and message thread CPU, summed
    int failed = 0;
};

struct ScheduleSnapshot {
    std::uint64_t cycles = 0;
    std::int64_t maxLateUs = 0;  // since the monitor started
    LatenessCounts lateness;
};

ScheduleSnapshot Snapshot(const CStatusSchedule& schedule) {
    return {schedule.Cycles(), schedule.MaxLatenessUs(), schedule.Lateness()};
}

// The latest cycle between two snapshots, in µs: the upper edge of the
// histogram's last bucket in use; past its range, the monitor's own
// maximum when that grew in between (else the range's end, "later than").
double LatestCycleUs(const ScheduleSnapshot& from, const ScheduleSnapshot& to) {
    const std::int64_t edge = to.lateness.Since(from.lateness).PercentileUs(1.0);
    if (edge > LatenessCounts::kRangeUs && to.maxLateUs > from.maxLateUs) {
        return static_cast<double>(to.maxLateUs);
    }
    return static_cast<double>(edge);
}

// The load of a phase: a client per open channel, spread over the change
// period as independent clients would be, and the readers; started on
// construction, stopped and joined on destruction. The samples are kept
// while recording is on and are read once the load has ended.
class CPhaseLoad {
public:
    explicit CPhaseLoad(const std::vector<CScaleChannel*>& channels)
        : clients(channels.size()), readers(kReaders) {
        for (std::size_t i = 0; i < channels.size(); ++i) {
            const auto offset = kChangePeriod * static_cast<int>(i) / kChannels;
            CScaleChannel* channel = channels[i];
            m_threads.push_back(std::make_unique<CLoadThread>(
                "scale-client-" + std::to_string(i),
                [this, channel, i, offset](std::atomic<bool>& stop) {
                    ClientLoop(*channel, offset, recording, clients[i], stop);
                }));
        }
        for (int r = 0; r < kReaders; ++r) {
            const auto offset = kReadPeriod * r / kReaders;
            m_threads.push_back(std::make_unique<CLoadThread>(
                "scale-reader-" + std::to_string(r),
                [this, channels, r, offset](std::atomic<bool>& stop) {
                    ReaderLoop(channels, r % kContexts, offset, recording,
                               readers[static_cast<std::size_t>(r)], stop);
                }));
        }
        m_threads.push_back(std::make_unique<CLoadThread>(
            "scale-sleeper",
            [this](std::atomic<bool>& stop) { PlainSleepLoop(recording, sleeper, stop); }));
    }
    CPhaseLoad(const CPhaseLoad&) = delete;
    CPhaseLoad& operator=(const CPhaseLoad&) = delete;
    // Stops the threads; the samples stay.
    void End() { m_threads.clear(); }

    std::atomic<bool> recording{false};
    std::vector<LoadSamples> clients;  // one per channel, in their order
    std::vector<LoadSamples> readers;
    LoadSamples sleeper;  // the plain sleeper's lateness

private:
    std::vector<std::unique_ptr<CLoadThread>> m_threads;  // last: they use the above
};

// What the process has done so far, read at either end of a window.
struct ProcessReading {
    Clock::time_point when;
    double cpuNs = 0;
    std::uint64_t spinNs = 0;
    std::uint64_t requests = 0;
    std::map<pid_t, bench::ThreadTime> threads;
    std::vector<ScheduleSnapshot> schedules;  // one per channel, in their order
};

ProcessReading Read(const CScaleSetup& setup, const std::vector<CScaleChannel*>& channels) {
    ProcessReading r;
    for (const CScaleChannel* c : channels) {
        r.schedules.push_back(Snapshot(c->Schedule()));
    }
    r.threads = bench::ReadThreadTimes();
    r.cpuNs = bench::ProcessCpuNs();
    r.spinNs = CRtsMsg::SpinNanos();
    r.requests = setup.Requests();
    r.when = Clock::now();
    return r;
}

// The figures of a window from its two readings and the load's samples.
PhaseFigures Figures(const std::vector<CScaleChannel*>& channels, const ProcessReading& from,
                     const ProcessReading& to, const CPhaseLoad& load) {
    PhaseFigures f;
    f.channels = static_cast<int>(channels.size());
    std::vector<double> allChanges, allQueries;
    double clientCpuNs = 0;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const LoadSamples& s = load.clients[i];
        const ScheduleSnapshot& a = from.schedules[i];
        const ScheduleSnapshot& b = to.schedules[i];
        ChannelFigures c;
        c.index = channels[i]->Index();
        c.cycles = b.cycles - a.cycles;
        c.lateP99Us = static_cast<double>(b.lateness.Since(a.lateness).PercentileUs(0.99));
        c.lateMaxUs = LatestCycleUs(a, b);
        c.changeMedianUs = Percentile(s.us, 0.5);
        c.changeP99Us = Percentile(s.us, 0.99);
        c.changes = s.us.size();
        f.perChannel.push_back(c);
        f.lateP99Us = std::max(f.lateP99Us, c.lateP99Us);
        f.lateMaxUs = std::max(f.lateMaxUs, c.lateMaxUs);
        allChanges.insert(allChanges.end(), s.us.begin(), s.us.end());
        clientCpuNs += s.cpuNs;
        f.failed += s.failed;
    }
    for (const LoadSamples& s : load.readers) {
        allQueries.insert(allQueries.end(), s.us.begin(), s.us.end());
        f.failed += s.failed;
    }
    f.sleepP99Us = Percentile(load.sleeper.us, 0.99);
    f.sleepMaxUs = Percentile(load.sleeper.us, 1.0);
    f.changeMedianUs = Percentile(allChanges, 0.5);
    f.changeP99Us = Percentile(allChanges, 0.99);
    f.changes = static_cast<double>(allChanges.size());
    f.queryP99Us = Percentile(allQueries, 0.99);
    f.queries = static_cast<double>(allQueries.size());
    const double seconds = Seconds(to.when - from.when);
    f.seconds = seconds;
    const auto perS = [&](double ns) { return ns / 1e9 / seconds; };
    const auto threads = [&](const char* prefix) {
        return bench::CpuBetween(from.threads, to.threads, prefix);
    };
    const double spinNs = static_cast<double>(to.spinNs - from.spinNs);
    const double rtsNs = threads("tms-rts-");
    f.cpuPerS = perS(to.cpuNs - from.cpuNs);
    f.spinPerS = perS(spinNs);
    f.simPerS = perS(threads("rtssim-"));
    f.monitorsPerS = perS(threads("tms-status-"));
    f.rtsThreadsPerS = perS(rtsNs);
    f.timelinesPerS = perS(threads("tms-timeline-"));
    f.loadPerS = perS(threads("scale-"));
    const double exchanges = static_cast<double>(to.requests - from.requests);
    if (f.changes > 0 && exchanges > 0) {
        f.clientCpuPerChangeUs = clientCpuNs / 1e3 / f.changes;
        f.rtsCpuPerExchangeUs = rtsNs / 1e3 / exchanges;
        f.spinPerExchangeUs = spinNs / 1e3 / exchanges;
        f.exchangesPerChange = exchanges / f.changes;
        f.cpuPerChangeUs = f.clientCpuPerChangeUs + f.rtsCpuPerExchangeUs;
    }
    return f;
}

// The open channels under load: a second of warm-up, then the window.
PhaseFigures MeasurePhase(CScaleSetup& setup, Clock::duration window) {
    std::vector<CScaleChannel*> channels;
    for (auto& c : setup.Channels()) {
        channels.push_back(c.get());
    }
    CPhaseLoad load(channels);
    std::this_thread::sleep_for(kWarmUp);
    // A mark to start a profiler on (perf record -p PID) for this window.
    std::fprintf(stderr, "%zu channel(s) open and under load: measuring for %.0f s\n",
                 channels.size(), Seconds(window));
    const ProcessReading from = Read(setup, channels);
    load.recording = true;
    std::this_thread::sleep_for(window);
    load.recording = false;
    const ProcessReading to = Read(setup, channels);
    load.End();
    return Figures(channels, from, to, load);
}

// ---------------------------------------------------------------------------
// The bare exchange: a SOCK_SEQPACKET pair whose far end answers each
// request, paced like a client, both ends' thread CPU counted.

class CPacedPair {
public:
    CPacedPair(std::size_t requestSize, std::size_t replySize) : m_replySize(replySize) {
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, m_fd) != 0) {
            m_fd[0] = m_fd[1] = -1;
            return;
        }
        m_far = std::thread([this, requestSize] {
            std::vector<char> request(requestSize + 1);
            const std::vector<char> reply(m_replySize, 0);
            const double cpu0 = ThreadCpuNs();
            while (::recv(m_fd[1], request.data(), request.size(), 0) > 0) {
                ::send(m_fd[1], reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            m_farCpuNs = ThreadCpuNs() - cpu0;
        });
    }
    ~CPacedPair() { Finish(); }
    CPacedPair(const CPacedPair&) = delete;
    CPacedPair& operator=(const CPacedPair&) = delete;

    bool Ok() const { return m_fd[0] >= 0; }
    // One exchange; false when the far end did not answer in full.
    bool RoundTrip(const std::vector<char>& request, std::vector<char>& reply) {
        return ::send(m_fd[0], request.data(), request.size(), MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(request.size()) &&
               ::recv(m_fd[0], reply.data(), reply.size(), 0) == static_cast<ssize_t>(m_replySize);
    }
    // Ends the far thread; its CPU since it began.
    double Finish() {
        if (m_far.joinable()) {
            ::shutdown(m_fd[0], SHUT_RDWR);
            m_far.join();
            ::close(m_fd[0]);
            ::close(m_fd[1]);
        }
        return m_farCpuNs;
    }

private:
    int m_fd[2] = {-1, -1};
    const std::size_t m_replySize;
    double m_farCpuNs = 0;  // written by the far thread before it ends
    std::thread m_far;
};

// CPU of one bare exchange, both ends, in µs; 0 with the reason on failure.
double BareExchangeCpuUs(std::size_t requestSize, std::size_t replySize, std::string* error) {
    std::vector<std::unique_ptr<CPacedPair>> pairs;
    for (int i = 0; i < kChannels; ++i) {
        pairs.push_back(std::make_unique<CPacedPair>(requestSize, replySize));
        if (!pairs.back()->Ok()) {
            *error = "cannot make a SOCK_SEQPACKET pair";
            return 0;
        }
    }
    std::vector<LoadSamples> samples(kChannels);
    {
        std::vector<std::unique_ptr<CLoadThread>> clients;
        for (int i = 0; i < kChannels; ++i) {
            const auto offset = kChangePeriod * i / kChannels;
            clients.push_back(std::make_unique<CLoadThread>(
                "scale-bare-" + std::to_string(i), [&, i, offset](std::atomic<bool>& stop) {
                    const std::vector<char> request(requestSize, 'x');
                    std::vector<char> reply(replySize + 64);
                    LoadSamples& mine = samples[static_cast<std::size_t>(i)];
                    auto next = Clock::now() + offset;
                    while (SleepUntil(next, stop)) {
                        const double cpu0 = ThreadCpuNs();
                        const bool ok =
                            pairs[static_cast<std::size_t>(i)]->RoundTrip(request, reply);
                        mine.cpuNs += ThreadCpuNs() - cpu0;
                        mine.us.push_back(0);
                        mine.failed += ok ? 0 : 1;
                        next += kChangePeriod;
                    }
                }));
        }
        std::this_thread::sleep_for(kBareWindow);
    }
    double cpuNs = 0, exchanges = 0;
    int failed = 0;
    for (int i = 0; i < kChannels; ++i) {
        const LoadSamples& s = samples[static_cast<std::size_t>(i)];
        cpuNs += s.cpuNs + pairs[static_cast<std::size_t>(i)]->Finish();
        exchanges += static_cast<double>(s.us.size());
        failed += s.failed;
    }
    if (failed != 0 || exchanges == 0) {
        *error = "a bare exchange failed";
        return 0;
    }
    return cpuNs / 1e3 / exchanges;
}

// ---------------------------------------------------------------------------
// Reporting.

void PrintPhase(const PhaseFigures& f) {
    std::fprintf(stderr,
                 "\n%d channel(s): status monitors and client changes over %.0f s\n"
                 "  channel  cycles  late p99  latest    change median  change p99  changes\n",
                 f.channels, f.seconds);
    for (const ChannelFigures& c : f.perChannel) {
        std::fprintf(stderr, "  %7d  %6llu  %5.0f us  %6.0f us  %10.1f us  %7.1f us  %7zu\n",
                     c.index, static_cast<unsigned long long>(c.cycles), c.lateP99Us, c.lateMaxUs,
                     c.changeMedianUs, c.changeP99Us, c.changes);
    }
    std::fprintf(stderr,
                 "  CPU per second: process %.1f ms, of it simulator %.1f ms, monitors %.1f ms, "
                 "message threads %.1f ms, hand-back threads %.1f ms, clients and readers "
                 "%.1f ms; spinning (wall) %.1f ms\n",
                 f.cpuPerS * 1e3, f.simPerS * 1e3, f.monitorsPerS * 1e3, f.rtsThreadsPerS * 1e3,
                 f.timelinesPerS * 1e3, f.loadPerS * 1e3, f.spinPerS * 1e3);
    std::fprintf(stderr,
                 "  a change: client CPU %.1f us + message thread CPU %.1f us (per exchange; "
                 "%.2f exchanges a change) = %.1f us, of which spinning (wall) %.1f us\n",
                 f.clientCpuPerChangeUs, f.rtsCpuPerExchangeUs, f.exchangesPerChange,
                 f.cpuPerChangeUs, f.spinPerExchangeUs);
    std::fprintf(stderr, "  status queries: %.0f, p99 %.1f us\n", f.queries, f.queryP99Us);
}

void Count(benchmark::State& state, const std::string& prefix, const PhaseFigures& f) {
    state.counters[prefix + "late_p99_us"] = f.lateP99Us;
    state.counters[prefix + "late_max_us"] = f.lateMaxUs;
    state.counters[prefix + "sleep_p99_us"] = f.sleepP99Us;
    state.counters[prefix + "sleep_max_us"] = f.sleepMaxUs;
    state.counters[prefix + "change_median_us"] = f.changeMedianUs;
    state.counters[prefix + "change_p99_us"] = f.changeP99Us;
    state.counters[prefix + "query_p99_us"] = f.queryP99Us;
    state.counters[prefix + "cpu_ms_per_s"] = f.cpuPerS * 1e3;
    state.counters[prefix + "spin_ms_per_s"] = f.spinPerS * 1e3;
    state.counters[prefix + "sim_ms_per_s"] = f.simPerS * 1e3;
    state.counters[prefix + "monitors_pct"] = f.monitorsPerS * 100.0;
    state.counters[prefix + "cpu_per_change_us"] = f.cpuPerChangeUs;
    state.counters[prefix + "spin_per_exchange_us"] = f.spinPerExchangeUs;
    state.counters[prefix + "exchanges_per_change"] = f.exchangesPerChange;
}

void Summarise(const PhaseFigures& one, const PhaseFigures& all, double bareCpuUs) {
    using bench::AddSummary;
    using bench::Us;
    AddSummary({"16 channels: status lateness p99, worst channel", Us(all.lateP99Us),
                "1 channel " + Us(one.lateP99Us) + "; plain sleep " + Us(all.sleepP99Us), NAN,
                "<= 1 ms", all.lateP99Us <= 1000.0});
    // Past the histogram's 5 ms, a latest cycle reads as 5005 us when the
    // monitor's maximum since its start was not made in the window; it
    // fails either way.
    AddSummary({"16 channels: latest status cycle", Us(all.lateMaxUs),
                "1 channel " + Us(one.lateMaxUs) + "; plain sleep " + Us(all.sleepMaxUs), NAN,
                "<= 5 ms", all.lateMaxUs <= 5000.0});
    const double rtRatio = all.changeP99Us / one.changeP99Us;
    AddSummary({"16 channels: context change round trip p99", Us(all.changeP99Us),
                "1 channel " + Us(one.changeP99Us), rtRatio, "<= 1.5x", rtRatio <= 1.5});
    AddSummary({"16 channels: CPU of the status monitors",
                bench::Text("%.2f %% of a core", all.monitorsPerS * 100.0),
                bench::Text("1 channel %.2f %%", one.monitorsPerS * 100.0), NAN, "< 5 %",
                all.monitorsPerS < 0.05});
    const double cpuRatio = all.cpuPerChangeUs / bareCpuUs;
    AddSummary({"16 channels: CPU per context change", Us(all.cpuPerChangeUs),
                "bare SEQPACKET exchange " + Us(bareCpuUs), cpuRatio, "<= 2.0x", cpuRatio <= 2.0});
}

void BM_SixteenChannels(benchmark::State& state) {
    std::string error;
    const std::size_t requestSize = ChangeMessageSize(&error);
    if (requestSize == 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::size_t replySize = BuildRtsReply(0).size();
    const double bareCpuUs = BareExchangeCpuUs(requestSize, replySize, &error);
    if (bareCpuUs <= 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    PhaseFigures one, all;
    for (auto _ : state) {
        CScaleSetup setup(false);
        if (!setup.OpenChannels(1)) {
            state.SkipWithError(setup.Error().c_str());
            return;
        }
        one = MeasurePhase(setup, kOneChannelWindow);
        if (!setup.OpenChannels(kChannels)) {
            state.SkipWithError(setup.Error().c_str());
            return;
        }
        all = MeasurePhase(setup, kWindow);
    }
    if (one.failed != 0 || all.failed != 0) {
        state.SkipWithError("a context change or a status query failed under load");
        return;
    }
    PrintPhase(one);
    PrintPhase(all);
    state.counters["request_bytes"] = static_cast<double>(requestSize);
    state.counters["reply_bytes"] = static_cast<double>(replySize);
    state.counters["bare_cpu_us"] = bareCpuUs;
    Count(state, "one_", one);
    Count(state, "all_", all);
    Summarise(one, all, bareCpuUs);
}

BENCHMARK(BM_SixteenChannels)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
