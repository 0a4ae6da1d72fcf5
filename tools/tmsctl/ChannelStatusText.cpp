#include "tools/tmsctl/ChannelStatusText.h"

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/kernel/Ticks.h"
#include "tools/tmsctl/ChannelStatusFields.h"

namespace tmsctl {

namespace sv = statusview;

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// "cycle C slot K", with a warning when the index word was out of range;
// empty when the ring was never published.
std::string RingText(const std::optional<RingHead>& ring) {
    if (!ring) {
        return {};
    }
    if (!ring->indexValid) {
        return Format("cycle %u slot 0 (ring index %d out of range 0..%d)", ring->cycle,
                      ring->rawIndex, ring->slots - 1);
    }
    return Format("cycle %u slot %d", ring->cycle, ring->slot);
}

void PublisherLine(const PublisherStatus& p, std::string& out) {
    switch (p.state) {
        case PublisherState::kNone:
            out += "  publisher none\n";
            return;
        case PublisherState::kGone:
            out += Format("  publisher process %d: publisher gone (what follows is what it left)\n",
                          p.pid);
            return;
        case PublisherState::kStale:
            out += Format("  publisher process %d: stale: no cycle for %lu s\n", p.pid,
                          static_cast<unsigned long>(p.ageMs / 1000));
            return;
        case PublisherState::kLive:
            out += Format("  publisher process %d: live\n", p.pid);
            return;
    }
}

void ChannelLines(const ChannelStatus& s, std::string& out) {
    out += Format("  id \"%s\"  type %s  format %s (%d, %d fields/frame)\n", s.id.c_str(),
                  s.type.c_str(), s.formatName.c_str(), s.format, s.fieldsPerFrame);
    const std::string head = RingText(s.channelRing);
    out += Format("  channel %s  gpi inputs 0x%08X  offline %s  server offline %s\n",
                  head.empty() ? "not published" : head.c_str(), s.gpiInputs,
                  s.offline ? "yes" : "no", s.serverOffline ? "yes" : "no");
    PublisherLine(s.publisher, out);
    constexpr std::uint64_t kMiB = 1u << 20;
    for (const StorageStatus& e : s.storage) {
        out +=
            Format("  storage %d %s  free %llu of %llu MiB  record %s (%u fields)  %s\n", e.index,
                   e.volume.c_str(), static_cast<unsigned long long>(e.freeBytes / kMiB),
                   static_cast<unsigned long long>(e.totalBytes / kMiB), e.remainingText.c_str(),
                   e.remainingFields, StorageStateName(e.state).c_str());
    }
    if (s.storage.empty()) {
        out += "  storage none\n";
    }
}

void ContextLines(const ChannelStatus& s, std::string& out) {
    if (!s.context) {
        out += "  context not published\n";
    } else {
        const ContextStatus& c = *s.context;
        const char* name = PortStateName(c.portState);
        const std::string position = c.timecode.empty()
                                         ? Format("%d fields", c.position)
                                         : Format("%s (%d)", c.timecode.c_str(), c.position);
        out += Format("  context %s  %s  position %s  speed %.2f\n", RingText(c.ring).c_str(),
                      name != nullptr ? name : Format("state %d", c.portState).c_str(),
                      position.c_str(), static_cast<double>(c.speed));
        out += Format("  movie \"%s\"  uri \"%s\"\n", c.movie.c_str(), c.uri.c_str());
        out += Format("  mark in %d \"%s\"  out %d \"%s\"\n", c.markIn.position,
                      c.markIn.text.c_str(), c.markOut.position, c.markOut.text.c_str());
        std::string limits;
        for (const std::string& text : c.limits) {
            limits += (text.empty() ? std::string(" -") : " \"" + text + "\"");
        }
        if (limits != " - - - -") {
            out += "  limits" + limits + "\n";
        }
    }
    for (const AllocatedContext& a : s.contexts) {
        out += Format("  context %d uri \"%s\"\n", a.index, a.uri.c_str());
    }
}

void VideoLines(const ChannelStatus& s, std::string& out) {
    if (!s.video) {
        out += "  video not published\n";
        return;
    }
    out += Format("  video %s  field size %u  pixel coding %s\n", RingText(s.video->ring).c_str(),
                  s.video->fieldSize, s.video->pixelCoding.c_str());
}

// A meter of dBFS from -40 to 0: one mark per 2 dB, then the number.
std::string MeterText(float db) {
    constexpr int kWidth = 20;
    const float clamped = db != db ? -40.0f : db < -40.0f ? -40.0f : db > 0.0f ? 0.0f : db;
    const int marks = static_cast<int>((clamped + 40.0f) / 40.0f * kWidth + 0.5f);
    std::string bar(static_cast<std::size_t>(marks), '#');
    bar.append(static_cast<std::size_t>(kWidth - marks), '-');
    return Format("[%s] %6.1f dBFS", bar.c_str(), static_cast<double>(db));
}

// One line per audio resource the channel reported: its meter and the input
// and output gains the RTS runs with.
void AudioLines(const ChannelStatus& s, std::string& out) {
    for (const AudioStatus& a : s.audio) {
        if (!a.ring) {
            out += Format("  audio %d not published\n", a.index);
            continue;
        }
        out += Format("  audio %d %s  %s  gain in %.1f dB out %.1f dB\n", a.index,
                      RingText(a.ring).c_str(), MeterText(a.levelDb).c_str(),
                      static_cast<double>(a.inputGainDb), static_cast<double>(a.outputGainDb));
    }
}

// The timecode of the codec's input (the generator's or the reader's) and
// the time of day, with the configured timer mode. Nothing for a channel
// without a timecode resource (never published).
void TimecodeLines(const ChannelStatus& s, std::string& out) {
    if (!s.timecode) {
        return;
    }
    const TimecodeStatus& t = *s.timecode;
    out += Format("  timecode %s  %s (0x%08X)  time of day %s  mode %s\n", RingText(t.ring).c_str(),
                  t.timecode.c_str(), t.word, t.timeOfDay.c_str(), TimerModeName(t.mode));
}

}  // namespace

bool ProcessRuns(int pid) {
    // A process that died but was not yet waited for still has its entry;
    // its state (the field after the parenthesised name) is Z or X.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) {
        return false;
    }
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) {
        return true;
    }
    const char state = text[close + 2];
    return state != 'Z' && state != 'X';
}

PublisherProbe SystemPublisherProbe() {
    return PublisherProbe{GetTickCount(), &ProcessRuns};
}

std::string NothingPublishedText(int channel) {
    return Format("channel %d: nothing published yet\n", channel);
}

bool HasPublished(const CStatusBlockImage& b) {
    std::int32_t slot = 0;
    const bool valid = b.NewestSlot(sv::kChannelRing, &slot);
    return b.I32(sv::kPublisherPid) != 0 ||
           (valid && b.U16(sv::kChannelCycles + 2 * static_cast<std::size_t>(slot)) != 0);
}

std::string NoChannelPublishedText() {
    return "no channel has published anything yet\n";
}

std::string ChannelStatusText(int channel, const CStatusMemoryView::Snapshot& snapshot,
                              unsigned mutexTimeoutMs, const PublisherProbe& probe) {
    const ChannelStatus s = ReadChannelStatus(snapshot.block, probe);
    if (s.blank) {
        return NothingPublishedText(channel);
    }
    std::string out = Format("channel %d:\n", channel);
    ChannelLines(s, out);
    ContextLines(s, out);
    VideoLines(s, out);
    AudioLines(s, out);
    TimecodeLines(s, out);
    if (!snapshot.consistent) {
        out +=
            Format("  status mutex not taken within %u ms: values may be torn\n", mutexTimeoutMs);
    }
    return out;
}

}  // namespace tmsctl
