#include "tree_xml.hpp"

#include <charconv>
#include <string_view>

#include "failure.hpp"

namespace vaskel {

namespace {

// Writes "lvl : L ; i : I" without allocating, built with its line feed.
void announce(LineSink& trace, std::uint32_t lvl, std::uint32_t i) {
    constexpr std::string_view lvl_label = "lvl : ";
    constexpr std::string_view i_label = " ; i : ";
    char buf[lvl_label.size() + i_label.size() + 2 * 10 + 1];
    char* p = buf + lvl_label.copy(buf, lvl_label.size());
    p = std::to_chars(p, buf + sizeof buf, lvl).ptr;
    p += i_label.copy(p, i_label.size());
    p = std::to_chars(p, buf + sizeof buf, i).ptr;
    *p++ = '\n';
    trace.write_terminated(buf, static_cast<std::size_t>(p - buf));
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


namespace {

// Renders the export in one walk, straight into the output string, instead of
// building an XMLElement per node and rendering that: it writes exactly what
// to_string_pretty writes for the elements node_to_xml builds, with newline
// "\n" and indent "\t". In that output every line after the first is a line
// feed, one tab per open element around the line, then the line's content;
// an element's text is cut into lines at its line feeds, carriage returns
// that end one of those lines (right before the line feed or at the end of
// the text) are dropped, and a last line left empty by a final line feed is
// not written.
class XmlExport {
public:
    // With a sink, the text goes out in pieces: once the buffer holds
    // `piece_size` bytes at the end of an element, it is handed over and
    // cleared. Without one, it is all kept and returned by run().
    XmlExport(const Tree& tree, LineSink& trace, TextSink* sink = nullptr, std::size_t piece_size = 0)
        : tree_(tree), trace_(trace), sink_(sink), piece_size_(piece_size) {}

    std::string run() {
        if (tree_.data.empty()) fail_index(0, 0);
        const Level& top = tree_.data.back();
        if (top.empty()) {
            out_ = "<test/>";
            return finish();
        }
        // Room for the top level's elements written once each: 40 bytes of
        // markup (tags, line breaks, indentation) and the node's text. That
        // is all of it for a tree of leaves, so the text is never copied to
        // a larger buffer; deeper trees grow it as they go. In pieces, one
        // piece and the element that ends it are enough.
        std::size_t estimate = 16;
        for (const Node& node : top) estimate += 40 + node.data.size();
        out_.reserve(sink_ != nullptr && estimate > 2 * piece_size_ ? 2 * piece_size_ : estimate);
        out_ += "<test>";
        for (const Node& node : top) element(node.level, node.index, 1);
        out_ += "\n</test>";
        return finish();
    }

private:
    // The element of node (lvl, i) whose tags stand behind `depth` tabs, in
    // the order node_to_xml visits, announces and looks up the nodes.
    void element(std::uint32_t lvl, std::uint32_t i, std::size_t depth) {
        announce(lvl, i);
        const Node& node = lookup(tree_, lvl, i);
        line(depth);
        out_ += "<chunk";
        if (lvl != 0) {
            out_ += " type=\"";
            append_escaped_attr(node.data);
            out_ += '"';
            if (node.children.empty()) {
                out_ += "/>";
                element_done();
                return;
            }
        }
        out_ += '>';
        const std::uint32_t below = lvl - 1;
        for (const std::uint32_t child : node.children) element(below, child, depth + 1);
        if (lvl == 0) text(node.data, depth + 1);
        line(depth);
        out_ += "</chunk>";
        element_done();
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

    void line(std::size_t depth) {
        out_ += '\n';
        out_.append(depth, '\t');
    }

    // Leaf text: escaped, except its first complete CDATA section, then cut
    // into lines. Escaping neither makes nor removes a line break, so the
    // lines are cut from the escaped text.
    void text(std::string_view data, std::size_t depth) {
        std::string_view content = data;
        std::string escaped;
        const xml::CdataSplit split = xml::split_cdata(data);
        if (split.section_and_after || needs_escape(data)) {
            escaped = xml::escape_text(split.before);
            if (split.section_and_after) {
                escaped += split.section_and_after->first;
                escaped += xml::escape_text(split.section_and_after->second);
            }
            content = escaped;
        }
        std::size_t pos = 0;
        for (;;) {
            const std::size_t lf = content.find('\n', pos);
            std::string_view piece = content.substr(pos, lf == std::string_view::npos ? content.npos : lf - pos);
            // A piece that a line feed ends is a line even when empty; the
            // piece after the last line feed only when it holds something.
            if (lf == std::string_view::npos && piece.empty()) return;
            // Carriage returns ending a line are dropped, up to one per open
            // element around the line: each element's line cutter holds
            // back one, and drops it when the line ends; more than that many
            // reach the output.
            for (std::size_t held = 0; held < depth && !piece.empty() && piece.back() == '\r'; ++held) {
                piece.remove_suffix(1);
            }
            line(depth);
            out_ += piece;
            if (lf == std::string_view::npos) return;
            pos = lf + 1;
        }
    }

    static bool needs_escape(std::string_view s) {
        for (const char c : s) {
            if (c == '&' || c == '<' || c == '>' || c == '\'' || c == '"') return true;
        }
        return false;
    }

    void append_escaped_attr(std::string_view value) {
        for (const char c : value) {
            switch (c) {
                case '&': case '<': case '>': case '\'': case '"': case '\n': case '\r': case '\t':
                    out_ += xml::escape_attr(value);
                    return;
                default:
                    break;
            }
        }
        out_ += value;
    }

    void announce(std::uint32_t lvl, std::uint32_t i) { vaskel::announce(trace_, lvl, i); }

    const Tree& tree_;
    LineSink& trace_;
    TextSink* sink_;
    std::size_t piece_size_;
    std::string out_;
};

}  // namespace

std::string tree_to_xml(const Tree& tree, LineSink& trace) { return XmlExport(tree, trace).run(); }

void tree_to_xml(const Tree& tree, LineSink& trace, TextSink& out, std::size_t piece_size) {
    XmlExport(tree, trace, &out, piece_size).run();
}

}  // namespace vaskel
