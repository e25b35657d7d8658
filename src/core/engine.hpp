// The rule engine behind vaskel.engine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "line_sink.hpp"
#include "rule_base.hpp"
#include "tree.hpp"

namespace vaskel {

// Runs the engine over the leaves of the tokens (leaf_level) and returns the
// tree of all its passes, the leaves as its level 0, writing the trace to
// `trace`.
Tree run_engine(Level leaves, const RuleBase& rules, LineSink& trace);

}  // namespace vaskel
