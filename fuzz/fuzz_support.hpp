// Helpers shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace vaskel::fuzz {

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
inline bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t n;
        char32_t cp;
        if (b < 0x80) { ++i; continue; }
        else if (b >= 0xC2 && b < 0xE0) { n = 1; cp = b & 0x1F; }
        else if (b >= 0xE0 && b < 0xF0) { n = 2; cp = b & 0x0F; }
        else if (b >= 0xF0 && b < 0xF5) { n = 3; cp = b & 0x07; }
        else return false;
        if (i + n >= s.size()) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += n + 1;
    }
    return true;
}

// A short string over a small alphabet, so that equal texts (and so rule
// matches) are frequent.
inline std::string small_text(FuzzedDataProvider& in, std::string_view alphabet, std::size_t max_len) {
    std::string s;
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, max_len);
    for (std::size_t k = 0; k < n; ++k) {
        s.push_back(alphabet[in.ConsumeIntegralInRange<std::size_t>(0, alphabet.size() - 1)]);
    }
    return s;
}

}  // namespace vaskel::fuzz
