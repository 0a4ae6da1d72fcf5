// CIpmSocket: one connected SOCK_SEQPACKET socket of an IPM port, shared by
// the client end (CIpmClient) and the server end (CIpmConnection).
//
// Read and Write wait with poll() on the socket and on a wake descriptor, so
// that Close from another thread ends a blocked call at once. Close shuts the
// socket down but keeps the descriptor until destruction, so a call still
// running on another thread never touches a reused descriptor number.
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
    // timeoutMs 0 = wait as long as it takes; maxLength 0 = no limit.
    int Read(char* buffer, int size, unsigned long timeoutMs);
    int Write(const char* buffer, int length, unsigned long timeoutMs, unsigned long maxLength = 0);
    void Close();
    int LastError() const { return m_lastError.load(std::memory_order_relaxed); }
    int Fail(int error);  // records error, returns -1

private:
    // 0 when the socket is ready for events; an errno otherwise.
    int WaitFor(short events, unsigned long timeoutMs);

    int m_fd = -1;    // constant after construction; closed by the destructor
    int m_wake = -1;  // eventfd written by Close
    std::atomic<bool> m_closed{false};
    std::atomic<int> m_lastError{0};
};

// Waits until fd is ready for events or wake is signalled. 0 when ready;
// ENOTCONN when woken, ETIMEDOUT, or another errno. timeoutMs 0 = no limit.
int IpmWaitReady(int fd, int wake, short events, unsigned long timeoutMs);
