// CCallGate: the door the channel's client calls pass through to reach its
// contexts and timelines. Open opens it once everything those calls use
// exists; Close shuts it, so that new calls are refused at once, and then
// drains it, waiting until the calls already inside have left, before it
// destroys what they use.
//
// Thread safety: made to be shared. Enter and Leave (through CCallGate::Pass)
// from any thread; Open, Shut and Drain from the thread that opens or closes
// the channel. The gate's own lock is innermost: Drain must be called with
// no lock held that a call in flight may wait for (the channel lock).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class CCallGate {
public:
    enum class State : std::uint8_t { kClosed, kOpen, kClosing };

    CCallGate() = default;
    CCallGate(const CCallGate&) = delete;
    CCallGate& operator=(const CCallGate&) = delete;

    // Admits calls from now on.
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = State::kOpen;
    }
    // Refuses new calls from now on (state kClosing, then kClosed once the
    // channel has closed); the calls inside go on.
    void Shut(State state) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = state;
    }
    // Waits until no call is inside.
    void Drain() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_left.wait(lock, [this] { return m_inside == 0; });
    }

    // One call's passage: admitted() is false when the gate was not open,
    // and refusal() then tells why.
    class Pass {
    public:
        explicit Pass(CCallGate& gate) : m_gate(gate) {
            std::lock_guard<std::mutex> lock(gate.m_mutex);
            m_refusal = gate.m_state;
            m_admitted = gate.m_state == State::kOpen;
            if (m_admitted) {
                ++gate.m_inside;
            }
        }
        ~Pass() {
            if (!m_admitted) {
                return;
            }
            std::lock_guard<std::mutex> lock(m_gate.m_mutex);
            if (--m_gate.m_inside == 0) {
                m_gate.m_left.notify_all();
            }
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

        bool Admitted() const { return m_admitted; }
        // The words for a refused call: "closing" or "not open".
        const char* Refusal() const {
            return m_refusal == State::kClosing ? "the channel is closing"
                                                : "the channel is not open";
        }

    private:
        CCallGate& m_gate;
        bool m_admitted = false;
        State m_refusal = State::kClosed;
    };

private:
    std::mutex m_mutex;
    State m_state = State::kClosed;  // m_mutex
    int m_inside = 0;                // m_mutex
    std::condition_variable m_left;  // m_inside reached 0
};
