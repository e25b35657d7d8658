// Fuzzes the rule engine on random token lists and rule bases and checks the
// shape of every tree it returns.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/engine.hpp"
#include "fuzz_support.hpp"

using namespace vaskel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    RuleBase rules;
    const std::size_t nrules = in.ConsumeIntegralInRange<std::size_t>(0, 12);
    for (std::size_t k = 0; k < nrules; ++k) {
        std::string key = fuzz::small_text(in, "abXY+", 6);
        std::string value = fuzz::small_text(in, "XY+", 4);
        rules.insert(key, value);
    }
    std::vector<std::string> tokens;
    const std::size_t ntokens = in.ConsumeIntegralInRange<std::size_t>(0, 64);
    for (std::size_t k = 0; k < ntokens; ++k) tokens.push_back(fuzz::small_text(in, "ab+", 2));

    CollectingLineSink trace;
    const Tree tree = run_engine(leaf_level(tokens), rules, trace);

    FUZZ_CHECK(tree.levels.size() >= 2);
    FUZZ_CHECK(tree.levels.back().size() == 1);
    FUZZ_CHECK(tree.levels[0].size() == tokens.size());
    for (std::size_t l = 0; l < tree.levels.size(); ++l) {
        const Level& level = tree.levels[l];
        if (l > 0) {
            FUZZ_CHECK(!level.empty());
            const bool from_matches = !(level.size() == 1 && level[0].children.empty());
            if (from_matches) FUZZ_CHECK(level.size() <= tree.levels[l - 1].size());
        }
        for (std::size_t i = 0; i < level.size(); ++i) {
            const Node& node = level[i];
            FUZZ_CHECK(node.level == l && node.index == i);
            if (l == 0) {
                FUZZ_CHECK(node.children.empty() && node.data == tokens[i]);
            } else if (!node.children.empty()) {
                FUZZ_CHECK(node.children.size() == 1 && node.children[0] == i);
                FUZZ_CHECK(node.data.find('+') != std::string::npos);
            } else {
                FUZZ_CHECK(level.size() == 1 && node.data == "0");
            }
        }
    }
    // The trace opens with one line per single-label rule (a key without '+'),
    // in the order the rules were given.
    std::vector<std::string> rule_lines;
    for (const Rule& rule : rules.entries()) {
        if (rule.key().find('+') == std::string_view::npos) {
            rule_lines.push_back(std::string(rule.key()) + " : " + std::string(rule.value()));
        }
    }
    FUZZ_CHECK(trace.lines.size() > rule_lines.size());
    FUZZ_CHECK(std::equal(rule_lines.begin(), rule_lines.end(), trace.lines.begin()));
    // One report line per pass, the last line of the trace being one.
    FUZZ_CHECK(!trace.lines.empty() && trace.lines.back().front() == '[');
    return 0;
}
