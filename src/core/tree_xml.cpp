#include "tree_xml.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

#include "../xml/writer.hpp"
#include "failure.hpp"
#include "interrupt.hpp"
#include "trace.hpp"

namespace vaskel {

namespace {

// Walks the tree depth first, a node before its children, writing each
// node's line and looking it up before its element is written. The nodes
// waiting for their remaining children are kept on an explicit stack, not on
// the native one: every step goes one level down, so the walk nests as deep
// as the tree has levels, and a malformed tree can have as many levels as
// nodes.
//
// In a deep tree the text alone grows as the square of the nesting (each
// line is indented by its depth), so a walk that fails at the bottom would
// have built all that for nothing. A tree of more than kShallowLevels levels
// is therefore walked twice: first the node lines and lookups alone, so that
// a failure comes before any XML is built, then the XML over nodes now known
// to exist. Memory stays linear in the output plus the depth.
class XmlExport {
public:
    // With a sink, the text goes out in pieces: once the buffer holds
    // `piece_size` bytes at the end of an element, it is handed over and
    // cleared. Without one, it is all kept and returned by run().
    XmlExport(const Tree& tree, LineSink& trace, TextSink* sink = nullptr, std::size_t piece_size = 0)
        : tree_(tree), trace_(trace), sink_(sink), piece_size_(piece_size), writer_(out_, "\n", "\t") {}

    std::string run() {
        if (tree_.levels.empty()) fail_index(0, 0);
        const Level& top = tree_.levels.back();
        const bool shallow = tree_.levels.size() <= kShallowLevels;
        if (!shallow) walk<Pass::Check>(top);
        // Room for the top level's elements written once each: 40 bytes of
        // markup (tags, line breaks, indentation) and the node's text. That
        // is all of it for a tree of leaves, so the text is never copied to
        // a larger buffer; deeper trees grow it as they go. In pieces, one
        // piece and the element that ends it are enough.
        std::size_t estimate = 16;
        for (const Node& node : top) {
            check_.step();
            estimate += 40 + node.data.size();
        }
        out_.reserve(sink_ != nullptr && estimate > 2 * piece_size_ ? 2 * piece_size_ : estimate);
        if (shallow) {
            walk<Pass::Both>(top);
        } else {
            walk<Pass::Render>(top);
        }
        return finish();
    }

private:
    // Up to this many levels, what a failing walk has written is at most
    // that many tabs and one element's markup per visited node.
    static constexpr std::size_t kShallowLevels = 64;

    enum class Pass { Check, Render, Both };
    static constexpr bool checks(Pass p) { return p != Pass::Render; }
    static constexpr bool renders(Pass p) { return p != Pass::Check; }

    struct Frame {
        const Node* node;
        std::size_t next;    // next entry of node->children to visit
        std::uint32_t lvl;   // level the node was looked up in
    };

    // Every pass visits the same nodes in the same order: for each node of
    // the top level, the node its stored level and index designate, then, for
    // each entry of a visited node's children, that position in the level
    // below. Below level 0 comes 4294967295, where the lookup fails after the
    // node's line is written.
    template <Pass P>
    void walk(const Level& top) {
        if constexpr (renders(P)) writer_.open("test");
        for (const Node& root : top) {
            enter<P>(root.level, root.index);
            while (!stack_.empty()) {
                Frame& frame = stack_.back();
                if (frame.next < frame.node->children.size()) {
                    const std::uint32_t below = frame.lvl - 1;
                    enter<P>(below, frame.node->children[frame.next++]);
                    continue;
                }
                if constexpr (renders(P)) {
                    if (frame.lvl == 0) writer_.text(frame.node->data);
                    writer_.close();
                    stack_.pop_back();
                    element_done();
                } else {
                    stack_.pop_back();
                }
            }
        }
        if constexpr (renders(P)) writer_.close();
    }

    // A leaf without children is written at once; any other node waits on
    // the stack for its children.
    template <Pass P>
    void enter(std::uint32_t lvl, std::uint32_t i) {
        check_.step();
        if constexpr (checks(P)) write_node_line(trace_, lvl, i);
        const Node& node = node_at(tree_, lvl, i);
        if (lvl == 0 && node.children.empty()) {
            if constexpr (renders(P)) {
                writer_.leaf("chunk", node.data);
                element_done();
            }
            return;
        }
        if constexpr (renders(P)) {
            writer_.open("chunk");
            if (lvl != 0) writer_.attribute("type", node.data);
        }
        stack_.push_back({&node, 0, lvl});
    }

    // The buffer ends at an element's end here: a place to cut a piece.
    void element_done() {
        if (sink_ != nullptr && out_.size() >= piece_size_) hand_over();
    }

    void hand_over() {
        sink_->append(out_);
        out_.clear();
    }

    std::string finish() {
        if (sink_ == nullptr) return std::move(out_);
        if (!out_.empty()) hand_over();
        return {};
    }

    const Tree& tree_;
    LineSink& trace_;
    TextSink* sink_;
    std::size_t piece_size_;
    std::string out_;
    xml::Writer writer_;
    std::vector<Frame> stack_;
    InterruptCheck check_;  // one step per node visited
};

}  // namespace

std::string tree_to_xml(const Tree& tree, LineSink& trace) { return XmlExport(tree, trace).run(); }

void tree_to_xml(const Tree& tree, LineSink& trace, TextSink& out, std::size_t piece_size) {
    XmlExport(tree, trace, &out, piece_size).run();
}

}  // namespace vaskel
