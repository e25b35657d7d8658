#include "engine.hpp"

#include <algorithm>
#include <bitset>
#include <charconv>
#include <cstring>
#include <cstdint>

namespace vaskel {

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

// Hash of a short text: eight bytes at a time, each word mixed in by a
// multiplication. Its quality only matters for the spread of the table.
inline std::uint64_t text_hash(std::string_view s) noexcept {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = s.size() * kMul;
    const char* p = s.data();
    std::size_t left = s.size();
    while (left >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * kMul;
        h ^= h >> 32;
        p += 8;
        left -= 8;
    }
    if (left > 0) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, left);
        h = (h ^ w) * kMul;
    }
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
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
            if (slot.hash == h && slot.key == key) return;
        }
    }

    // The value of key, or null when key is absent.
    const std::string_view* find(std::string_view key) const noexcept {
        const std::uint64_t h = text_hash(key);
        for (std::size_t k = h & mask_;; k = (k + 1) & mask_) {
            const Slot& slot = slots_[k];
            if (!slot.used) return nullptr;
            if (slot.hash == h && slot.key == key) return &slot.value;
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

// Decimal digits of v written at p; returns the end. Two digits per step.
inline char* put_decimal(char* p, std::uint64_t v) noexcept {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char tmp[20];
    char* const end = tmp + sizeof tmp;
    char* q = end;
    while (v >= 100) {
        const std::uint64_t r = v % 100;
        v /= 100;
        q -= 2;
        std::memcpy(q, kPairs + 2 * r, 2);
    }
    if (v >= 10) {
        q -= 2;
        std::memcpy(q, kPairs + 2 * v, 2);
    } else {
        *--q = static_cast<char>('0' + v);
    }
    const std::size_t n = static_cast<std::size_t>(end - q);
    std::memcpy(p, q, n);
    return p + n;
}

// Builds the trace lines. The window lines (one or two per start step of a
// scan, the bulk of the trace) are formatted into a fixed buffer with plain
// copies; the rule and report lines, rare, use a reused string.
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
        len_suffix_size_ = static_cast<std::size_t>(p - len_suffix_);
    }

    // "lower : L ; upper : U ; len : N", N from set_length.
    void bounds(std::uint64_t lower, std::uint64_t upper) {
        constexpr std::string_view lower_label = "lower : ";
        constexpr std::string_view upper_label = " ; upper : ";
        char* p = bounds_ + lower_label.copy(bounds_, lower_label.size());
        p = put_decimal(p, lower);
        p += upper_label.copy(p, upper_label.size());
        p = put_decimal(p, upper);
        std::memcpy(p, len_suffix_, len_suffix_size_);
        p += len_suffix_size_;
        sink_.write_line(std::string_view(bounds_, static_cast<std::size_t>(p - bounds_)));
    }

    void text(std::string_view s) { sink_.write_line(s); }

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
    char bounds_[32 + 3 * kDigits];
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
                        window.clear();
                        window_ends.clear();
                        for (std::uint64_t p = lower; p < upper; ++p) {
                            if (p != lower) window.push_back('+');
                            window.append(labels[p]);
                            window_ends.push_back(window.size());
                        }
                        window_lower = lower;
                        window_upper = upper;
                    }
                    // Labels lower, ..., upper - 1, joined with '+'.
                    const std::string_view text(window.data(), window_ends[upper - lower - 1]);
                    trace.text(text);

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
