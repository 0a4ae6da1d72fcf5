#include "tools/tmsctl/ChannelStatusText.h"

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/kernel/Ticks.h"
#include "tmschannel/common/Timecode.h"
#include "tmschannel/common/VideoFormat.h"

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

const char* PortStateName(std::int32_t state) {
    switch (state) {
        case 0:
            return "Idle";
        case 1:
            return "CuePlay";
        case 2:
            return "ShuttlePlay";
        case 3:
            return "CueRecord";
        case 4:
            return "ShuttleRecord";
        default:
            return nullptr;
    }
}

std::string StorageStateName(std::uint32_t state) {
    switch (state) {
        case 0:
            return "unavailable";
        case 1:
            return "available";
        case 2:
            return "full";
        default:
            return Format("state %u", state);
    }
}

// "cycle C slot K", with a warning when the index word is out of range; empty
// when the newest slot holds cycle 0 (never published).
std::string RingHead(const CStatusBlockImage& b, const sv::RingInfo& ring, std::size_t cycles,
                     std::int32_t* slot) {
    const bool valid = b.NewestSlot(ring, slot);
    const std::uint16_t cycle = b.U16(cycles + 2 * static_cast<std::size_t>(*slot));
    if (!valid) {
        return Format("cycle %u slot 0 (ring index %d out of range 0..%d)", cycle,
                      b.I32(ring.index), ring.slots - 1);
    }
    if (cycle == 0) {
        return {};
    }
    return Format("cycle %u slot %d", cycle, *slot);
}

// A field position as timecode of the channel's format, with the count.
std::string PositionText(std::int32_t position, std::int32_t format) {
    if (tmsvideo::FrameRate(format) == 0) {
        return Format("%d fields", position);
    }
    const CTimecode tc(std::int64_t{position}, tmsvideo::TimecodeFormatCode(format, true));
    return Format("%s (%d)", tc.ToString().c_str(), position);
}

void PublisherLine(const CStatusBlockImage& b, const PublisherProbe& probe, std::string& out) {
    const std::int32_t pid = b.I32(sv::kPublisherPid);
    if (pid <= 0) {
        out += "  publisher none\n";
        return;
    }
    if (!probe.processRuns(pid)) {
        out +=
            Format("  publisher process %d: publisher gone (what follows is what it left)\n", pid);
        return;
    }
    // A tick ahead of now (a reader's clock read before the writer's) is no age.
    const DWORD age = TickDiff(probe.nowTick, b.U32(sv::kPublisherTick));
    if (age >= kStaleAfterMs && age < 0x80000000u) {
        out += Format("  publisher process %d: stale: no cycle for %lu s\n", pid,
                      static_cast<unsigned long>(age / 1000));
        return;
    }
    out += Format("  publisher process %d: live\n", pid);
}

void ChannelLines(const CStatusBlockImage& b, const PublisherProbe& probe, std::string& out) {
    const std::int32_t format = b.I32(sv::kVideoFormat);
    out += Format("  id \"%s\"  type %s  format %s (%d, %d fields/frame)\n",
                  b.Text(sv::kChannelId, sv::kNameUnits).c_str(),
                  b.Text(sv::kChannelType, sv::kNameUnits).c_str(),
                  b.Text(sv::kVideoFormatName, sv::kNameUnits).c_str(), format,
                  b.I32(sv::kFieldsPerFrame));
    std::int32_t slot = 0;
    const std::string head = RingHead(b, sv::kChannelRing, sv::kChannelCycles, &slot);
    out += Format("  channel %s  gpi inputs 0x%08X  offline %s  server offline %s\n",
                  head.empty() ? "not published" : head.c_str(), b.U32(sv::kGpiInputs),
                  b.U8(sv::kChannelOffline) != 0 ? "yes" : "no",
                  b.U8(sv::kSystemOffline) != 0 ? "yes" : "no");
    PublisherLine(b, probe, out);
    bool any = false;
    for (int i = 0; i < sv::kStorageEntries; ++i) {
        const std::size_t e = sv::kStorage + sv::kStorageStride * static_cast<std::size_t>(i);
        const std::string volume = b.Text(e + sv::storage::kVolume, sv::kNameUnits);
        const std::uint32_t state = b.U32(e + sv::storage::kState);
        if (volume.empty() && state == 0) {
            continue;
        }
        any = true;
        constexpr std::uint64_t kMiB = 1u << 20;
        out += Format("  storage %d %s  free %llu of %llu MiB  record %s (%u fields)  %s\n", i,
                      volume.c_str(),
                      static_cast<unsigned long long>(b.U64(e + sv::storage::kFreeBytes) / kMiB),
                      static_cast<unsigned long long>(b.U64(e + sv::storage::kTotalBytes) / kMiB),
                      b.Text(e + sv::storage::kRemainingText, sv::storage::kTimeChars).c_str(),
                      b.U32(e + sv::storage::kRemainingFields), StorageStateName(state).c_str());
    }
    if (!any) {
        out += "  storage none\n";
    }
}

void ContextLines(const CStatusBlockImage& b, std::string& out) {
    std::int32_t slot = 0;
    const std::string head = RingHead(b, sv::kContextRing, sv::kContextCycles, &slot);
    if (head.empty()) {
        out += "  context not published\n";
    } else {
        const std::size_t k = static_cast<std::size_t>(slot);
        const std::int32_t state = b.I32(sv::kPortStates + 4 * k);
        const char* name = PortStateName(state);
        out += Format("  context %s  %s  position %s  speed %.2f\n", head.c_str(),
                      name != nullptr ? name : Format("state %d", state).c_str(),
                      PositionText(b.I32(sv::kPositions + 4 * k), b.I32(sv::kVideoFormat)).c_str(),
                      static_cast<double>(b.F32(sv::kSpeeds + 4 * k)));
        out +=
            Format("  movie \"%s\"  uri \"%s\"\n", b.Text(sv::kMovieName, sv::kNameUnits).c_str(),
                   b.Text(sv::kAssetUri, sv::kContextUriUnits).c_str());
        out += Format("  mark in %d \"%s\"  out %d \"%s\"\n", b.I32(sv::kMarkIn),
                      b.Text(sv::kMarkInText, sv::storage::kTimeChars).c_str(), b.I32(sv::kMarkOut),
                      b.Text(sv::kMarkOutText, sv::storage::kTimeChars).c_str());
        std::string limits;
        for (int i = 0; i < sv::kLimitTextCount; ++i) {
            const std::string text =
                b.Text(sv::kLimitTexts + sv::kLimitTextStride * static_cast<std::size_t>(i),
                       sv::kNameUnits);
            limits += (text.empty() ? std::string(" -") : " \"" + text + "\"");
        }
        if (limits != " - - - -") {
            out += "  limits" + limits + "\n";
        }
    }
    // The slots are kept for every allocated context, active or not.
    for (int i = 0; i < sv::kContexts; ++i) {
        const std::string uri =
            b.Text(sv::kContextUri + sv::kContextUriStride * static_cast<std::size_t>(i),
                   sv::kContextUriUnits);
        if (!uri.empty()) {
            out += Format("  context %d uri \"%s\"\n", i, uri.c_str());
        }
    }
}

void VideoLines(const CStatusBlockImage& b, std::string& out) {
    std::int32_t slot = 0;
    const std::string head = RingHead(b, sv::kVideoRing, sv::kVideoCycles, &slot);
    if (head.empty()) {
        out += "  video not published\n";
        return;
    }
    const std::size_t k = static_cast<std::size_t>(slot);
    out += Format("  video %s  field size %u  pixel coding %s\n", head.c_str(),
                  b.U32(sv::kFieldSizes + 4 * k),
                  b.Text(sv::kPixelCodings + sv::kPixelCodingStride * k, sv::kNameUnits).c_str());
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
void AudioLines(const CStatusBlockImage& b, std::string& out) {
    const std::int32_t count = b.I32(sv::kAudioCount);
    for (std::int32_t n = 0; n < count && n < sv::kAudioRegions; ++n) {
        const std::size_t r = static_cast<std::size_t>(n);
        const sv::RingInfo ring{sv::kAudioRingIndex + 4 * r, sv::kAudioSlots};
        std::int32_t slot = 0;
        const std::string head =
            RingHead(b, ring, sv::kAudioCycles + sv::kAudioCycleStride * r, &slot);
        if (head.empty()) {
            out += Format("  audio %d not published\n", n);
            continue;
        }
        const std::size_t at = sv::kAudioStride * r + 4 * static_cast<std::size_t>(slot);
        out += Format("  audio %d %s  %s  gain in %.1f dB out %.1f dB\n", n, head.c_str(),
                      MeterText(b.F32(sv::kAudioLevels + at)).c_str(),
                      static_cast<double>(b.F32(sv::kAudioInputGains + at)),
                      static_cast<double>(b.F32(sv::kAudioOutputGains + at)));
    }
}

const char* TimerModeName(std::int32_t mode) {
    switch (mode) {
        case 0:
            return "LTC";
        case 1:
            return "generator, fixed start";
        case 2:
            return "VITC";
        case 3:
            return "generator";
        default:
            return "unknown";
    }
}

// The timecode of the codec's input (the generator's or the reader's) and
// the time of day, with the configured timer mode. Nothing for a channel
// without a timecode resource (never published).
void TimecodeLines(const CStatusBlockImage& b, std::string& out) {
    std::int32_t slot = 0;
    const std::string head = RingHead(b, sv::kTimecodeRing, sv::kTimecodeCycles, &slot);
    if (head.empty()) {
        return;
    }
    const std::size_t k = static_cast<std::size_t>(slot);
    const std::string timecode =
        b.Text(sv::kTimecodeTexts + sv::kTimecodeTextStride * k, sv::kTimecodeTextUnits);
    const std::string timeOfDay =
        b.Text(sv::kTimeOfDayTexts + sv::kTimecodeTextStride * k, sv::kTimecodeTextUnits);
    out += Format("  timecode %s  %s (0x%08X)  time of day %s  mode %s\n", head.c_str(),
                  timecode.c_str(), b.U32(sv::kTimecodeWords + 4 * k), timeOfDay.c_str(),
                  TimerModeName(b.I32(sv::kTimerMode)));
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
    const CStatusBlockImage& b = snapshot.block;
    if (b.IsBlank()) {
        return NothingPublishedText(channel);
    }
    std::string out = Format("channel %d:\n", channel);
    ChannelLines(b, probe, out);
    ContextLines(b, out);
    VideoLines(b, out);
    AudioLines(b, out);
    TimecodeLines(b, out);
    if (!snapshot.consistent) {
        out +=
            Format("  status mutex not taken within %u ms: values may be torn\n", mutexTimeoutMs);
    }
    return out;
}

}  // namespace tmsctl
