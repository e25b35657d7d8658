// The hash of the rule tables' texts, seeded once per process from the
// operating system's random source, so that no rule base can be crafted in
// advance to make its keys share slots (which would make every lookup walk
// them all).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vaskel {

// Spreads every bit of h over the whole word (an invertible mix of xor-shifts
// and an odd multiplier): the last step of the text hashes.
constexpr std::uint64_t mix_hash(std::uint64_t h) noexcept {
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

// A random value drawn once per process from the system's random source
// (platform::random_bytes; the clock and an address if that fails).
std::uint64_t rule_hash_seed() noexcept;

// Up to eight bytes of p[0, n), 0 < n <= 8, as one word, read without
// touching memory outside them: overlapping loads, no byte-wise copy (which
// would stall the load that follows on the stores).
inline std::uint64_t load_short(const char* p, std::size_t n) noexcept {
    if (n >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        return (std::uint64_t{hi} << 32) | lo;
    }
    const auto b0 = static_cast<unsigned char>(p[0]);
    const auto b1 = static_cast<unsigned char>(p[n / 2]);
    const auto b2 = static_cast<unsigned char>(p[n - 1]);
    return (std::uint64_t{b0} << 16) | (std::uint64_t{b1} << 8) | b2;
}

// Hash of a short text: eight bytes at a time, each word mixed in by a
// multiplication; the last word may overlap the one before. The seed enters
// before the first word.
inline std::uint64_t text_hash(std::string_view s, std::uint64_t seed) noexcept {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = seed ^ (s.size() * kMul);
    const char* p = s.data();
    const std::size_t n = s.size();
    if (n > 8) {
        std::size_t k = 0;
        for (; k + 8 < n; k += 8) {
            std::uint64_t w;
            std::memcpy(&w, p + k, 8);
            h = (h ^ w) * kMul;
            h ^= h >> 32;
        }
        std::uint64_t w;
        std::memcpy(&w, p + n - 8, 8);
        h = (h ^ w) * kMul;
    } else if (n > 0) {
        h = (h ^ load_short(p, n)) * kMul;
    }
    return mix_hash(h);
}

// Equality of two texts, inline for the short ones that rule keys are.
inline bool same_text(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    if (n == 0) return true;
    if (n <= 8) return load_short(a.data(), n) == load_short(b.data(), n);
    if (n <= 16) {
        std::uint64_t a0, a1, b0, b1;
        std::memcpy(&a0, a.data(), 8);
        std::memcpy(&b0, b.data(), 8);
        std::memcpy(&a1, a.data() + n - 8, 8);
        std::memcpy(&b1, b.data() + n - 8, 8);
        return a0 == b0 && a1 == b1;
    }
    return std::memcmp(a.data(), b.data(), n) == 0;
}

// The same seeded hash for the standard unordered containers.
struct SeededTextHash {
    std::size_t operator()(const std::string& s) const noexcept {
        return static_cast<std::size_t>(text_hash(s, rule_hash_seed()));
    }
};

}  // namespace vaskel
