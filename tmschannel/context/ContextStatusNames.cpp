#include "tmschannel/context/ContextStatusNames.h"

#include <map>

#include "tmschannel/common/VideoFormat.h"

namespace context_status {
namespace {

enum class Kind { kI4, kR4, kBool, kText };

struct Entry {
    std::int32_t code;
    const char* name;
    Kind kind;
    std::int32_t number;  // I4 and BOOL defaults
    const char* text;     // BSTR defaults (null: the name of the invalid format)
};

// Codes 3, 7, 15, 17 and 23 have no name.
constexpr Entry kEntries[] = {
    {0, "videoformat", Kind::kI4, tmsvideo::kFormatInvalid, nullptr},
    {1, "videoformatstr", Kind::kText, 0, nullptr},
    {2, "fieldsperframe", Kind::kI4, 0, nullptr},
    {4, "durationstr", Kind::kText, 0, "00:00:00:00"},
    {5, "countdownstr", Kind::kText, 0, "00:00:00:00"},
    {6, "percentcomplete", Kind::kR4, 0, nullptr},
    {8, "position", Kind::kI4, 0, nullptr},
    {9, "portstate", Kind::kI4, 0, nullptr},
    {10, "shuttlespeed", Kind::kR4, 0, nullptr},
    {11, "minpos", Kind::kI4, 0, nullptr},
    {12, "maxpos", Kind::kI4, 0, nullptr},
    {13, "endmode", Kind::kI4, 3, nullptr},
    {14, "idlemode", Kind::kI4, 3, nullptr},
    {16, "tickcount", Kind::kI4, 0, nullptr},
    {18, "triggerstatus", Kind::kI4, 0, nullptr},
    {19, "statewindowtrace", Kind::kText, 0, "0(0)"},
    {20, "statewindowbounds", Kind::kText, 0, "0(0)"},
    {21, "timecodestr", Kind::kText, 0, "00:00:00;00"},
    {22, "dropframe", Kind::kBool, 1, nullptr},
    {24, "sectioncountdownstr", Kind::kText, 0, "00:00:00:00"},
    {25, "eventcountdownstr", Kind::kText, 0, "00:00:00:00"},
    {26, "sectionpercent", Kind::kR4, 0, nullptr},
    {27, "pauseatlimit", Kind::kBool, 0, nullptr},
    {28, "positionstr", Kind::kText, 0, "xx:xx:xx:xx"},
    {29, "startlimit", Kind::kI4, -1, nullptr},
    {30, "endlimit", Kind::kI4, -1, nullptr},
    {31, "limitlength", Kind::kI4, 0, nullptr},
    {32, "startlimitstr", Kind::kText, 0, ""},
    {33, "endlimitstr", Kind::kText, 0, ""},
    {34, "limitlengthstr", Kind::kText, 0, ""},
    {35, "underconstruction", Kind::kBool, 0, nullptr},
    {36, "recordlatency", Kind::kI4, 0, nullptr},
    {37, "ctxposition", Kind::kI4, 0, nullptr},
    {kCtxPortState, "ctxportstate", Kind::kI4, 0, nullptr},
    {39, "ctxshuttlespeed", Kind::kR4, 0, nullptr},
    {kAssigned, "assigned", Kind::kBool, 0, nullptr},
};

const Entry* Find(std::int32_t code) {
    for (const Entry& e : kEntries) {
        if (e.code == code) {
            return &e;
        }
    }
    return nullptr;
}

}  // namespace

std::int32_t CodeOf(const std::string& name) {
    static const std::map<std::string, std::int32_t> codes = [] {
        std::map<std::string, std::int32_t> m;
        for (const Entry& e : kEntries) {
            m.emplace(e.name, e.code);
        }
        return m;
    }();
    const auto found = codes.find(name);
    return found == codes.end() ? -1 : found->second;
}

HRESULT DefaultValue(std::int32_t code, VARIANT* value) {
    const Entry* e = Find(code);
    if (e == nullptr) {
        return S_FALSE;
    }
    CVariant v;
    switch (e->kind) {
        case Kind::kI4:
            v = CVariant(e->number);
            break;
        case Kind::kR4:
            v = CVariant(0.0f);
            break;
        case Kind::kBool:
            v = CVariant(e->number != 0);
            break;
        case Kind::kText:
            v = CVariant(e->text != nullptr ? std::string(e->text)
                                            : tmsvideo::NameFromFormat(tmsvideo::kFormatInvalid,
                                                                       tmsvideo::kFormatInvalid));
            break;
    }
    VariantClear(value);
    return v.CopyTo(value);
}

}  // namespace context_status
