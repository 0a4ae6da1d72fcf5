#include "platform/com/Utf.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

void AppendUtf16(std::u16string* out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out->push_back(static_cast<char16_t>(cp));
    }
}

void AppendUtf8(std::string* out, char32_t cp) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one character at text[*pos] and advances *pos past it; an
// ill-formed sequence advances past its longest valid prefix (at least one
// byte) and yields U+FFFD.
char32_t DecodeUtf8(std::string_view text, std::size_t* pos) {
    const auto lead = static_cast<std::uint8_t>(text[*pos]);
    ++*pos;
    if (lead < 0x80) {
        return lead;
    }
    int continuation = 0;
    std::uint8_t low = 0x80;  // allowed range of the second byte; later ones are 80..BF
    std::uint8_t high = 0xBF;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuation = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuation = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0) {
            low = 0xA0;  // below is overlong
        } else if (lead == 0xED) {
            high = 0x9F;  // above are the surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuation = 3;
        cp = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90;  // below is overlong
        } else if (lead == 0xF4) {
            high = 0x8F;  // above is past U+10FFFF
        }
    } else {
        return kReplacement;  // continuation byte, C0/C1 or F5..FF as a lead
    }
    for (int i = 0; i < continuation; ++i) {
        if (*pos >= text.size()) {
            return kReplacement;
        }
        const auto b = static_cast<std::uint8_t>(text[*pos]);
        if (b < low || b > high) {
            return kReplacement;
        }
        cp = (cp << 6) | (b & 0x3F);
        ++*pos;
        low = 0x80;
        high = 0xBF;
    }
    return cp;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        AppendUtf16(&out, DecodeUtf8(text, &pos));
    }
    return out;
}

std::size_t Utf8ToUtf16Prefix(std::string_view text, char16_t* out, std::size_t capacity) {
    std::size_t n = 0;
    std::size_t pos = 0;
    while (pos < text.size() && n < capacity) {
        char32_t cp = DecodeUtf8(text, &pos);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            if (n < capacity) {
                out[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
            }
        } else {
            out[n++] = static_cast<char16_t>(cp);
        }
    }
    return n;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            AppendUtf8(&out, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                                 (static_cast<char32_t>(text[i + 1]) - 0xDC00));
            ++i;
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            AppendUtf8(&out, kReplacement);
        } else {
            AppendUtf8(&out, c);
        }
    }
    return out;
}

std::string Utf16ToNarrow(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c <= 0xFF) {
            out.push_back(static_cast<char>(c));
        } else {
            if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
                ++i;
            }
            out.push_back('?');
        }
    }
    return out;
}

std::u16string NarrowToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    return out;
}
