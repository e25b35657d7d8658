#include "engine.hpp"

#include <algorithm>
#include <bitset>
#include <charconv>
#include <cstring>
#include <cstdint>
#include <functional>
#include <unordered_set>

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

// Hash usable with any string-like argument, so that lookups never build a
// temporary key.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};

// Both maps point into the RuleBase, which outlives the run.
using LabelMap = std::unordered_map<std::string_view, std::string_view, TextHash, std::equal_to<>>;
using KeySet = std::unordered_set<std::string_view, TextHash, std::equal_to<>>;

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
        char* p = len_suffix_ + label.copy(len_suffix_, label.size());
        p = std::to_chars(p, len_suffix_ + sizeof len_suffix_, len).ptr;
        len_suffix_size_ = static_cast<std::size_t>(p - len_suffix_);
    }

    // "lower : L ; upper : U ; len : N", N from set_length.
    void bounds(std::uint64_t lower, std::uint64_t upper) {
        constexpr std::string_view lower_label = "lower : ";
        constexpr std::string_view upper_label = " ; upper : ";
        char* p = bounds_ + lower_label.copy(bounds_, lower_label.size());
        p = std::to_chars(p, p + kDigits, lower).ptr;
        p += upper_label.copy(p, upper_label.size());
        p = std::to_chars(p, p + kDigits, upper).ptr;
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
    LabelMap single_rules;
    KeySet multi_rules;
    LengthFilter multi_lengths;
    std::uint64_t max_parts = 1;
    for (const auto& [key, value] : rules.entries()) {
        const std::uint64_t pieces =
            static_cast<std::uint64_t>(std::count(key.begin(), key.end(), '+')) + 1;
        if (pieces >= 2) {
            multi_rules.insert(key);
            multi_lengths.add(key.size());
            max_parts = std::max(max_parts, pieces);
        } else {
            trace.rule(key, value);
            single_rules.emplace(key, value);
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
    std::string window;
    std::uint32_t level_number = 1;

    for (;;) {
        const Level& current = tree.data.back();
        const std::uint64_t n = current.size();

        labels.clear();
        labels.reserve(current.size());
        for (const Node& node : current) {
            const auto it = single_rules.find(std::string_view(node.data));
            labels.push_back(it == single_rules.end() ? std::string_view() : it->second);
        }

        // Scan. Start position p = offset + i: it moves by one per start step
        // and by the width of every match. At each position windows of
        // max_parts - 1, max_parts - 2, ..., 1 labels are tried, widest first;
        // a match does not stop the narrower tries, which then start right
        // after the matched window.
        matches.clear();
        std::uint64_t offset = 0;
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

                    window.clear();
                    for (std::uint64_t p = lower; p < upper; ++p) {
                        if (p != lower) window.push_back('+');
                        window.append(labels[p]);
                    }
                    trace.text(window);

                    --k;  // now the number of labels in the window
                    if (multi_lengths.may_hold(window.size()) &&
                        multi_rules.find(std::string_view(window)) != multi_rules.end()) {
                        matches.push_back(window);
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
