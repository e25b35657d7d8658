#include "engine.hpp"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <cstdint>

namespace vaskel {

// Defined with StdoutLineWriter: writes n bytes, the last a line feed, to file
// descriptor 1 in one write(2), failing as StdoutLineWriter::write_line does.

void RuleBase::reserve(std::size_t n) {
    entries_.reserve(n);
    position_.reserve(n);
}

void RuleBase::insert(std::string key, std::string value) {
    auto [it, fresh] = position_.try_emplace(key, entries_.size());
    if (!fresh) {
        entries_[it->second].second = std::move(value);
        return;
    }
    try {
        entries_.emplace_back(std::move(key), std::move(value));
    } catch (...) {
        position_.erase(it);
        throw;
    }
}

namespace {

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
// multiplication; the last word may overlap the one before. Its quality
// only matters for the spread of the table.
inline std::uint64_t text_hash(std::string_view s) noexcept {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = s.size() * kMul;
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
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
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

// An open-addressing map from text to text, built once and then only read:
// the lookups for every node and every window of a scan go through it. Both
// keys and values point into the RuleBase, which outlives the run. Inserting a
// key that is present keeps the first value.
class TextMap {
public:
    explicit TextMap(std::size_t expected) {
        std::size_t cap = 16;
        while (cap < expected * 2) cap *= 2;
        slots_.resize(cap);
        mask_ = cap - 1;
    }

    void insert(std::string_view key, std::string_view value) {
        const std::uint64_t h = text_hash(key);
        for (std::size_t k = h & mask_;; k = (k + 1) & mask_) {
            Slot& slot = slots_[k];
            if (!slot.used) {
                slot = Slot{h, key, value, true};
                return;
            }
            if (slot.hash == h && same_text(slot.key, key)) return;
        }
    }

    // The value of key, or null when key is absent.
    const std::string_view* find(std::string_view key) const noexcept {
        const std::uint64_t h = text_hash(key);
        for (std::size_t k = h & mask_;; k = (k + 1) & mask_) {
            const Slot& slot = slots_[k];
            if (!slot.used) return nullptr;
            if (slot.hash == h && same_text(slot.key, key)) return &slot.value;
        }
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        std::string_view key;
        std::string_view value;
        bool used = false;
    };
    std::vector<Slot> slots_;  // at most half full
    std::size_t mask_ = 0;
};

// Decimal digits of v written at p; returns the end. The digit count comes
// first, then the digits are stored from the last, two per step, in place.
inline char* put_decimal(char* p, std::uint64_t v) noexcept {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    std::size_t digits = 1;
    for (std::uint64_t bound = 10; digits < 20 && v >= bound; bound *= 10) ++digits;
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

// Builds the trace lines. The window lines (one or two per start step of a
// scan, the bulk of the trace) are formatted into a fixed buffer with plain
// copies; the rule and report lines, rare, use a reused string.
// Lines leave the buffer they were built in with their line feed already in
// place, so that the standard output writer sends them without a copy.
class Trace {
public:
    explicit Trace(LineSink& sink) : sink_(sink) {}

    void rule(std::string_view key, std::string_view value) {
        line_.assign(key);
        line_ += " : ";
        line_ += value;
        sink_.write_line(line_);
    }

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
        emit(bounds_, static_cast<std::size_t>(p - bounds_));
    }

    // A window text of n bytes at s. The byte s[n] must be storage of the
    // caller: it is borrowed for the line feed and restored before returning.
    void text(char* s, std::size_t n) {
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

    void report(const std::vector<std::string_view>& matches) {
        line_.clear();
        append_quoted_list(line_, matches);
        sink_.write_line(line_);
    }

private:
    static constexpr std::size_t kDigits = 20;  // of the largest 64-bit number

    // A line of n bytes at p whose line feed is at p[n - 1].
    void emit(const char* p, std::size_t n) { sink_.write_terminated(p, n); }

    LineSink& sink_;
    std::string line_;
    char len_suffix_[16 + kDigits];
    std::size_t len_suffix_size_ = 0;
    char bounds_[32 + 2 * kDigits + sizeof len_suffix_];
    std::size_t prefix_size_ = 0;
    std::uint64_t lower_ = 0;
    bool lower_valid_ = false;
};

// Which byte lengths the keys of a set have, so that a window whose length no
// key has skips the hash lookup. Lengths from kTracked on share one bit.
class LengthFilter {
public:
    void add(std::size_t n) { bits_.set(n < kTracked ? n : kTracked); }
    bool may_hold(std::size_t n) const { return bits_.test(n < kTracked ? n : kTracked); }

private:
    static constexpr std::size_t kTracked = 255;
    std::bitset<kTracked + 1> bits_;
};

}  // namespace

Tree run_engine(std::vector<std::string> tokens, const RuleBase& rules, LineSink& trace_sink) {
    Trace trace(trace_sink);

    // Sort the rules. A key cut at every '+' (empty pieces included) with one
    // piece is a single-label rule; with more it is a multi-label rule, of
    // which only the key matters.
    TextMap single_rules(rules.entries().size());
    TextMap multi_rules(rules.entries().size());
    LengthFilter multi_lengths;
    std::uint64_t max_parts = 1;
    for (const auto& [key, value] : rules.entries()) {
        const std::uint64_t pieces =
            static_cast<std::uint64_t>(std::count(key.begin(), key.end(), '+')) + 1;
        if (pieces >= 2) {
            multi_rules.insert(key, std::string_view());
            multi_lengths.add(key.size());
            max_parts = std::max(max_parts, pieces);
        } else {
            trace.rule(key, value);
            single_rules.insert(key, value);
        }
    }

    Tree tree;
    tree.data.reserve(16);
    {
        Level leaves;
        leaves.reserve(tokens.size());
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            Node& n = leaves.emplace_back();
            n.data = std::move(tokens[i]);
            n.index = static_cast<std::uint32_t>(i);
        }
        tokens.clear();
        tokens.shrink_to_fit();
        tree.data.push_back(std::move(leaves));
    }

    std::vector<std::string_view> labels;
    std::vector<std::string> matches;
    std::vector<std::string_view> match_views;
    // The text of the widest window tried at the current position, and where
    // the text of its first w labels ends, for w = 1, 2, ...: at one position
    // the narrower windows are prefixes of the widest, tried just before.
    std::string window;
    std::vector<std::size_t> window_ends;
    std::uint64_t window_lower = 0, window_upper = 0;  // its labels; empty at first
    std::uint32_t level_number = 1;

    for (;;) {
        const Level& current = tree.data.back();
        const std::uint64_t n = current.size();

        labels.clear();
        labels.reserve(current.size());
        for (const Node& node : current) {
            const std::string_view* label = single_rules.find(std::string_view(node.data));
            labels.push_back(label == nullptr ? std::string_view() : *label);
        }

        // Scan. Start position p = offset + i: it moves by one per start step
        // and by the width of every match. At each position windows of
        // max_parts - 1, max_parts - 2, ..., 1 labels are tried, widest first;
        // a match does not stop the narrower tries, which then start right
        // after the matched window.
        matches.clear();
        std::uint64_t offset = 0;
        window_lower = window_upper = 0;
        if (n != 0 && max_parts >= 2) {
            trace.set_length(n);
            for (std::uint64_t i = 0; i < n; ++i) {
                std::uint64_t k = max_parts;
                while (k > 1) {
                    const std::uint64_t lower = offset + i;
                    const std::uint64_t upper = lower + k - 1;
                    // The bounds line comes before the fit test, so a window
                    // that does not fit is still traced.
                    trace.bounds(lower, upper);
                    if (upper > n) break;

                    if (lower != window_lower || upper > window_upper) {
                        // Every label is followed by a '+', the last one's
                        // included: the text of the first w labels ends
                        // before a byte of the buffer (see Trace::text).
                        window.clear();
                        window_ends.clear();
                        for (std::uint64_t p = lower; p < upper; ++p) {
                            window.append(labels[p]);
                            window_ends.push_back(window.size());
                            window.push_back('+');
                        }
                        window_lower = lower;
                        window_upper = upper;
                    }
                    // Labels lower, ..., upper - 1, joined with '+'.
                    const std::size_t text_size = window_ends[upper - lower - 1];
                    trace.text(window.data(), text_size);
                    const std::string_view text(window.data(), text_size);

                    --k;  // now the number of labels in the window
                    if (multi_lengths.may_hold(text.size()) && multi_rules.find(text) != nullptr) {
                        matches.emplace_back(text);
                        offset += k;
                    }
                }
            }
        }

        match_views.assign(matches.begin(), matches.end());
        trace.report(match_views);

        Level next;
        if (matches.empty()) {
            Node& zero = next.emplace_back();
            zero.data = "0";
            zero.index = 0;
            zero.level = level_number;
        } else {
            next.reserve(matches.size());
            for (std::size_t j = 0; j < matches.size(); ++j) {
                Node& node = next.emplace_back();
                node.children.assign(1, static_cast<std::uint32_t>(j));
                node.data = std::move(matches[j]);
                node.index = static_cast<std::uint32_t>(j);
                node.level = level_number;
            }
        }
        const std::size_t found = matches.size();
        tree.data.push_back(std::move(next));
        ++level_number;

        // Another pass only when two or more windows matched.
        if (found < 2) break;
    }

    return tree;
}

}  // namespace vaskel
