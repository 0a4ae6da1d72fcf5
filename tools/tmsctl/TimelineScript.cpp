#include "tools/tmsctl/TimelineScript.h"

#include <cfloat>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/com/VariantArray.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/ITimelineControl.h"
#include "server/timeline/TrackTypes.h"
#include "tools/tmsctl/ScriptArgs.h"

namespace tmsctl {
namespace {

constexpr std::int64_t kInt32Min = INT32_MIN;
constexpr std::int64_t kInt32Max = INT32_MAX;
constexpr std::int64_t kUInt32Max = UINT32_MAX;

// False when s is not a number; a number outside [low, high] throws
// CScriptError naming the argument.
bool ToLong(const std::string& s, long* value, const char* argument, std::int64_t low = kInt32Min,
            std::int64_t high = kInt32Max) {
    std::int64_t v = 0;
    if (!ScriptInteger(s, argument, low, high, &v)) {
        return false;
    }
    *value = static_cast<long>(v);
    return true;
}

const char* const kPortStateNames[] = {"idle", "cue", "play", "cuerecord", "record"};

bool PortState(const std::string& s, long* state) {
    const auto& kNames = kPortStateNames;
    for (long i = 0; i < 5; ++i) {
        if (s == kNames[i]) {
            *state = i;
            return true;
        }
    }
    return ToLong(s, state, "port state", 0, 4);
}

std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", v);
    return text;
}

// The track types a movie may hold, in the order they are shown.
const long kTrackTypes[] = {tmstrack::kAudio,         tmstrack::kTimecode, 4, 5, 6, 7,
                            tmstrack::kAncillaryData, tmstrack::kVideo};

}  // namespace

bool CTimelineScript::Code(const std::string& text, std::uint16_t* code) const {
    if (text == ".") {
        *code = m_lastCode;
        return m_lastCode != 0;
    }
    long v = 0;
    if (!ToLong(text, &v, "timeline CODE", 0, 0xFFFF)) {
        return false;
    }
    *code = static_cast<std::uint16_t>(v);
    return true;
}

bool CTimelineScript::Token(const std::string& text, std::uint32_t* token) const {
    if (text == ".") {
        *token = m_lastToken;
        return true;
    }
    long v = 0;
    if (!ToLong(text, &v, "context TOKEN", 0, kUInt32Max)) {
        return false;
    }
    *token = static_cast<std::uint32_t>(v);
    return true;
}

bool CTimelineScript::Run(const std::string& command, const std::vector<std::string>& a,
                          std::ostream& out, HRESULT* hr, CVariant* value, bool* show,
                          const char** usage) {
    *usage = nullptr;
    if (command == "timeline") {
        *hr = Timeline(a, out, value, show, usage);
        return true;
    }
    if (command == "alloc") {
        std::uint16_t code = 0;
        if (a.empty() || a.size() > 2 || !Code(a[0], &code) ||
            (a.size() == 2 && a[1] != "publish")) {
            *usage = "alloc CODE|. [publish]";
            return true;
        }
        unsigned int token = 0;
        *hr = m_channel->AllocateContext(a.size() == 2 ? code | 0x8000 : code, &token);
        if (SUCCEEDED(*hr)) {
            m_lastToken = token;
            *value = CVariant(Hex(token));
            *show = true;
        }
        return true;
    }
    if (command == "free") {
        std::uint32_t token = 0;
        if (a.size() != 1 || !Token(a[0], &token)) {
            *usage = "free TOKEN|.";
            return true;
        }
        *hr = m_channel->FreeContext(token);
        return true;
    }
    if (command == "status") {
        std::uint32_t token = 0;
        if (a.size() != 2 || !Token(a[0], &token)) {
            *usage = "status TOKEN|.|0 NAME[+NAME...]";
            return true;
        }
        *hr = m_channel->GetStatus(token, CBstr(a[1]), &value->GetVARIANT());
        *show = SUCCEEDED(*hr);
        return true;
    }
    if (command == "wait") {
        std::uint32_t token = 0;
        long state = 0;
        long timeout = 0;
        if (a.size() != 3 || !Token(a[0], &token) || !PortState(a[1], &state) ||
            !ToLong(a[2], &timeout, "wait: MILLISECONDS")) {
            *usage = "wait TOKEN|. idle|cue|play|cuerecord|record|0-4 MILLISECONDS";
            return true;
        }
        *hr = m_channel->WaitForPortState(token, static_cast<TmsPortState>(state),
                                          static_cast<int>(timeout));
        return true;
    }
    if (command == "port") {
        std::uint32_t token = 0;
        if (a.size() != 1 || !Token(a[0], &token)) {
            *usage = "port TOKEN|.";
            return true;
        }
        *hr = Port(token, out);
        return true;
    }
    // The transport commands are changes with fixed fields.
    static const struct {
        const char* name;
        std::size_t args;
        const char* usage;
        const char* fields;  // %s is the first argument after the token
    } kTransport[] = {
        {"cue", 1, "cue TOKEN|. [POSITION]", "state=cue pos=%s"},
        {"cuerecord", 1, "cuerecord TOKEN|. [POSITION]", "state=cuerecord pos=%s"},
        {"record", 0, "record TOKEN|.", "state=record"},
        {"play", 0, "play TOKEN|.", "state=play speed=1.0"},
        {"shuttle", 1, "shuttle TOKEN|. SPEED", "state=play speed=%s"},
        {"stop", 0, "stop TOKEN|.", "stop"},
        {"seek", 1, "seek TOKEN|. POSITION", "pos=%s"},
    };
    for (const auto& t : kTransport) {
        if (command != t.name) {
            continue;
        }
        std::uint32_t token = 0;
        const bool optional = command == "cue" || command == "cuerecord";
        if (a.empty() || !Token(a[0], &token) || a.size() > 1 + t.args ||
            (!optional && a.size() != 1 + t.args)) {
            *usage = t.usage;
            return true;
        }
        std::string text = t.fields;
        if (const auto at = text.find("%s"); at != std::string::npos) {
            text.replace(at, 2, a.size() > 1 ? a[1] : "0");
        }
        std::vector<std::string> fields;
        for (std::size_t start = 0; start < text.size();) {
            const std::size_t end = std::min(text.find(' ', start), text.size());
            fields.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        *hr = Change(token, fields, usage);
        return true;
    }
    if (command == "schedule" || command == "unschedule") {
        *hr = Schedule(command == "unschedule", a, usage);
        return true;
    }
    if (command == "change" || command == "limits") {
        std::uint32_t token = 0;
        if (a.size() < 2 || !Token(a[0], &token) || (command == "limits" && a.size() != 3)) {
            *usage = command == "change" ? "change TOKEN|. FIELD=VALUE... (state, pos, speed, "
                                           "trigger, start, end, length, stop, purge)"
                                         : "limits TOKEN|. IN OUT|max";
            return true;
        }
        std::vector<std::string> fields(a.begin() + 1, a.end());
        if (command == "limits") {
            fields = {"start=" + a[1], "end=" + a[2]};
        }
        *hr = Change(token, fields, usage);
        return true;
    }
    return false;
}

std::int32_t CTimelineScript::MovieLength(std::uint32_t token) const {
    const auto found = m_timelines.find(static_cast<std::uint16_t>((token >> 8) & 0xFF));
    if (found == m_timelines.end()) {
        return 0;
    }
    CComPtr<IMovie> movie;
    if (FAILED(found->second->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&movie)))) {
        return 0;
    }
    // A recorded movie plays up to its mark out, not to the end of the
    // segments the record reserved.
    CVariant values;
    if (FAILED(movie->GetProperties(CBstr("length+markOut"), &values.GetVARIANT()))) {
        return 0;
    }
    const auto v = ReadVariantArray(values.GetVARIANT());
    const std::int32_t markOut = v[1].ToInt32();
    return markOut > 0 ? markOut : v[0].ToInt32();
}

HRESULT CTimelineScript::Change(std::uint32_t token, const std::vector<std::string>& fields,
                                const char** usage) {
    unsigned char record[124] = {};
    if (!ChangeRecord(token, fields, usage, record)) {
        return S_OK;
    }
    HRESULT hr = S_OK;
    CComPtr<ITmsContextBroker> broker = Broker(&hr);
    return SUCCEEDED(hr) ? broker->ApplyContextChange(token, sizeof record, record) : hr;
}

CComPtr<ITmsContextBroker> CTimelineScript::Broker(HRESULT* hr) const {
    CComPtr<ITmsContextBroker> broker;
    *hr = m_channel->QueryInterface(IID_ITmsContextBroker, reinterpret_cast<void**>(&broker));
    return broker;
}

bool CTimelineScript::ChangeRecord(std::uint32_t token, const std::vector<std::string>& fields,
                                   const char** usage, unsigned char (&record)[124]) const {
    auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            record[at + i] = static_cast<unsigned char>(v >> (8 * i));
        }
    };
    std::uint32_t flags = 0;
    std::int32_t trigger = 1;  // Asap unless told otherwise
    std::int32_t length = MovieLength(token);
    for (const std::string& f : fields) {
        const std::size_t eq = f.find('=');
        const std::string key = f.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : f.substr(eq + 1);
        long number = 0;
        const char* const name = key.c_str();
        if (key == "state" && PortState(value, &number)) {
            flags |= 0x0004;
            put(32, static_cast<std::uint32_t>(number));
        } else if (key == "pos" && ToLong(value, &number, name)) {
            flags |= 0x0008;
            put(48, static_cast<std::uint32_t>(number));
        } else if (double real = 0;
                   key == "speed" && ScriptReal(value, name, -FLT_MAX, FLT_MAX, &real)) {
            const float speed = static_cast<float>(real);
            std::uint32_t bits = 0;
            std::memcpy(&bits, &speed, sizeof bits);
            flags |= 0x0100;
            put(44, bits);
        } else if (key == "trigger") {
            static const char* const kTriggers[] = {"none", "asap", "manual", "follow", "now"};
            trigger = -1;
            for (int i = 0; i < 5; ++i) {
                trigger = value == kTriggers[i] ? i : trigger;
            }
            if (trigger < 0) {
                *usage = "change: trigger=none|asap|manual|follow|now";
                return false;
            }
        } else if (key == "start" && ToLong(value, &number, name)) {
            flags |= 0x200000;
            put(88, static_cast<std::uint32_t>(number));
        } else if (key == "end" && (value == "max" || ToLong(value, &number, name))) {
            flags |= 0x400000;
            put(92, value == "max" ? 0x7FFFFFFFu : static_cast<std::uint32_t>(number));
        } else if (key == "length" && ToLong(value, &number, name)) {
            length = static_cast<std::int32_t>(number);
        } else if (key == "stop" && value.empty()) {
            flags |= 0x10000;
        } else if (key == "purge" && value.empty()) {
            flags |= 0x0400;
        } else if (key == "flags" && ToLong(value, &number, name, 0, kUInt32Max)) {
            flags |= static_cast<std::uint32_t>(number);
        } else {
            *usage =
                "change TOKEN|. FIELD=VALUE... (state=idle|cue|play|cuerecord|record, pos=N, "
                "speed=F, trigger=asap|now|..., start=N, end=N|max, length=N, stop, purge, "
                "flags=N)";
            return false;
        }
    }
    put(0, flags);
    put(24, static_cast<std::uint32_t>(trigger));
    put(96, static_cast<std::uint32_t>(length));
    return true;
}

HRESULT CTimelineScript::Timeline(const std::vector<std::string>& a, std::ostream& out,
                                  CVariant* value, bool* show, const char** usage) {
    const std::string verb = a.empty() ? "" : a[0];
    if ((verb == "create" && (a.size() == 4 || a.size() == 5 || a.size() == 6)) ||
        (verb == "open" && a.size() == 4)) {
        long length = 0;
        bool populate = false;
        if (verb == "create") {
            if (a.size() >= 5 && !ToLong(a[4], &length, "timeline create: LENGTH")) {
                *usage = "timeline create DATASET GROUP MOVIE [LENGTH [populate]]";
                return S_OK;
            }
            populate = a.size() == 6;
            if (populate && a[5] != "populate") {
                *usage = "timeline create DATASET GROUP MOVIE [LENGTH [populate]]";
                return S_OK;
            }
        }
        unsigned short code = 0;
        CComPtr<IUnknown> timeline;
        GUID iid = IID_IUnknown;
        const HRESULT hr =
            verb == "create"
                ? m_channel->CreateTimeline(CBstr(a[1]), CBstr(a[2]), CBstr(a[3]),
                                            populate ? TRUE : FALSE, static_cast<int>(length),
                                            &code, &iid, reinterpret_cast<void**>(&timeline))
                : m_channel->OpenTimeline(CBstr(a[1]), CBstr(a[2]), CBstr(a[3]), &code, &iid,
                                          reinterpret_cast<void**>(&timeline));
        if (SUCCEEDED(hr)) {
            m_timelines[code] = timeline;
            m_lastCode = code;
            *value = CVariant(static_cast<std::int32_t>(code));
            *show = true;
        }
        return hr;
    }
    std::uint16_t code = 0;
    if (verb == "close" && a.size() == 2 && Code(a[1], &code)) {
        const HRESULT hr = m_channel->CloseTimeline(code);
        if (SUCCEEDED(hr)) {
            m_timelines.erase(code);
        }
        return hr;
    }
    long start = 0;
    long length = 0;
    if (verb == "extend" && a.size() == 4 && Code(a[1], &code) &&
        ToLong(a[2], &start, "timeline extend: START") &&
        ToLong(a[3], &length, "timeline extend: LENGTH")) {
        const auto found = m_timelines.find(code);
        if (found == m_timelines.end()) {
            out << "  no timeline " << code << " was created or opened by this script\n";
            return E_INVALIDARG;
        }
        return m_channel->ExtendTimeline(found->second, static_cast<int>(start),
                                         static_cast<int>(length));
    }
    const bool showing = verb == "show" && a.size() == 2;
    const bool append = verb == "append" && a.size() == 3 &&
                        ToLong(a[2], &length, "timeline append: LENGTH", 1, kInt32Max);
    if ((showing || append) && Code(a[1], &code)) {
        const auto found = m_timelines.find(code);
        if (found == m_timelines.end()) {
            out << "  no timeline " << code << " was created or opened by this script\n";
            return E_INVALIDARG;
        }
        return showing ? Show(found->second, out) : Append(found->second, length);
    }
    *usage =
        "timeline create DATASET GROUP MOVIE [LENGTH [populate]] | open DATASET GROUP MOVIE | "
        "close CODE|. | extend CODE|. START LENGTH | append CODE|. LENGTH | show CODE|.";
    return S_OK;
}

HRESULT CTimelineScript::Port(std::uint32_t token, std::ostream& out) {
    const int channel = static_cast<int>(token >> 16);
    const int index = static_cast<int>(token & 0xFF);
    TmsPortContextStatus s{};
    if (!m_rts.Open() || !m_rts.GetContextStatus(channel, index, &s)) {
        out << "  the RTS publishes no status for context " << Hex(token) << "\n";
        return E_FAIL;
    }
    // Two fields on, the status shows every change this script made before.
    const std::uint32_t from = s.tickCount;
    for (int i = 0; i < 100 && s.tickCount - from < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        m_rts.GetContextStatus(channel, index, &s);
    }
    char text[128];
    std::snprintf(text, sizeof text, "  RTS: %s at %d, speed %.2f (field %u)\n",
                  s.portState >= 0 && s.portState <= 4 ? kPortStateNames[s.portState] : "?",
                  s.position, static_cast<double>(s.speed), s.tickCount);
    out << text;
    return S_OK;
}

HRESULT CTimelineScript::Append(IUnknown* timeline, long length) {
    CComPtr<IMovie> movie;
    HRESULT hr = timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&movie));
    for (const long type : kTrackTypes) {
        long count = 0;
        if (FAILED(hr) || FAILED(hr = movie->GetTrackCount(type, &count))) {
            return hr;
        }
        for (long n = 0; n < count; ++n) {
            unsigned short last = 0;
            long fileType = 0, in = 0, outMark = 0, duration = 0;
            CBstr name;
            if (FAILED(hr = movie->GetLastSegment(type, n, 0, -1, &last))) {
                return hr;
            }
            if (last == 0) {
                continue;
            }
            // The new segment is of the same kind of media as the last one.
            unsigned short segment = 0;
            if (FAILED(hr = movie->GetSegmentDescription(type, n, last, &fileType, &name, &in,
                                                         &outMark, &duration)) ||
                FAILED(hr =
                           movie->AppendSegment(type, n, 0, length, fileType, nullptr, &segment))) {
                return hr;
            }
        }
    }
    return hr;
}

HRESULT CTimelineScript::Show(IUnknown* timeline, std::ostream& out) {
    CComPtr<IMovie> movie;
    HRESULT hr = timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&movie));
    if (FAILED(hr)) {
        return hr;
    }
    CVariant props;
    hr = movie->GetProperties(
        CBstr("moviename+markIn+markOut+maxLength+length+videoFormat+underConstruction"),
        &props.GetVARIANT());
    if (FAILED(hr)) {
        return hr;
    }
    const auto p = ReadVariantArray(props.GetVARIANT());
    out << "  movie " << p[0].ToString() << ": marks " << p[1].ToString() << ".." << p[2].ToString()
        << ", maxLength " << p[3].ToString() << ", length " << p[4].ToString() << ", format "
        << p[5].ToString() << (p[6].ToBool() ? ", under construction" : ", final") << "\n";
    for (const long type : kTrackTypes) {
        long count = 0;
        if (FAILED(hr = movie->GetTrackCount(type, &count))) {
            return hr;
        }
        for (long n = 0; n < count; ++n) {
            std::vector<unsigned short> codes;
            for (long fromEnd = -1;; --fromEnd) {
                unsigned short code = 0;
                hr = movie->GetLastSegment(type, n, 0, fromEnd, &code);
                if (FAILED(hr)) {
                    return hr;
                }
                if (hr == S_FALSE) {
                    break;
                }
                codes.insert(codes.begin(), code);
            }
            out << "  track " << type << "." << n << ": " << codes.size() << " segment(s)\n";
            for (const unsigned short code : codes) {
                long start = 0, natural = 0, duration = 0, fileType = 0, in = 0, outMark = 0;
                unsigned short flags = 0;
                unsigned long user = 0;
                CBstr name;
                if (FAILED(hr = movie->GetSegmentPositions(type, n, code, &start, &natural,
                                                           &duration, &flags, &user)) ||
                    FAILED(hr = movie->GetSegmentDescription(type, n, code, &fileType, &name, &in,
                                                             &outMark, &duration))) {
                    return hr;
                }
                out << "    segment " << code << ": start " << start << ", duration " << duration
                    << ", file type " << fileType << ", media " << in << ".." << outMark;
                if (!name.IsEmpty()) {
                    out << ", " << name.ToUtf8();
                }
                out << "\n";
            }
        }
    }
    return S_OK;
}

}  // namespace tmsctl

namespace tmsctl {

HRESULT CTimelineScript::Schedule(bool cancel, const std::vector<std::string>& a,
                                  const char** usage) {
    static const char* const kUsage =
        "schedule TOKEN|. NAME at=tick:+N|tick:N|gpi:N|defaultgpi:N|clock:V|gang:V,OPID "
        "FIELD=VALUE... (as change); unschedule TOKEN|. NAME";
    std::uint32_t token = 0;
    if (a.size() < 2 || !Token(a[0], &token) || (cancel && a.size() != 2) ||
        (!cancel && (a.size() < 3 || a[2].rfind("at=", 0) != 0))) {
        *usage = kUsage;
        return S_OK;
    }
    TmsPortContextCondition condition = TmsCtxAtTickcount;
    std::uint32_t trigger = 0;
    if (!cancel) {
        const std::string at = a[2].substr(3);
        const std::size_t colon = at.find(':');
        const std::string kind = at.substr(0, colon);
        std::string value = colon == std::string::npos ? "" : at.substr(colon + 1);
        long number = 0, operation = 0;
        bool ok = false;
        if (kind == "tick" && !value.empty() && value[0] == '+') {
            // Ahead of the tick the RTS publishes now.
            unsigned now = 0;
            ok = ToLong(value.substr(1), &number, "at=tick:+", 0, kUInt32Max) && m_rts.Open() &&
                 m_rts.GetTickCount(static_cast<int>(token >> 16), &now);
            trigger = now + static_cast<std::uint32_t>(number);
        } else if (kind == "tick" || kind == "clock") {
            ok = ToLong(value, &number, "at=", 0, kUInt32Max);
            condition = kind == "tick" ? TmsCtxAtTickcount : TmsCtxAtClockWatcher;
            trigger = static_cast<std::uint32_t>(number);
        } else if (kind == "gpi" || kind == "defaultgpi") {
            ok = ToLong(value, &number, "at=gpi:", 0, 31);
            condition = kind == "gpi" ? TmsCtxAtGpi : TmsCtxDefaultAtGpi;
            trigger = static_cast<std::uint32_t>(number);
        } else if (kind == "gang") {
            const std::size_t comma = value.find(',');
            ok = comma != std::string::npos &&
                 ToLong(value.substr(0, comma), &number, "at=gang:", 0, 0xFFFF) &&
                 ToLong(value.substr(comma + 1), &operation, "at=gang:,OPID", 0, 0xFFFF);
            condition = TmsCtxAtGangWatcher;
            trigger =
                static_cast<std::uint32_t>(operation) << 16 | static_cast<std::uint32_t>(number);
        }
        if (!ok) {
            *usage = kUsage;
            return S_OK;
        }
    }
    unsigned char record[124] = {};
    const std::vector<std::string> fields(a.begin() + (cancel ? 2 : 3), a.end());
    if (!ChangeRecord(token, fields, usage, record)) {
        return S_OK;
    }
    HRESULT hr = S_OK;
    CComPtr<ITmsContextBroker> broker = Broker(&hr);
    return SUCCEEDED(hr) ? broker->ApplyScheduledChange(token, CBstr(a[1]), condition, trigger,
                                                        cancel ? 1 : 0, sizeof record, record)
                         : hr;
}

}  // namespace tmsctl
