// Fuzzes navigation and the XML export on random trees, malformed ones
// included: every call must either answer or fail with a Failure, never
// crash, loop or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/failure.hpp"
#include "core/tree.hpp"
#include "core/tree_xml.hpp"
#include "fuzz_support.hpp"
#include "xml_reference.hpp"

using namespace vaskel;

namespace {

// Small enough that even a walk through shared children stays cheap: at
// most 12 nodes with at most 2 children each.
Tree random_tree(FuzzedDataProvider& in) {
    Tree tree;
    // Now and then more levels than the export walks in one pass (most of
    // them empty once the node budget is spent).
    const std::uint32_t nlevels = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(60, 70)
                                                   : in.ConsumeIntegralInRange<std::uint32_t>(0, 4);
    std::size_t budget = 12;
    for (std::uint32_t l = 0; l < nlevels; ++l) {
        Level level;
        const std::size_t n = std::min(budget, in.ConsumeIntegralInRange<std::size_t>(0, 4));
        budget -= n;
        for (std::size_t i = 0; i < n; ++i) {
            Node node;
            node.data = fuzz::small_text(in, "ab<&\"\n\r" "\x0b" "\xEF\xBF\xBE", 4);
            const bool faithful = in.ConsumeBool();
            node.level = faithful ? l : in.ConsumeIntegralInRange<std::uint32_t>(0, nlevels);
            node.index = faithful ? static_cast<std::uint32_t>(i) : in.ConsumeIntegralInRange<std::uint32_t>(0, 4);
            const std::size_t nchildren = in.ConsumeIntegralInRange<std::size_t>(0, 2);
            for (std::size_t c = 0; c < nchildren; ++c) node.children.push_back(in.ConsumeIntegralInRange<std::uint32_t>(0, 4));
            level.push_back(std::move(node));
        }
        tree.levels.push_back(std::move(level));
    }
    return tree;
}

// The export transcribed on its own: one element per visited node, built
// recursively (a node's line written before it is looked up), rendered by
// the reference writer. tree_to_xml must agree with it, diagnostic lines and
// failures included.
xml::XMLElement reference_element(const Tree& tree, std::uint32_t lvl, std::uint32_t i, LineSink& trace) {
    trace.write_line("lvl : " + std::to_string(lvl) + " ; i : " + std::to_string(i));
    if (lvl >= tree.levels.size()) fail_index(tree.levels.size(), lvl);
    if (i >= tree.levels[lvl].size()) fail_index(tree.levels[lvl].size(), i);
    const Node& node = tree.levels[lvl][i];
    xml::XMLElement element("chunk");
    if (lvl != 0) {
        element.add_attr("type", node.data);
    } else {
        element.set_text(node.data);
    }
    for (const std::uint32_t child : node.children) {
        element.add_element(reference_element(tree, lvl - 1, child, trace));
    }
    return element;
}

std::string reference_export(const Tree& tree, LineSink& trace) {
    if (tree.levels.empty()) fail_index(0, 0);
    xml::XMLElement root("test");
    for (const Node& node : tree.levels.back()) root.add_element(reference_element(tree, node.level, node.index, trace));
    return fuzz::reference_xml(root, "\n", "\t");
}

struct Outcome {
    std::string text;  // the XML, or the failure's message
    bool failed = false;
    std::vector<std::string> lines;
};

template <class Export>
Outcome outcome(Export&& run) {
    Outcome o;
    CollectingLineSink trace;
    try {
        o.text = run(trace);
    } catch (const Failure& f) {
        o.text = f.message();
        o.failed = true;
    }
    o.lines = std::move(trace.lines);
    return o;
}

// A piece that does not end right after a '>' would cut the text where a
// consumer decoding each piece on its own could split a character.
class PieceChecker final : public TextSink {
public:
    void append(std::string_view piece) override {
        FUZZ_CHECK(!piece.empty() && piece.back() == '>');
        text += piece;
    }
    std::string text;
};

void check_export(const Tree& tree, std::size_t piece_size) {
    const Outcome direct = outcome([&](LineSink& t) { return tree_to_xml(tree, t); });
    const Outcome reference = outcome([&](LineSink& t) { return reference_export(tree, t); });
    const Outcome pieces = outcome([&](LineSink& t) {
        PieceChecker out;
        tree_to_xml(tree, t, out, piece_size);
        return out.text;
    });
    FUZZ_CHECK(direct.failed == reference.failed);
    FUZZ_CHECK(direct.text == reference.text);
    FUZZ_CHECK(direct.lines == reference.lines);
    FUZZ_CHECK(pieces.failed == direct.failed && pieces.lines == direct.lines);
    if (!direct.failed) FUZZ_CHECK(pieces.text == direct.text);
}

template <class F>
void tolerate_failure(F&& f) {
    try {
        f();
    } catch (const Failure&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const Tree tree = random_tree(in);
    const std::uint32_t lvl = in.ConsumeIntegralInRange<std::uint32_t>(0, 5);
    const std::uint32_t i = in.ConsumeIntegralInRange<std::uint32_t>(0, 5);
    const std::size_t piece_size = in.ConsumeIntegralInRange<std::size_t>(0, 200);

    tolerate_failure([&] { get_children(tree, lvl, i); });
    tolerate_failure([&] { decapsulate(tree, lvl, i); });
    tolerate_failure([&] { concat(tree, lvl, i, ", "); });
    tolerate_failure([&] {
        const Tree sub = subtree(tree, lvl, i);
        FUZZ_CHECK(sub.levels.size() == static_cast<std::size_t>(lvl) + 1);
        check_export(sub, piece_size);
    });
    check_export(tree, piece_size);
    return 0;
}
