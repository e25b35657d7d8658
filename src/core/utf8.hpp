// Minimal UTF-8 decoding for text that is known to be valid (it comes from a
// Python str or from the module's own strings).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vaskel::utf8 {

// Decodes the scalar value starting at s[pos] and advances pos past it.
// s must be valid UTF-8 and pos < s.size().
inline char32_t decode(std::string_view s, std::size_t& pos) noexcept {
    const auto b0 = static_cast<unsigned char>(s[pos]);
    if (b0 < 0x80) {
        pos += 1;
        return b0;
    }
    auto cont = [&](std::size_t k) { return static_cast<unsigned char>(s[pos + k]) & 0x3Fu; };
    char32_t cp;
    if (b0 < 0xE0) {
        cp = (char32_t(b0 & 0x1Fu) << 6) | cont(1);
        pos += 2;
    } else if (b0 < 0xF0) {
        cp = (char32_t(b0 & 0x0Fu) << 12) | (char32_t(cont(1)) << 6) | cont(2);
        pos += 3;
    } else {
        cp = (char32_t(b0 & 0x07u) << 18) | (char32_t(cont(1)) << 12) | (char32_t(cont(2)) << 6) |
             cont(3);
        pos += 4;
    }
    return cp;
}

// Appends the UTF-8 encoding of cp.
inline void append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace vaskel::utf8
