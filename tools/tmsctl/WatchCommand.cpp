// tmsctl watch [CHANNEL] [--once] [--runtime DIR]: what a channel publishes
// in the status memory (or every channel that has, when none is named), read
// as any other process of the server reads it, without opening the channel
// or talking to the RTS.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/appserverutil/StatusMemoryLayout.h"
#include "tools/tmsctl/ChannelSnapshots.h"
#include "tools/tmsctl/ChannelStatusText.h"
#include "tools/tmsctl/Commands.h"
#include "tools/tmsctl/KeyInput.h"
#include "tools/tmsctl/OutputsText.h"
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
                 "Shows what channel CHANNEL (0-15) publishes in the status memory, or\n"
                 "every channel that has published when none is named, refreshed every\n"
                 "100 ms until q, end of input or Ctrl-C. --once prints one snapshot and exits.\n");
    return exitCode;
}

// The channels shown: the one named, or all that published.
class CWatchedChannels {
public:
    // channel -1: every channel.
    explicit CWatchedChannels(int channel) : m_snapshots(channel) {}

    std::string Text() {
        const PublisherProbe probe = SystemPublisherProbe();
        std::string out;
        const CRtsOutputsReader rts;
        for (const ChannelSnapshot& c : m_snapshots.Take(kMutexTimeoutMs)) {
            if (!c.snapshot) {
                out += NothingPublishedText(c.channel);
                continue;
            }
            out += ChannelStatusText(c.channel, *c.snapshot, kMutexTimeoutMs, probe);
            if (!c.snapshot->block.IsBlank()) {
                out += GpiAndAncDataText(rts.Read(c.channel), c.snapshot->block);
            }
        }
        return out.empty() ? NoChannelPublishedText() : out;
    }

private:
    CChannelSnapshots m_snapshots;
};

int Live(CWatchedChannels& channels) {
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    CKeyInput keys;
    while (g_interrupted == 0) {
        // Home, then clear the screen: one redraw per refresh.
        std::printf("\x1b[H\x1b[2J%s(q to quit)\n", channels.Text().c_str());
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
    CWatchedChannels channels(channel);
    return channels.Text();
}

int RunWatch(const Args& args) {
    int channel = -1;
    bool once = false;
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
        } else if (channel < 0 && !a.empty() && a.size() <= 2 &&
                   a.find_first_not_of("0123456789") == std::string::npos &&
                   std::stoi(a) < statusmem::kMaxChannels) {
            channel = std::stoi(a);
        } else {
            std::fprintf(stderr, "tmsctl watch: '%s' is not a channel (0-15) or option\n",
                         a.c_str());
            return Usage(stderr, kExitUsage);
        }
    }
    CWatchedChannels channels(channel);
    if (once) {
        std::fputs(channels.Text().c_str(), stdout);
        return kExitOk;
    }
    return Live(channels);
}

}  // namespace tmsctl
