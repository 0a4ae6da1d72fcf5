// BM_RecordUpdateMovieLength: one record update (the context's handling of
// the RTS's record position: the movie's marks, stored before the call
// returns, and continuous record's check of the movie's length) on a
// continuous-record movie of 180 segments against the same on a movie of 2
// segments, measured alternately in one run. 180 segments of a
// continuous-record segment (an hour / 90) are the hours a long record
// leaves behind; the record position lies far from the end of both, so no
// segment is added. Target: within 2x at the median: the cost of an update
// must not grow with the hours recorded.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/BenchRuntime.h"
#include "bench/BenchStats.h"
#include "bench/BenchSummary.h"
#include "platform/com/ComObjectBase.h"
#include "platform/com/ComPtr.h"
#include "platform/kernel/TestClock.h"
#include "platform/xml/IXMLDOMDocument2.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/IMovieBuilder.h"
#include "server/timeline/ITimeline.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/context/ContextOwner.h"
#include "tmschannel/context/ContextRecord.h"
#include "tmschannel/context/TimelineContext.h"

namespace {

using bench::Clock;
using bench::Micros;
using namespace context_record;

constexpr std::uint32_t kToken = 0x00010100;
constexpr std::int32_t kSegment = 2400;  // an hour / 90, in fields
constexpr int kSamplesPerRound = 50;

// A recorder channel with continuous record on and a clock the benchmark
// moves a second per update, so that every update is a record update.
class CBenchRecorder final : public IContextOwner {
public:
    std::int32_t ChannelNumber() const override { return 1; }
    std::string ChannelName() const override { return "Bench"; }
    const CRtsShmem& RtsShmem() const override { return m_shmem; }
    CChanAccess* ChanAccess() const override { return nullptr; }
    HRESULT SendRtsMsg(CMmioMsg&, DWORD) override { return S_OK; }
    std::vector<std::shared_ptr<CTmsResource>> Resources() const override { return {}; }
    std::int32_t VideoFormat() const override {
        return tmsvideo::FormatFromName("Format525_60Hz_2To1", tmsvideo::kFormatInvalid);
    }
    bool LoopPlayback() const override { return false; }
    bool EeBoard() const override { return true; }
    std::string ChannelType() const override { return "Recorder"; }
    HRESULT SetDefaultIdleMode(bool, bool) override { return S_OK; }
    bool Ganged() const override { return false; }
    std::int32_t ContinuousRecordFields() const override { return kSegment; }
    SpeedRange ShuttleSpeedRange() const override { return {}; }
    PlayListSettings PlayList() const override {
        PlayListSettings s;
        s.continuousRecord = true;
        s.continuousRecordLength = 90 * kSegment;
        s.continuousRecordSegment = kSegment;
        return s;
    }
    IClock& Clock() const override { return clock; }

    mutable CTestClock clock{100000};

private:
    CRtsShmem m_shmem;  // never opened
};

class CNoBroker : public CComObjectBase<ITmsContextBroker> {
public:
    HRESULT ApplyContextChange(unsigned int, int, unsigned char*) override { return S_OK; }
    HRESULT ApplyContextUpdate(unsigned int, int, unsigned char*) override { return S_OK; }
    HRESULT ApplyScheduledChange(unsigned int, BSTR, TmsPortContextCondition, unsigned int, long,
                                 int, unsigned char*) override {
        return E_NOTIMPL;
    }
    HRESULT GetChannelCapabilities(unsigned int*, unsigned int*) override { return E_NOTIMPL; }
    HRESULT IsPlaying(unsigned int, long*) override { return E_NOTIMPL; }
};

// A context recording into a movie of the given number of segments.
class CRecordingContext {
public:
    CRecordingContext(IMovieBuilder* builder, IXMLDOMDocument2* config, const char* name,
                      int segments) {
        unsigned short code = 0;
        if (builder->CreateTimeline(CBstr("bench"), CBstr("rec"), CBstr(name), &code, IID_ITimeline,
                                    reinterpret_cast<void**>(&m_timeline)) != S_OK ||
            m_timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&m_movie)) != S_OK) {
            m_error = "cannot create the movie";
            return;
        }
        for (int i = 0; i < segments; ++i) {
            unsigned short segment = 0;
            if (m_movie->AppendSegment(4, 0, 0, kSegment, 0, nullptr, &segment) != S_OK) {
                m_error = "cannot append a segment";
                return;
            }
        }
        m_context = std::make_unique<CTimelineContext>(0, config, m_owner);
        m_broker = MakeComObject<CNoBroker>();
        if (m_context->RegisterTimeline(kToken, m_broker, m_timeline, false) != S_OK) {
            m_error = "cannot register the timeline";
            return;
        }
        unsigned char change[CTimelineContext::kChangeRecordSize] = {};
        const std::uint32_t flags = kPortState;
        const std::int32_t state = TmsShuttleRecord, length = segments * kSegment;
        std::memcpy(change, &flags, 4);
        std::memcpy(change + 32, &state, 4);
        std::memcpy(change + 96, &length, 4);
        if (m_context->ApplyContextChange(kToken, change) != S_OK) {
            m_error = "cannot start the record";
        }
    }
    ~CRecordingContext() { m_context.reset(); }
    const std::string& Error() const { return m_error; }

    // One record update at a position a segment in, far from the end.
    HRESULT Update(std::int32_t step) {
        m_owner.clock.Advance(1000);
        unsigned char update[CTimelineContext::kUpdateRecordSize] = {};
        const std::int32_t changeId = 1, trigger = 3, state = TmsShuttleRecord;
        const std::int32_t position = kSegment + step % kSegment;
        std::memcpy(update + 4, &changeId, 4);
        std::memcpy(update + 8, &trigger, 4);
        std::memcpy(update + 12, &state, 4);
        std::memcpy(update + 16, &position, 4);
        std::memcpy(update + 20, &position, 4);
        return m_context->ApplyContextUpdate(kToken, update);
    }

private:
    CBenchRecorder m_owner;
    CComPtr<ITimeline> m_timeline;
    CComPtr<IMovie> m_movie;
    CComPtr<CNoBroker> m_broker;
    std::unique_ptr<CTimelineContext> m_context;
    std::string m_error;
};

void BM_RecordUpdateMovieLength(benchmark::State& state) {
    CBenchRuntime runtime;
    if (!runtime.Error().empty()) {
        state.SkipWithError(runtime.Error().c_str());
        return;
    }
    CComPtr<IXMLDOMDocument2> config;
    CComPtr<IMovieBuilder> builder;
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (CoCreateInstance(CLSID_DOMDocument40, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2,
                         reinterpret_cast<void**>(&config)) != S_OK ||
        config->loadXML(CBstr("<Config><System/></Config>"), &ok) != S_OK ||
        CoCreateInstance(CLSID_MovieBuilder, nullptr, CLSCTX_INPROC_SERVER, IID_IMovieBuilder,
                         reinterpret_cast<void**>(&builder)) != S_OK) {
        state.SkipWithError("cannot create the configuration or the movie builder");
        return;
    }
    std::vector<double> longTimes, shortTimes;
    {
        CRecordingContext hours(builder, config, "hours", 180);
        CRecordingContext minutes(builder, config, "minutes", 2);
        if (!hours.Error().empty() || !minutes.Error().empty()) {
            state.SkipWithError((hours.Error() + minutes.Error()).c_str());
            return;
        }
        std::int32_t step = 0;
        for (auto _ : state) {
            for (int i = 0; i < kSamplesPerRound; ++i, ++step) {
                auto t0 = Clock::now();
                const HRESULT a = hours.Update(step);
                auto t1 = Clock::now();
                const HRESULT b = minutes.Update(step);
                auto t2 = Clock::now();
                if (a != S_OK || b != S_OK) {
                    state.SkipWithError("a record update failed");
                    return;
                }
                longTimes.push_back(Micros(t0, t1));
                shortTimes.push_back(Micros(t1, t2));
            }
        }
    }
    bench::ReportAgainst(state, longTimes, shortTimes, "segments180", "segments2");
    if (!longTimes.empty() && !shortTimes.empty()) {
        const double ours = bench::Percentile(longTimes, 0.5);
        const double base = bench::Percentile(shortTimes, 0.5);
        bench::AddSummary({"record update, 180-segment movie, median", bench::Us(ours),
                           "2-segment movie " + bench::Us(base), ours / base, "<= 2.0x",
                           ours <= 2.0 * base});
    }
}

BENCHMARK(BM_RecordUpdateMovieLength)->Iterations(4)->Unit(benchmark::kMillisecond);

}  // namespace
