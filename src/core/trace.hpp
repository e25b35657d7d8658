// Every diagnostic line that vaskel writes, in one place: the engine's rule,
// window and report lines, and the XML export's node lines. Numbers are
// printed by one decimal printer, put_decimal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "line_sink.hpp"

namespace vaskel {

// Decimal digits of v written at p, without leading zeros; returns the end.
// The digit count comes first (from the bit length, corrected by one
// comparison), then the digits are stored from the last, two per step.
inline char* put_decimal(char* p, std::uint64_t v) noexcept {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    static constexpr std::uint64_t kPowers[] = {
        1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull,
        1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull,
        100000000000000ull, 1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
        1000000000000000000ull, 10000000000000000000ull};
    std::size_t digits = 1;
    if (v >= 10) {
        // 1233 / 4096 is just above log10(2): t is the digit count of the
        // smallest number of v's bit length, or one less.
        const auto bits = static_cast<std::size_t>(64 - __builtin_clzll(v));
        const std::size_t t = (bits * 1233) >> 12;
        digits = t + (v >= kPowers[t] ? 1 : 0);
    }
    char* const end = p + digits;
    char* q = end;
    while (v >= 100) {
        const std::uint64_t r = v % 100;
        v /= 100;
        q -= 2;
        std::memcpy(q, kPairs + 2 * r, 2);
    }
    if (v >= 10) {
        std::memcpy(q - 2, kPairs + 2 * v, 2);
    } else {
        q[-1] = static_cast<char>('0' + v);
    }
    return end;
}

// The list notation of the engine's report line: ["a", "b\n"]. Quote and
// backslash get a backslash; tab, CR, LF and NUL their short escapes;
// characters that do not print, and those that extend the preceding
// character, the \u{...} form in lowercase hexadecimal; all else is copied.
void append_quoted_list(std::string& out, const std::vector<std::string_view>& texts);

// "lvl : L ; i : I": the XML export's line for a node it is about to visit.
// Built with its line feed in a buffer of its own: no allocation.
inline void write_node_line(LineSink& sink, std::uint32_t lvl, std::uint32_t i) {
    constexpr std::string_view lvl_label = "lvl : ";
    constexpr std::string_view i_label = " ; i : ";
    char buf[lvl_label.size() + i_label.size() + 2 * 10 + 1];
    char* p = put_decimal(buf + lvl_label.copy(buf, lvl_label.size()), lvl);
    p += i_label.copy(p, i_label.size());
    p = put_decimal(p, i);
    *p++ = '\n';
    sink.write_terminated(buf, static_cast<std::size_t>(p - buf));
}

// "key : value": the engine's line for a single-label rule. The rule base
// keeps each rule as this line, written with its line feed at p
// (rule_line_size bytes), so that the engine sends it without building it.
constexpr std::string_view kRuleSeparator = " : ";

constexpr std::size_t rule_line_size(std::size_t key_size, std::size_t value_size) noexcept {
    return key_size + kRuleSeparator.size() + value_size + 1;
}

inline void put_rule_line(char* p, std::string_view key, std::string_view value) noexcept {
    if (!key.empty()) std::memcpy(p, key.data(), key.size());
    p += key.size();
    p += kRuleSeparator.copy(p, kRuleSeparator.size());
    if (!value.empty()) std::memcpy(p, value.data(), value.size());
    p[value.size()] = '\n';
}

// The engine's trace. The window lines (one or two per start step of a scan,
// the bulk of the trace) are formatted into a fixed buffer with plain copies;
// the rule lines come from the rule base as they stand; the report lines,
// rare, use a reused string. Lines leave the buffer they were built in with
// their line feed already in place, so that the standard output writer sends
// them without a copy.
class EngineTrace {
public:
    explicit EngineTrace(LineSink& sink) : sink_(sink) {}

    // A single-label rule's line, built by put_rule_line.
    void rule(const char* line, std::size_t size) { sink_.write_terminated(line, size); }

    // Fixes the last number of the lower lines: the length of the label list.
    void set_length(std::uint64_t len) {
        constexpr std::string_view label = " ; len : ";
        char* p = put_decimal(len_suffix_ + label.copy(len_suffix_, label.size()), len);
        *p++ = '\n';
        len_suffix_size_ = static_cast<std::size_t>(p - len_suffix_);
        lower_valid_ = false;
    }

    // "lower : L ; upper : U ; len : N", N from set_length. The part up to U
    // is kept while L stays the same (once per width tried at a position).
    void bounds(std::uint64_t lower, std::uint64_t upper) {
        if (!lower_valid_ || lower != lower_) {
            constexpr std::string_view lower_label = "lower : ";
            constexpr std::string_view upper_label = " ; upper : ";
            char* p = put_decimal(bounds_ + lower_label.copy(bounds_, lower_label.size()), lower);
            p += upper_label.copy(p, upper_label.size());
            prefix_size_ = static_cast<std::size_t>(p - bounds_);
            lower_ = lower;
            lower_valid_ = true;
        }
        char* p = put_decimal(bounds_ + prefix_size_, upper);
        // A fixed-size copy (the whole suffix buffer) is a few moves; only
        // len_suffix_size_ bytes of it count.
        std::memcpy(p, len_suffix_, sizeof len_suffix_);
        p += len_suffix_size_;
        sink_.write_terminated(bounds_, static_cast<std::size_t>(p - bounds_));
    }

    // A window's text of n bytes at s. The byte s[n] must be storage of the
    // caller: it is borrowed for the line feed and restored before returning.
    void window(char* s, std::size_t n) {
        const char saved = s[n];
        s[n] = '\n';
        try {
            sink_.write_terminated(s, n + 1);
        } catch (...) {
            s[n] = saved;
            throw;
        }
        s[n] = saved;
    }

    // The texts a pass matched, in list notation.
    void report(const std::vector<std::string_view>& matches) {
        line_.clear();
        append_quoted_list(line_, matches);
        sink_.write_line(line_);
    }

private:
    static constexpr std::size_t kDigits = 20;  // of the largest 64-bit number

    LineSink& sink_;
    std::string line_;
    char len_suffix_[16 + kDigits];
    std::size_t len_suffix_size_ = 0;
    char bounds_[32 + 2 * kDigits + sizeof len_suffix_];
    std::size_t prefix_size_ = 0;
    std::uint64_t lower_ = 0;
    bool lower_valid_ = false;
};

}  // namespace vaskel
