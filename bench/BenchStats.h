// What the benchmarks share: percentiles of samples, elapsed microseconds,
// CPU pinning, and the counters of a measurement against its baseline.
#pragma once

#include <benchmark/benchmark.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Micros(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0.0;
    }
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * (v.size() - 1))];
}

// Pins the calling thread, and every thread it starts from then on, to the
// first cpus CPUs; the old mask comes back on destruction.
class CCpuPin {
public:
    explicit CCpuPin(int cpus) {
        sched_getaffinity(0, sizeof m_saved, &m_saved);
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int c = 0; c < cpus; ++c) {
            CPU_SET(c, &set);
        }
        m_ok = static_cast<int>(std::thread::hardware_concurrency()) >= cpus &&
               sched_setaffinity(0, sizeof set, &set) == 0;
    }
    ~CCpuPin() { sched_setaffinity(0, sizeof m_saved, &m_saved); }
    CCpuPin(const CCpuPin&) = delete;
    CCpuPin& operator=(const CCpuPin&) = delete;
    bool Ok() const { return m_ok; }

private:
    cpu_set_t m_saved;
    bool m_ok = false;
};

// <ours>_median_us, <base>_median_us, the two p99s and ratio_median and
// ratio_p99 of ours against the baseline.
inline void ReportAgainst(benchmark::State& state, const std::vector<double>& ours,
                          const std::vector<double>& base, const std::string& oursName,
                          const std::string& baseName) {
    if (ours.empty() || base.empty()) {
        return;
    }
    const double om = Percentile(ours, 0.5), bm = Percentile(base, 0.5);
    const double o99 = Percentile(ours, 0.99), b99 = Percentile(base, 0.99);
    state.counters[oursName + "_median_us"] = om;
    state.counters[baseName + "_median_us"] = bm;
    state.counters[oursName + "_p99_us"] = o99;
    state.counters[baseName + "_p99_us"] = b99;
    state.counters["ratio_median"] = om / bm;
    state.counters["ratio_p99"] = o99 / b99;
}

}  // namespace bench
