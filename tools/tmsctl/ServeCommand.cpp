// tmsctl serve [--runtime DIR] [--listen HOST:PORT]: the status of every
// channel of the runtime folder as a live page and as JSON over HTTP, read
// from the status memory as tmsctl watch reads it. It prints the address it
// listens on as one line on standard output, so that a script that asked
// for port 0 learns the port, and stops on SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tools/tmsctl/Commands.h"
#include "tools/tmsctl/StatusHttpServer.h"

namespace tmsctl {

namespace {

int Usage(FILE* to, int exitCode) {
    std::fprintf(to,
                 "usage: tmsctl serve [--runtime DIR] [--listen HOST:PORT]\n"
                 "Serves the status of every channel that publishes: a live page at /, JSON\n"
                 "at /api/channels and /api/channels/N. Listens on 127.0.0.1:8080 unless\n"
                 "told otherwise (port 0: any free port); prints 'listening on http://...'.\n"
                 "Only reads; stops on Ctrl-C or SIGTERM.\n");
    return exitCode;
}

}  // namespace

int RunServe(const Args& args) {
    std::string listen = "127.0.0.1:8080";
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            return Usage(stdout, kExitOk);
        } else if ((a == "--runtime" || a == "--listen") && i + 1 < args.size()) {
            if (a == "--runtime") {
                ::setenv("TMS_RUNTIME_DIR", args[++i].c_str(), 1);
            } else {
                listen = args[++i];
            }
        } else {
            std::fprintf(stderr, "tmsctl serve: '%s' is not an option, or lacks its value\n",
                         a.c_str());
            return Usage(stderr, kExitUsage);
        }
    }
    ListenAddress address;
    try {
        address = ParseListenAddress(listen);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "tmsctl serve: --listen %s\n", e.what());
        return kExitUsage;
    }
    // The signals are taken by one thread that stops the server; the
    // server's threads, started after this, inherit the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    CStatusHttpServer server;
    int port = 0;
    try {
        port = server.Bind(address);
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "tmsctl serve: %s\n", e.what());
        return kExitFailed;
    }
    const bool v6 = address.host.find(':') != std::string::npos;
    std::printf("tmsctl serve: listening on http://%s%s%s:%d/\n", v6 ? "[" : "",
                address.host.c_str(), v6 ? "]" : "", port);
    std::fflush(stdout);
    std::thread stopper([&server, &stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.Stop();
    });
    const bool served = server.Run();
    // Run also ends when the listening socket fails: wake the stopper.
    ::kill(::getpid(), SIGTERM);
    stopper.join();
    if (!served) {
        std::fprintf(stderr, "tmsctl serve: listening on %s failed\n", listen.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace tmsctl
