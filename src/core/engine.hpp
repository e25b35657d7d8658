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
    const std::vector<std::pair<std::string, std::string>>& entries() const {
        if (unsettled_ != 0) settle();
        return entries_;
    }

private:
    // Resolves repeated keys: a later key of the same text gives its value
    // to the first and is removed.
    void settle() const;

    // Keys are only hashed as they arrive. Repeated keys are found all at
    // once, when the entries are first read: an open-addressing index over
    // the hashes, walked with the slots of the next keys fetched ahead, costs
    // a lexicon of a million rules a fraction of one lookup per rule made on
    // arrival. Seeded: the keys come from the caller, who could otherwise
    // pick them to share slots.
    mutable std::vector<std::pair<std::string, std::string>> entries_;
    mutable std::vector<std::uint64_t> hashes_;
    mutable std::size_t unsettled_ = 0;  // entries inserted since the last settle()
    std::uint64_t seed_ = rule_hash_seed();
};

// Runs the engine over the tokens and returns the tree of all its passes,
// writing the trace to `trace`.
Tree run_engine(std::vector<std::string> tokens, const RuleBase& rules, LineSink& trace);

}  // namespace vaskel
