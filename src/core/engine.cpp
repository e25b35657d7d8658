#include "engine.hpp"

#include <algorithm>
#include <cstdint>

#include "interrupt.hpp"
#include "rule_base.hpp"
#include "trace.hpp"

namespace vaskel {

Tree run_engine(std::vector<std::string> tokens, const RuleBase& rules, LineSink& trace_sink) {
    EngineTrace trace(trace_sink);
    // One step per rule, label, window tried and node made.
    InterruptCheck check;

    // Sort the rules. A key cut at every '+' (empty pieces included) with one
    // piece is a single-label rule; with more it is a multi-label rule, of
    // which only the key matters.
    //
    // Single-label rules are only ever looked up with the text of a node.
    // Every node above level 0 holds the text of a matched window, a
    // multi-label key, so it holds a '+' that no single-label key has: only
    // the rules whose key is a token can give a label. With more rules than
    // tokens (a lexicon), the table keeps just those, found through a table
    // of the tokens; the lookups answer exactly as with every rule in it.
    const bool by_tokens = tokens.size() < rules.entries().size();
    TextMap token_texts(by_tokens ? tokens.size() : 0);
    if (by_tokens) {
        for (const std::string& token : tokens) token_texts.insert(token, std::string_view());
    }
    TextMap single_rules(by_tokens ? tokens.size() : rules.entries().size());
    std::vector<std::string_view> multi_keys;
    LengthFilter multi_lengths;
    std::uint64_t max_parts = 1;
    for (const auto& [key, value] : rules.entries()) {
        check.step();
        const std::uint64_t pieces =
            static_cast<std::uint64_t>(std::count(key.begin(), key.end(), '+')) + 1;
        if (pieces >= 2) {
            multi_keys.push_back(key);
            multi_lengths.add(key.size());
            max_parts = std::max(max_parts, pieces);
        } else {
            trace.rule(key, value);
            if (!by_tokens || (!tokens.empty() && token_texts.find(key) != nullptr)) {
                single_rules.insert(key, value);
            }
        }
    }
    TextMap multi_rules(multi_keys.size());
    for (std::string_view key : multi_keys) multi_rules.insert(key, std::string_view());
    multi_keys = {};
    token_texts = TextMap(0);

    // Level 0: one leaf per token.
    Tree tree = tree_from_leaves(std::move(tokens));
    tree.levels.reserve(16);

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
        const Level& current = tree.levels.back();
        const std::uint64_t n = current.size();

        labels.clear();
        labels.reserve(current.size());
        for (const Node& node : current) {
            check.step();
            const std::string_view* label = single_rules.find(std::string_view(node.data));
            labels.push_back(label == nullptr ? std::string_view() : *label);
        }

        // Scan. Start position p = offset + i: it moves by one per start step
        // and by the width of every match. At each position windows of
        // max_parts - 1, max_parts - 2, ..., 1 labels are tried, widest first,
        // until one does not fit; a match does not stop the narrower tries,
        // which then start right after the matched window.
        matches.clear();
        std::uint64_t offset = 0;
        window_lower = window_upper = 0;
        if (n != 0 && max_parts >= 2) {
            trace.set_length(n);
            for (std::uint64_t i = 0; i < n; ++i) {
                for (std::uint64_t width = max_parts - 1; width >= 1; --width) {
                    check.step();
                    const std::uint64_t lower = offset + i;
                    const std::uint64_t upper = lower + width;
                    // The bounds line comes before the fit test, so a window
                    // that does not fit is still traced.
                    trace.bounds(lower, upper);
                    if (upper > n) break;

                    if (lower != window_lower || upper > window_upper) {
                        // Every label is followed by a '+', the last one's
                        // included: the text of the first w labels ends
                        // before a byte of the buffer (see EngineTrace::window).
                        check.steps(upper - lower);
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
                    const std::size_t text_size = window_ends[width - 1];
                    trace.window(window.data(), text_size);
                    const std::string_view text(window.data(), text_size);

                    if (multi_lengths.may_hold(text.size()) && multi_rules.find(text) != nullptr) {
                        matches.emplace_back(text);
                        offset += width;
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
                check.step();
                Node& node = next.emplace_back();
                node.children.assign(1, static_cast<std::uint32_t>(j));
                node.data = std::move(matches[j]);
                node.index = static_cast<std::uint32_t>(j);
                node.level = level_number;
            }
        }
        const std::size_t found = matches.size();
        tree.levels.push_back(std::move(next));
        ++level_number;

        // Another pass only when two or more windows matched.
        if (found < 2) break;
    }

    return tree;
}

}  // namespace vaskel
