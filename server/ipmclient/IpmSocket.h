// CIpmSocket: one connected SOCK_SEQPACKET socket of an IPM port, shared by
// the client end (CIpmClient) and the server end (CIpmConnection).
//
// Read and Write are one blocking call each, with the time-out set as the
// socket's receive or send time-out. Close shuts the socket down, which ends
// a call blocked on it in another thread at once, but keeps the descriptor
// until destruction, so a call still running never touches a reused number.
//
// Results: bytes moved, 0 from Read when the peer closed in order, -1 on
// failure with LastError() an errno: ENOTCONN (closed or never connected),
// EPIPE / ECONNRESET (peer gone), EMSGSIZE (message larger than allowed or
// than the buffer; an oversized incoming message is dropped whole),
// ETIMEDOUT (nothing within the time-out).
//
// Thread safety: one reader and one writer at a time; Close from any thread.
#pragma once

#include <atomic>

class CIpmSocket {
public:
    CIpmSocket();
    explicit CIpmSocket(int fd);  // takes the socket
    ~CIpmSocket();
    CIpmSocket(const CIpmSocket&) = delete;
    CIpmSocket& operator=(const CIpmSocket&) = delete;

    bool IsOpen() const;
    // The peer has closed its end or the socket failed (looked at without
    // reading anything).
    bool PeerClosed() const;
    // timeoutMs 0 = wait as long as it takes; maxLength 0 = no limit.
    int Read(char* buffer, int size, unsigned long timeoutMs);
    int Write(const char* buffer, int length, unsigned long timeoutMs, unsigned long maxLength = 0);
    void Close();
    int LastError() const { return m_lastError.load(std::memory_order_relaxed); }
    // The whole length of the message the last Read received, also when it
    // was dropped as longer than the buffer (EMSGSIZE); reader thread only.
    int LastReadLength() const { return m_lastReadLength; }
    int Fail(int error);  // records error, returns -1

private:
    // The failure of a recv or send that returned -1 with error.
    int FailCall(int error);
    // Sets SO_RCVTIMEO or SO_SNDTIMEO when it differs from *current.
    bool SetTimeout(int option, unsigned long timeoutMs, unsigned long* current);

    int m_fd = -1;                       // constant after construction; closed by the destructor
    unsigned long m_readTimeoutMs = 0;   // reader thread
    unsigned long m_writeTimeoutMs = 0;  // writer thread
    int m_lastReadLength = 0;            // reader thread
    std::atomic<bool> m_closed{false};
    std::atomic<int> m_lastError{0};
};

// For accepting sockets: waits until fd is ready for events or wake is signalled. 0 when ready;
// ENOTCONN when woken, ETIMEDOUT, or another errno. timeoutMs 0 = no limit.
int IpmWaitReady(int fd, int wake, short events, unsigned long timeoutMs);
