#include "server/rtssim/RtsMessageChecker.h"

#include <cmath>
#include <cstring>
#include <vector>

std::string RtsFourCcText(std::uint32_t code) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = static_cast<unsigned char>(code >> (8 * i));
        if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return "\"" + text + "\"";
}

namespace {

constexpr std::uint32_t kRiff = RtsFourCc("RIFF");
constexpr std::uint32_t kList = RtsFourCc("LIST");
constexpr int kMaxFileChunks = 36;
constexpr int kMaxResources = 20;
constexpr int kMaxStatesPerList = 1000;
constexpr std::uint16_t kMaxFileCode = 1000;

struct Chunk {
    std::uint32_t id = 0;
    std::uint32_t listType = 0;  // for "LIST"
    std::size_t offset = 0;      // of the chunk header
    std::size_t body = 0;        // of the body (after a LIST's type)
    std::uint32_t size = 0;      // body bytes (a LIST's type excluded)
};

class CChecker {
public:
    CChecker(const unsigned char* data, std::size_t size, const std::set<std::uint16_t>& open)
        : m_data(data), m_size(size), m_open(open) {}

    RtsCheckResult Run() {
        Check();
        return std::move(m_result);
    }

private:
    bool Fail(RtsAckStatus status, const std::string& text, std::size_t offset) {
        m_result.status = status;
        m_result.problem = text + " at byte " + std::to_string(offset);
        return false;
    }

    std::uint32_t U32(std::size_t off) const {
        std::uint32_t v;
        std::memcpy(&v, m_data + off, 4);
        return v;
    }
    std::int32_t I32(std::size_t off) const { return static_cast<std::int32_t>(U32(off)); }
    std::uint16_t U16(std::size_t off) const {
        std::uint16_t v;
        std::memcpy(&v, m_data + off, 2);
        return v;
    }
    // A NUL-terminated text inside a fixed-width field, or false.
    bool Terminated(std::size_t off, std::size_t width) const {
        return std::memchr(m_data + off, 0, width) != nullptr;
    }
    bool Text(std::size_t off, std::size_t width, std::string* out) const {
        const void* nul = std::memchr(m_data + off, 0, width);
        if (nul == nullptr) {
            return false;
        }
        out->assign(reinterpret_cast<const char*>(m_data + off),
                    static_cast<const unsigned char*>(nul) - (m_data + off));
        return true;
    }

    // The chunks between begin and end, every one inside that range.
    bool ReadChunks(std::size_t begin, std::size_t end, std::vector<Chunk>* chunks) {
        std::size_t pos = begin;
        while (pos < end) {
            if (end - pos < 8) {
                return Fail(kAckMalformed,
                            std::to_string(end - pos) + " bytes left, too few for a chunk header",
                            pos);
            }
            Chunk c;
            c.id = U32(pos);
            c.offset = pos;
            std::uint32_t size = U32(pos + 4);
            if (size > end - pos - 8) {
                return Fail(kAckMalformed,
                            "chunk " + RtsFourCcText(c.id) + " of " + std::to_string(size) +
                                " bytes runs past its parent",
                            pos);
            }
            c.body = pos + 8;
            c.size = size;
            if (c.id == kList) {
                if (size < 4) {
                    return Fail(kAckMalformed, "LIST without a type", pos);
                }
                c.listType = U32(pos + 8);
                c.body += 4;
                c.size -= 4;
            }
            chunks->push_back(c);
            std::size_t next = pos + 8 + size + (size & 1u);
            pos = next > end ? end : next;
        }
        return true;
    }

    bool Expect(const Chunk& c, std::uint32_t id, std::uint32_t size) {
        if (c.id != id) {
            return Fail(kAckChunkOrder,
                        "expected " + RtsFourCcText(id) + ", found " + RtsFourCcText(c.id),
                        c.offset);
        }
        if (size != 0 && c.size != size) {
            return Fail(kAckChunkSize,
                        RtsFourCcText(id) + " body is " + std::to_string(c.size) + " bytes, not " +
                            std::to_string(size),
                        c.offset);
        }
        return true;
    }

    bool Range(std::int32_t value, std::int32_t low, std::int32_t high, const char* what,
               std::size_t off) {
        if (value < low || value > high) {
            return Fail(kAckBadValue,
                        std::string(what) + " " + std::to_string(value) + " is outside " +
                            std::to_string(low) + " to " + std::to_string(high),
                        off);
        }
        return true;
    }

    bool CheckCtx(const Chunk& c) {
        if (!Expect(c, RtsFourCc("ctx "), sizeof(RtsCtxRecord))) {
            return false;
        }
        RtsCtxRecord& r = m_result.message.ctx;
        std::memcpy(&r, m_data + c.body, sizeof r);
        m_result.message.hasCtx = true;
        const std::size_t b = c.body;
        if (!Range(r.context, -1, 3, "context index", b))
            return false;
        if ((r.flags & kCtxTrigger) && !Range(r.trigger, 0, 4, "trigger", b + 12))
            return false;
        if ((r.flags & kCtxPortState) && !Range(r.portState, 0, 4, "port state", b + 20))
            return false;
        if ((r.flags & kCtxEndMode) && !Range(r.endMode, 0, 3, "end mode", b + 36))
            return false;
        if ((r.flags & kCtxIdleMode) && !Range(r.idleMode, 0, 3, "idle mode", b + 40))
            return false;
        if ((r.flags & kCtxSpeed) && !std::isfinite(r.speed)) {
            return Fail(kAckBadValue, "speed is not a finite number", b + 44);
        }
        if ((r.flags & kCtxMinPosition) && (r.flags & kCtxMaxPosition) &&
            r.minPosition > r.maxPosition) {
            return Fail(kAckBadValue,
                        "minimum position " + std::to_string(r.minPosition) +
                            " is above maximum position " + std::to_string(r.maxPosition),
                        b + 28);
        }
        return true;
    }

    bool CheckOwnr(const Chunk& c) {
        if (!Expect(c, RtsFourCc("ownr"), 112))
            return false;
        for (std::size_t off : {4u, 40u, 76u}) {
            if (!Terminated(c.body + off, 36)) {
                return Fail(kAckBadValue, "owner text without its NUL", c.body + off);
            }
        }
        return true;
    }

    bool CheckCdef(const Chunk& c) {
        if (!Expect(c, RtsFourCc("cdef"), 0))
            return false;
        if (!Terminated(c.body, c.size)) {
            return Fail(kAckBadValue, "configuration text without its NUL", c.body);
        }
        m_result.message.configText.assign(reinterpret_cast<const char*>(m_data + c.body));
        return true;
    }

    bool FileCodeKnown(std::uint32_t code, std::size_t off) {
        if (code > kMaxFileCode) {
            return Fail(kAckBadValue, "file code " + std::to_string(code) + " is outside 0 to 1000",
                        off);
        }
        if (code != 0 && m_open.count(static_cast<std::uint16_t>(code)) == 0) {
            return Fail(kAckUnknownFile,
                        "file code " + std::to_string(code) + " is used before it was opened", off);
        }
        return true;
    }

    bool CheckRbuf(const Chunk& list) {
        std::vector<Chunk> kids;
        if (!ReadChunks(list.body, list.body + list.size, &kids))
            return false;
        if (kids.empty()) {
            return Fail(kAckChunkOrder, "rbuf list without \"res \"", list.offset);
        }
        if (!Expect(kids[0], RtsFourCc("res "), 72))
            return false;
        std::string index, type;
        if (!Text(kids[0].body, 36, &index) || !Text(kids[0].body + 36, 36, &type)) {
            return Fail(kAckBadValue, "resource text without its NUL", kids[0].body);
        }
        struct Kind {
            const char* type;
            std::uint32_t id;
            std::uint32_t size;
            std::size_t remainingAt;
            bool wideFileCode;  // 32-bit file code (timecode and anc-data states)
        };
        static const Kind kinds[] = {{"video", RtsFourCc("vid "), 32, 16, false},
                                     {"audio", RtsFourCc("aud "), 48, 16, false},
                                     {"timecode", RtsFourCc("tc  "), 20, 12, true},
                                     {"ancillaryData", RtsFourCc("ancd"), 20, 12, true},
                                     {"gpi", RtsFourCc("gpi "), 8, 0, false}};
        const Kind* kind = nullptr;
        for (const Kind& k : kinds) {
            if (type == k.type)
                kind = &k;
        }
        if (kind == nullptr) {
            return Fail(kAckBadValue, "unknown resource type '" + type + "'", kids[0].body + 36);
        }
        if (kids.size() - 1 > static_cast<std::size_t>(kMaxStatesPerList)) {
            return Fail(kAckTooMany, std::to_string(kids.size() - 1) + " states in one list",
                        list.offset);
        }
        RtsMessage& m = m_result.message;
        m.hasResourceLists = true;
        const bool audio = kind->id == RtsFourCc("aud ");
        const bool timecode = kind->id == RtsFourCc("tc  ") && !m_timecodeSeen;
        m_timecodeSeen = m_timecodeSeen || kind->id == RtsFourCc("tc  ");
        if (audio) {
            m.audioWithMedia.push_back(false);
        }
        for (std::size_t i = 1; i < kids.size(); ++i) {
            const Chunk& s = kids[i];
            if (!Expect(s, kind->id, kind->size))
                return false;
            ++m.states;
            if (audio && U16(s.body + 4) != 0) {
                m.audioWithMedia.back() = true;
            }
            if (timecode) {
                m.timecodeStates.push_back({I32(s.body), U16(s.body + 4), I32(s.body + 8)});
            }
            if (kind->id == RtsFourCc("gpi ")) {
                RtsGpiState g{I32(s.body), U32(s.body + 4)};
                if (g.mask == 0) {
                    return Fail(kAckBadValue, "GPI state with an empty output mask", s.body + 4);
                }
                m.gpiStates.push_back(g);
                continue;
            }
            if (!FileCodeKnown(U16(s.body + 4), s.body + 4))
                return false;
            const std::int32_t start = I32(s.body);
            const std::int32_t remaining = I32(s.body + kind->remainingAt);
            if (remaining < 0) {
                return Fail(kAckBadValue, "negative remaining " + std::to_string(remaining),
                            s.body + kind->remainingAt);
            }
            const std::int64_t last = static_cast<std::int64_t>(start) + remaining;
            if (last > INT32_MAX) {
                return Fail(kAckBadValue, "state runs past the last position", s.body);
            }
            if (kind->id == RtsFourCc("ancd") && U16(s.body + 4) != 0) {
                m.ancSpans.push_back({start, static_cast<std::int32_t>(last)});
            }
            if (!m.hasListEnd || last > m.listEnd) {
                m.listEnd = static_cast<std::int32_t>(last);
                m.hasListEnd = true;
            }
            m.mediaStates.push_back({kind->id == RtsFourCc("vid "), type + " " + index, start,
                                     U16(s.body + 4), I32(s.body + 8), remaining});
        }
        return true;
    }

    bool CheckFileList(const Chunk& list) {
        std::vector<Chunk> kids;
        if (!ReadChunks(list.body, list.body + list.size, &kids))
            return false;
        if (kids.empty() || kids.size() > static_cast<std::size_t>(kMaxFileChunks)) {
            return Fail(kids.empty() ? kAckChunkOrder : kAckTooMany,
                        std::to_string(kids.size()) + " file states in one list (1 to 36)",
                        list.offset);
        }
        std::set<std::uint16_t> open = m_open;
        RtsMessage& m = m_result.message;
        for (const Chunk& f : kids) {
            const bool opens = f.id == RtsFourCc("fr  ") || f.id == RtsFourCc("fw  ");
            if (!opens && !Expect(f, RtsFourCc("fcls"), 0))
                return false;
            if (f.size != 264) {
                return Fail(
                    kAckChunkSize,
                    RtsFourCcText(f.id) + " body is " + std::to_string(f.size) + " bytes, not 264",
                    f.offset);
            }
            const std::uint16_t code = U16(f.body);
            if (!Range(code, 1, kMaxFileCode, "file code", f.body))
                return false;
            if (!Terminated(f.body + 8, 256)) {
                return Fail(kAckBadValue, "handle name without its NUL", f.body + 8);
            }
            if (opens) {
                open.insert(code);
                m.filesOpened.push_back(code);
                m.fileOpens.push_back({code, f.id == RtsFourCc("fw  "), I32(f.body + 4),
                                       reinterpret_cast<const char*>(m_data + f.body + 8)});
            } else {
                if (open.erase(code) == 0) {
                    return Fail(kAckUnknownFile,
                                "file code " + std::to_string(code) + " closed but not open",
                                f.body);
                }
                m.filesClosed.push_back(code);
            }
        }
        return true;
    }

    bool CheckSchc(const Chunk& c) {
        if (!Expect(c, RtsFourCc("schc"), 48))
            return false;
        const unsigned char cancel = m_data[c.body + 44];
        if (!Range(I32(c.body), 0, 4, "schedule condition", c.body))
            return false;
        if (!Terminated(c.body + 8, 36)) {
            return Fail(kAckBadValue, "schedule name without its NUL", c.body + 8);
        }
        if (!Range(cancel, 0, 1, "cancel flag", c.body + 44))
            return false;
        RtsScheduleRecord& r = m_result.message.schedule;
        r.condition = I32(c.body);
        r.triggerValue = U32(c.body + 4);
        r.name = std::string(reinterpret_cast<const char*>(m_data + c.body + 8));
        r.cancel = cancel != 0;
        m_result.message.hasSchedule = true;
        return true;
    }

    bool Count(const std::vector<Chunk>& chunks, std::size_t n, const char* form) {
        if (chunks.size() != n) {
            return Fail(kAckChunkOrder,
                        std::string("\"") + form + "\" holds " + std::to_string(chunks.size()) +
                            " chunks, not " + std::to_string(n),
                        12);
        }
        return true;
    }

    bool Check() {
        if (m_size < 12) {
            return Fail(
                kAckMalformed,
                "message of " + std::to_string(m_size) + " bytes is shorter than a RIFF header", 0);
        }
        if (U32(0) != kRiff) {
            return Fail(kAckMalformed, "message does not start with \"RIFF\"", 0);
        }
        const std::uint32_t riffSize = U32(4);
        if (static_cast<std::uint64_t>(riffSize) + 8 != m_size || riffSize < 4) {
            return Fail(kAckMalformed,
                        "RIFF size " + std::to_string(riffSize) + " does not match the " +
                            std::to_string(m_size) + " bytes received",
                        4);
        }
        const std::uint32_t form = U32(8);
        m_result.message.form = form;
        std::vector<Chunk> chunks;
        if (!ReadChunks(12, m_size, &chunks))
            return false;

        if (form == RtsFourCc("open")) {
            return Count(chunks, 2, "open") && CheckOwnr(chunks[0]) && CheckCdef(chunks[1]);
        }
        if (form == RtsFourCc("rfsh")) {
            return Count(chunks, 1, "rfsh") && CheckCdef(chunks[0]);
        }
        if (form == RtsFourCc("clos")) {
            return Count(chunks, 1, "clos") && CheckOwnr(chunks[0]);
        }
        if (form == RtsFourCc("cctx")) {
            return Count(chunks, 1, "cctx") && CheckCtx(chunks[0]);
        }
        if (form == RtsFourCc("schc")) {
            return Count(chunks, 2, "schc") && CheckSchc(chunks[0]) && CheckCtx(chunks[1]);
        }
        if (form == RtsFourCc("sbuf")) {
            if (chunks.empty()) {
                return Fail(kAckChunkOrder, "\"sbuf\" without \"ctx \"", 12);
            }
            if (!CheckCtx(chunks[0]))
                return false;
            if (chunks.size() == 2 && chunks[1].id == kList &&
                chunks[1].listType == RtsFourCc("file")) {
                return CheckFileList(chunks[1]);
            }
            if (chunks.size() - 1 > static_cast<std::size_t>(kMaxResources)) {
                return Fail(kAckTooMany, std::to_string(chunks.size() - 1) + " resource lists", 12);
            }
            for (std::size_t i = 1; i < chunks.size(); ++i) {
                if (chunks[i].id != kList || chunks[i].listType != RtsFourCc("rbuf")) {
                    return Fail(
                        kAckChunkOrder,
                        "expected LIST \"rbuf\", found " + RtsFourCcText(chunks[i].id) +
                            (chunks[i].id == kList ? " " + RtsFourCcText(chunks[i].listType) : ""),
                        chunks[i].offset);
                }
                if (!CheckRbuf(chunks[i]))
                    return false;
                ++m_result.message.resources;
            }
            return true;
        }
        return Fail(kAckUnknownForm, "unknown form " + RtsFourCcText(form), 8);
    }

    const unsigned char* m_data;
    std::size_t m_size;
    const std::set<std::uint16_t>& m_open;
    RtsCheckResult m_result;
    bool m_timecodeSeen = false;  // a "timecode" list came before
};

}  // namespace

RtsCheckResult CheckRtsMessage(const unsigned char* data, std::size_t size,
                               const std::set<std::uint16_t>& openFiles) {
    return CChecker(data, size, openFiles).Run();
}
