// CRtsMsg: the channel's one connection to the RTS. A message thread owns the
// IPM client of the channel's foreground port and performs every exchange:
// write one request, read one reply, check its "ack ". Senders on any thread
// hand a finished message to SendMsg, which waits for the exchange with a
// time-out; a sender never blocks on the IPM client itself.
//
// The request bytes are copied when they are handed over, so a sender that
// gave up may destroy its message while the thread is still busy with it.
// An RTS that closed its port, or a port that could not be written or read,
// fails the exchange at once and marks the connection lost, as the full
// time-out does. A reply that is malformed, or longer than the reply buffer
// (the port drops it whole and stays in step), fails that exchange only; the
// reason, raised on the message thread, is raised again to the sender so
// that its caller reads it.
//
// Locks: m_cs serialises OpenRtsConnection, CloseRtsConnection and SendMsg,
// and is held across the whole wait of a send. The message thread takes no
// lock; it hands over through two sets of flags (the request and shutdown
// flags it waits for, the answer flag the sender waits for), which cost no
// system call while the other side is awake and no process-wide lock ever.
#pragma once

#include "platform/kernel/CriticalSection.h"
#include "platform/kernel/Handle.h"
#include "platform/kernel/SignalFlags.h"
#include "platform/kernel/Thread.h"
#include "server/ipmclient/IpmClient.h"
#include "tmschannel/rts/MmioMsg.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CRtsMsg {
public:
    static constexpr DWORD kSendTimeoutMs = 60000;
    static constexpr DWORD kCloseWaitMs = 5000;
    static constexpr unsigned long kIpmMaxMessage = 4096;
    static constexpr unsigned long kIpmQueueDepth = 1;
    static constexpr unsigned long kIpmTimeoutMs = 60000;
    static constexpr int kReplySize = 1024;

    // The progress marks of the last exchange (for logs and tests).
    struct Stamps {
        std::uint32_t next, queued, taken, written, read;
    };

    CRtsMsg();
    virtual ~CRtsMsg();
    CRtsMsg(const CRtsMsg&) = delete;
    CRtsMsg& operator=(const CRtsMsg&) = delete;

    HRESULT OpenRtsConnection(int port, const std::string& name);
    HRESULT CloseRtsConnection();
    // S_OK (or the exchange's success code) when the RTS acknowledged;
    // S_FALSE without sending when no connection is open.
    HRESULT SendMsg(CMmioMsg& message, DWORD timeoutMs);
    bool IsConnected() const;
    // After the channel's closing message: later sends go nowhere (S_FALSE,
    // as without a connection) while the connection itself stays up for
    // what is still finishing. A new OpenRtsConnection unseals.
    void Seal() { m_sealed = true; }

    Stamps GetStamps() const;
    // "rtp/TmsFore%02d".
    static std::string PortName(int port);

    // Wall time every connection of this process has spent spinning for an
    // answer or the next request, in nanoseconds: what a busy process pays
    // for a shorter hand-over. The hand-over sleeps at once, so this stays 0.
    static std::uint64_t SpinNanos();

private:
    // How an exchange ended, as the thread hands it back.
    enum class Outcome { kAcknowledged, kFailed, kPeerGone };

    // The flags of m_toThread and m_toSender.
    static constexpr std::uint32_t kRequest = 1;   // auto reset: a request is ready
    static constexpr std::uint32_t kShutdown = 2;  // stays set: the thread ends
    static constexpr std::uint32_t kAnswered = 1;  // auto reset: the exchange is over

    DWORD Thread();
    void Exchange(CMmioMsg& reply);
    void CloseHandles();  // under m_cs

    std::string m_name;  // written under m_cs before the thread starts; constant while it runs
    // Written by the thread before it sets the response event, read by the
    // sender after the event; never touched by a sender that gave up.
    HRESULT m_result = S_OK;
    Outcome m_outcome = Outcome::kAcknowledged;
    std::string m_failureText;
    // Written by the sender before it raises kRequest.
    std::vector<BYTE> m_request;

    // Raised by senders and CloseRtsConnection, waited for by the thread.
    CSignalFlags m_toThread;
    // Raised by the thread after an exchange, waited for by the sender.
    CSignalFlags m_toSender;

    // The members down to m_thread are guarded by m_cs (the error frame's
    // lambdas hide the lock from the analysis, so they carry no annotation).
    // Used by the message thread only, except Close, which may be called from
    // the closing thread to wake a blocked Read.
    std::unique_ptr<CIpmClient> m_ipm;
    std::unique_ptr<CThread> m_thread;
    // The thread's copy, as it must not take m_cs; also read by IsConnected,
    // to look at the peer.
    std::atomic<CIpmClient*> m_threadIpm{nullptr};

    std::atomic<std::uint32_t> m_next{1};
    std::atomic<std::uint32_t> m_queued{0};
    std::atomic<std::uint32_t> m_taken{0};
    std::atomic<std::uint32_t> m_written{0};
    std::atomic<std::uint32_t> m_read{0};
    std::atomic<bool> m_sealed{false};
    mutable std::atomic<bool> m_lost{false};  // cleared only by a new OpenRtsConnection
    std::atomic<bool> m_hasClient{false};     // an IPM client exists (polled without m_cs)

    mutable CCriticalSection m_cs;
};
