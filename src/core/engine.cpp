#include "engine.hpp"

#include <algorithm>
#include <cstdint>

#include "interrupt.hpp"
#include "rule_base.hpp"
#include "trace.hpp"

namespace vaskel {

namespace {

// A node's label: the value of the single-label rule whose key is the node's
// text, or null for the empty label. A view into the rule table: a level of
// labels costs one pointer a node.
using Label = const std::string_view*;

// The rule base as the engine reads it. A key cut at every '+' (empty pieces
// included) with one piece is a single-label rule; with more it is a
// multi-label rule, of which only the key matters.
struct SortedRules {
    TextMap single{0};  // key to value
    TextMap multi{0};   // the multi-label keys
    LengthFilter multi_lengths;
    std::uint64_t max_parts = 1;  // pieces of the widest multi-label key
};

// Rules into single and multi, writing the line of every single-label rule in
// the order of the rule base.
//
// Single-label rules are only ever looked up with the text of a node. Every
// node above level 0 holds the text of a matched window, a multi-label key,
// so it holds a '+' that no single-label key has: only the rules whose key is
// a token can give a label. With more rules than tokens (a lexicon), the
// table keeps just those, found through a table of the tokens; the lookups
// answer exactly as with every rule in it.
SortedRules sort_rules(const RuleBase& rules, const Level& leaves, EngineTrace& trace, InterruptCheck& check) {
    const std::vector<Rule>& entries = rules.entries();
    const bool by_tokens = leaves.size() < entries.size();
    TextMap token_texts(by_tokens ? leaves.size() : 0);
    if (by_tokens) {
        for (const Node& leaf : leaves) {
            check.step();
            token_texts.insert(leaf.data, std::string_view());
        }
    }
    SortedRules sorted;
    sorted.single = TextMap(by_tokens ? leaves.size() : entries.size());
    std::vector<std::string_view> multi_keys;
    for (const Rule& rule : entries) {
        check.step();
        const std::string_view key = rule.key();
        const std::uint64_t pieces = static_cast<std::uint64_t>(std::count(key.begin(), key.end(), '+')) + 1;
        if (pieces >= 2) {
            multi_keys.push_back(key);
            sorted.multi_lengths.add(key.size());
            sorted.max_parts = std::max(sorted.max_parts, pieces);
        } else {
            trace.rule(rule.line(), rule.line_size());
            if (!by_tokens || (!leaves.empty() && token_texts.find(key) != nullptr)) {
                sorted.single.insert(key, rule.value());
            }
        }
    }
    sorted.multi = TextMap(multi_keys.size());
    for (std::string_view key : multi_keys) {
        check.step();
        sorted.multi.insert(key, std::string_view());
    }
    return sorted;
}

// Labels every node of a level.
void label_level(const Level& level, const TextMap& single, std::vector<Label>& labels, InterruptCheck& check) {
    labels.clear();
    labels.reserve(level.size());
    for (const Node& node : level) {
        check.step();
        labels.push_back(single.find(std::string_view(node.data)));
    }
}

// The text of the widest window tried at the current position, and where the
// text of its first w labels ends, for w = 1, 2, ...: at one position the
// narrower windows are prefixes of the widest, tried just before.
class WindowText {
public:
    // Forgets the window: the next text is built afresh.
    void reset() noexcept { lower_ = upper_ = 0; }

    // The labels lower, ..., upper - 1, joined with '+': a text of the
    // returned size at data(). Every label is followed by a '+', the last
    // one's included: the text ends before a byte of the buffer, which the
    // trace borrows for its line feed (see EngineTrace::window).
    std::size_t fit(const std::vector<Label>& labels, std::uint64_t lower, std::uint64_t upper,
                    InterruptCheck& check) {
        if (lower != lower_ || upper > upper_) {
            check.steps(upper - lower);
            text_.clear();
            ends_.clear();
            for (std::uint64_t p = lower; p < upper; ++p) {
                if (labels[p] != nullptr) text_.append(*labels[p]);
                ends_.push_back(text_.size());
                text_.push_back('+');
            }
            lower_ = lower;
            upper_ = upper;
        }
        return ends_[upper - lower - 1];
    }
    char* data() noexcept { return text_.data(); }

private:
    std::string text_;
    std::vector<std::size_t> ends_;
    std::uint64_t lower_ = 0, upper_ = 0;  // its labels; none at first
};

// Scans a level's labels into matches. Start position p = offset + i: it
// moves by one per start step and by the width of every match. At each
// position windows of max_parts - 1, max_parts - 2, ..., 1 labels are tried,
// widest first, until one does not fit; a match does not stop the narrower
// tries, which then start right after the matched window.
void scan_level(const std::vector<Label>& labels, const SortedRules& rules, WindowText& window,
                EngineTrace& trace, std::vector<std::string>& matches, InterruptCheck& check) {
    matches.clear();
    window.reset();
    const std::uint64_t n = labels.size();
    if (n == 0 || rules.max_parts < 2) return;
    trace.set_length(n);
    std::uint64_t offset = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t width = rules.max_parts - 1; width >= 1; --width) {
            check.step();
            const std::uint64_t lower = offset + i;
            const std::uint64_t upper = lower + width;
            // The bounds line comes before the fit test, so a window that
            // does not fit is still traced.
            trace.bounds(lower, upper);
            if (upper > n) break;
            const std::size_t size = window.fit(labels, lower, upper, check);
            trace.window(window.data(), size);
            const std::string_view text(window.data(), size);
            if (rules.multi_lengths.may_hold(text.size()) && rules.multi.find(text) != nullptr) {
                matches.emplace_back(text);
                offset += width;
            }
        }
    }
}

// The level built from a pass's matches: node j holds match j and records
// itself, j, as its child; with no match, the single node "0".
Level level_from_matches(std::vector<std::string>& matches, std::uint32_t level_number, InterruptCheck& check) {
    Level next;
    if (matches.empty()) {
        Node& zero = next.emplace_back();
        zero.data.push_back('0');  // not = "0", which GCC 12 wrongly warns of as an overlapping copy
        zero.level = level_number;
        return next;
    }
    next.reserve(matches.size());
    for (std::size_t j = 0; j < matches.size(); ++j) {
        check.step();
        Node& node = next.emplace_back();
        node.children.push_back(static_cast<std::uint32_t>(j));
        node.data = std::move(matches[j]);
        node.index = static_cast<std::uint32_t>(j);
        node.level = level_number;
    }
    return next;
}

// The report line of a pass: its matches, quoted.
void report_matches(const std::vector<std::string>& matches, EngineTrace& trace) {
    const std::vector<std::string_view> views(matches.begin(), matches.end());
    trace.report(views);
}

}  // namespace

Tree run_engine(Level leaves, const RuleBase& rules, LineSink& trace_sink) {
    EngineTrace trace(trace_sink);
    // One step per rule, label, window tried and node made.
    InterruptCheck check;

    const SortedRules sorted = sort_rules(rules, leaves, trace, check);
    Tree tree;
    tree.levels.reserve(16);
    tree.levels.push_back(std::move(leaves));

    std::vector<Label> labels;
    std::vector<std::string> matches;
    WindowText window;
    for (std::uint32_t level_number = 1;; ++level_number) {
        label_level(tree.levels.back(), sorted.single, labels, check);
        scan_level(labels, sorted, window, trace, matches, check);
        // The labels are not needed any more: they go before the next level
        // comes.
        labels = {};
        report_matches(matches, trace);
        const std::size_t found = matches.size();
        tree.levels.push_back(level_from_matches(matches, level_number, check));
        // Another pass only when two or more windows matched.
        if (found < 2) break;
    }
    return tree;
}

}  // namespace vaskel
