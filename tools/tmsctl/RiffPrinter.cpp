#include "tools/tmsctl/RiffPrinter.h"

#include "tmschannel/rts/RtsMessageFormat.h"

#include <cstdio>
#include <cstring>

namespace tmsctl {

namespace {

using namespace rts;

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

std::string CodeText(std::uint32_t code) {
    std::string s = "'";
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((code >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s + "'";
}

enum class Kind { I32, U32, U16, I16, U8, F32, Text, Flags, Trigger, PortState, StopMode };

struct Field {
    const char* name;
    std::size_t offset;
    Kind kind;
    std::size_t width = 4;  // Text only
};

struct Layout {
    std::uint32_t id;
    std::size_t size;
    std::vector<Field> fields;
};

const std::vector<Layout>& Layouts() {
    static const std::vector<Layout> layouts = {
        {kChunkOwner,
         112,
         {{"channelIndex", 0, Kind::I32},
          {"channelId", 4, Kind::Text, 36},
          {"application", 40, Kind::Text, 36},
          {"appServerId", 76, Kind::Text, 36}}},
        {kChunkContext,
         56,
         {{"contextIndex", 0, Kind::I32},
          {"flags", 4, Kind::Flags},
          {"changeId", 8, Kind::I32},
          {"trigger", 12, Kind::Trigger},
          {"portState", 20, Kind::PortState},
          {"position", 24, Kind::I32},
          {"minPosition", 28, Kind::I32},
          {"maxPosition", 32, Kind::I32},
          {"endMode", 36, Kind::StopMode},
          {"idleMode", 40, Kind::StopMode},
          {"speed", 44, Kind::F32},
          {"markIn", 48, Kind::I32},
          {"markOut", 52, Kind::I32}}},
        {kChunkSchedule,
         48,
         {{"condition", 0, Kind::I32},
          {"triggerValue", 4, Kind::I32},
          {"name", 8, Kind::Text, 36},
          {"cancel", 44, Kind::U8}}},
        {kChunkFileRead,
         264,
         {{"fileCode", 0, Kind::U16},
          {"mediaFileType", 4, Kind::I32},
          {"handleName", 8, Kind::Text, 256}}},
        {kChunkFileWrite,
         264,
         {{"fileCode", 0, Kind::U16},
          {"mediaFileType", 4, Kind::I32},
          {"handleName", 8, Kind::Text, 256}}},
        {kChunkFileClose,
         264,
         {{"fileCode", 0, Kind::U16},
          {"mediaFileType", 4, Kind::I32},
          {"handleName", 8, Kind::Text, 256}}},
        {kChunkResource, 72, {{"indexText", 0, Kind::Text, 36}, {"typeName", 36, Kind::Text, 36}}},
        {kChunkVideo,
         32,
         {{"start", 0, Kind::I32},
          {"fileCode", 4, Kind::U16},
          {"mediaPosition", 8, Kind::I32},
          {"remaining", 16, Kind::I32},
          {"offset", 20, Kind::I32},
          {"videoFlags", 26, Kind::U16}}},
        {kChunkAudio,
         48,
         {{"start", 0, Kind::I32},
          {"fileCode", 4, Kind::U16},
          {"mediaPosition", 8, Kind::I32},
          {"remaining", 16, Kind::I32},
          {"offset", 20, Kind::I32},
          {"gain", 28, Kind::I16}}},
        {kChunkTimecode,
         20,
         {{"start", 0, Kind::I32},
          {"fileCode", 4, Kind::I32},
          {"mediaPosition", 8, Kind::I32},
          {"remaining", 12, Kind::I32},
          {"offset", 16, Kind::I32}}},
        {kChunkAncData,
         20,
         {{"start", 0, Kind::I32},
          {"fileCode", 4, Kind::I32},
          {"mediaPosition", 8, Kind::I32},
          {"remaining", 12, Kind::I32},
          {"offset", 16, Kind::I32}}},
        {kChunkGpi, 8, {{"position", 0, Kind::I32}, {"mask", 4, Kind::U32}}},
        {kChunkAck, 8, {{"status", 0, Kind::I32}, {"extra", 4, Kind::I32}}},
    };
    return layouts;
}

std::string FlagWords(std::uint32_t flags) {
    static const struct {
        std::uint32_t bit;
        const char* word;
    } words[] = {
        {kFlagTrigger, "trig"},    {kFlagPausePoint, "pausePoint"}, {kFlagPortState, "portState"},
        {kFlagPosition, "pos"},    {kFlagMinPos, "minPos"},         {kFlagMaxPos, "maxPos"},
        {kFlagEndMode, "endMode"}, {kFlagIdleMode, "idleMode"},     {kFlagSpeed, "speed"},
        {kFlagMarks, "marks"},     {kFlagPurge, "purge"},           {kFlagStopAsIdle, "stopAsIdle"},
        {kFlagAtLimit, "atLimit"}};
    std::string s;
    for (const auto& w : words) {
        if (flags & w.bit) {
            s += s.empty() ? "" : " ";
            s += w.word;
        }
    }
    return s;
}

std::string Named(std::int32_t v, std::initializer_list<const char*> names) {
    std::size_t i = 0;
    for (const char* n : names) {
        if (static_cast<std::int32_t>(i) == v) {
            return std::to_string(v) + " (" + n + ")";
        }
        ++i;
    }
    return std::to_string(v);
}

}  // namespace

bool CRiffPrinter::Print(const std::uint8_t* data, std::size_t size) {
    m_error.clear();
    if (size < 12) {
        Fail("message of " + std::to_string(size) + " bytes is shorter than a RIFF header (12)");
        return false;
    }
    if (Le32(data) != FourCC("RIFF")) {
        Fail("message does not start with 'RIFF' (found " + CodeText(Le32(data)) + ")");
        return false;
    }
    std::uint64_t riffSize = Le32(data + 4);
    std::uint32_t form = Le32(data + 8);
    m_out << "RIFF " << CodeText(form) << " size " << riffSize << "\n";
    std::size_t end = size;
    bool sizeOk = riffSize + 8 <= size && riffSize >= 4;
    if (sizeOk) {
        end = static_cast<std::size_t>(riffSize + 8);
    }
    bool ok = Walk(data, 12, end, 1, form);
    if (!ok && !sizeOk) {
        m_error = "message truncated: RIFF size " + std::to_string(riffSize) + " claims " +
                  std::to_string(riffSize + 8) + " bytes but there are " + std::to_string(size) +
                  "; " + m_error;
        return false;
    }
    if (ok && !sizeOk) {
        Fail("RIFF size " + std::to_string(riffSize) + " claims " + std::to_string(riffSize + 8) +
             " bytes but the message has " + std::to_string(size));
        return false;
    }
    if (ok && end < size) {
        m_out << "(" << (size - end) << " bytes after the RIFF chunk)\n";
    }
    return ok;
}

bool CRiffPrinter::Walk(const std::uint8_t* data, std::size_t pos, std::size_t end, int depth,
                        std::uint32_t form) {
    while (pos < end) {
        if (end - pos < 8) {
            Fail("truncated chunk header at offset " + std::to_string(pos) + " (" +
                 std::to_string(end - pos) + " bytes left)");
            return false;
        }
        std::uint32_t id = Le32(data + pos);
        std::uint64_t size = Le32(data + pos + 4);
        std::size_t body = pos + 8;
        if (size > end - body) {
            Fail("chunk " + CodeText(id) + " at offset " + std::to_string(pos) + " claims " +
                 std::to_string(size) + " bytes but only " + std::to_string(end - body) +
                 " remain in its parent");
            return false;
        }
        if (id == FourCC("LIST")) {
            if (size < 4) {
                Fail("LIST at offset " + std::to_string(pos) + " is too small for its type");
                return false;
            }
            m_out << Indent(depth) << "LIST " << CodeText(Le32(data + body)) << " size " << size
                  << "\n";
            if (!Walk(data, body + 4, body + static_cast<std::size_t>(size), depth + 1, form)) {
                return false;
            }
        } else {
            m_out << Indent(depth) << CodeText(id) << " " << size << " bytes\n";
            PrintBody(id, data + body, static_cast<std::size_t>(size), depth + 1);
        }
        // Chunks of odd size carry a pad byte, as RIFF readers expect.
        std::size_t next = body + static_cast<std::size_t>(size) + (size & 1u);
        pos = next > end ? end : next;
    }
    return true;
}

void CRiffPrinter::PrintBody(std::uint32_t id, const std::uint8_t* body, std::size_t size,
                             int depth) {
    if (id == kChunkConfig) {
        std::size_t n = strnlen(reinterpret_cast<const char*>(body), size);
        m_out << Indent(depth) << "text (" << n << " characters):\n";
        std::string text(reinterpret_cast<const char*>(body), n);
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t nl = text.find('\n', start);
            std::string line = text.substr(start, nl == std::string::npos ? nl : nl - start);
            m_out << Indent(depth + 1) << line << "\n";
            if (nl == std::string::npos) {
                break;
            }
            start = nl + 1;
        }
        return;
    }
    for (const Layout& layout : Layouts()) {
        if (layout.id != id) {
            continue;
        }
        if (size != layout.size) {
            m_out << Indent(depth) << "(size " << size << ", expected " << layout.size << ")\n";
        }
        for (const Field& f : layout.fields) {
            std::size_t width = f.kind == Kind::Text                           ? f.width
                                : (f.kind == Kind::U16 || f.kind == Kind::I16) ? 2
                                : f.kind == Kind::U8                           ? 1
                                                                               : 4;
            if (f.offset + width > size) {
                break;
            }
            const std::uint8_t* p = body + f.offset;
            std::string value;
            char buf[64];
            switch (f.kind) {
                case Kind::I32:
                    value = std::to_string(static_cast<std::int32_t>(Le32(p)));
                    break;
                case Kind::U32:
                    std::snprintf(buf, sizeof buf, "0x%08x", Le32(p));
                    value = buf;
                    break;
                case Kind::U16:
                    value = std::to_string(p[0] | p[1] << 8);
                    break;
                case Kind::I16:
                    value = std::to_string(static_cast<std::int16_t>(p[0] | p[1] << 8));
                    break;
                case Kind::U8:
                    value = std::to_string(p[0]);
                    break;
                case Kind::F32: {
                    std::uint32_t bits = Le32(p);
                    float v;
                    std::memcpy(&v, &bits, sizeof v);
                    std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v));
                    value = buf;
                    break;
                }
                case Kind::Text:
                    value = "\"" +
                            std::string(reinterpret_cast<const char*>(p),
                                        strnlen(reinterpret_cast<const char*>(p), width)) +
                            "\"";
                    break;
                case Kind::Flags:
                    std::snprintf(buf, sizeof buf, "0x%04x", Le32(p));
                    value = std::string(buf) + " (" + FlagWords(Le32(p)) + ")";
                    break;
                case Kind::Trigger:
                    value = Named(static_cast<std::int32_t>(Le32(p)),
                                  {"none", "Asap", "Manual", "Follow", "Now"});
                    break;
                case Kind::PortState:
                    value = Named(static_cast<std::int32_t>(Le32(p)),
                                  {"Idle", "CuePlay", "ShuttlePlay", "CueRecord", "ShuttleRecord"});
                    break;
                case Kind::StopMode:
                    value = Named(static_cast<std::int32_t>(Le32(p)),
                                  {"Freeze", "EE", "Black", "Default"});
                    break;
            }
            m_out << Indent(depth) << f.name << " " << value << "\n";
        }
        return;
    }
    PrintHex(body, size, depth);
}

void CRiffPrinter::PrintHex(const std::uint8_t* body, std::size_t size, int depth) {
    for (std::size_t row = 0; row < size; row += 16) {
        m_out << Indent(depth);
        char buf[8];
        for (std::size_t i = row; i < row + 16 && i < size; ++i) {
            std::snprintf(buf, sizeof buf, "%02x ", body[i]);
            m_out << buf;
        }
        m_out << "\n";
    }
}

void CRiffPrinter::Fail(const std::string& what) {
    m_error = what;
}

}  // namespace tmsctl
