// The rule engine behind vaskel.engine.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "line_sink.hpp"
#include "rule_table.hpp"
#include "tree.hpp"

namespace vaskel {

// The rules in the order they were given. Inserting a key that is already
// present replaces its value and keeps its first position.
class RuleBase {
public:
    void reserve(std::size_t n);
    void insert(std::string key, std::string value);
    const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }

private:
    std::vector<std::pair<std::string, std::string>> entries_;
    // Seeded: the keys come from the caller, who could otherwise pick them to
    // fall into one bucket.
    std::unordered_map<std::string, std::size_t, SeededTextHash> position_;
};

// Runs the engine over the tokens and returns the tree of all its passes,
// writing the trace to `trace`.
Tree run_engine(std::vector<std::string> tokens, const RuleBase& rules, LineSink& trace);

}  // namespace vaskel
