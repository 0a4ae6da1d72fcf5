// CRtsSimulator: the simulated RTS of one runtime folder. It runs every
// configured channel: the channel's foreground port "rtp/TmsFore<NN>"
// answered with "repl"/"ack ", a clock of one tick per video field, and the
// channel's block of the RTS shared memory. A control port "rtssim/control"
// takes text commands (see Control).
//
// Threads: one per channel port (one client at a time; a new client is taken
// when the last one went away), one for the control port, one clock thread.
// Each channel's model is guarded by that channel's lock; the shared-memory
// writer is used by the clock thread only, except for Start and Stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/CriticalSection.h"
#include "server/ipmclient/IpmServer.h"
#include "server/ipmclient/RtsShmemWriter.h"
#include "server/rtssim/RtsChannelModel.h"
#include "server/rtssim/RtsFaults.h"
#include "server/rtssim/RtsMessageChecker.h"
#include "server/rtssim/RtsSimClock.h"

struct RtsSimOptions {
    std::string configPath;         // the system configuration
    std::string dumpDir;            // "" = do not dump received messages
    bool verbose = false;           // also log to standard error
    IRtsSimClock* clock = nullptr;  // null = the steady clock
    bool runClockThread = true;     // false: the caller calls StepClock
};

// The longest answer the control port sends (its clients read 512 bytes).
constexpr std::size_t kControlAnswerMax = 500;

class CRtsSimulator {
public:
    explicit CRtsSimulator(RtsSimOptions options);
    ~CRtsSimulator();
    CRtsSimulator(const CRtsSimulator&) = delete;
    CRtsSimulator& operator=(const CRtsSimulator&) = delete;

    // Reads the configuration, takes the ports (failing when another
    // simulator holds them), creates the shared memory, starts the threads.
    bool Start(std::string* error);
    // Stops the threads and removes the sockets, the RTS shared memory and
    // the server-wide status memory of the runtime folder.
    void Stop();

    RtsFaults& Faults() { return m_faults; }
    // One pass of the clock: every channel moves on to the current field and
    // is published.
    void StepClock();
    // A control command: "gpi CHANNEL INPUT on|off", "context CHANNEL INDEX
    // PORTSTATE TRIGGERSTATUS", "clock hold|run|step FIELDS", "fault ...",
    // "status CHANNEL", "houseclock VALUE", "gang CHANNEL VALUE OPID",
    // "fired CHANNEL [FROM]", "gpifired CHANNEL [clear]", "quit". Answers "ok", a status line, or
    // "error <reason>".
    std::string Control(const std::string& command);
    bool QuitRequested() const { return m_quit.load(); }

    // Checks and applies one request for a channel and builds the reply;
    // false when no reply is to be sent. Used by the port threads and tests.
    bool HandleRequest(int channelIndex, const unsigned char* data, std::size_t size,
                       std::vector<unsigned char>* reply);
    // Requests handled on every channel so far, answered or not (for
    // benchmarks that share out the cost of the exchanges).
    std::uint64_t Requests() const { return m_requests.load(std::memory_order_relaxed); }

private:
    struct Channel {
        explicit Channel(const RtsSimChannel& c) : config(c), model(c) {}
        RtsSimChannel config;
        CCriticalSection cs;
        CRtsChannelModel model GUARDED_BY(cs);
        double startSeconds GUARDED_BY(cs) = 0;
        CIpmListener listener;
        std::thread thread;
    };

    Channel* Find(int channelIndex);
    // Logs what the channel's model noted (recording, playback past a
    // recording's end).
    void LogNotes(Channel& channel) REQUIRES(channel.cs);
    void ServePort(Channel& channel);
    void ServeControl();
    void RunClock();
    std::string StepHeldClock(const std::string& fieldsText, std::istream& rest);
    // "houseclock VALUE", "gang CHANNEL VALUE OPID", "fired CHANNEL [FROM]".
    std::string ScheduleControl(const std::string& verb, std::istream& in);
    void Dump(const unsigned char* data, std::size_t size);
    void Log(bool error, const std::string& text);

    RtsSimOptions m_options;  // constant after construction
    CSteadyRtsSimClock m_steady;
    IRtsSimClock* m_clock;
    RtsFaults m_faults;
    // A held clock stands still: no tick moves and nothing is published
    // until it runs again, from where it stopped. Taken before a channel's cs.
    CCriticalSection m_clockCs;
    bool m_clockHeld GUARDED_BY(m_clockCs) = false;
    double m_heldAt GUARDED_BY(m_clockCs) = 0;
    std::vector<std::unique_ptr<Channel>> m_channels;  // fixed after Start
    CRtsShmemWriter m_shmem;                           // clock thread after Start
    CIpmListener m_control;
    std::thread m_controlThread;
    std::thread m_clockThread;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_quit{false};
    std::atomic<std::uint32_t> m_dumpCount{0};
    std::atomic<std::uint64_t> m_requests{0};
    bool m_started = false;
};

// The simulator's answer: "RIFF" 20 "repl" "ack " 8, status, 0 (28 bytes).
std::vector<unsigned char> BuildRtsReply(std::uint32_t status);
