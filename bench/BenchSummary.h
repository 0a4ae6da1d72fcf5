// The one table `make bench` ends with: each figure a benchmark measured,
// ours against its baseline of the same run, the target and whether it was
// met. Benchmarks add their rows as they finish; a benchmark that runs again
// (more iterations) replaces its rows.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

struct SummaryRow {
    std::string figure;    // what was measured, and on what
    std::string ours;      // the figure with its unit
    std::string baseline;  // what it is measured against, with its figure; "-" for none
    double ratio = NAN;    // ours / baseline; NaN when the target is absolute
    std::string target;    // e.g. "<= 2.0x" or "< 1 us"
    bool met = false;
};

class CSummary {
public:
    static CSummary& Get() {
        static CSummary summary;
        return summary;
    }

    void Add(SummaryRow row) {
        for (SummaryRow& r : m_rows) {
            if (r.figure == row.figure) {
                r = std::move(row);
                return;
            }
        }
        m_rows.push_back(std::move(row));
    }

    bool Empty() const { return m_rows.empty(); }

    // The table, Markdown-shaped so that it pastes into a note unchanged.
    void Print(std::FILE* out) const {
        std::fprintf(out, "\n| figure | ours | baseline | ratio | target | met |\n");
        std::fprintf(out, "|---|---|---|---|---|---|\n");
        int met = 0;
        for (const SummaryRow& r : m_rows) {
            char ratio[32] = "-";
            if (!std::isnan(r.ratio)) {
                std::snprintf(ratio, sizeof ratio, "%.2f", r.ratio);
            }
            std::fprintf(out, "| %s | %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.ours.c_str(),
                         r.baseline.c_str(), ratio, r.target.c_str(), r.met ? "yes" : "NO");
            met += r.met ? 1 : 0;
        }
        std::fprintf(out, "\n%d of %zu targets met\n", met, m_rows.size());
    }

private:
    std::vector<SummaryRow> m_rows;
};

// "24.6 us", "0.30 us", "145 us": three significant figures at most.
inline std::string Us(double us) {
    char text[32];
    if (us >= 100.0) {
        std::snprintf(text, sizeof text, "%.0f us", us);
    } else if (us >= 10.0) {
        std::snprintf(text, sizeof text, "%.1f us", us);
    } else {
        std::snprintf(text, sizeof text, "%.2f us", us);
    }
    return text;
}

inline std::string Text(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

inline void AddSummary(SummaryRow row) {
    CSummary::Get().Add(std::move(row));
}

}  // namespace bench
