// CTmsResGpi: its part of a state message, where the triggers of its
// outputs fall in the states the context sends.
#include "platform/com/Bstr.h"
#include "platform/com/VariantArray.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "server/timeline/IMovie.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/TmsResGpi.h"
#include "tmschannel/rts/RtsMessages.h"

namespace {

// A gang follower's resources play black: the leader fires the outputs.
constexpr std::int32_t kNoTrack = 0x7FFFFFFF;

// Whether an output takes part in a list of play states or of record states.
bool ActiveFor(const GpiOutputRecord& o, bool record) {
    return o.activateWhen != "play" || !record;
}

}  // namespace

CTmsResGpi::Span CTmsResGpi::ReadSpan(const std::vector<CVariant>& values, std::size_t first,
                                      std::int32_t fieldsPerFrame,
                                      const std::vector<GpiOutputRecord>& outputs) {
    Span span;
    span.start = values.at(first).ToInt32();
    span.duration = values.at(first + 1).ToInt32();
    span.last = span.start + span.duration - fieldsPerFrame;
    const std::string name = values.at(first + 2).ToString();
    const std::string at = values.at(first + 3).ToString();
    const std::int32_t offset = values.at(first + 4).ToInt32();
    if (EqualsNoCase(at, "start")) {
        span.triggerAt = std::int64_t{span.start} + offset;
    } else if (EqualsNoCase(at, "end")) {
        span.triggerAt = std::int64_t{span.last} - offset;
    }
    span.mask = AppTriggerMask(outputs, name);
    return span;
}

HRESULT CTmsResGpi::WriteStates(const StateWriteTarget& target, std::int32_t trackNumber,
                                bool record, bool, const std::vector<StateEntry*>& states) {
    CTmsEntryPoint trace("CTmsResGpi::WriteStates");
    return TMS_ERROR_FRAME(trace, [&] {
        rts::CStateMessageBuilder& message = *target.message;
        IMovie* movie = target.movie;
        rts::ResourceIdRecord id{};
        std::vector<GpiOutputRecord> outputs;
        bool enabled = false;
        std::int32_t fieldsPerFrame = 2;
        {
            // A configuration pass may read the outputs and the format again
            // meanwhile.
            CCriticalSectionLock lock(m_cs);
            if (m_fieldsPerFrame > 0) {
                fieldsPerFrame = m_fieldsPerFrame;
            }
            rts::SetNarrow(id.indexText, CBstr(m_indexText).ToNarrow());
            rts::SetNarrow(id.typeName, CBstr(m_typeName).ToNarrow());
            enabled = m_enabled;
            for (const GpiOutputRecord& o : m_outputs) {
                if (o.usable && ActiveFor(o, record)) {
                    outputs.push_back(o);
                }
            }
        }
        CheckHr(trace, message.BeginResource(id));
        if (!enabled || outputs.empty() || states.empty() || movie == nullptr ||
            trackNumber == kNoTrack) {
            CheckHr(trace, message.EndResource());
            return;
        }
        CVariant assetType;
        TMS_CHECK_COM(trace, movie->GetProperty(CBstr("assetType"), assetType.GetAddress()));
        const bool list = assetType.ToString() == "List";
        const std::int32_t windowStart = target.windowStart;
        const std::int32_t windowLast = target.windowEnd - fieldsPerFrame + 1;

        // The current edit and its section, each valid while its flag is set.
        Span edit;
        Span section;
        bool haveEdit = false;
        bool haveSection = false;
        // The edit covering m, read from the movie when the current one does
        // not; none outside every edit.
        auto editAt = [&](std::int64_t m) {
            if (haveEdit && edit.Covers(m)) {
                return;
            }
            haveEdit = false;
            haveSection = false;
            CBstr uuid;
            const HRESULT hr = movie->GetEditAtPosition(static_cast<long>(m), &uuid);
            TMS_CHECK_COM(trace, hr);
            if (hr != S_OK) {
                return;
            }
            CVariant values;
            TMS_CHECK_COM(trace,
                          movie->GetEditProperties(uuid,
                                                   CBstr("sectionUuid+startPos+duration+gpiName+"
                                                         "gpiPosition+gpiOffset"),
                                                   values.GetAddress()));
            const std::vector<CVariant> read = ReadVariantArray(values);
            Span found = ReadSpan(read, 1, fieldsPerFrame, outputs);
            // An edit that does not hold the position it was found at would
            // be looked up again and again.
            if (!found.Covers(m)) {
                return;
            }
            edit = found;
            haveEdit = true;
            const std::string sectionUuid = read.at(0).ToString();
            if (!sectionUuid.empty()) {
                CVariant sectionValues;
                TMS_CHECK_COM(trace, movie->GetSectionProperties(
                                         CBstr(sectionUuid),
                                         CBstr("startPos+duration+gpiName+gpiPosition+gpiOffset"),
                                         sectionValues.GetAddress()));
                section = ReadSpan(ReadVariantArray(sectionValues), 0, fieldsPerFrame, outputs);
                haveSection = true;
            }
        };

        for (std::size_t i = 0; i < states.size(); ++i) {
            const std::int32_t m = states[i]->position.movie;
            const std::int32_t offset = states[i]->position.Offset();
            // The stretch this state plays: up to the next state of the same
            // run, or as far as the run's step reaches for the last one.
            std::int64_t to = std::int64_t{m} + fieldsPerFrame;
            if (i + 1 < states.size() && states[i + 1]->position.Offset() == offset &&
                states[i + 1]->position.movie > m) {
                to = states[i + 1]->position.movie;
            } else if (i > 0 && states[i - 1]->position.Offset() == offset &&
                       states[i - 1]->position.movie < m) {
                to = std::int64_t{m} + (m - states[i - 1]->position.movie);
            }
            FiredMasks fired;
            for (std::int64_t from = m; from < to;) {
                std::int64_t end = to;
                if (list) {
                    editAt(from);
                    if (haveEdit) {
                        end = std::min<std::int64_t>(to, std::int64_t{edit.start} + edit.duration);
                    }
                }
                auto fire = [&](const Span& span, bool known) {
                    if (known && span.mask != 0 && span.triggerAt >= from && span.triggerAt < end) {
                        fired[static_cast<std::int32_t>(span.triggerAt + offset)] |= span.mask;
                    }
                };
                fire(edit, haveEdit);
                fire(section, haveSection);
                ChannelTriggersIn(outputs, static_cast<std::int32_t>(from),
                                  static_cast<std::int32_t>(end), offset,
                                  haveEdit ? &edit : nullptr, windowStart, windowLast, &fired);
                from = end;
            }
            for (const auto& [position, mask] : fired) {
                rts::GpiStateRecord state{};
                state.position = position;
                state.mask = mask;
                CheckHr(trace, message.AddGpiState(state));
            }
        }
        CheckHr(trace, message.EndResource());
    });
}
