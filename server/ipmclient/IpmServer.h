// The server end of IPM ports (IpmPort.h), used by the RTS simulator.
//
// CIpmListener binds one port name and accepts clients; each accepted client
// is a CIpmConnection (a CIpmSocket) that reads requests and writes replies,
// one whole message per call.
//
// Thread safety: Accept is used by one thread at a time; Close may be called
// from any thread and wakes a blocked Accept.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "server/ipmclient/IpmSocket.h"

using CIpmConnection = CIpmSocket;

class CIpmListener {
public:
    CIpmListener();
    ~CIpmListener();  // closes and removes the socket file
    CIpmListener(const CIpmListener&) = delete;
    CIpmListener& operator=(const CIpmListener&) = delete;

    // Binds the port, replacing a stale socket file left by a dead server;
    // EADDRINUSE when a live server holds the name. 0 or an errno.
    int Listen(const char* portName, int backlog = 8);
    // The next client, or null: closed (LastError ENOTCONN), time-out
    // (ETIMEDOUT), or a peer of another user (EACCES; refused and logged).
    // timeoutMs 0 = no limit.
    std::unique_ptr<CIpmConnection> Accept(unsigned long timeoutMs = 0);
    void Close();
    int LastError() const { return m_lastError.load(std::memory_order_relaxed); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;  // set by Listen, owner thread
    int m_fd = -1;       // set by Listen, closed by the destructor
    int m_wake = -1;     // eventfd written by Close
    std::atomic<bool> m_closed{false};
    std::atomic<int> m_lastError{0};
};
