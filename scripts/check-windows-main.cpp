// A program over the core alone, for the Windows cross-compile check
// (scripts/check-windows.sh), linked with every object of the core, the XML
// code and the Windows platform layer, so that the linker must resolve all
// they use. It tokenizes a sentence,
// runs the engine on it with its trace on fd 1, and prints the tree's XML.
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/engine.hpp"
#include "core/failure.hpp"
#include "core/line_sink.hpp"
#include "core/rule_base.hpp"
#include "core/tokenizer.hpp"
#include "core/tree.hpp"
#include "core/tree_xml.hpp"

int main() {
    const std::string_view text = "le petit chat voit la souris.";
    std::vector<std::string> tokens;
    for (const vaskel::TokenSpan& span : vaskel::tokenize_spans(text)) {
        tokens.emplace_back(text.substr(span.begin, span.length));
    }
    vaskel::RuleBase rules;
    const char* const pairs[][2] = {{"le", "DET"},    {"la", "DET"},      {"chat", "NOM"},
                                    {"souris", "NOM"}, {"DET+NOM", "GN"}, {"DET+NOM+X", "_"}};
    for (const auto& pair : pairs) rules.insert(pair[0], pair[1]);
    try {
        vaskel::StdoutLineWriter trace;
        const vaskel::Tree tree = vaskel::run_engine(vaskel::leaf_level(std::move(tokens)), rules, trace);
        const std::string xml = vaskel::tree_to_xml(tree, trace);
        std::fwrite(xml.data(), 1, xml.size(), stdout);
    } catch (const vaskel::Failure& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    return 0;
}
