#include "tree.hpp"

#include <algorithm>
#include <bit>
#include <new>

#include "failure.hpp"
#include "interrupt.hpp"

namespace vaskel {

void ChildList::push_back(std::uint32_t position) {
    if (size_ == 0 && heap_ == nullptr) {
        one_ = position;
        size_ = 1;
        return;
    }
    // Full when the size is a power of two (1 counts: the inline slot).
    if ((size_ & (size_ - 1)) == 0) {
        if (size_ == std::uint32_t{1} << 31) throw std::bad_alloc();
        auto* larger = new std::uint32_t[2 * std::size_t{size_}];
        std::copy(begin(), end(), larger);
        delete[] heap_;
        heap_ = larger;
    }
    heap_[size_++] = position;
}

void ChildList::copy_from(const ChildList& other) {
    if (other.heap_ != nullptr) {
        heap_ = new std::uint32_t[std::bit_ceil(std::size_t{other.size_})];
        std::copy(other.begin(), other.end(), heap_);
    }
    size_ = other.size_;
    one_ = other.one_;
}

const Node& node_at(const Tree& tree, std::uint32_t lvl, std::uint32_t i) {
    if (lvl >= tree.levels.size()) fail_index(tree.levels.size(), lvl);
    const Level& level = tree.levels[lvl];
    if (i >= level.size()) fail_index(level.size(), i);
    return level[i];
}

namespace {

constexpr const char* kCycleMessage = "decapsulate: the recorded levels of the tree form a cycle";

// Appends a copy of `node` to `out`. When `out` is full, its nodes move to a
// buffer twice as large one by one, each move a step of `check`: the vector's
// own growth would move millions of nodes in one go, keeping a Ctrl-C
// waiting all that time.
void append_node(std::vector<Node>& out, const Node& node, InterruptCheck& check) {
    if (out.size() == out.capacity()) [[unlikely]] {
        std::vector<Node> larger;
        larger.reserve(out.empty() ? 16 : 2 * out.size());
        for (Node& n : out) {
            check.step();
            larger.push_back(std::move(n));
        }
        out.swap(larger);
    }
    out.push_back(node);
}

// Appends copies of the children of node (lvl, i) to out, one step of
// `check` per child.
void append_children(const Tree& tree, std::uint32_t lvl, std::uint32_t i, std::vector<Node>& out,
                     InterruptCheck& check) {
    const Node& node = node_at(tree, lvl, i);
    if (node.children.empty()) return;
    // Level numbers are 32-bit unsigned: below level 0 comes 4294967295,
    // which no tree reaches.
    const std::uint32_t below = lvl - 1u;
    if (below >= tree.levels.size()) fail_index(tree.levels.size(), below);
    const Level& lower = tree.levels[below];
    if (out.empty()) out.reserve(node.children.size());
    for (std::uint32_t c : node.children) {
        check.step();
        if (c >= lower.size()) fail_index(lower.size(), c);
        append_node(out, lower[c], check);
    }
}

std::size_t node_count(const Tree& tree) {
    std::size_t total = 0;
    for (const Level& level : tree.levels) total += level.size();
    return total;
}

}  // namespace

Level leaf_level(std::vector<std::string> leaves) {
    Level level;
    level.reserve(leaves.size());
    InterruptCheck check;
    for (std::size_t k = 0; k < leaves.size(); ++k) {
        check.step();
        Node& node = level.emplace_back();
        node.data = std::move(leaves[k]);
        node.index = static_cast<std::uint32_t>(k);
    }
    return level;
}

Tree tree_from_leaves(std::vector<std::string> leaves) {
    Tree tree;
    tree.levels.push_back(leaf_level(std::move(leaves)));
    return tree;
}

std::vector<Node> get_children(const Tree& tree, std::uint32_t lvl, std::uint32_t i) {
    std::vector<Node> out;
    InterruptCheck check;
    append_children(tree, lvl, i, out, check);
    return out;
}

// Lists the leaves reached from node (lvl, i), depth-first and left to right,
// once per path. A child whose recorded level is 0 is a leaf; any other child
// is expanded from its recorded (level, index), not from where it was found.
//
// The walk keeps its own stack instead of recursing, so that deep trees cannot
// exhaust the native stack. Expanding a node is fully determined by its
// coordinates, so when the stack holds more frames than the tree has nodes some
// node is being expanded inside itself and the walk would never end; that is
// reported as a failure. Every other failure comes in the order a recursive
// walk would meet it.
std::vector<Node> decapsulate(const Tree& tree, std::uint32_t lvl, std::uint32_t i) {
    std::vector<Node> out;
    if (lvl == 0) return out;

    struct Frame {
        const Node* node;
        std::size_t next;    // next entry of node->children to visit
        std::uint32_t lvl;   // level the node was looked up in (never 0)
    };
    std::vector<Frame> stack;
    const std::size_t max_depth = node_count(tree);
    stack.push_back({&node_at(tree, lvl, i), 0, lvl});

    InterruptCheck check;
    while (!stack.empty()) {
        check.step();
        Frame& top = stack.back();
        if (top.next == top.node->children.size()) {
            stack.pop_back();
            continue;
        }
        const std::uint32_t c = top.node->children[top.next++];
        const Level& lower = tree.levels[top.lvl - 1u];
        if (c >= lower.size()) fail_index(lower.size(), c);
        const Node& child = lower[c];
        if (child.level == 0) {
            append_node(out, child, check);
            continue;
        }
        const Node& expanded = node_at(tree, child.level, child.index);
        if (stack.size() >= max_depth) fail(kCycleMessage);
        stack.push_back({&expanded, 0, child.level});
    }
    return out;
}

std::string concat(const Tree& tree, std::uint32_t lvl, std::uint32_t i, std::string_view sep) {
    const std::vector<Node> leaves = decapsulate(tree, lvl, i);
    std::string out;
    if (leaves.empty()) return out;
    InterruptCheck check;
    std::size_t size = sep.size() * (leaves.size() - 1);
    for (const Node& leaf : leaves) {
        check.step();
        size += leaf.data.size();
    }
    out.reserve(size);
    for (std::size_t k = 0; k < leaves.size(); ++k) {
        check.step();
        if (k != 0) out.append(sep);
        out.append(leaves[k].data);
    }
    return out;
}

// Node (lvl, i) and its descendants, level by level down to level 0, each
// level listing the children of the nodes of the level above in order. Nodes
// are copied unchanged, so their index and children keep the positions of the
// source tree.
Tree subtree(const Tree& tree, std::uint32_t lvl, std::uint32_t i) {
    Level current;
    current.push_back(node_at(tree, lvl, i));
    std::vector<Level> collected;
    collected.reserve(static_cast<std::size_t>(lvl) + 1);

    InterruptCheck check;
    for (std::uint32_t counter = lvl; counter != 0; --counter) {
        Level next;
        for (const Node& m : current) {
            check.step();
            append_children(tree, counter, m.index, next, check);
        }
        collected.push_back(std::move(current));
        current = std::move(next);
    }
    collected.push_back(std::move(current));
    std::reverse(collected.begin(), collected.end());

    Tree result;
    result.levels = std::move(collected);
    return result;
}

}  // namespace vaskel
