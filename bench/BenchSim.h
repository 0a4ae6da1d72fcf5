// What the channel benchmarks share: the RTS simulator of the runtime
// folder run in this process, and a client's change record.
#pragma once

#include <cstdint>
#include <string>

#include "server/configmgr/SystemConfigFile.h"
#include "server/rtssim/RtsSimulator.h"
#include "tmschannel/context/ContextRecord.h"

namespace bench {

// The simulator, started on construction and stopped on destruction; Error()
// says why it did not start.
class CBenchSim {
public:
    explicit CBenchSim(const RtsSimOptions& options) : m_sim(options) {
        m_started = m_sim.Start(&m_error);
        if (!m_started && m_error.empty()) {
            m_error = "the RTS simulator did not start";
        }
    }
    ~CBenchSim() {
        if (m_started) {
            m_sim.Stop();
        }
    }
    CBenchSim(const CBenchSim&) = delete;
    CBenchSim& operator=(const CBenchSim&) = delete;

    const std::string& Error() const { return m_error; }
    CRtsSimulator& Sim() { return m_sim; }

    // The runtime folder's configuration; its own clock thread or the
    // caller's clock (moved by StepClock); a dump folder for every message
    // it receives, or none.
    static RtsSimOptions Options(bool clockThread, const std::string& dumpDir = {},
                                 IRtsSimClock* clock = nullptr) {
        RtsSimOptions options;
        options.configPath = SystemConfigPath();
        options.dumpDir = dumpDir;
        options.runClockThread = clockThread;
        options.clock = clockThread ? nullptr : clock;
        return options;
    }

private:
    CRtsSimulator m_sim;
    std::string m_error;
    bool m_started = false;
};

// A client's change record: the given flags, port state and speed, trigger
// Asap, at a movie position, on a timeline of the given length.
inline context_record::ChangeRecord Change(std::uint32_t flags, std::int32_t portState, float speed,
                                           std::int32_t position, std::int32_t length) {
    context_record::ChangeRecord r{};
    r.flags = flags;
    r.trigger = 1;
    r.portState = portState;
    r.speed = speed;
    r.position.movie = position;
    r.timelineLength = length;
    return r;
}

}  // namespace bench
