#include "tree_xml.hpp"

#include <charconv>
#include <string_view>

#include "failure.hpp"

namespace vaskel {

namespace {

// Writes "lvl : L ; i : I" without allocating.
void announce(LineSink& trace, std::uint32_t lvl, std::uint32_t i) {
    constexpr std::string_view lvl_label = "lvl : ";
    constexpr std::string_view i_label = " ; i : ";
    char buf[lvl_label.size() + i_label.size() + 2 * 10];
    char* p = buf + lvl_label.copy(buf, lvl_label.size());
    p = std::to_chars(p, buf + sizeof buf, lvl).ptr;
    p += i_label.copy(p, i_label.size());
    p = std::to_chars(p, buf + sizeof buf, i).ptr;
    trace.write_line(std::string_view(buf, static_cast<std::size_t>(p - buf)));
}

const Node& lookup(const Tree& tree, std::uint32_t lvl, std::uint32_t i) {
    if (lvl >= tree.data.size()) fail_index(tree.data.size(), lvl);
    const Level& level = tree.data[lvl];
    if (i >= level.size()) fail_index(level.size(), i);
    return level[i];
}

}  // namespace

// Recursion depth is bounded by the number of levels: every step goes one
// level down, and below level 0 the lookup fails.
xml::XMLElement node_to_xml(const Tree& tree, std::uint32_t lvl, std::uint32_t i, LineSink& trace) {
    announce(trace, lvl, i);
    const Node& node = lookup(tree, lvl, i);
    xml::XMLElement element("chunk");
    if (lvl != 0) {
        element.add_attr("type", node.data);
    } else {
        element.set_text(node.data);
    }
    if (!node.children.empty()) {
        // Only a node with children gets a child list: an absent list and
        // an empty one are written differently.
        element.elements.emplace().reserve(node.children.size());
        // A node of level 0 that lists children sends the walk to level
        // 4294967295, where the lookup fails after the line is written.
        const std::uint32_t below = lvl - 1;
        for (const std::uint32_t child : node.children) {
            element.add_element(node_to_xml(tree, below, child, trace));
        }
    }
    return element;
}

std::string tree_to_xml(const Tree& tree, LineSink& trace) {
    xml::XMLElement root("test");
    if (tree.data.empty()) fail_index(0, 0);
    const Level& top = tree.data.back();
    if (!top.empty()) {
        root.elements.emplace().reserve(top.size());
        // Each node is exported by its stored coordinates, which in a tree
        // cut out of a larger one may name another node.
        for (const Node& node : top) {
            root.add_element(node_to_xml(tree, node.level, node.index, trace));
        }
    }
    return xml::to_string_pretty(root, "\n", "\t");
}

}  // namespace vaskel
