// The rule engine behind vaskel.engine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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
    void grow_index(std::size_t entries);

    std::vector<std::pair<std::string, std::string>> entries_;
    // The hash of each entry's key, and an open-addressing index over them
    // (entry position + 1; 0 is a free slot), at most half full: a lexicon
    // of a million rules is indexed without a node or a key copy per rule.
    // Seeded: the keys come from the caller, who could otherwise pick them to
    // share slots.
    std::vector<std::uint64_t> hashes_;
    std::vector<std::size_t> index_;
    std::uint64_t seed_ = rule_hash_seed();
};

// Runs the engine over the tokens and returns the tree of all its passes,
// writing the trace to `trace`.
Tree run_engine(std::vector<std::string> tokens, const RuleBase& rules, LineSink& trace);

}  // namespace vaskel
