#include "server/rtssim/RtsChannelModel.h"

#include <fcntl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/kernel/RuntimeDir.h"
#include "server/appserverutil/PictureIndex.h"

namespace {
// The states kept per context, newest last; older ones have long been run.
constexpr std::size_t kMaxQueuedStates = 4096;
}  // namespace

CRtsChannelModel::CRtsChannelModel(const RtsSimChannel& config) : m_config(config) {}

void CRtsChannelModel::Reset() {
    m_contexts = {};
    m_active = -1;
    m_openFiles.clear();
    m_files.clear();
    m_gopStarts.clear();
    m_pastEndNoted.clear();
    m_gpiPending.clear();
    m_gpiOut = 0;
    m_movingContext = -1;
    m_ancSpans.clear();
    m_ancPresent = false;
    ClearGpiFiredLog();
    m_held.clear();
    m_gpiEdges = 0;
    m_gangEvent = false;
}

void CRtsChannelModel::ClearGpiFiredLog() {
    m_gpiFired.clear();
    m_gpiFiredCount = 0;
}

std::string CRtsChannelModel::GpiFiredText() const {
    std::string text = "gpifired " + std::to_string(m_gpiFiredCount);
    const char* separator = ": ";
    for (const GpiFired& f : m_gpiFired) {
        char entry[80];
        std::snprintf(entry, sizeof entry, "%stick %u position %d mask 0x%X", separator, f.tick,
                      f.position, f.mask);
        text += entry;
        separator = "; ";
    }
    return text;
}

void CRtsChannelModel::FireGpi(std::int32_t from, std::int32_t to) {
    for (auto it = m_gpiPending.begin(); it != m_gpiPending.end();) {
        if (it->position >= from && it->position <= to) {
            m_gpiOut = it->mask;
            if (m_gpiFired.size() == kGpiFiredKept) {
                m_gpiFired.erase(m_gpiFired.begin());
            }
            m_gpiFired.push_back({m_ticks, it->position, it->mask});
            ++m_gpiFiredCount;
            it = m_gpiPending.erase(it);
        } else {
            ++it;
        }
    }
}

void CRtsChannelModel::Apply(const RtsMessage& m) {
    switch (m.form) {
        case RtsFourCc("open"):
            Reset();
            m_open = true;
            TakeConfig(m.configText);
            return;
        case RtsFourCc("clos"):
            Reset();
            m_open = false;
            return;
        case RtsFourCc("rfsh"):
            TakeConfig(m.configText);
            return;
        default:
            break;
    }
    for (std::uint16_t code : m.filesOpened)
        m_openFiles.insert(code);
    for (std::uint16_t code : m.filesClosed)
        m_openFiles.erase(code);
    OpenFiles(m);
    for (std::uint16_t code : m.filesClosed)
        CloseFile(code);
    if (!m.hasCtx) {
        return;
    }
    if (m.form == RtsFourCc("cctx")) {
        if (m.ctx.context >= 0) {
            m_contexts[m.ctx.context] = Context{};
            if (m_active == m.ctx.context)
                m_active = -1;
        }
        return;
    }
    if (m.form == RtsFourCc("schc")) {
        Schedule(m);
        return;
    }
    if (m.hasResourceLists && m.ctx.context >= 0 && m.ctx.context < kRtsContexts) {
        Context& c = m_contexts[m.ctx.context];
        c.audioWithMedia = m.audioWithMedia;
        c.timecodeStates = m.timecodeStates;
    }
    ApplyCtx(m.ctx, m);
}

void CRtsChannelModel::TakeConfig(const std::string& text) {
    if (text.empty()) {
        return;
    }
    std::string error;
    const std::string mode = m_config.timecode.genMode;
    const std::uint32_t fixed = m_config.timecode.fixedTimecode;
    // A text that does not read keeps what the channel ran with.
    if (ReadRtsSimSignalsFromText(text, &m_config, &error) &&
        (mode != m_config.timecode.genMode || fixed != m_config.timecode.fixedTimecode)) {
        m_generatorStart = m_ticks;
    }
}

bool CRtsChannelModel::SetAudioError(int audio, std::uint32_t code) {
    if (audio < 0 || audio >= m_config.audioCount || audio >= kRtsMaxAudio) {
        return false;
    }
    m_audioError[static_cast<std::size_t>(audio)] = code;
    return true;
}

void CRtsChannelModel::ApplyCtx(const RtsCtxRecord& r, const RtsMessage& m) {
    if (r.context < 0) {
        // The channel's default context carries the default end and idle modes.
        for (Context& c : m_contexts) {
            if (r.flags & kCtxEndMode)
                c.endMode = r.endMode;
            if (r.flags & kCtxIdleMode)
                c.idleMode = r.idleMode;
        }
        return;
    }
    Context& c = m_contexts[r.context];
    c.changeId = static_cast<std::uint32_t>(r.changeId);
    if (r.flags & kCtxPurge) {
        c.hasListEnd = false;
    }
    // A new position or a speed moves a context off the limit it was held
    // at; it runs again, or the channel would stop it at once as ended.
    const bool resumed = c.atEnd && !(r.flags & kCtxHeldAtLimit) &&
                         ((r.flags & kCtxPosition) || ((r.flags & kCtxSpeed) && r.speed != 0));
    if (r.flags & kCtxPosition) {
        c.position = r.position;
        c.atEnd = false;
        // A jump starts a new move: the field it lands on counts again.
        if (m_movingContext == r.context)
            m_movingContext = -1;
    }
    if (r.flags & kCtxMinPosition) {
        c.hasMin = true;
        c.minPosition = r.minPosition;
    }
    if (r.flags & kCtxMaxPosition) {
        c.hasMax = true;
        c.maxPosition = r.maxPosition;
    }
    if (r.flags & kCtxEndMode)
        c.endMode = r.endMode;
    if (r.flags & kCtxIdleMode)
        c.idleMode = r.idleMode;
    if (r.flags & kCtxSpeed) {
        c.speed = r.speed;
        c.atEnd = false;
    }
    if (m.hasListEnd) {
        c.hasListEnd = true;
        c.listEnd = m.listEnd;
    }
    // State lists queue up behind each other; a purge drops what is queued.
    if (r.flags & kCtxPurge) {
        c.states.clear();
    }
    c.states.insert(c.states.end(), m.mediaStates.begin(), m.mediaStates.end());
    if (c.states.size() > kMaxQueuedStates) {
        c.states.erase(
            c.states.begin(),
            c.states.begin() + static_cast<std::ptrdiff_t>(c.states.size() - kMaxQueuedStates));
    }
    // Idle ends what the client started: the port reports it with trigger
    // status 4 until the context is revoked.
    auto goIdle = [&] {
        c.portState = TmsIdle;
        c.speed = 0;
        c.atEnd = false;
        c.trigger = TmsTriggerEnded;
        if (m_active == r.context)
            m_active = -1;
    };
    if (r.flags & kCtxPortState) {
        // A record starting captures the timecode it starts at, with its
        // port position; the capture lasts as long as the record.
        if (r.portState == TmsShuttleRecord && c.portState != TmsShuttleRecord) {
            c.captured = true;
            c.capturedTimecode =
                m_config.timecode.input == "Internal" ? GeneratorTimecode() : ReaderTimecode();
            c.capturedPosition = static_cast<std::int32_t>(std::floor(c.position));
        } else if (r.portState != TmsShuttleRecord) {
            c.captured = false;
        }
        if (r.portState == TmsIdle) {
            goIdle();
        } else {
            if (r.portState == TmsShuttleRecord && c.portState != TmsShuttleRecord) {
                c.recordStart = static_cast<std::int32_t>(std::floor(c.position));
                c.recordedFields = 0;
            }
            c.portState = r.portState;
            c.trigger = TmsTriggerRunning;
            m_active = r.context;
        }
    }
    // A stop pauses a playing port where it is (the state message carries
    // its port state); a record cannot pause, and a stop that names no port
    // state (an immediate one: offline, a full volume) idles the port.
    if (r.flags & kCtxStopAsIdle) {
        if (c.portState == TmsShuttleRecord || c.portState == TmsCueRecord ||
            r.portState == TmsIdle) {
            goIdle();
        } else {
            c.speed = 0;
        }
    }
    if (r.flags & kCtxHeldAtLimit) {
        c.speed = 0;
    }
    if (resumed && c.portState != TmsIdle) {
        c.trigger = TmsTriggerRunning;
    }
    if (m_active == r.context) {
        // A purge drops what the context sent before; new states add to
        // the rest, a state at a position already waiting replacing it.
        if (r.flags & kCtxPurge) {
            m_gpiPending.clear();
            m_ancSpans.clear();
        }
        for (const RtsGpiState& g : m.gpiStates) {
            auto same =
                std::find_if(m_gpiPending.begin(), m_gpiPending.end(),
                             [&](const RtsGpiState& w) { return w.position == g.position; });
            if (same != m_gpiPending.end()) {
                same->mask = g.mask;
            } else if (m_gpiPending.size() < kGpiPendingKept) {
                m_gpiPending.push_back(g);
            }
        }
        for (const RtsAncSpan& a : m.ancSpans) {
            if (m_ancSpans.size() < kAncSpansKept) {
                m_ancSpans.push_back(a);
            }
        }
    }
}

namespace {
constexpr std::size_t kFiredKept = 1000;
constexpr int kConditionTick = 0, kConditionGpi = 1, kConditionDefaultGpi = 2, kConditionClock = 3;
}  // namespace

void CRtsChannelModel::Schedule(const RtsMessage& m) {
    // Without a name it is the channel's GPI input set-up, not a change.
    if (!m.hasSchedule || m.schedule.name.empty()) {
        return;
    }
    if (m.schedule.cancel) {
        m_held.erase(m.schedule.name);
        return;
    }
    m_held[m.schedule.name] = Held{m.schedule, m.ctx, m_ticks};
}

void CRtsChannelModel::SetHouseClock(std::uint32_t value) {
    m_houseClock = value;
}

void CRtsChannelModel::SetGangEvent(std::uint16_t value, std::uint16_t operation) {
    m_gangEvent = true;
    m_gangTrigger = static_cast<std::uint32_t>(operation) << 16 | value;
    m_gangEventTick = m_ticks;
}

void CRtsChannelModel::Fire(const Held& held, std::uint32_t dueTick) {
    RtsCtxRecord r = held.ctx;
    if (r.context < 0) {
        r.context = m_active >= 0 ? m_active : 0;
    }
    ApplyCtx(r, RtsMessage{});
    // The change reports as running, so that its context takes it up.
    Context& c = m_contexts[r.context];
    if (c.portState != TmsIdle) {
        c.trigger = TmsTriggerRunning;
        m_active = r.context;
    }
    if (m_fired.size() >= kFiredKept) {
        m_fired.erase(m_fired.begin());
    }
    m_fired.push_back(Fired{held.schedule.name, held.schedule.condition, held.schedule.triggerValue,
                            held.receivedTick, dueTick, m_ticks, r.context, r.changeId});
}

void CRtsChannelModel::FireDue() {
    if (m_held.empty()) {
        m_gpiEdges = 0;
        m_gangEvent = false;
        ++m_houseClock;
        return;
    }
    std::vector<std::pair<Held, std::uint32_t>> due;
    for (auto it = m_held.begin(); it != m_held.end();) {
        const RtsScheduleRecord& s = it->second.schedule;
        bool fire = false;
        std::uint32_t dueTick = m_ticks;
        switch (s.condition) {
            case kConditionTick:
                // Wraps with the tick count: due once it is not ahead.
                // A tick already past when it arrived fires on the next
                // field; the log shows it late.
                fire = static_cast<std::int32_t>(m_ticks - s.triggerValue) >= 0;
                dueTick = s.triggerValue;
                break;
            case kConditionGpi:
            case kConditionDefaultGpi: {
                const std::uint32_t mask = s.triggerValue == 0xFFFFFFFFu
                                               ? 0xFFFFFFFFu
                                               : (s.triggerValue < 32 ? 1u << s.triggerValue : 0);
                fire = (m_gpiEdges & mask) != 0;
                dueTick = m_gpiEdgeTick + 1;
                break;
            }
            case kConditionClock:
                fire = m_houseClock == s.triggerValue;
                break;
            default:
                fire = m_gangEvent && m_gangTrigger == s.triggerValue;
                dueTick = m_gangEventTick + 1;
                break;
        }
        if (fire) {
            due.emplace_back(it->second, dueTick);
            it = m_held.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [held, dueTick] : due) {
        Fire(held, dueTick);
    }
    m_gpiEdges = 0;
    m_gangEvent = false;
    ++m_houseClock;
}

void CRtsChannelModel::Advance(std::uint32_t fields) {
    for (std::uint32_t i = 0; i < fields; ++i) {
        AdvanceField();
    }
}

void CRtsChannelModel::AdvanceField() {
    ++m_ticks;
    FireDue();
    Move();
}

void CRtsChannelModel::Move() {
    const std::uint32_t fields = 1;
    if (m_active < 0) {
        m_ancPresent = false;
        m_movingContext = -1;
        return;
    }
    Context& c = m_contexts[m_active];
    // Only a move of this same context carries on from the last tick.
    const bool wasMoving = m_movingContext == m_active;
    const std::int32_t before = static_cast<std::int32_t>(std::floor(c.position));
    // A record moves forward a field a field whatever its speed; a play at
    // its speed. Either is a move for the GPI outputs and ancillary data.
    bool moving = false;
    float direction = c.speed;
    if (c.portState == TmsShuttleRecord) {
        // A record runs at the field rate, a field at a time, up to its
        // maximum when it has one. The position reported is the last field
        // recorded (the record start before the first).
        moving = !c.atEnd;
        direction = 1;
        for (std::uint32_t i = 0; i < fields && !c.atEnd; ++i) {
            const std::int64_t next = std::int64_t{c.recordStart} + c.recordedFields;
            if ((c.hasMax && next > c.maxPosition) || next > INT32_MAX) {
                c.atEnd = true;
                c.trigger = TmsTriggerEnded;
                break;
            }
            RecordField(c, static_cast<std::int32_t>(next));
            ++c.recordedFields;
            c.position = static_cast<double>(next);
        }
    } else if (c.portState == TmsShuttlePlay && c.speed != 0 && !c.atEnd) {
        moving = true;
        double next = c.position + static_cast<double>(c.speed) * fields;
        // The first limit met in the direction of travel stops the context.
        bool stop = false;
        if (c.speed > 0) {
            double limit = INFINITY;
            if (c.hasMax)
                limit = std::min<double>(limit, c.maxPosition);
            if (c.hasListEnd)
                limit = std::min<double>(limit, c.listEnd);
            if (next >= limit) {
                next = limit;
                stop = true;
            }
        } else if (c.hasMin && next <= c.minPosition) {
            next = c.minPosition;
            stop = true;
        } else if (next <= INT32_MIN) {
            next = INT32_MIN;
            stop = true;
        }
        c.position = next;
        if (stop) {
            // Held at the limit with the speed it had: the client decides
            // (auto stop sends "at limit" with speed 0).
            c.atEnd = true;
            c.trigger = TmsTriggerEnded;
        }
        CheckPlayed(c, static_cast<std::int32_t>(std::floor(c.position)));
    }
    const std::int32_t pos = static_cast<std::int32_t>(std::floor(c.position));
    m_ancPresent = false;
    if (!moving) {
        m_movingContext = -1;
        return;
    }
    // GPI outputs change when the position passes theirs; the field the
    // move started from counts on its first tick only.
    if (direction > 0) {
        FireGpi(wasMoving ? before + 1 : before, pos);
    } else {
        FireGpi(pos, wasMoving ? before - 1 : before);
    }
    m_movingContext = c.atEnd ? -1 : m_active;
    for (const RtsAncSpan& a : m_ancSpans) {
        if (pos >= a.start && pos <= a.last) {
            m_ancPresent = true;
            m_ancPackets += fields;
            break;
        }
    }
}

void CRtsChannelModel::SetContextState(int index, std::int32_t portState, std::int32_t trigger) {
    if (index < 0 || index >= kRtsContexts)
        return;
    Context& c = m_contexts[index];
    c.portState = portState;
    c.trigger = trigger;
    if (portState == TmsIdle) {
        c.speed = 0;
        if (m_active == index)
            m_active = -1;
    } else {
        m_active = index;
    }
}

void CRtsChannelModel::SetGpiInput(int input, bool on) {
    if (input < 0 || input > 31)
        return;
    const std::uint32_t bit = 1u << input;
    if (on && (m_gpiIn & bit) == 0) {
        m_gpiEdges |= bit;
        m_gpiEdgeTick = m_ticks;
    }
    m_gpiIn = on ? (m_gpiIn | bit) : (m_gpiIn & ~bit);
}

namespace {

// The packed timecode word of a field count at the channel's rate: frames in
// bits 0-5, seconds 8-13, minutes 16-21, hours 24-28.
std::uint32_t PackedTimecode(std::int64_t fields, double fieldsPerSecond) {
    if (fields < 0)
        fields = 0;
    const int framesPerSecond = static_cast<int>(std::lround(fieldsPerSecond / 2));
    const std::int64_t frames = fields / 2;
    const int fps = framesPerSecond > 0 ? framesPerSecond : 30;
    const std::uint32_t ff = static_cast<std::uint32_t>(frames % fps);
    const std::int64_t secs = frames / fps;
    return ff | static_cast<std::uint32_t>(secs % 60) << 8 |
           static_cast<std::uint32_t>((secs / 60) % 60) << 16 |
           static_cast<std::uint32_t>((secs / 3600) % 24) << 24;
}

// The field count of a packed timecode word, counted as PackedTimecode
// counts (no frames dropped).
std::int64_t FieldsOfTimecode(std::uint32_t word, double fieldsPerSecond) {
    const int framesPerSecond = static_cast<int>(std::lround(fieldsPerSecond / 2));
    const int fps = framesPerSecond > 0 ? framesPerSecond : 30;
    const std::int64_t seconds =
        ((word >> 24) & 0x1F) * 3600 + ((word >> 16) & 0x3F) * 60 + ((word >> 8) & 0x3F);
    return (seconds * fps + (word & 0x3F)) * 2;
}

constexpr std::uint32_t kNoTimecode = 0x80000000u;
constexpr std::uint32_t kDropFrame = 1u << 29;

}  // namespace

std::uint32_t CRtsChannelModel::GeneratorTimecode() const {
    const RtsSimTimecode& tc = m_config.timecode;
    if (tc.genMode == "FixedStart") {
        return tc.fixedTimecode & ~kNoTimecode;
    }
    if (tc.genMode == "FreeRun") {
        return PackedTimecode(FieldsOfTimecode(tc.fixedTimecode, m_config.fieldsPerSecond) +
                                  (m_ticks - m_generatorStart),
                              m_config.fieldsPerSecond) |
               (tc.fixedTimecode & kDropFrame);
    }
    return m_timeOfDay;  // TimeOfDay, ClockWatcher
}

std::uint32_t CRtsChannelModel::ReaderTimecode() const {
    if (m_active < 0) {
        return kNoTimecode;
    }
    const Context& c = m_contexts[m_active];
    const std::int32_t pos = static_cast<std::int32_t>(std::floor(c.position));
    const RtsTimecodeState* current = nullptr;
    for (const RtsTimecodeState& s : c.timecodeStates) {
        if (s.start <= pos) {
            current = &s;
        }
    }
    if (current == nullptr || current->fileCode == 0) {
        return kNoTimecode;
    }
    return PackedTimecode(std::int64_t{current->mediaPosition} + (pos - current->start),
                          m_config.fieldsPerSecond);
}

void CRtsChannelModel::Publish(RtsChannelBlock& b) const {
    b.tickCount = m_ticks;
    b.gpiInputMask = m_gpiIn;
    b.gpiOutputMask = m_gpiOut;
    b.activeContext = m_active;
    b.audioCount = static_cast<std::uint32_t>(m_config.audioCount);
    for (int i = 0; i < kRtsContexts; ++i) {
        const Context& c = m_contexts[i];
        TmsPortContextStatus& s = b.contexts[i];
        s.tickCount = m_ticks;
        s.changeId = c.changeId;
        s.triggerStatus = c.trigger;
        s.portState = c.portState;
        s.position = static_cast<std::int32_t>(std::floor(c.position));
        s.speed = c.speed;
        if (c.portState == TmsShuttleRecord) {
            s.recordStart = c.recordStart;
            s.recordEnd = c.hasMax ? c.maxPosition : 0x7FFFFFFF;
        } else {
            s.recordStart = 0;
            s.recordEnd = 0;
        }
        s.idleMode = c.idleMode;
        s.endMode = c.endMode;
        s.errorCode = 0;
    }
    const std::int32_t pos =
        m_active >= 0 ? static_cast<std::int32_t>(std::floor(m_contexts[m_active].position)) : 0;
    b.video.tickCount = m_ticks;
    b.video.errorCode = 0;
    b.video.lastPosition = pos;
    b.video.fieldSize = 0x40000;
    const Context* active = m_active >= 0 ? &m_contexts[m_active] : nullptr;
    const bool records = active != nullptr && (active->portState == TmsCueRecord ||
                                               active->portState == TmsShuttleRecord);
    for (int i = 0; i < m_config.audioCount && i < kRtsMaxAudio; ++i) {
        const auto n = static_cast<std::size_t>(i);
        TmsAudioStatus& a = b.audio[i];
        a.tickCount = m_ticks;
        a.errorCode = m_audioError[n];
        const RtsSimAudio gains = n < m_config.audio.size() ? m_config.audio[n] : RtsSimAudio{};
        a.gainLeft = gains.inputGain;
        a.gainRight = gains.outputGain;
        const bool plays =
            active != nullptr && active->portState != TmsIdle &&
            (records || (n < active->audioWithMedia.size() && active->audioWithMedia[n]));
        if (!plays) {
            a.level = 0;  // silence: nothing played on this path
            continue;
        }
        // A slow tone-like envelope, -30 to -6 dBFS over four seconds, each
        // path a little behind the one before.
        const auto period = static_cast<std::uint32_t>(std::max(2.0, 4 * m_config.fieldsPerSecond));
        const double phase =
            static_cast<double>((m_ticks + n * period / 8) % period) / static_cast<double>(period);
        const double dbfs = -30.0 + 24.0 * (phase < 0.5 ? 2 * phase : 2 - 2 * phase);
        // The raw level reads +24 dB at 32767: 0 dBFS is 24 dB below it.
        a.level = static_cast<std::uint32_t>(32767.0 * std::pow(10.0, (dbfs - 24.0) / 20.0));
    }
    b.timecode.tickCount = m_ticks;
    b.timecode.errorCode = 0;
    const std::uint32_t generator = GeneratorTimecode();
    const std::uint32_t reader = ReaderTimecode();
    b.timecode.currentTimecode = m_config.timecode.input == "Internal" ? generator : reader;
    b.timecode.word20 = generator;
    b.timecode.word23 = reader;
    const bool captured = active != nullptr && active->captured;
    b.timecode.recordCaptured = captured ? 1 : 0;
    b.timecode.recordTimecode = captured ? active->capturedTimecode : 0;
    b.timecode.recordPosition = captured ? active->capturedPosition : 0;
    b.ancData.tickCount = m_ticks;
    b.ancData.errorCode = 0;
    b.ancData.packetCount = m_ancPackets;
    b.ancData.present = m_ancPresent ? 1 : 0;
}

void CRtsChannelModel::OpenFiles(const RtsMessage& m) {
    for (const RtsFileOpen& open : m.fileOpens) {
        MediaFile f;
        std::error_code ec;
        const std::filesystem::path link = RuntimePath("media/handles/" + open.handleName);
        f.path = std::filesystem::read_symlink(link, ec).string();
        f.write = open.write;
        // The video resource's media file types; the audio (9, 10, 17-19),
        // timecode (7, 8, 24) and ancillary-data (21) ones lie among them.
        f.video =
            (open.mediaFileType >= 11 && open.mediaFileType <= 16) || open.mediaFileType == 20;
        if (f.write && !f.path.empty()) {
            f.data = std::make_unique<CUniqueFd>(::open(f.path.c_str(), O_WRONLY | O_CLOEXEC));
            if (f.data->Get() < 0) {
                m_notes.push_back("cannot record into " + f.path + ": " + std::strerror(errno));
            } else {
                ::lseek(f.data->Get(), 0, SEEK_END);
            }
            // A file opened again (its states were written anew) records on
            // where it stopped.
            if (auto known = m_recordedFields.find(f.path); known != m_recordedFields.end()) {
                f.fields = known->second;
            }
        }
        m_pastEndNoted.erase(open.code);
        m_files[open.code] = std::move(f);
    }
}

void CRtsChannelModel::OpenIndex(MediaFile& f) {
    // Made with the first field recorded, so that a file opened for writing
    // and never recorded into has none.
    const std::string index = f.path + picture_index::kSuffix;
    f.index = std::make_unique<CUniqueFd>(
        ::open(index.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    const bool fresh = f.index->Get() >= 0 && ::lseek(f.index->Get(), 0, SEEK_END) == 0;
    if (f.index->Get() < 0 ||
        (fresh && ::write(f.index->Get(), picture_index::kMagic, sizeof picture_index::kMagic) !=
                      static_cast<ssize_t>(sizeof picture_index::kMagic))) {
        m_notes.push_back("cannot write the picture index of " + f.path + ": " +
                          std::strerror(errno));
        f.index = std::make_unique<CUniqueFd>(-1);  // tried once: none
    }
    if (fresh) {
        const auto pattern = static_cast<int>(GopPattern().size());
        f.gopStart = pattern > 0 ? (pattern - m_gopOffset % pattern) % pattern : 0;
        if (m_gopOffset != 0) {
            m_notes.push_back(f.path + " starts " + std::to_string(m_gopOffset) +
                              " pictures before an I picture");
        }
        m_gopOffset = 0;
        m_gopStarts[f.path] = f.gopStart;
    } else {
        f.gopStart = m_gopStarts[f.path];
    }
}

void CRtsChannelModel::CloseFile(std::uint16_t code) {
    m_files.erase(code);
}

std::vector<std::uint8_t> CRtsChannelModel::GopPattern() const {
    // Field pictures in coding order of frames: I, then per P its B
    // pictures before it; both fields of a frame take its coding.
    std::vector<std::uint8_t> frames;
    if (m_config.compression != "Mpeg") {
        return frames;
    }
    frames.push_back(1);
    for (int p = 0; p < m_config.pPicturesPerI; ++p) {
        frames.insert(frames.end(), static_cast<std::size_t>(m_config.bPicturesPerP), 3);
        frames.push_back(2);
    }
    std::vector<std::uint8_t> fields;
    for (std::uint8_t coding : frames) {
        fields.push_back(coding);
        fields.push_back(coding);
    }
    return fields;
}

void CRtsChannelModel::WriteField(MediaFile& f) {
    const double rate = f.video ? m_config.videoBytesPerSecond : 192000.0;
    f.bytesOwed += rate / m_config.fieldsPerSecond;
    const auto bytes = static_cast<std::size_t>(f.bytesOwed);
    f.bytesOwed -= static_cast<double>(bytes);
    if (f.data && f.data->Get() >= 0 && bytes > 0) {
        // Recognisable filler: the field number in every byte.
        std::vector<unsigned char> body(bytes, static_cast<unsigned char>(f.fields));
        if (::write(f.data->Get(), body.data(), body.size()) != static_cast<ssize_t>(body.size())) {
            m_notes.push_back("short write recording into " + f.path + ": " + std::strerror(errno));
        }
    }
    if (f.video && !f.index) {
        OpenIndex(f);
    }
    if (f.index && f.index->Get() >= 0) {
        const std::vector<std::uint8_t> pattern = GopPattern();
        unsigned char entry[picture_index::kEntrySize] = {};
        const auto size = static_cast<std::uint32_t>(bytes);
        std::memcpy(entry + picture_index::kSize, &size, 4);
        entry[picture_index::kCoding] =
            pattern.empty()
                ? 1
                : pattern[static_cast<std::size_t>((f.fields + f.gopStart) %
                                                   static_cast<std::int64_t>(pattern.size()))];
        entry[picture_index::kStructure] = (f.fields % 2 == 0) ? 1 : 2;
        if (::write(f.index->Get(), entry, sizeof entry) != static_cast<ssize_t>(sizeof entry)) {
            m_notes.push_back("short write to the picture index of " + f.path + ": " +
                              std::strerror(errno));
        }
    }
    ++f.fields;
    m_recordedFields[f.path] = f.fields;
}

std::vector<const RtsMediaState*> CRtsChannelModel::StatesAt(const Context& c, std::int32_t pos) {
    // Per resource, the state that runs at pos: the one that began last at
    // or before it, the later of two that begin together.
    std::map<std::string, const RtsMediaState*> running;
    for (const RtsMediaState& s : c.states) {
        if (pos < s.start ||
            static_cast<std::int64_t>(pos) > static_cast<std::int64_t>(s.start) + s.remaining) {
            continue;
        }
        const RtsMediaState*& best = running[s.resource];
        if (best == nullptr || s.start >= best->start) {
            best = &s;
        }
    }
    std::vector<const RtsMediaState*> states;
    for (const auto& [resource, s] : running) {
        states.push_back(s);
    }
    return states;
}

void CRtsChannelModel::RecordField(const Context& c, std::int32_t pos) {
    for (const RtsMediaState* s : StatesAt(c, pos)) {
        auto it = m_files.find(s->fileCode);
        if (s->fileCode == 0 || it == m_files.end() || !it->second.write) {
            continue;
        }
        // A state that starts into its file further on leaves a gap: it is
        // filled, so that media positions stay byte offsets of whole fields.
        const std::int64_t media = static_cast<std::int64_t>(s->mediaPosition) + (pos - s->start);
        while (it->second.fields <= media) {
            WriteField(it->second);
        }
    }
}

void CRtsChannelModel::CheckPlayed(const Context& c, std::int32_t pos) {
    for (const RtsMediaState* s : StatesAt(c, pos)) {
        auto it = m_files.find(s->fileCode);
        if (!s->video || s->fileCode == 0 || it == m_files.end() || it->second.write) {
            continue;
        }
        auto recorded = m_recordedFields.find(it->second.path);
        const std::int64_t media = static_cast<std::int64_t>(s->mediaPosition) + (pos - s->start);
        if (recorded == m_recordedFields.end() || media < recorded->second) {
            continue;
        }
        ++m_playedPastEnd;
        if (m_pastEndNoted.insert(s->fileCode).second) {
            m_notes.push_back("played media position " + std::to_string(media) + " of " +
                              it->second.path + ", which recorded only " +
                              std::to_string(recorded->second) + " fields");
        }
    }
}

std::string CRtsChannelModel::Summary() const {
    char text[256];
    if (m_active < 0) {
        std::snprintf(text, sizeof text,
                      "channel %d %s tick %u idle gpi-in 0x%X gpi-out 0x%X past-end %llu",
                      m_config.index, m_open ? "open" : "closed", m_ticks, m_gpiIn, m_gpiOut,
                      static_cast<unsigned long long>(m_playedPastEnd));
    } else {
        const Context& c = m_contexts[m_active];
        std::snprintf(text, sizeof text,
                      "channel %d %s tick %u context %d state %d position %d speed %.3f "
                      "gpi-in 0x%X gpi-out 0x%X past-end %llu",
                      m_config.index, m_open ? "open" : "closed", m_ticks, m_active, c.portState,
                      static_cast<int>(std::floor(c.position)), c.speed, m_gpiIn, m_gpiOut,
                      static_cast<unsigned long long>(m_playedPastEnd));
    }
    return text;
}
