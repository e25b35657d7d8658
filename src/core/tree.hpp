// Tree and Node records and the navigation operations on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vaskel {

// The positions of a node's children in the level directly below. Most
// nodes have none (the leaves) or one (every node the engine makes): one
// position is kept in the list itself, and only a longer list goes to the
// heap, whose room doubles at every power of two. 16 bytes, where a vector
// takes 24 and an allocation for the engine's one child.
class ChildList {
public:
    ChildList() noexcept = default;
    ChildList(const ChildList& other) { copy_from(other); }
    ChildList(ChildList&& other) noexcept : heap_(other.heap_), size_(other.size_), one_(other.one_) {
        other.heap_ = nullptr;
        other.size_ = 0;
    }
    ChildList& operator=(const ChildList& other) {
        if (this != &other) {
            ChildList copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    ChildList& operator=(ChildList&& other) noexcept {
        if (this != &other) {
            delete[] heap_;
            heap_ = other.heap_;
            size_ = other.size_;
            one_ = other.one_;
            other.heap_ = nullptr;
            other.size_ = 0;
        }
        return *this;
    }
    ~ChildList() { delete[] heap_; }

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    const std::uint32_t* data() const noexcept { return heap_ != nullptr ? heap_ : &one_; }
    const std::uint32_t* begin() const noexcept { return data(); }
    const std::uint32_t* end() const noexcept { return data() + size_; }
    std::uint32_t operator[](std::size_t k) const noexcept { return data()[k]; }

    void push_back(std::uint32_t position);

private:
    void copy_from(const ChildList& other);

    std::uint32_t* heap_ = nullptr;  // the positions when there are two or more
    std::uint32_t size_ = 0;
    std::uint32_t one_ = 0;  // the position when there is one
};

struct Node {
    ChildList children;
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
