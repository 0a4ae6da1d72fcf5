// CCachedText: a text made from a few numbers, made again only when one of
// them changed. The status pass turns positions into timecode texts every
// cycle; most of them stay the same from one cycle to the next, and the
// formatting was the dearest part of the pass.
//
// Thread safety: none; the owner guards it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

template <std::size_t N>
class CCachedText {
public:
    using Key = std::array<std::int64_t, N>;

    // The text of key: format() when key differs from the last one asked
    // for (or none was), else the text kept from then. A format that throws
    // leaves the kept text and key as they were.
    template <class Format>
    const std::string& Text(const Key& key, Format&& format) {
        if (!m_set || key != m_key) {
            m_text = format();
            m_key = key;
            m_set = true;
        }
        return m_text;
    }

private:
    bool m_set = false;
    Key m_key{};
    std::string m_text;
};
