// CMovie: sections, edits and pause points.
#include <algorithm>
#include <functional>
#include <limits>

#include "platform/com/VariantArray.h"
#include "server/timeline/Movie.h"
#include "server/timeline/NewUuid.h"
#include "server/timeline/PropertyNames.h"

namespace {

// The explicit span covering the position, or null.
template <class Span>
const Span* Covering(const std::vector<Span>& spans, std::int64_t position) {
    for (const Span& s : spans) {
        if (s.Covers(position)) {
            return &s;
        }
    }
    return nullptr;
}

template <class Span>
const Span* ByUuid(const std::vector<Span>& spans, const std::string& uuid) {
    for (const Span& s : spans) {
        if (s.uuid == uuid) {
            return &s;
        }
    }
    return nullptr;
}

// Checks a new span against the others and puts it in start order; returns its uuid.
template <class Span>
std::string Insert(std::vector<Span>& spans, Span span, const char* kind,
                   const std::function<void(const std::string&)>& refuse) {
    for (const Span& s : spans) {
        if (std::int64_t{span.start} < std::int64_t{s.start} + s.duration &&
            std::int64_t{s.start} < std::int64_t{span.start} + span.duration) {
            refuse(std::string("the new ") + kind + " at " + std::to_string(span.start) + " for " +
                   std::to_string(span.duration) + " fields overlaps " + kind + " " + s.uuid +
                   " at " + std::to_string(s.start) + " for " + std::to_string(s.duration));
        }
    }
    span.uuid = NewUuidText();
    const auto at = std::find_if(spans.begin(), spans.end(),
                                 [&](const Span& s) { return s.start > span.start; });
    return spans.insert(at, std::move(span))->uuid;
}

}  // namespace

std::string CMovie::AddEdit(std::int32_t start, std::int32_t duration, const std::string& name,
                            bool repeat, std::int32_t pauseMode) {
    if (start < 0 || duration < 1 ||
        std::int64_t{start} + duration > std::numeric_limits<std::int32_t>::max()) {
        Refuse("an edit cannot start at " + std::to_string(start) + " for " +
               std::to_string(duration) + " fields");
    }
    if (pauseMode < -1) {
        Refuse("pause mode " + std::to_string(pauseMode) + " is not a mode (-1 for none)");
    }
    MovieEdit edit;
    edit.name = name;
    edit.start = start;
    edit.duration = duration;
    edit.repeat = repeat;
    edit.pauseMode = pauseMode;
    std::string uuid;
    Change([&](MovieState& s) {
        uuid = Insert(s.edits, edit, "edit", [this](const std::string& t) { Refuse(t); });
    });
    return uuid;
}

std::string CMovie::AddSection(std::int32_t start, std::int32_t duration, const std::string& name) {
    if (start < 0 || duration < 1 ||
        std::int64_t{start} + duration > std::numeric_limits<std::int32_t>::max()) {
        Refuse("a section cannot start at " + std::to_string(start) + " for " +
               std::to_string(duration) + " fields");
    }
    MovieSpan section;
    section.name = name;
    section.start = start;
    section.duration = duration;
    std::string uuid;
    Change([&](MovieState& s) {
        uuid = Insert(s.sections, section, "section", [this](const std::string& t) { Refuse(t); });
    });
    return uuid;
}

bool CMovie::SectionAndEdit(std::int32_t channel, std::int32_t position, MoviePlace* place) {
    CCriticalSectionLock lock(m_cs);
    const auto seen = m_seenRevision.find(channel);
    place->changed = seen == m_seenRevision.end() || seen->second != m_revision;
    if (position < 0 || position >= m_state.Length()) {
        return false;  // the change stays to be seen when the position is back inside
    }
    m_seenRevision[channel] = m_revision;
    const MovieSpan* section = Covering(m_state.sections, position);
    const MovieEdit* edit = Covering(m_state.edits, position);
    place->sectionUuid = section != nullptr ? section->uuid : "";
    place->editUuid = edit != nullptr ? edit->uuid : "";
    return true;
}

CVariant CMovie::SpanProperties(const MovieState& s, const std::string& uuid,
                                const std::string& names, bool isEdit) const {
    const char* kind = isEdit ? "edit" : "section";
    // The implicit span: the whole movie.
    MovieEdit span;
    span.name = m_name.Movie();
    span.duration = s.Length();
    span.repeat = s.repeat;
    if (!uuid.empty()) {
        const MovieSpan* found = isEdit ? ByUuid(s.edits, uuid) : ByUuid(s.sections, uuid);
        if (found == nullptr) {
            Refuse(std::string("there is no ") + kind + " with the uuid '" + uuid + "'");
        }
        if (isEdit) {
            span = *static_cast<const MovieEdit*>(found);
        } else {
            static_cast<MovieSpan&>(span) = *found;
        }
    }
    std::vector<CVariant> values;
    for (const std::string& name : SplitPropertyNames(names)) {
        if (name == "name") {
            values.emplace_back(span.name);
        } else if (name == "duration") {
            values.emplace_back(span.duration);
        } else if (name == "startpos") {
            values.emplace_back(span.start);
        } else if (isEdit && name == "repeat") {
            values.emplace_back(span.repeat);
        } else if (isEdit && name == "pausemode") {
            values.emplace_back(span.pauseMode);
        } else if (isEdit && name == "sectionuuid") {
            const MovieSpan* section = uuid.empty() ? nullptr : Covering(s.sections, span.start);
            values.emplace_back(section != nullptr ? section->uuid : std::string());
        } else if (name == "gpiname" || name == "gpiposition") {
            // No call sets a GPI trigger on a span, so it has none.
            values.emplace_back(std::string());
        } else if (name == "gpioffset") {
            values.emplace_back(std::int32_t{0});
        } else {
            Refuse(std::string("'") + name + "' is not a property of an " + kind +
                   (isEdit ? " (name, duration, startPos, repeat, pauseMode, sectionUuid, "
                             "gpiName, gpiPosition, gpiOffset)"
                           : " (name, duration, startPos, gpiName, gpiPosition, gpiOffset)"));
        }
    }
    return MakeVariantArray(values);
}

CVariant CMovie::SectionProperties(const std::string& uuid, const std::string& names) const {
    return Read([&](const MovieState& s) { return SpanProperties(s, uuid, names, false); });
}

CVariant CMovie::EditProperties(const std::string& uuid, const std::string& names) const {
    return Read([&](const MovieState& s) { return SpanProperties(s, uuid, names, true); });
}

bool CMovie::EditAt(std::int32_t position, std::string* uuid) const {
    return Read([&](const MovieState& s) {
        if (s.edits.empty()) {
            uuid->clear();
            return position >= 0 && position < s.Length();
        }
        const MovieEdit* edit = Covering(s.edits, position);
        *uuid = edit != nullptr ? edit->uuid : "";
        return edit != nullptr;
    });
}

bool CMovie::NextPause(std::int32_t position, std::int32_t horizon, std::int32_t* pausePosition,
                       std::int32_t* pauseMode) const {
    if (horizon < 0) {
        Refuse("the pause search horizon " + std::to_string(horizon) + " is negative");
    }
    return Read([&](const MovieState& s) {
        // Edits are in start order and do not overlap, so their pause points are too.
        for (const MovieEdit& e : s.edits) {
            const std::int64_t point = std::int64_t{e.start} + e.duration - 1;
            if (e.pauseMode >= 0 && point >= position && point < std::int64_t{position} + horizon) {
                *pausePosition = static_cast<std::int32_t>(point);
                *pauseMode = e.pauseMode;
                return true;
            }
        }
        *pausePosition = -1;
        *pauseMode = -1;
        return false;
    });
}
