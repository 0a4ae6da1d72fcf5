#include "tmschannel/context/StateWindow.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "server/ipmclient/RtsStatusTypes.h"

namespace {

bool Recording(std::int32_t state) {
    return state == TmsCueRecord || state == TmsShuttleRecord;
}

bool SamePair(const PositionPair& a, const PositionPair& b) {
    return a.movie == b.movie && a.port == b.port;
}

}  // namespace

void CStateWindow::BeginUndo() {
    EndUndo();
    m_recording = true;
    m_undoLastList = m_lastList;
}

void CStateWindow::EndUndo() {
    m_recording = false;
    m_undo.clear();
}

void CStateWindow::Undo() {
    if (!m_recording) {
        return;
    }
    m_recording = false;
    for (auto step = m_undo.rbegin(); step != m_undo.rend(); ++step) {
        switch (step->kind) {
            case UndoStep::Kind::kPushFront:
                m_entries.erase(m_entries.begin(),
                                m_entries.begin() + static_cast<std::ptrdiff_t>(step->pushed));
                break;
            case UndoStep::Kind::kPushBack:
                m_entries.erase(m_entries.end() - static_cast<std::ptrdiff_t>(step->pushed),
                                m_entries.end());
                break;
            case UndoStep::Kind::kPopFront:
                // The last taken was nearest the rest: it goes back first.
                for (auto e = step->entries.rbegin(); e != step->entries.rend(); ++e) {
                    m_entries.push_front(std::move(*e));
                }
                break;
            case UndoStep::Kind::kPopBack:
                for (auto e = step->entries.rbegin(); e != step->entries.rend(); ++e) {
                    m_entries.push_back(std::move(*e));
                }
                break;
            case UndoStep::Kind::kClear:
                // Everything recorded after the clear is undone: the window
                // is empty again.
                m_entries = std::move(step->entries);
                break;
            case UndoStep::Kind::kShift:
                for (std::size_t i = 0; i < step->erasedAt.size(); ++i) {
                    m_entries.insert(
                        m_entries.begin() + static_cast<std::ptrdiff_t>(step->erasedAt[i]),
                        std::move(step->entries[i]));
                }
                for (auto& e : m_entries) {
                    e->position.movie -= step->delta;
                }
                break;
        }
    }
    m_undo.clear();
    m_lastList = m_undoLastList;
}

CStateWindow::UndoStep* CStateWindow::Record(UndoStep::Kind kind) {
    if (!m_recording) {
        return nullptr;
    }
    const bool merges = kind != UndoStep::Kind::kClear && kind != UndoStep::Kind::kShift;
    if (!merges || m_undo.empty() || m_undo.back().kind != kind) {
        m_undo.emplace_back(kind);
    }
    return &m_undo.back();
}

void CStateWindow::PopFront() {
    if (UndoStep* step = Record(UndoStep::Kind::kPopFront)) {
        step->entries.push_back(std::move(m_entries.front()));
    }
    m_entries.pop_front();
}

void CStateWindow::PopBack() {
    if (UndoStep* step = Record(UndoStep::Kind::kPopBack)) {
        step->entries.push_back(std::move(m_entries.back()));
    }
    m_entries.pop_back();
}

void CStateWindow::PushFront(std::unique_ptr<StateEntry> entry) {
    if (UndoStep* step = Record(UndoStep::Kind::kPushFront)) {
        ++step->pushed;
    }
    m_entries.push_front(std::move(entry));
}

void CStateWindow::PushBack(std::unique_ptr<StateEntry> entry) {
    if (UndoStep* step = Record(UndoStep::Kind::kPushBack)) {
        ++step->pushed;
    }
    m_entries.push_back(std::move(entry));
}

void CStateWindow::Reset() {
    Clear();
    m_lastList = {static_cast<std::int32_t>(0x80000000u), static_cast<std::int32_t>(0x80000000u)};
}

bool CStateWindow::Clear() {
    const bool had = !m_entries.empty();
    if (UndoStep* step = had ? Record(UndoStep::Kind::kClear) : nullptr) {
        step->entries = std::move(m_entries);
    }
    m_entries.clear();
    return had;
}

int CStateWindow::FindPos(const PositionPair& p) const {
    if (m_entries.empty()) {
        return -1;
    }
    if (SamePair(First().position, p)) {
        return 0;
    }
    if (p.port < First().position.port) {
        return -1;
    }
    const int last = static_cast<int>(m_entries.size()) - 1;
    if (SamePair(Last().position, p)) {
        return last;
    }
    if (p.port > Last().position.port) {
        return -1;
    }
    int nearest = 0;
    std::int64_t distance = -1;
    for (int i = 0; i <= last; ++i) {
        const std::int64_t d =
            std::llabs(static_cast<std::int64_t>(m_entries[i]->position.port) - p.port);
        if (d == 0) {
            return i;
        }
        if (distance < 0 || d < distance) {
            distance = d;
            nearest = i;
        }
    }
    return nearest;
}

bool CStateWindow::IsPosIn(const PositionPair& p) const {
    return !m_entries.empty() && First().position.port <= p.port && p.port <= Last().position.port;
}

int CStateWindow::FindNextLoop(std::size_t n) const {
    if (m_entries.empty()) {
        return -1;
    }
    std::size_t i = 0;
    std::int32_t offset = m_entries.front()->position.movie - m_entries.front()->position.port;
    for (; i < n && i < m_entries.size(); ++i) {
        offset = m_entries[i]->position.movie - m_entries[i]->position.port;
    }
    for (; i < m_entries.size(); ++i) {
        const std::int32_t o = m_entries[i]->position.movie - m_entries[i]->position.port;
        if (o != offset) {
            return static_cast<int>(i);
        }
        offset = o;
    }
    return -1;
}

void CStateWindow::ShiftMovie(std::int32_t delta) {
    for (auto& e : m_entries) {
        e->position.movie += delta;
    }
    UndoStep* step = Record(UndoStep::Kind::kShift);
    if (step == nullptr) {
        std::erase_if(m_entries, [](const auto& e) { return e->position.movie < 0; });
        return;
    }
    step->delta = delta;
    Entries kept;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i]->position.movie < 0) {
            step->erasedAt.push_back(i);
            step->entries.push_back(std::move(m_entries[i]));
        } else {
            kept.push_back(std::move(m_entries[i]));
        }
    }
    m_entries = std::move(kept);
}

PositionPair CStateWindow::PortToMovie(std::int32_t p, const PositionPair& current,
                                       std::int32_t fieldsPerFrame) const {
    auto with = [p](std::int32_t offset) { return PositionPair{p - offset, p}; };
    if (m_entries.empty()) {
        return with(current.Offset());
    }
    if (p <= First().position.port) {
        return with(First().position.Offset());
    }
    if (p >= Last().position.port) {
        return with(Last().position.Offset());
    }
    std::int32_t aligned = p;
    if (fieldsPerFrame == 2 && aligned % 2 != 0) {
        --aligned;  // down, also below 0
    }
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const PositionPair& e = m_entries[i]->position;
        if (e.port < aligned) {
            continue;
        }
        if (e.port == aligned || p - e.Offset() >= 0 || i == 0) {
            return with(e.Offset());
        }
        // The later state's offset would put the movie before its start.
        return with(m_entries[i - 1]->position.Offset());
    }
    return with(Last().position.Offset());
}

bool CStateWindow::Builds(const ListContext& c) {
    return c.portState != TmsIdle && (c.timelineLength != 0 || Recording(c.portState));
}

int CStateWindow::LoopsAllowed(const ListContext& c) {
    const bool repeat = c.loopOn && !Recording(c.portState);
    return repeat && c.speed >= -1.0f && c.speed <= 1.0f ? 10 : 1;
}

std::unique_ptr<StateEntry> CStateWindow::NewState(double m, double q,
                                                   std::int32_t fieldsPerFrame) {
    auto state = LoopPoint(std::floor(m), std::floor(q));
    // In formats of two fields a state starts on the frame's first field.
    if (fieldsPerFrame == 2 && state->position.movie % 2 != 0) {
        --state->position.movie;
        --state->position.port;
    }
    return state;
}

std::unique_ptr<StateEntry> CStateWindow::LoopPoint(double m, double q) {
    // Positions are field counts of 32 bits: a list running past either end
    // of the count stays at it rather than wrapping (the conversion of a
    // value out of range is undefined).
    auto toPosition = [](double v) {
        constexpr double kLow = std::numeric_limits<std::int32_t>::min();
        constexpr double kHigh = std::numeric_limits<std::int32_t>::max();
        return static_cast<std::int32_t>(std::isnan(v) ? 0.0 : std::clamp(v, kLow, kHigh));
    };
    auto state = std::make_unique<StateEntry>();
    state->position = {toPosition(m), toPosition(q)};
    return state;
}

void CStateWindow::MakeRoom(std::size_t added, bool fromFront) {
    const std::size_t total = m_entries.size() + added;
    for (std::size_t excess = total > kMaxStates ? total - kMaxStates : 0;
         excess > 0 && !m_entries.empty(); --excess) {
        if (fromFront) {
            PopFront();
        } else {
            PopBack();
        }
    }
}

CStateWindow::ListResult CStateWindow::CreateForward(const ListContext& c, const PositionPair& p,
                                                     std::int32_t loopStart, std::int32_t loopEnd,
                                                     double step, std::vector<StateEntry*>* out) {
    ListResult result;
    out->clear();
    if (!Builds(c)) {
        return result;
    }
    double m = p.movie;
    double q = p.port;
    int count = kStatesPerList;
    const int found = FindPos(p);
    // A record keeps its window: its states go on from where they were.
    if (found < 0 && c.recordPhase == 0) {
        result.purged = Clear();
    }
    if (!m_entries.empty() && found >= 0) {
        count = found - static_cast<int>(m_entries.size()) + kStatesPerList;
        if (Last().position.port < p.port) {
            m = p.movie;
            q = p.port;
        } else {
            m = Last().position.movie + step;
            q = Last().position.port + step;
        }
    }
    m_lastList = p;
    // A list that starts past the loop end continues after a loop point the
    // window already holds: its first loop adds none. Later loops reach the
    // loop end from inside and add theirs.
    bool beyond = loopEnd < m;
    const int loopsAllowed = LoopsAllowed(c);
    int loops = 0;
    std::vector<std::unique_ptr<StateEntry>> made;
    while (static_cast<int>(made.size()) < count) {
        if (loopEnd <= m) {
            ++loops;
            q -= m - loopEnd;
            m = loopEnd;
            if (!beyond) {
                made.push_back(LoopPoint(m, q));
            }
            beyond = false;
            if (c.underConstruction || loops >= loopsAllowed) {
                break;
            }
            m = loopStart;
            q += c.fieldsPerFrame;
            continue;
        }
        made.push_back(NewState(m, q, c.fieldsPerFrame));
        m += step;
        q += step;
    }
    result.count = static_cast<int>(made.size());
    if (made.empty()) {
        return result;
    }
    MakeRoom(made.size(), true);
    for (auto& s : made) {
        out->push_back(s.get());
        PushBack(std::move(s));
    }
    return result;
}

CStateWindow::ListResult CStateWindow::CreateReverse(const ListContext& c, const PositionPair& p,
                                                     std::int32_t loopStart, std::int32_t loopEnd,
                                                     double step, std::vector<StateEntry*>* out) {
    ListResult result;
    out->clear();
    if (!Builds(c)) {
        return result;
    }
    double m = p.movie;
    double q = p.port;
    int count = kStatesPerList;
    const int found = FindPos(p);
    if (found < 0) {
        result.purged = Clear();
    }
    if (!m_entries.empty() && found >= 0) {
        count = kStatesPerList - (found + 1);
        if (First().position.port > p.port) {
            m = p.movie;
            q = p.port;
        } else {
            m = First().position.movie - step;
            q = First().position.port - step;
        }
    }
    m_lastList = p;
    // As forward: only the first loop of a list that starts before the loop
    // start leaves out its loop point.
    bool before = loopStart > m;
    const int loopsAllowed = LoopsAllowed(c);
    int loops = 0;
    // Built backwards: made[0] is the latest state.
    std::vector<std::unique_ptr<StateEntry>> made;
    while (static_cast<int>(made.size()) < count) {
        if (m > loopStart) {
            made.push_back(NewState(m, q, c.fieldsPerFrame));
            m -= step;
            q -= step;
            continue;
        }
        ++loops;
        q += loopStart - m;
        m = loopStart;
        if (!before) {
            made.push_back(LoopPoint(m, q));
        }
        before = false;
        if (c.underConstruction || loops >= loopsAllowed) {
            break;
        }
        m = loopEnd;
        q -= c.fieldsPerFrame;
    }
    result.count = static_cast<int>(made.size());
    if (made.empty()) {
        return result;
    }
    MakeRoom(made.size(), false);
    for (auto& s : made) {
        PushFront(std::move(s));
    }
    for (std::size_t i = 0; i < made.size(); ++i) {
        out->push_back(m_entries[i].get());
    }
    return result;
}
