#include "server/timeline/MovieFileFormat.h"

#include <pugixml.hpp>

#include <charconv>
#include <set>

#include "server/timeline/MovieError.h"
#include "server/timeline/TimecodeFormat.h"
#include "server/timeline/TimelineErrors.h"
#include "server/timeline/VideoFormatNames.h"

namespace {

constexpr int kVersion = 1;
constexpr char kHex[] = "0123456789ABCDEF";

[[noreturn]] void Corrupt(const std::string& what) {
    throw CMovieError(TIMELINE_E_MOVIE_CORRUPT, what);
}

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0xF];
    }
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::vector<std::uint8_t> FromHex(const std::string& text, const std::string& what) {
    if (text.size() % 2 != 0) {
        Corrupt(what + " has an odd number of hex digits");
    }
    std::vector<std::uint8_t> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexDigit(text[2 * i]);
        const int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            Corrupt(what + " has a character that is not a hex digit at " + std::to_string(2 * i));
        }
        bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return bytes;
}

void Put(pugi::xml_node node, const char* name, const std::string& value) {
    node.append_attribute(name).set_value(value.c_str());
}
void Put(pugi::xml_node node, const char* name, std::int64_t value) {
    Put(node, name, std::to_string(value));
}
void PutBool(pugi::xml_node node, const char* name, bool value) {
    Put(node, name, std::string(value ? "true" : "false"));
}

// Reads the attributes of one element, naming the element in every failure.
class CElementReader {
public:
    CElementReader(pugi::xml_node node, std::string what) : m_node(node), m_what(std::move(what)) {}

    std::string Text(const char* name) const {
        const pugi::xml_attribute a = m_node.attribute(name);
        if (!a) {
            Corrupt(m_what + " has no attribute '" + name + "'");
        }
        return a.value();
    }

    template <class T>
    T Number(const char* name, std::int64_t low, std::int64_t high) const {
        const std::string text = Text(name);
        std::int64_t value = 0;
        const char* end = text.data() + text.size();
        const auto [ptr, ec] = std::from_chars(text.data(), end, value);
        const bool tooLarge = ec == std::errc::result_out_of_range && ptr == end;
        if ((ec != std::errc() && !tooLarge) || ptr != end || text.empty()) {
            Corrupt(m_what + " attribute '" + name + "' is not a number: '" + text + "'");
        }
        if (tooLarge || value < low || value > high) {
            Corrupt(m_what + " attribute '" + name + "' is " + text + ", outside " +
                    std::to_string(low) + " to " + std::to_string(high));
        }
        return static_cast<T>(value);
    }

    std::int32_t Int(const char* name, std::int64_t low = INT32_MIN,
                     std::int64_t high = INT32_MAX) const {
        return Number<std::int32_t>(name, low, high);
    }

    bool Bool(const char* name) const {
        const std::string text = Text(name);
        if (text != "true" && text != "false") {
            Corrupt(m_what + " attribute '" + name + "' is not true or false: '" + text + "'");
        }
        return text == "true";
    }

    const std::string& What() const { return m_what; }

private:
    pugi::xml_node m_node;
    std::string m_what;
};

// A packed timecode of the movie's rate, or the one value that means none.
std::int32_t ReadTimecode(const CElementReader& r, const char* name,
                          const std::string& videoFormat) {
    const std::int32_t packed = r.Int(name);
    if (packed < 0 && packed != kNoTimecode) {
        Corrupt(r.What() + " attribute '" + name + "' is " + std::to_string(packed) +
                ", neither a timecode nor " + std::to_string(kNoTimecode) + " (none)");
    }
    const std::string problem = CTimecodeFormat(videoFormat).PackedProblem(packed);
    if (!problem.empty()) {
        Corrupt(r.What() + " attribute '" + name + "' is " + std::to_string(packed) + ", which " +
                problem);
    }
    return packed;
}

std::string TrackText(const TrackKey& key) {
    return "track (" + std::to_string(key.first) + ", " + std::to_string(key.second) + ")";
}

MovieSegment ReadSegment(pugi::xml_node node, const std::string& what) {
    CElementReader r(node, what);
    MovieSegment s;
    s.code = r.Number<std::uint16_t>("code", 1, kLastSegmentCode);
    s.fileType = r.Int("fileType");
    s.name = r.Text("name");
    s.uuid = r.Text("uuid");
    s.naturalDuration = r.Int("naturalDuration", 0);
    // Trimming only shortens a segment.
    s.duration = r.Int("duration", 0, s.naturalDuration);
    s.mediaIn = r.Int("mediaIn", 0);
    // An empty media range ends just before it starts.
    s.mediaOut = r.Int("mediaOut", std::int64_t{s.mediaIn} - 1);
    s.flags = r.Number<std::uint16_t>("flags", 0, 0xFFFF);
    s.userData = r.Number<std::uint32_t>("userData", 0, 0xFFFFFFFF);
    const std::vector<std::uint8_t> block = FromHex(r.Text("mediaData"), what + " media data");
    if (block.size() != s.mediaData.size()) {
        Corrupt(what + " media data has " + std::to_string(block.size()) + " bytes, not " +
                std::to_string(s.mediaData.size()));
    }
    std::copy(block.begin(), block.end(), s.mediaData.begin());
    return s;
}

// Reads the common part of a section or an edit.
void ReadSpan(const CElementReader& r, MovieSpan& span) {
    span.uuid = r.Text("uuid");
    span.name = r.Text("name");
    span.start = r.Int("start", 0);
    span.duration = r.Int("duration", 1);
    if (span.uuid.empty()) {
        Corrupt(r.What() + " has an empty uuid");
    }
    if (std::int64_t{span.start} + span.duration > INT32_MAX) {
        Corrupt(r.What() + " ends past the last position");
    }
}

template <class Span>
void CheckSpans(std::vector<Span>& spans, const char* kind) {
    std::sort(spans.begin(), spans.end(),
              [](const Span& a, const Span& b) { return a.start < b.start; });
    std::set<std::string> uuids;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        if (!uuids.insert(spans[i].uuid).second) {
            Corrupt(std::string("two ") + kind + "s have the uuid " + spans[i].uuid);
        }
        if (i > 0 && spans[i - 1].start + spans[i - 1].duration > spans[i].start) {
            Corrupt(std::string(kind) + " " + spans[i].uuid + " overlaps " + kind + " " +
                    spans[i - 1].uuid);
        }
    }
}

void ReadTracks(pugi::xml_node root, MovieState& state) {
    std::set<std::uint16_t> codes;
    for (pugi::xml_node t : root.children("track")) {
        CElementReader r(t, "a track");
        const TrackKey key{r.Int("type", 0), r.Int("number", 0)};
        if (!IsMovieTrackType(key.first)) {
            Corrupt(TrackText(key) + " has an unknown track type");
        }
        MovieTrack track;
        track.label = r.Text("label");
        std::int64_t end = 0;
        for (pugi::xml_node s : t.children("segment")) {
            const std::string what =
                "segment " + std::to_string(track.segments.size()) + " of " + TrackText(key);
            track.segments.push_back(ReadSegment(s, what));
            const MovieSegment& seg = track.segments.back();
            if (seg.code >= state.nextSegmentCode) {
                Corrupt(what + " has the code " + std::to_string(seg.code) +
                        ", not below the next code " + std::to_string(state.nextSegmentCode));
            }
            if (!codes.insert(seg.code).second) {
                Corrupt(what + " repeats the segment code " + std::to_string(seg.code));
            }
            end += seg.duration;
            if (end > INT32_MAX) {
                Corrupt(TrackText(key) + " ends past the last position");
            }
        }
        if (!state.tracks.emplace(key, std::move(track)).second) {
            Corrupt(TrackText(key) + " appears twice");
        }
    }
    // Tracks of a type are numbered from 0 without gaps.
    for (const auto& [key, track] : state.tracks) {
        if (key.second > 0 && state.tracks.count({key.first, key.second - 1}) == 0) {
            Corrupt(TrackText(key) + " follows no track " + std::to_string(key.second - 1));
        }
    }
}

}  // namespace

std::string MovieFileText(const MovieState& state) {
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version").set_value("1.0");
    decl.append_attribute("encoding").set_value("UTF-8");
    pugi::xml_node root = doc.append_child("movie");
    Put(root, "version", kVersion);
    Put(root, "nextSegmentCode", state.nextSegmentCode);
    Put(root, "assetType", state.assetType);
    Put(root, "videoFormat", state.videoFormat);
    Put(root, "markIn", state.markIn);
    Put(root, "markOut", state.markOut);
    Put(root, "markMode", state.markMode);
    Put(root, "maxLength", state.maxLength);
    PutBool(root, "locked", state.locked);
    PutBool(root, "readOnly", state.readOnly);
    PutBool(root, "repeat", state.repeat);
    PutBool(root, "continuousRecord", state.continuousRecord);
    PutBool(root, "underConstruction", state.underConstruction);
    Put(root, "constructionFlags", state.constructionFlags);
    Put(root, "gangFlags", state.gangFlags);
    Put(root, "startTimecode", state.startTimecode);
    Put(root, "endTimecode", state.endTimecode);
    Put(root, "thumbnailMark", state.thumbnailMark);
    if (!state.thumbnailImage.empty()) {
        root.append_child("thumbnail")
            .text()
            .set(Hex(state.thumbnailImage.data(), state.thumbnailImage.size()).c_str());
    }
    for (const auto& [key, track] : state.tracks) {
        pugi::xml_node t = root.append_child("track");
        Put(t, "type", key.first);
        Put(t, "number", key.second);
        Put(t, "label", track.label);
        for (const MovieSegment& s : track.segments) {
            pugi::xml_node n = t.append_child("segment");
            Put(n, "code", s.code);
            Put(n, "fileType", s.fileType);
            Put(n, "name", s.name);
            Put(n, "uuid", s.uuid);
            Put(n, "naturalDuration", s.naturalDuration);
            Put(n, "duration", s.duration);
            Put(n, "mediaIn", s.mediaIn);
            Put(n, "mediaOut", s.mediaOut);
            Put(n, "flags", s.flags);
            Put(n, "userData", s.userData);
            Put(n, "mediaData", Hex(s.mediaData.data(), s.mediaData.size()));
        }
    }
    for (const MovieSpan& s : state.sections) {
        pugi::xml_node n = root.append_child("section");
        Put(n, "uuid", s.uuid);
        Put(n, "name", s.name);
        Put(n, "start", s.start);
        Put(n, "duration", s.duration);
    }
    for (const MovieEdit& e : state.edits) {
        pugi::xml_node n = root.append_child("edit");
        Put(n, "uuid", e.uuid);
        Put(n, "name", e.name);
        Put(n, "start", e.start);
        Put(n, "duration", e.duration);
        PutBool(n, "repeat", e.repeat);
        Put(n, "pauseMode", e.pauseMode);
    }
    struct StringWriter : pugi::xml_writer {
        std::string text;
        void write(const void* data, std::size_t size) override {
            text.append(static_cast<const char*>(data), size);
        }
    } writer;
    doc.save(writer, "  ", pugi::format_default | pugi::format_no_declaration, pugi::encoding_utf8);
    return writer.text;
}

MovieState ParseMovieFileText(const std::string& text) {
    pugi::xml_document doc;
    // Attribute white space stays as written: labels and names keep their
    // tabs and line breaks (the writer escapes them).
    const unsigned options = pugi::parse_default & ~pugi::parse_wconv_attribute;
    const pugi::xml_parse_result parsed =
        doc.load_buffer(text.data(), text.size(), options, pugi::encoding_utf8);
    if (!parsed) {
        Corrupt(std::string(parsed.description()) + " at byte " + std::to_string(parsed.offset));
    }
    pugi::xml_node root;
    for (pugi::xml_node n : doc.children()) {
        if (n.type() == pugi::node_element) {
            if (root) {
                Corrupt("there is more than one top element");
            }
            root = n;
        }
    }
    if (!root || std::string(root.name()) != "movie") {
        Corrupt("the top element is not <movie>");
    }
    CElementReader r(root, "<movie>");
    if (r.Int("version") != kVersion) {
        Corrupt("version " + r.Text("version") + " is not known (this server reads version " +
                std::to_string(kVersion) + ")");
    }
    MovieState state;
    state.nextSegmentCode = r.Number<std::uint32_t>("nextSegmentCode", 1, kLastSegmentCode + 1);
    state.assetType = r.Text("assetType");
    state.videoFormat = r.Text("videoFormat");
    if (!IsMovieVideoFormatName(state.videoFormat)) {
        Corrupt("<movie> attribute 'videoFormat' is '" + state.videoFormat +
                "', not a known video format");
    }
    state.markIn = r.Int("markIn", 0);
    state.markOut = r.Int("markOut", 0);
    state.markMode = r.Int("markMode");
    state.maxLength = r.Int("maxLength", 0);
    state.locked = r.Bool("locked");
    state.readOnly = r.Bool("readOnly");
    state.repeat = r.Bool("repeat");
    state.continuousRecord = r.Bool("continuousRecord");
    state.underConstruction = r.Bool("underConstruction");
    state.constructionFlags = r.Int("constructionFlags");
    state.gangFlags = r.Int("gangFlags");
    state.startTimecode = ReadTimecode(r, "startTimecode", state.videoFormat);
    state.endTimecode = ReadTimecode(r, "endTimecode", state.videoFormat);
    state.thumbnailMark = r.Int("thumbnailMark", -1);
    if (state.markIn > state.markOut) {
        Corrupt("mark in " + std::to_string(state.markIn) + " is after mark out " +
                std::to_string(state.markOut));
    }
    if (pugi::xml_node thumb = root.child("thumbnail")) {
        state.thumbnailImage = FromHex(thumb.text().get(), "the thumbnail");
    }
    ReadTracks(root, state);
    for (pugi::xml_node n : root.children("section")) {
        MovieSpan span;
        ReadSpan(CElementReader(n, "section " + std::to_string(state.sections.size())), span);
        state.sections.push_back(std::move(span));
    }
    for (pugi::xml_node n : root.children("edit")) {
        CElementReader er(n, "edit " + std::to_string(state.edits.size()));
        MovieEdit edit;
        ReadSpan(er, edit);
        edit.repeat = er.Bool("repeat");
        edit.pauseMode = er.Int("pauseMode", -1);
        state.edits.push_back(std::move(edit));
    }
    CheckSpans(state.sections, "section");
    CheckSpans(state.edits, "edit");
    return state;
}
