// Cutting log text into bounded pieces without splitting a UTF-8 character.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

// Shortens buffer (NUL-terminated) to at most maxBytes bytes, dropping a
// trailing partial UTF-8 sequence.
inline void TrimPartialUtf8(char* buffer, std::size_t maxBytes) {
    std::size_t len = std::strlen(buffer);
    if (len > maxBytes) {
        len = maxBytes;
    }
    if (len > 0) {
        // Walk back over continuation bytes to the lead byte of the last character.
        std::size_t lead = len;
        while (lead > 0 && (static_cast<unsigned char>(buffer[lead - 1]) & 0xC0) == 0x80) {
            --lead;
        }
        if (lead > 0) {
            unsigned char c = static_cast<unsigned char>(buffer[lead - 1]);
            std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (len - (lead - 1) < need) {
                len = lead - 1;
            }
        }
    }
    buffer[len] = 0;
}

// Calls write(piece) for each piece of at most pieceBytes bytes of text, in
// order; an empty text gives no piece. Stops and returns false when write
// returns false.
template <class Write>
bool ForEachPiece(const char* text, std::size_t pieceBytes, Write&& write) {
    std::size_t len = std::strlen(text);
    std::size_t pos = 0;
    std::string piece;
    while (pos < len) {
        std::size_t n = len - pos < pieceBytes ? len - pos : pieceBytes;
        if (pos + n < len) {
            // Do not cut inside a character: back up to its lead byte.
            std::size_t cut = n;
            while (cut > 0 && (static_cast<unsigned char>(text[pos + cut]) & 0xC0) == 0x80) {
                --cut;
            }
            if (cut > 0) {
                n = cut;
            }
        }
        piece.assign(text + pos, n);
        if (!write(piece.c_str())) {
            return false;
        }
        pos += n;
    }
    return true;
}
