// tmsctl watch [CHANNEL] [--once] [--runtime DIR]: what a channel publishes
// in the status memory, read as any other process of the server reads it,
// without opening the channel or talking to the RTS.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/tmsctl/ChannelStatusText.h"
#include "tools/tmsctl/Commands.h"
#include "tools/tmsctl/KeyInput.h"
#include "tools/tmsctl/StatusMemoryView.h"

namespace tmsctl {

namespace {

// Long enough for a writer to finish one publication, short enough not to
// hold up a refresh every 100 ms.
constexpr unsigned kMutexTimeoutMs = 50;
constexpr int kRefreshMs = 100;

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
    g_interrupted = 1;
}

int Usage(FILE* to, int exitCode) {
    std::fprintf(to,
                 "usage: tmsctl watch [CHANNEL] [--once] [--runtime DIR]\n"
                 "Shows what channel CHANNEL (0-15, default 0) publishes in the status\n"
                 "memory, refreshed every 100 ms until q, end of input or Ctrl-C.\n"
                 "--once prints one snapshot and exits.\n");
    return exitCode;
}

std::string SnapshotText(CStatusMemoryView& view, int channel) {
    if (!view.Open()) {
        return NothingPublishedText(channel);
    }
    const auto snapshot = view.Take(kMutexTimeoutMs);
    return snapshot ? ChannelStatusText(channel, *snapshot, kMutexTimeoutMs)
                    : NothingPublishedText(channel);
}

int Live(CStatusMemoryView& view, int channel) {
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    CKeyInput keys;
    while (g_interrupted == 0) {
        // Home, then clear the screen: one redraw per refresh.
        std::printf("\x1b[H\x1b[2J%s(q to quit)\n", SnapshotText(view, channel).c_str());
        std::fflush(stdout);
        const CKeyInput::Result key = keys.Wait(kRefreshMs);
        if (key != CKeyInput::Result::kNone) {
            break;
        }
    }
    return kExitOk;
}

}  // namespace

std::string ChannelSnapshotText(int channel) {
    CStatusMemoryView view(channel);
    return SnapshotText(view, channel);
}

int RunWatch(const Args& args) {
    int channel = 0;
    bool once = false, haveChannel = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            return Usage(stdout, kExitOk);
        } else if (a == "--once") {
            once = true;
        } else if (a == "--runtime") {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "tmsctl watch: --runtime needs a folder\n");
                return kExitUsage;
            }
            ::setenv("TMS_RUNTIME_DIR", args[++i].c_str(), 1);
        } else if (!haveChannel && !a.empty() && a.size() <= 2 &&
                   a.find_first_not_of("0123456789") == std::string::npos && std::stoi(a) < 16) {
            channel = std::stoi(a);
            haveChannel = true;
        } else {
            std::fprintf(stderr, "tmsctl watch: '%s' is not a channel (0-15) or option\n",
                         a.c_str());
            return Usage(stderr, kExitUsage);
        }
    }
    CStatusMemoryView view(channel);
    if (once) {
        std::fputs(SnapshotText(view, channel).c_str(), stdout);
        return kExitOk;
    }
    return Live(view, channel);
}

}  // namespace tmsctl
