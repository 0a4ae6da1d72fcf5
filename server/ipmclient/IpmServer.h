// The server end of IPM ports (IpmPort.h), used by the RTS simulator.
//
// CIpmListener binds one port name and accepts clients; each accepted client
// is a CIpmConnection that reads requests and writes replies, one whole
// message per call. Results and errors are those of CIpmClient.
//
// Thread safety: Accept, and each connection's Read and Write, are used by
// one thread at a time; Close may be called from any thread and wakes a
// blocked Accept or Read.
#pragma once

#include <atomic>
#include <memory>
#include <string>

class CIpmConnection {
public:
    explicit CIpmConnection(int fd);  // takes the socket
    ~CIpmConnection();
    CIpmConnection(const CIpmConnection&) = delete;
    CIpmConnection& operator=(const CIpmConnection&) = delete;

    // timeoutMs 0 = wait as long as it takes.
    int Read(char* buffer, int size, unsigned long timeoutMs = 0);
    int Write(const char* buffer, int length);
    void Close();
    int LastError() const;

private:
    std::atomic<int> m_fd;
    int m_wakeFd[2] = {-1, -1};
    std::atomic<int> m_lastError{0};
};

class CIpmListener {
public:
    CIpmListener() = default;
    ~CIpmListener();  // closes and removes the socket file
    CIpmListener(const CIpmListener&) = delete;
    CIpmListener& operator=(const CIpmListener&) = delete;

    // Binds the port, replacing a stale socket file left by a dead server;
    // fails with EADDRINUSE when a live server holds the name. 0 or an errno.
    int Listen(const char* portName, int backlog = 8);
    // The next client, or null (closed, time-out, or a peer of another user,
    // which is refused and logged). timeoutMs 0 = no limit.
    std::unique_ptr<CIpmConnection> Accept(unsigned long timeoutMs = 0);
    void Close();
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::atomic<int> m_fd{-1};
    int m_wakeFd[2] = {-1, -1};
};
