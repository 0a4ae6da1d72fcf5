// The status monitor's clock: cycles start at absolute deadlines every
// period from the first, so that a late cycle does not delay every later
// one, and the schedule counts what it kept (cycles, lateness) for
// measurement.
//
// Thread safety: Next and Late belong to the monitor thread; the counters
// may be read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "tmschannel/channel/LatenessHistogram.h"

class CStatusSchedule {
public:
    using Clock = std::chrono::steady_clock;

    // now is the clock's reading; a test steps its own instead.
    using NowFn = Clock::time_point (*)();
    explicit CStatusSchedule(std::chrono::microseconds period, NowFn now = &Clock::now)
        : m_period(period), m_now(now) {}

    // Cycle numbers run 1 to 65535 and wrap to 1: 0 is never a cycle.
    static std::uint16_t NextCycle(std::uint16_t cycle) {
        return static_cast<std::uint16_t>(cycle == 65535 ? 1 : cycle + 1);
    }

    // Starts counting from now.
    void Start() {
        m_next = m_now() + m_period;
        m_first = m_next;
        m_cycles = 0;
        m_maxLateUs = 0;
        m_lateness.Clear();
    }
    // Time left until the next deadline (zero when it has passed).
    std::chrono::microseconds Remaining() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(m_next - m_now());
        return left.count() > 0 ? left : std::chrono::microseconds(0);
    }
    Clock::time_point Deadline() const { return m_next; }
    // The cycle of the current deadline starts: counts its lateness and
    // moves to the next deadline. Deadlines missed by more than a period
    // are skipped, not caught up in a burst.
    void Begin() {
        const auto now = m_now();
        const auto late = std::chrono::duration_cast<std::chrono::microseconds>(now - m_next);
        const std::int64_t lateUs = late.count() > 0 ? late.count() : 0;
        if (lateUs > m_maxLateUs) {
            m_maxLateUs = lateUs;
        }
        m_lateness.Add(lateUs);
        ++m_cycles;
        m_last = m_next;
        m_next += m_period;
        while (m_next + m_period < now) {
            m_next += m_period;
        }
    }

    // Cycles begun, the mean period between the first and the last
    // deadline, and lateness figures, in microseconds.
    std::uint64_t Cycles() const { return m_cycles; }
    double MeanPeriodUs() const {
        const std::uint64_t n = m_cycles;
        if (n < 2) {
            return 0.0;
        }
        return std::chrono::duration<double, std::micro>(m_last.load() - m_first.load()).count() /
               static_cast<double>(n - 1);
    }
    std::int64_t MaxLatenessUs() const { return m_maxLateUs; }
    // Every cycle's lateness so far, for percentiles.
    LatenessCounts Lateness() const { return m_lateness.Snapshot(); }

private:
    const std::chrono::microseconds m_period;
    const NowFn m_now;
    Clock::time_point m_next{};
    std::atomic<Clock::time_point> m_first{};
    std::atomic<Clock::time_point> m_last{};
    std::atomic<std::uint64_t> m_cycles{0};
    std::atomic<std::int64_t> m_maxLateUs{0};
    CLatenessHistogram m_lateness;
};
