#include "tools/tmsctl/ChannelStatusFields.h"

#include "platform/kernel/Ticks.h"
#include "tmschannel/common/Timecode.h"
#include "tmschannel/common/VideoFormat.h"

namespace tmsctl {

namespace sv = statusview;

std::optional<RingHead> ReadRing(const CStatusBlockImage& b, const sv::RingInfo& ring,
                                 std::size_t cycles) {
    RingHead head;
    head.indexValid = b.NewestSlot(ring, &head.slot);
    head.rawIndex = b.I32(ring.index);
    head.slots = ring.slots;
    head.cycle = b.U16(cycles + 2 * static_cast<std::size_t>(head.slot));
    if (head.indexValid && head.cycle == 0) {
        return std::nullopt;
    }
    return head;
}

namespace {

std::string TimecodeText(std::int32_t position, std::int32_t format) {
    if (tmsvideo::FrameRate(format) == 0) {
        return {};
    }
    return CTimecode(std::int64_t{position}, tmsvideo::TimecodeFormatCode(format, true)).ToString();
}

PublisherStatus ReadPublisher(const CStatusBlockImage& b, const PublisherProbe& probe) {
    PublisherStatus p;
    p.pid = b.I32(sv::kPublisherPid);
    if (p.pid <= 0) {
        return p;
    }
    if (!probe.processRuns(p.pid)) {
        p.state = PublisherState::kGone;
        return p;
    }
    // A tick ahead of now (a reader's clock read before the writer's) is no age.
    const DWORD age = TickDiff(probe.nowTick, b.U32(sv::kPublisherTick));
    p.ageMs = age < 0x80000000u ? age : 0;
    p.state = p.ageMs >= kStaleAfterMs ? PublisherState::kStale : PublisherState::kLive;
    return p;
}

std::vector<StorageStatus> ReadStorage(const CStatusBlockImage& b) {
    std::vector<StorageStatus> entries;
    for (int i = 0; i < sv::kStorageEntries; ++i) {
        const std::size_t e = sv::kStorage + sv::kStorageStride * static_cast<std::size_t>(i);
        StorageStatus s;
        s.index = i;
        s.volume = b.Text(e + sv::storage::kVolume, sv::kNameUnits);
        s.state = b.U32(e + sv::storage::kState);
        if (s.volume.empty() && s.state == 0) {
            continue;
        }
        s.totalBytes = b.U64(e + sv::storage::kTotalBytes);
        s.freeBytes = b.U64(e + sv::storage::kFreeBytes);
        s.remainingFields = b.U32(e + sv::storage::kRemainingFields);
        s.remainingText = b.Text(e + sv::storage::kRemainingText, sv::storage::kTimeChars);
        entries.push_back(std::move(s));
    }
    return entries;
}

std::optional<ContextStatus> ReadContext(const CStatusBlockImage& b) {
    const std::optional<RingHead> head = ReadRing(b, sv::kContextRing, sv::kContextCycles);
    if (!head) {
        return std::nullopt;
    }
    ContextStatus c;
    c.ring = *head;
    const std::size_t k = static_cast<std::size_t>(head->slot);
    c.portState = b.I32(sv::kPortStates + 4 * k);
    c.position = b.I32(sv::kPositions + 4 * k);
    c.timecode = TimecodeText(c.position, b.I32(sv::kVideoFormat));
    c.speed = b.F32(sv::kSpeeds + 4 * k);
    c.movie = b.Text(sv::kMovieName, sv::kNameUnits);
    c.uri = b.Text(sv::kAssetUri, sv::kContextUriUnits);
    c.markIn = Mark{b.I32(sv::kMarkIn), b.Text(sv::kMarkInText, sv::storage::kTimeChars)};
    c.markOut = Mark{b.I32(sv::kMarkOut), b.Text(sv::kMarkOutText, sv::storage::kTimeChars)};
    for (int i = 0; i < sv::kLimitTextCount; ++i) {
        c.limits.push_back(b.Text(
            sv::kLimitTexts + sv::kLimitTextStride * static_cast<std::size_t>(i), sv::kNameUnits));
    }
    return c;
}

std::optional<VideoStatus> ReadVideo(const CStatusBlockImage& b) {
    const std::optional<RingHead> head = ReadRing(b, sv::kVideoRing, sv::kVideoCycles);
    if (!head) {
        return std::nullopt;
    }
    const std::size_t k = static_cast<std::size_t>(head->slot);
    return VideoStatus{*head, b.U32(sv::kFieldSizes + 4 * k),
                       b.Text(sv::kPixelCodings + sv::kPixelCodingStride * k, sv::kNameUnits)};
}

}  // namespace

const char* PortStateName(std::int32_t state) {
    static const char* const kNames[] = {"Idle", "CuePlay", "ShuttlePlay", "CueRecord",
                                         "ShuttleRecord"};
    return state >= 0 && state < 5 ? kNames[state] : nullptr;
}

std::string StorageStateName(std::uint32_t state) {
    static const char* const kNames[] = {"unavailable", "available", "full"};
    return state < 3 ? kNames[state] : "state " + std::to_string(state);
}

const char* PublisherStateName(PublisherState state) {
    switch (state) {
        case PublisherState::kLive:
            return "live";
        case PublisherState::kStale:
            return "stale";
        case PublisherState::kGone:
            return "gone";
        case PublisherState::kNone:
            break;
    }
    return "none";
}

namespace {

std::vector<AudioStatus> ReadAudio(const CStatusBlockImage& b) {
    std::vector<AudioStatus> audio;
    const std::int32_t count = b.I32(sv::kAudioCount);
    for (std::int32_t n = 0; n < count && n < sv::kAudioRegions; ++n) {
        const std::size_t r = static_cast<std::size_t>(n);
        AudioStatus a;
        a.index = n;
        a.ring = ReadRing(b, sv::RingInfo{sv::kAudioRingIndex + 4 * r, sv::kAudioSlots},
                          sv::kAudioCycles + sv::kAudioCycleStride * r);
        if (a.ring) {
            const std::size_t at =
                sv::kAudioStride * r + 4 * static_cast<std::size_t>(a.ring->slot);
            a.levelDb = b.F32(sv::kAudioLevels + at);
            a.inputGainDb = b.F32(sv::kAudioInputGains + at);
            a.outputGainDb = b.F32(sv::kAudioOutputGains + at);
        }
        audio.push_back(a);
    }
    return audio;
}

std::optional<TimecodeStatus> ReadTimecode(const CStatusBlockImage& b) {
    const std::optional<RingHead> ring = ReadRing(b, sv::kTimecodeRing, sv::kTimecodeCycles);
    if (!ring) {
        return std::nullopt;
    }
    const std::size_t k = static_cast<std::size_t>(ring->slot);
    TimecodeStatus t;
    t.ring = *ring;
    t.timecode = b.Text(sv::kTimecodeTexts + sv::kTimecodeTextStride * k, sv::kTimecodeTextUnits);
    t.word = b.U32(sv::kTimecodeWords + 4 * k);
    t.timeOfDay = b.Text(sv::kTimeOfDayTexts + sv::kTimecodeTextStride * k, sv::kTimecodeTextUnits);
    t.mode = b.I32(sv::kTimerMode);
    return t;
}

}  // namespace

ChannelStatus ReadChannelStatus(const CStatusBlockImage& b, const PublisherProbe& probe) {
    ChannelStatus s;
    s.blank = b.IsBlank();
    if (s.blank) {
        return s;
    }
    s.id = b.Text(sv::kChannelId, sv::kNameUnits);
    s.type = b.Text(sv::kChannelType, sv::kNameUnits);
    s.formatName = b.Text(sv::kVideoFormatName, sv::kNameUnits);
    s.format = b.I32(sv::kVideoFormat);
    s.fieldsPerFrame = b.I32(sv::kFieldsPerFrame);
    s.channelRing = ReadRing(b, sv::kChannelRing, sv::kChannelCycles);
    s.gpiInputs = b.U32(sv::kGpiInputs);
    s.offline = b.U8(sv::kChannelOffline) != 0;
    s.serverOffline = b.U8(sv::kSystemOffline) != 0;
    s.publisher = ReadPublisher(b, probe);
    s.storage = ReadStorage(b);
    s.context = ReadContext(b);
    // The slots are kept for every allocated context, active or not.
    for (int i = 0; i < sv::kContexts; ++i) {
        std::string uri =
            b.Text(sv::kContextUri + sv::kContextUriStride * static_cast<std::size_t>(i),
                   sv::kContextUriUnits);
        if (!uri.empty()) {
            s.contexts.push_back(AllocatedContext{i, std::move(uri)});
        }
    }
    s.video = ReadVideo(b);
    s.audio = ReadAudio(b);
    s.timecode = ReadTimecode(b);
    return s;
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

}  // namespace tmsctl
