// Tree and Node records and the navigation operations on them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vaskel {

struct Node {
    std::vector<std::uint32_t> children;  // positions in the level directly below
    std::string data;
    std::uint32_t index = 0;  // position within its level
    std::uint32_t level = 0;  // number of the level that holds it
};

using Level = std::vector<Node>;

struct Tree {
    std::vector<Level> levels;  // level 0 first
};

// Node i of level lvl; the level is checked before the position, and either
// out of range throws the index-out-of-bounds Failure.
const Node& node_at(const Tree& tree, std::uint32_t lvl, std::uint32_t i);

// One leaf per text: node k holds text k, as level 0 of a tree.
Level leaf_level(std::vector<std::string> leaves);
// A tree of one level holding one leaf per text.
Tree tree_from_leaves(std::vector<std::string> leaves);

// Navigation. Coordinates name a node by level number and position. Every
// out-of-range access throws the index-out-of-bounds Failure.
std::vector<Node> get_children(const Tree& tree, std::uint32_t lvl, std::uint32_t i);
std::vector<Node> decapsulate(const Tree& tree, std::uint32_t lvl, std::uint32_t i);
std::string concat(const Tree& tree, std::uint32_t lvl, std::uint32_t i, std::string_view sep);
Tree subtree(const Tree& tree, std::uint32_t lvl, std::uint32_t i);

}  // namespace vaskel
