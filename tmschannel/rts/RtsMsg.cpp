#include "tmschannel/rts/RtsMsg.h"

#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/WaitFunctions.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/rts/RtsMessageFormat.h"
#include "tmschannel/rts/RtsMessages.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Stays 0 while no hand-over spins; kept so that a busy process can tell.
std::atomic<std::uint64_t> g_spinNanos{0};

constexpr HRESULT kThreadNotStarted = HR(0x80043004);
constexpr HRESULT kNoResponse = HR(0x80043011);
constexpr HRESULT kConnectionLost = HR(0x80043012);
constexpr HRESULT kShortRead = HR(0x80043006);
// Printed when a reply carries no "ack " at all.
constexpr std::uint32_t kNoAckStatus = 0xFFFFFFFFu;

std::string MalformedReplyText(const std::string& name, const std::string& why) {
    std::string text = name + ": Malformed reply from the hardware (RTS)";
    if (!why.empty()) {
        text += ": " + why;
    }
    return text;
}

}  // namespace

CRtsMsg::CRtsMsg() = default;

CRtsMsg::~CRtsMsg() {
    CTmsEntryPoint trace("CRtsMsg::~CRtsMsg");
    CloseRtsConnection();
}

std::uint64_t CRtsMsg::SpinNanos() {
    return g_spinNanos.load(std::memory_order_relaxed);
}

std::string CRtsMsg::PortName(int port) {
    char name[32];
    std::snprintf(name, sizeof name, "rtp/TmsFore%02d", port);
    return name;
}

HRESULT CRtsMsg::OpenRtsConnection(int port, const std::string& name) {
    CCriticalSectionLock lock(m_cs);
    CTmsEntryPoint trace("CRtsMsg::OpenRtsConnection %d '%s'", port, name.c_str());
    return TMS_ERROR_FRAME(trace, [&] {
        m_name = name;
        m_sealed = false;
        // The lost flag belongs to one connection: a channel opened again
        // after its RTS went away starts with a connection that is not lost.
        m_lost = false;
        const std::string portName = PortName(port);
        m_ipm = std::make_unique<CIpmClient>(kIpmMaxMessage, kIpmQueueDepth, portName.c_str(),
                                             kIpmTimeoutMs);
        m_hasClient = true;
        if (!m_ipm->IsOpen()) {
            // Not a failure here: the first exchange finds the port closed and
            // marks the connection lost.
            trace.LogMsg("%s: Could not connect to the hardware (RTS) port %s: %s", m_name.c_str(),
                         portName.c_str(), std::strerror(m_ipm->LastError()));
        }
        // What a thread of an earlier connection left (an answer that came
        // after its sender gave up, its shutdown) must not reach this one.
        m_toThread.Clear(kRequest | kShutdown);
        m_toSender.Clear(kAnswered);
        m_threadIpm = m_ipm.get();
        auto thread = std::make_unique<CThread>();
        char threadName[16];
        std::snprintf(threadName, sizeof threadName, "tms-rts-%d", port);
        if (!thread->Start([this] { return Thread(); }, threadName)) {
            CloseHandles();
            TMS_RAISE(trace, kThreadNotStarted, "%s: Could not start foreground thread for port %d",
                      m_name.c_str(), port);
        }
        m_thread = std::move(thread);
    });
}

HRESULT CRtsMsg::CloseRtsConnection() {
    CCriticalSectionLock lock(m_cs);
    CTmsEntryPoint trace("CRtsMsg::CloseRtsConnection");
    return TMS_ERROR_FRAME(trace, [&] {
        if (m_thread) {
            m_toThread.Raise(kShutdown);
        }
        if (m_thread && m_thread->GetExitCode() == STILL_ACTIVE) {
            // A thread blocked in the IPM client is woken by closing its
            // socket; a thread cannot be killed safely here.
            if (m_ipm) {
                m_ipm->Close();
            }
            if (WaitForSingleObject(m_thread->Handle(), kCloseWaitMs) != WAIT_OBJECT_0) {
                trace.LogError(E_ABORT, __FILE__, __LINE__,
                               "%s: Timed out trying to close foreground IPM thread",
                               m_name.c_str());
                trace.SetResult(S_OK);
            }
        }
        CloseHandles();
    });
}

void CRtsMsg::CloseHandles() {
    if (m_thread) {
        m_thread->Join();
    }
    m_threadIpm = nullptr;
    m_thread.reset();
    m_ipm.reset();
    m_hasClient = false;
}

bool CRtsMsg::IsConnected() const {
    if (m_lost.load() || !m_hasClient.load()) {
        return false;
    }
    // An RTS that went away between messages is noticed without waiting
    // for the next exchange to fail.
    const CIpmClient* peer = m_threadIpm.load();
    if (peer != nullptr && peer->PeerClosed()) {
        m_lost = true;
        return false;
    }
    return true;
}

CRtsMsg::Stamps CRtsMsg::GetStamps() const {
    return {m_next.load(), m_queued.load(), m_taken.load(), m_written.load(), m_read.load()};
}

HRESULT CRtsMsg::SendMsg(CMmioMsg& message, DWORD timeoutMs) {
    CCriticalSectionLock lock(m_cs);
    CTmsEntryPoint trace("CRtsMsg::SendMsg");
    return TMS_ERROR_FRAME(trace, [&] {
        if (!m_thread || m_sealed) {
            trace.SetResult(S_FALSE);
            return;
        }
        if (m_lost) {
            TMS_RAISE(trace, kConnectionLost,
                      "%s: Communication has been lost with the hardware (RTS)", m_name.c_str());
        }
        const BYTE* bytes = std::as_const(message).GetBuffer();
        const DWORD size = message.GetMsgSize();
        m_request.assign(bytes, bytes + (bytes != nullptr ? size : 0));
        m_result = S_OK;
        m_outcome = Outcome::kAcknowledged;
        m_failureText.clear();
        m_queued = m_next.fetch_add(1);
        m_toThread.Raise(kRequest);

        const DWORD half = timeoutMs >> 1;
        bool answered = false;
        for (int pass = 0; pass < 2 && !answered; ++pass) {
            answered = m_toSender.Wait(kAnswered, kAnswered, half) != 0;
            if (!answered && pass == 0) {
                trace.LogMsg(
                    "%s: Hardware (RTS) has not responded in %dms. Rtn:%d. Msg:%d->%d->%d->%d",
                    m_name.c_str(), static_cast<int>(half), static_cast<int>(WAIT_TIMEOUT),
                    static_cast<int>(m_queued.load()), static_cast<int>(m_taken.load()),
                    static_cast<int>(m_written.load()), static_cast<int>(m_read.load()));
            }
        }
        if (!answered) {
            const DWORD exitCode = m_thread->GetExitCode();
            m_lost = true;
            TMS_RAISE(trace, kNoResponse,
                      "%s: Hardware (RTS) has not responded in %dms.  Msg:%d->%d->%d->%d Thread:%s",
                      m_name.c_str(), static_cast<int>(timeoutMs),
                      static_cast<int>(m_queued.load()), static_cast<int>(m_taken.load()),
                      static_cast<int>(m_written.load()), static_cast<int>(m_read.load()),
                      exitCode == STILL_ACTIVE ? "active" : "closed");
        }
        if (m_outcome == Outcome::kPeerGone) {
            m_lost = true;
            trace.LogMsg("%s: %s", m_name.c_str(), m_failureText.c_str());
            TMS_RAISE(trace, kConnectionLost,
                      "%s: Communication has been lost with the hardware (RTS)", m_name.c_str());
        }
        if (m_outcome == Outcome::kFailed && !m_failureText.empty()) {
            TMS_RAISE(trace, m_result, "%s", m_failureText.c_str());
        }
        CheckHr(trace, m_result);
    });
}

DWORD CRtsMsg::Thread() {
    CTmsEntryPoint trace("CRtsMsg::Thread()");
    // One reply message for the thread's life, made by the first exchange
    // (where a failure fails that exchange, not the thread) and cleared
    // before every read.
    CMmioMsg reply;
    for (;;) {
        // Shutdown first: a request raised with it is not carried out.
        const std::uint32_t got = m_toThread.Wait(kShutdown | kRequest, kRequest, INFINITE);
        if ((got & kShutdown) != 0) {
            break;
        }
        Exchange(reply);
        m_toSender.Raise(kAnswered);
    }
    return 0;
}

void CRtsMsg::Exchange(CMmioMsg& reply) {
    CTmsEntryPoint trace("CRtsMsg::Exchange");
    // A failure raised on this thread is logged here, but it is the sender's
    // caller who must read why: its text travels back with the result. What
    // an earlier exchange left must not stand for this one.
    tmsframe::TakeFailureText();
    m_result = TMS_ERROR_FRAME(trace, [&] {
        m_taken = m_queued.load();
        CIpmClient& ipm = *m_threadIpm.load();
        const std::string& name = m_name;
        auto peerFailure = [&](const char* what, int n) {
            m_outcome = Outcome::kPeerGone;
            char text[160];
            if (n == 0) {
                std::snprintf(text, sizeof text, "the RTS closed its port (%s)", what);
            } else {
                std::snprintf(text, sizeof text, "%s on the RTS port failed: %s", what,
                              std::strerror(ipm.LastError()));
            }
            m_failureText = text;
            trace.SetResult(kConnectionLost);
        };
        // Before the write: a reply that could not be read would put the
        // port out of step.
        if (reply.GetBuffer() == nullptr) {
            CheckHr(trace, reply.Create(static_cast<DWORD>(kReplySize)));
        }
        const int written = ipm.Write(reinterpret_cast<const char*>(m_request.data()),
                                      static_cast<int>(m_request.size()));
        m_written = m_taken.load();
        if (written < 0) {
            peerFailure("Write", written);
            return;
        }
        // Zeroed before every read: an old "ack " can never answer for a
        // reply that did not come.
        std::memset(reply.GetBuffer(), 0, reply.GetBufferSize());
        const int n = ipm.Read(reinterpret_cast<char*>(reply.GetBuffer()), kReplySize);
        m_read = m_written.load();
        if (n <= 0) {
            const int error = ipm.LastError();
            if (n < 0 && (error == EAGAIN || error == ETIMEDOUT)) {
                m_outcome = Outcome::kFailed;
                m_failureText = name + ": Hardware (RTS) reply did not arrive in time";
                trace.SetResult(kNoResponse);
                return;
            }
            if (n < 0 && error == EMSGSIZE) {
                // Dropped whole by the port, which stays in step: this
                // exchange fails, the connection does not.
                char text[160];
                std::snprintf(text, sizeof text,
                              "a reply of %d bytes is longer than the reply buffer of %d bytes",
                              ipm.LastReadLength(), kReplySize);
                m_outcome = Outcome::kFailed;
                m_failureText = MalformedReplyText(name, text);
                trace.SetResult(kShortRead);
                return;
            }
            peerFailure("Read", n);
            return;
        }
        bool found = false;
        std::int32_t status = 0;
        const HRESULT hr = rts::ReadReply(reply, static_cast<DWORD>(n), &found, &status);
        if (FAILED(hr)) {
            m_outcome = Outcome::kFailed;
            m_failureText = MalformedReplyText(name, tmsframe::TakeFailureText());
            trace.SetResult(hr);
            return;
        }
        if (!found || status != 0) {
            char text[160];
            std::snprintf(
                text, sizeof text, "%s: RTS message returned with error code 0x%x", name.c_str(),
                found ? static_cast<unsigned>(status) : static_cast<unsigned>(kNoAckStatus));
            m_outcome = Outcome::kFailed;
            m_failureText = text;
            trace.SetResult(E_FAIL);
            return;
        }
        trace.SetResult(hr);
    });
}
