// tms-rtssim: the RTS simulator as a program. See docs/rtssim.md.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/kernel/PrivateFiles.h"
#include "server/configmgr/SystemConfigFile.h"
#include "server/rtssim/RtsSimulator.h"

namespace {

int Usage(const char* problem) {
    if (problem)
        std::fprintf(stderr, "tms-rtssim: %s\n", problem);
    std::fprintf(stderr,
                 "usage: tms-rtssim [--runtime DIR] [--config FILE] [--dump DIR] [--verbose]\n"
                 "                  [--delay MS] [--no-reply] [--ack STATUS] [--malformed]\n"
                 "                  [--reply-size N] [--close-after N] [--exit-abruptly]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    RtsSimOptions options;
    std::string faults[16];
    int faultCount = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tms-rtssim: %s needs %s\n", arg.c_str(), what);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--runtime") {
            ::setenv("TMS_RUNTIME_DIR", value("a folder"), 1);
        } else if (arg == "--config") {
            options.configPath = value("a file");
        } else if (arg == "--dump") {
            options.dumpDir = value("a folder");
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (faultCount < 16 && arg == "--delay") {
            faults[faultCount++] = std::string("delay ") + value("milliseconds");
        } else if (faultCount < 16 && arg == "--no-reply") {
            faults[faultCount++] = "noreply";
        } else if (faultCount < 16 && arg == "--ack") {
            faults[faultCount++] = std::string("ack ") + value("a status");
        } else if (faultCount < 16 && arg == "--malformed") {
            faults[faultCount++] = "malformed";
        } else if (faultCount < 16 && arg == "--reply-size") {
            faults[faultCount++] = std::string("replysize ") + value("a byte count");
        } else if (faultCount < 16 && arg == "--close-after") {
            faults[faultCount++] = std::string("closeafter ") + value("a count");
        } else if (faultCount < 16 && arg == "--exit-abruptly") {
            faults[faultCount++] = "exit";
        } else if (arg == "--help" || arg == "-h") {
            Usage(nullptr);
            return 0;
        } else {
            return Usage(("unknown argument '" + arg + "'").c_str());
        }
    }
    if (options.configPath.empty()) {
        std::string error;
        options.configPath = EnsureSystemConfig(&error);
        if (options.configPath.empty()) {
            std::fprintf(stderr, "tms-rtssim: %s\n", error.c_str());
            return 1;
        }
    }
    if (!options.dumpDir.empty() && !MakePrivateFolders(options.dumpDir)) {
        std::fprintf(stderr, "tms-rtssim: cannot create %s: %s\n", options.dumpDir.c_str(),
                     std::strerror(errno));
        return 1;
    }

    // Signals are taken synchronously below, never in a handler; the threads
    // started later inherit the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CRtsSimulator sim(options);
    for (int i = 0; i < faultCount; ++i) {
        std::string problem = sim.Faults().Set(faults[i]);
        if (!problem.empty()) {
            return Usage(problem.c_str());
        }
    }
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "tms-rtssim: %s\n", error.c_str());
        return 1;
    }
    std::printf("tms-rtssim: ready\n");
    std::fflush(stdout);
    const timespec poll = {0, 100 * 1000 * 1000};
    while (!sim.QuitRequested()) {
        int sig = sigtimedwait(&stopSignals, nullptr, &poll);
        if (sig == SIGTERM || sig == SIGINT)
            break;
    }
    sim.Stop();
    return 0;
}
