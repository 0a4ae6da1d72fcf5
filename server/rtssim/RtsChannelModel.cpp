#include "server/rtssim/RtsChannelModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

CRtsChannelModel::CRtsChannelModel(const RtsSimChannel& config) : m_config(config) {}

void CRtsChannelModel::Reset() {
    m_contexts = {};
    m_active = -1;
    m_openFiles.clear();
    m_gpiPending.clear();
    m_gpiOut = 0;
    m_wasMoving = false;
    m_ancSpans.clear();
    m_ancPresent = false;
    ClearGpiFiredLog();
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
            return;
        case RtsFourCc("clos"):
            Reset();
            m_open = false;
            return;
        case RtsFourCc("rfsh"):
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
        Schedule(m);
        return;
    }
    ApplyCtx(m.ctx, m);
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
        return;
    }
    Context& c = m_contexts[m_active];
    const bool moving = (c.portState == TmsShuttlePlay || c.portState == TmsShuttleRecord) &&
                        c.speed != 0 && !c.atEnd;
    const std::int32_t before = static_cast<std::int32_t>(std::floor(c.position));
    const float speed = c.speed;
    if (moving) {
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
    const std::int32_t pos = static_cast<std::int32_t>(std::floor(c.position));
    m_ancPresent = false;
    if (!moving) {
        m_wasMoving = false;
        return;
    }
    // GPI outputs change when the position passes theirs; the field the
    // move started from counts on its first tick only.
    if (speed > 0) {
        FireGpi(m_wasMoving ? before + 1 : before, pos);
    } else {
        FireGpi(pos, m_wasMoving ? before - 1 : before);
    }
    m_wasMoving = !c.atEnd;
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

}  // namespace

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
    for (int i = 0; i < m_config.audioCount && i < kRtsMaxAudio; ++i) {
        TmsAudioStatus& a = b.audio[i];
        a.tickCount = m_ticks;
        a.errorCode = 0;
        a.gainLeft = 4096;
        a.gainRight = 4096;
        // A slow triangle so meters move while the port runs.
        a.level = m_active >= 0 ? (m_ticks * 97u + static_cast<unsigned>(i) * 1000u) % 0x7FFF : 0;
    }
    b.timecode.tickCount = m_ticks;
    b.timecode.errorCode = 0;
    b.timecode.currentTimecode = PackedTimecode(pos, m_config.fieldsPerSecond);
    b.ancData.tickCount = m_ticks;
    b.ancData.errorCode = 0;
    b.ancData.packetCount = m_ancPackets;
    b.ancData.present = m_ancPresent ? 1 : 0;
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
