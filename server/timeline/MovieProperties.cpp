// CMovie: properties by name.
#include <functional>
#include <map>

#include "platform/com/ComError.h"
#include "platform/com/VariantArray.h"
#include "server/timeline/Movie.h"
#include "server/timeline/MovieError.h"
#include "server/timeline/PropertyNames.h"
#include "server/timeline/TimecodeFormat.h"

namespace {

// A thumbnail larger than this is a caller's mistake, not a picture.
constexpr std::size_t kMaxThumbnailBytes = 4 * 1024 * 1024;

std::int32_t TrackCountOf(const MovieState& s, bool (*match)(std::int32_t)) {
    std::int32_t count = 0;
    for (const auto& [key, track] : s.tracks) {
        count += match(key.first) ? 1 : 0;
    }
    return count;
}

using Getter = std::function<CVariant(const CMovieName&, const MovieState&)>;

Getter Field(std::int32_t MovieState::*field) {
    return [field](const CMovieName&, const MovieState& s) { return CVariant(s.*field); };
}

Getter Flag(bool MovieState::*field) {
    return [field](const CMovieName&, const MovieState& s) { return CVariant(s.*field); };
}

Getter Count(bool (*match)(std::int32_t)) {
    return [match](const CMovieName&, const MovieState& s) {
        return CVariant(TrackCountOf(s, match));
    };
}

Getter Text(std::string (*text)(const CMovieName&, const MovieState&)) {
    return [text](const CMovieName& n, const MovieState& s) { return CVariant(text(n, s)); };
}

CTimecodeFormat TimecodeOf(const MovieState& s) {
    return CTimecodeFormat(s.videoFormat);
}

// Built once; the names are lower-case.
const std::map<std::string, Getter>& Getters() {
    static const std::map<std::string, Getter> getters = {
        {"moviename", Text([](const CMovieName& n, const MovieState&) { return n.Movie(); })},
        {"datasetname", Text([](const CMovieName& n, const MovieState&) { return n.Dataset(); })},
        {"groupname", Text([](const CMovieName& n, const MovieState&) { return n.Group(); })},
        {"uri", Text([](const CMovieName& n, const MovieState&) { return n.Uri(); })},
        {"assettype", Text([](const CMovieName&, const MovieState& s) { return s.assetType; })},
        {"videoformat", Text([](const CMovieName&, const MovieState& s) { return s.videoFormat; })},
        {"markin", Field(&MovieState::markIn)},
        {"markout", Field(&MovieState::markOut)},
        {"markmode", Field(&MovieState::markMode)},
        {"minmarkin",
         [](const CMovieName&, const MovieState&) { return CVariant(std::int32_t{0}); }},
        {"maxmarkout", [](const CMovieName&, const MovieState& s) { return CVariant(s.Length()); }},
        {"maxlength", Field(&MovieState::maxLength)},
        {"length", [](const CMovieName&, const MovieState& s) { return CVariant(s.Length()); }},
        {"markinstr", Text([](const CMovieName&, const MovieState& s) {
             return TimecodeOf(s).PositionText(s.markIn);
         })},
        {"markoutstr", Text([](const CMovieName&, const MovieState& s) {
             return TimecodeOf(s).PositionText(s.markOut);
         })},
        {"starttimecodestr", Text([](const CMovieName&, const MovieState& s) {
             return TimecodeOf(s).PackedText(s.startTimecode);
         })},
        {"starttimecode", Field(&MovieState::startTimecode)},
        {"firsttimecodemask", Field(&MovieState::startTimecode)},
        {"endtimecode", Field(&MovieState::endTimecode)},
        {"numa", Count([](std::int32_t t) { return t == tmstrack::kAudio; })},
        {"numt", Count([](std::int32_t t) { return t == tmstrack::kTimecode; })},
        {"numv", Count([](std::int32_t t) { return tmstrack::IsVideo(t); })},
        {"numancdata", Count([](std::int32_t t) { return t == tmstrack::kAncillaryData; })},
        {"underconstruction", Flag(&MovieState::underConstruction)},
        {"constructionflags", Field(&MovieState::constructionFlags)},
        {"gangflags", Field(&MovieState::gangFlags)},
        {"locked", Flag(&MovieState::locked)},
        {"readonly", Flag(&MovieState::readOnly)},
        {"repeat", Flag(&MovieState::repeat)},
        {"continuousrecord", Flag(&MovieState::continuousRecord)},
        {"thumbnailmark", Field(&MovieState::thumbnailMark)},
        {"thumbnailimage",
         [](const CMovieName&, const MovieState& s) {
             return MakeByteArray(s.thumbnailImage.data(), s.thumbnailImage.size());
         }},
    };
    return getters;
}

}  // namespace

CVariant CMovie::PropertyOf(const MovieState& s, const std::string& name) const {
    const auto it = Getters().find(name);
    if (it == Getters().end()) {
        Refuse("'" + name + "' is not a movie property");
    }
    return it->second(m_name, s);
}

CVariant CMovie::GetProperty(const std::string& name) const {
    const std::vector<std::string> names = SplitPropertyNames(name);
    if (names.size() != 1) {
        Refuse("GetProperty reads one property, not '" + name + "' (GetProperties reads several)");
    }
    return Read([&](const MovieState& s) { return PropertyOf(s, names.front()); });
}

CVariant CMovie::GetProperties(const std::string& names) const {
    const std::vector<std::string> list = SplitPropertyNames(names);
    return Read([&](const MovieState& s) {
        std::vector<CVariant> values;
        values.reserve(list.size());
        for (const std::string& name : list) {
            values.push_back(PropertyOf(s, name));
        }
        return MakeVariantArray(values);
    });
}

void CMovie::SetProperty(const std::string& rawName, const VARIANT& value) {
    const std::vector<std::string> names = SplitPropertyNames(rawName);
    const std::string& name = names.front();
    if (names.size() != 1) {
        Refuse("SetProperty sets one property, not '" + rawName + "'");
    }
    // The value converted, or a failure naming the property and the type it takes.
    const auto as = [&](VARTYPE vt, const char* typeName) {
        CVariant converted;
        try {
            converted.ChangeType(vt, &value);
        } catch (const _com_error&) {
            Refuse("property '" + rawName + "' takes " + typeName + ", not a VARIANT of type " +
                   std::to_string(value.vt));
        }
        return converted;
    };
    const auto boolean = [&](bool MovieState::*field) {
        const bool on = as(VT_BOOL, "a boolean").ToBool();
        Change([&](MovieState& s) { s.*field = on; });
    };
    if (name == "locked") {
        boolean(&MovieState::locked);
    } else if (name == "readonly") {
        boolean(&MovieState::readOnly);
    } else if (name == "repeat") {
        boolean(&MovieState::repeat);
    } else if (name == "continuousrecord") {
        boolean(&MovieState::continuousRecord);
    } else if (name == "assettype") {
        const std::string text = as(VT_BSTR, "a text").ToString();
        if (text.find('\0') != std::string::npos) {
            Refuse("the asset type has a NUL character");
        }
        Change([&](MovieState& s) { s.assetType = text; });
    } else if (name == "starttimecode") {
        // A packed timecode with bit 31 set may come as a signed or an unsigned value.
        const bool isUnsigned = (value.vt & VT_TYPEMASK) == VT_UI4;
        const std::int32_t packed =
            isUnsigned ? static_cast<std::int32_t>(as(VT_UI4, "a packed timecode").ToUInt32())
                       : as(VT_I4, "a packed timecode").ToInt32();
        Change([&](MovieState& s) {
            const std::string problem = CTimecodeFormat(s.videoFormat).PackedProblem(packed);
            if (!problem.empty()) {
                Refuse("the start timecode " + std::to_string(packed) + " " + problem);
            }
            s.startTimecode = packed < 0 ? kNoTimecode : packed;
        });
    } else if (name == "thumbnailmark") {
        const std::int32_t mark = as(VT_I4, "a position").ToInt32();
        if (mark < -1) {
            Refuse("thumbnail mark " + std::to_string(mark) + " is not a position (-1: none)");
        }
        Change([&](MovieState& s) { s.thumbnailMark = mark; });
    } else if (name == "thumbnailimage") {
        std::vector<BYTE> image;
        try {
            image = ReadByteArray(value);
        } catch (const _com_error&) {
            Refuse("property 'thumbnailImage' takes a VT_ARRAY | VT_UI1, not a VARIANT of type " +
                   std::to_string(value.vt));
        }
        if (image.size() > kMaxThumbnailBytes) {
            Refuse("a thumbnail of " + std::to_string(image.size()) + " bytes is above the " +
                   std::to_string(kMaxThumbnailBytes) + " a movie keeps");
        }
        Change([&](MovieState& s) { s.thumbnailImage.assign(image.begin(), image.end()); });
    } else {
        // Tell a read-only property from a name that is none.
        Read([&](const MovieState& s) { return PropertyOf(s, name); });
        Refuse("property '" + rawName + "' cannot be set");
    }
}
