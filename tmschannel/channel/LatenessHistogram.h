// How late the status monitor's cycles started: a fixed histogram of 5 µs
// buckets up to 5 ms and one bucket for anything later, so that percentiles
// can be read without keeping samples and without allocating per cycle.
//
// Thread safety: one writer (the monitor thread: Add, Clear); Snapshot may
// be called from any thread and sees each bucket whole, not the buckets at
// one instant.
#pragma once

#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>

// A copy of the histogram's counts, to subtract and read percentiles from.
struct LatenessCounts {
    static constexpr std::int64_t kBucketUs = 5;
    static constexpr std::size_t kBuckets = 1000;  // then one for later ones
    static constexpr std::int64_t kRangeUs = kBucketUs * static_cast<std::int64_t>(kBuckets);

    std::array<std::uint32_t, kBuckets + 1> n{};

    std::uint64_t Total() const {
        std::uint64_t total = 0;
        for (const std::uint32_t c : n) {
            total += c;
        }
        return total;
    }
    // The counts added since earlier (a snapshot of the same histogram).
    LatenessCounts Since(const LatenessCounts& earlier) const {
        LatenessCounts d;
        for (std::size_t i = 0; i < n.size(); ++i) {
            d.n[i] = n[i] - earlier.n[i];
        }
        return d;
    }
    // The upper edge of the bucket that holds the sample of rank ceil(p
    // total) (at least the first), in µs: no sample is later than the answer
    // by the rank, none earlier by more than a bucket. kRangeUs or more
    // means "in the last bucket", that is at least kRangeUs; 0 when empty.
    std::int64_t PercentileUs(double p) const {
        const std::uint64_t total = Total();
        if (total == 0) {
            return 0;
        }
        // p total rounds up in binary (0.07 x 100 is 7.000000000000001):
        // a rank that is whole in decimal stays that rank.
        const double wanted = std::ceil(p * static_cast<double>(total) - 1e-6);
        std::uint64_t rank = wanted < 1.0 ? 1 : static_cast<std::uint64_t>(wanted);
        if (rank > total) {
            rank = total;
        }
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < n.size(); ++i) {
            seen += n[i];
            if (seen >= rank) {
                return kBucketUs * static_cast<std::int64_t>(i + 1);
            }
        }
        return kRangeUs + kBucketUs;
    }
};

class CLatenessHistogram {
public:
    void Add(std::int64_t lateUs) {
        const std::int64_t b = lateUs < 0 ? 0 : lateUs / LatenessCounts::kBucketUs;
        const auto i = b < static_cast<std::int64_t>(LatenessCounts::kBuckets)
                           ? static_cast<std::size_t>(b)
                           : LatenessCounts::kBuckets;
        // One writer: a load and a store, no read-modify-write.
        m_n[i].store(m_n[i].load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    void Clear() {
        for (auto& c : m_n) {
            c.store(0, std::memory_order_relaxed);
        }
    }
    LatenessCounts Snapshot() const {
        LatenessCounts s;
        for (std::size_t i = 0; i < m_n.size(); ++i) {
            s.n[i] = m_n[i].load(std::memory_order_relaxed);
        }
        return s;
    }

private:
    std::array<std::atomic<std::uint32_t>, LatenessCounts::kBuckets + 1> m_n{};
};
