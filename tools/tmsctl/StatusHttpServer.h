// The HTTP side of tmsctl serve: the status page at /, and the channels as
// JSON at /api/channels and /api/channels/N. It only reads the status
// memory; every method but GET is refused with 405.
//
// Thread safety: Bind and Run on one thread; Stop from any thread. Requests
// are answered on the library's worker threads, each with its own mapping of
// the status memory, so they share nothing.
#pragma once

#include <httplib.h>

#include <atomic>
#include <string>

namespace tmsctl {

// HOST:PORT, [IPv6]:PORT; port 0 asks for any free port.
struct ListenAddress {
    std::string host;
    int port;
};
// Throws std::invalid_argument naming the text when it is not an address.
ListenAddress ParseListenAddress(const std::string& text);

class CStatusHttpServer {
public:
    CStatusHttpServer();
    CStatusHttpServer(const CStatusHttpServer&) = delete;
    CStatusHttpServer& operator=(const CStatusHttpServer&) = delete;

    // The port bound. Throws std::runtime_error naming the address when it
    // cannot be bound.
    int Bind(const ListenAddress& address);
    // Serves until Stop; false when listening failed.
    bool Run();
    // Ends Run, whether it listens already or is yet to: the library's own
    // stop does nothing before the server runs, so this waits until Run
    // listens or has returned. Any thread; returns at once when Run
    // returned.
    void Stop();

private:
    void Routes();
    httplib::Server m_server;
    std::atomic<bool> m_ended{false};  // set by Run as it returns; read by Stop
};

}  // namespace tmsctl
