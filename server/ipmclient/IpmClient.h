// CIpmClient: the client end of one IPM port (IpmPort.h).
//
// The constructor connects at once; IsOpen tells whether it did (LastError
// says why not: ENOENT / ECONNREFUSED when no server listens, EACCES for a
// server of another user). Read and Write behave as CIpmSocket's: bytes
// moved, 0 from Read when the server closed in order, -1 with an errno in
// LastError(). Write refuses a message larger than kBuffersPerMessage IPM
// buffers (EMSGSIZE).
//
// Thread safety: one thread reads and one writes at a time. Close may be
// called from any other thread: it wakes a blocked Read or Write, which
// then fails with ENOTCONN.
#pragma once

#include <string>

#include "server/ipmclient/IpmSocket.h"

class CIpmClient {
public:
    // A message may take up to this many IPM buffers (64 KiB of 4096-byte
    // buffers: every RTS message, 40960 bytes at most, fits).
    static constexpr unsigned long kBuffersPerMessage = 16;
    // bufferSize: bytes of one IPM buffer. queueDepth: replies the
    // port may hold unread (kept for the RTS, which sizes its queues by it).
    // timeoutMs: longest wait of one Read or Write, 0 = none.
    CIpmClient(unsigned long bufferSize, unsigned long queueDepth, const char* portName,
               unsigned long timeoutMs);
    ~CIpmClient() = default;
    CIpmClient(const CIpmClient&) = delete;
    CIpmClient& operator=(const CIpmClient&) = delete;

    bool IsOpen() const { return m_socket.IsOpen(); }
    bool PeerClosed() const { return m_socket.PeerClosed(); }
    int Write(const char* buffer, int length);
    int Read(char* buffer, int size);
    void Close() { m_socket.Close(); }
    int LastError() const { return m_socket.LastError(); }
    // See CIpmSocket::LastReadLength: the length of a reply too long for
    // Read's buffer, for the failure's message.
    int LastReadLength() const { return m_socket.LastReadLength(); }
    const std::string& PortName() const { return m_portName; }

private:
    static int Connect(const std::string& portName, int* error);

    std::string m_portName;      // constant
    unsigned long m_maxMessage;  // constant: bufferSize * kBuffersPerMessage
    unsigned long m_timeoutMs;   // constant
    int m_connectError = 0;      // constant
    CIpmSocket m_socket;
};
