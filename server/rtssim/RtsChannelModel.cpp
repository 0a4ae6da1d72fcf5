#include "server/rtssim/RtsChannelModel.h"

#include <cmath>
#include <cstdio>

CRtsChannelModel::CRtsChannelModel(const RtsSimChannel& config) : m_config(config) {}

void CRtsChannelModel::Reset() {
    m_contexts = {};
    m_active = -1;
    m_openFiles.clear();
    m_gpiPending.clear();
    m_gpiOut = 0;
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
        return;  // the schedule is held by the client's trigger; nothing moves yet
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
    if (r.flags & kCtxPosition) {
        c.position = r.position;
        c.atEnd = false;
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
        c.portState = r.portState;
        if (r.portState == TmsIdle) {
            c.speed = 0;
            c.trigger = TmsTriggerNone;
            if (m_active == r.context)
                m_active = -1;
        } else {
            c.trigger = TmsTriggerRunning;
            m_active = r.context;
        }
    }
    if (r.flags & kCtxStopAsIdle) {
        c.speed = 0;
    }
    if (!m.gpiStates.empty() && m_active == r.context) {
        m_gpiPending = m.gpiStates;
    }
}

void CRtsChannelModel::Advance(std::uint32_t fields) {
    m_ticks += fields;
    if (m_active < 0) {
        return;
    }
    Context& c = m_contexts[m_active];
    const bool moving = c.portState == TmsShuttlePlay || c.portState == TmsShuttleRecord;
    if (moving && c.speed != 0 && !c.atEnd) {
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
            c.speed = 0;
            c.atEnd = true;
            c.trigger = TmsTriggerEnded;
        }
    }
    // GPI outputs change when the position passes theirs.
    const std::int32_t pos = static_cast<std::int32_t>(std::floor(c.position));
    for (auto it = m_gpiPending.begin(); it != m_gpiPending.end();) {
        if (pos >= it->position) {
            m_gpiOut = it->mask;
            it = m_gpiPending.erase(it);
        } else {
            ++it;
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
}

std::string CRtsChannelModel::Summary() const {
    char text[256];
    if (m_active < 0) {
        std::snprintf(text, sizeof text, "channel %d %s tick %u idle gpi-in 0x%X gpi-out 0x%X",
                      m_config.index, m_open ? "open" : "closed", m_ticks, m_gpiIn, m_gpiOut);
    } else {
        const Context& c = m_contexts[m_active];
        std::snprintf(text, sizeof text,
                      "channel %d %s tick %u context %d state %d position %d speed %.3f "
                      "gpi-in 0x%X gpi-out 0x%X",
                      m_config.index, m_open ? "open" : "closed", m_ticks, m_active, c.portState,
                      static_cast<int>(std::floor(c.position)), c.speed, m_gpiIn, m_gpiOut);
    }
    return text;
}
