// CIpmClient: the client end of one IPM port (IpmPort.h).
//
// The constructor connects at once; IsOpen tells whether it did. Read and
// Write answer the number of bytes moved, or -1 on failure with the reason
// in LastError() (an errno): ENOTCONN when not connected or closed,
// EPIPE / ECONNRESET when the peer went away, EMSGSIZE when a message is
// larger than the size given to the constructor (Write) or than the
// buffer (Read: the rest of that message is dropped, so the next Read
// starts at the next message), ETIMEDOUT when nothing came within the
// time-out. Read returns 0 when the peer closed the port in order.
//
// Thread safety: one thread reads and one writes at a time. Close may be
// called from any other thread: it wakes a blocked Read or Write, which
// then fails with ENOTCONN.
#pragma once

#include <atomic>
#include <string>

class CIpmClient {
public:
    // maxMessage: largest message written, in bytes. queueDepth: replies the
    // port may hold unread (1 or more; kept for the RTS, which sizes its
    // queues by it). timeoutMs: longest wait of a Read or Write, 0 = none.
    CIpmClient(unsigned long maxMessage, unsigned long queueDepth, const char* portName,
               unsigned long timeoutMs);
    ~CIpmClient();
    CIpmClient(const CIpmClient&) = delete;
    CIpmClient& operator=(const CIpmClient&) = delete;

    bool IsOpen() const;
    int Write(const char* buffer, int length);
    int Read(char* buffer, int size);
    void Close();
    int LastError() const;
    const std::string& PortName() const { return m_portName; }

private:
    std::string m_portName;      // constant
    unsigned long m_maxMessage;  // constant
    unsigned long m_timeoutMs;   // constant
    std::atomic<int> m_fd{-1};   // -1 once closed
    int m_wakeFd[2] = {-1, -1};  // Close writes here to wake a waiter
    std::atomic<int> m_lastError{0};
};
