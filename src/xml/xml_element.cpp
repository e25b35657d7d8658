#include "xml_element.hpp"

#include <cstddef>

namespace vaskel::xml {

void XMLElement::add_attr(std::string attr_name, std::string value) {
    if (!attributes) attributes.emplace();
    attributes->push_back(XMLAttr{std::move(attr_name), std::move(value)});
}

void XMLElement::add_element(XMLElement child) {
    if (!elements) elements.emplace();
    elements->push_back(std::move(child));
}

void XMLElement::set_text(std::string content) { text = std::move(content); }

CdataSplit split_cdata(std::string_view text) {
    constexpr std::string_view open = "<![CDATA[";
    constexpr std::string_view close = "]]>";
    const std::size_t start = text.find(open);
    if (start == std::string_view::npos) return {text, std::nullopt};
    // The opening marker holds no ']', so searching from its first byte
    // cannot find a closing marker that overlaps it.
    const std::size_t close_at = text.find(close, start);
    if (close_at == std::string_view::npos) return {text, std::nullopt};
    const std::size_t end = close_at + close.size();
    return {text.substr(0, start),
            std::pair{text.substr(start, end - start), text.substr(end)}};
}

namespace {

// Entity for a character of text content, or an empty view when the
// character stands as it is.
constexpr std::string_view text_entity(char c) {
    switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '\'': return "&apos;";
        case '"': return "&quot;";
        default: return {};
    }
}

// Attribute values also lose their line breaks and tabs to attribute-value
// normalisation unless those are written as character references.
constexpr std::string_view attr_entity(char c) {
    switch (c) {
        case '\n': return "&#10;";
        case '\r': return "&#13;";
        case '\t': return "&#9;";
        default: return text_entity(c);
    }
}

// Appends s to out with every character that has an entity replaced by it.
// One pass suffices: no entity contains a character that has an entity of
// its own other than '&', and '&' in the input is replaced, never produced.
template <std::string_view (*Entity)(char)>
void append_escaped(std::string& out, std::string_view s) {
    std::size_t run = 0;
    for (std::size_t k = 0; k < s.size(); ++k) {
        const std::string_view entity = Entity(s[k]);
        if (entity.empty()) continue;
        out.append(s.data() + run, k - run);
        out.append(entity);
        run = k + 1;
    }
    out.append(s.data() + run, s.size() - run);
}

bool is_break(char c) { return c == '\n' || c == '\r'; }

// Renders an element tree in one forward pass.
//
// Every element indents the lines of its content, and its own output is part
// of the content of its parent, so a byte of text written d levels down goes
// through d + 1 line cutters before it reaches the output. Rather than build
// each element's string and cut it again in every ancestor, the writer keeps
// one cutter per open element and streams bytes down the chain: cutter k cuts
// the content of the open element at depth k and hands what it produces to
// cutter k - 1; below cutter 0 (k == -1) is the output string.
//
// A cutter holds two flags. `in_line`: the header (newline then indent) of
// the current line has gone out. `pending_cr`: a carriage return ends what
// has been seen of the line; it goes out only if more of the line follows,
// and is dropped if a line feed or the end of the content comes next. A
// cutter that lacks its header or holds a carriage return is "dirty": it
// must emit something before the next ordinary byte passes it.
//
// Bytes only ever flow towards lower cutters, so whenever a byte arrives at
// cutter k every cutter above k is clean. Hence the dirty cutters, kept in
// `dirty_` in ascending order, are always pushed and popped at the back, and
// a run of ordinary bytes (no CR, no LF) simply cleans every dirty cutter,
// highest first, and is appended to the output in one piece. The cost is
// linear in the output plus one step per line break or carriage return
// arriving at a cutter.
//
// The elements are walked with an explicit stack. A cutter's emission is fed
// to the cutter below it by a direct call, so the call stack grows with the
// number of cutters that emit in one chain, at most the nesting depth.
class PrettyWriter {
public:
    PrettyWriter(std::string& out, std::string_view newline, std::string_view indent)
        : out_(out), newline_(newline), indent_(indent) {}

    void write(const XMLElement& root) {
        struct Open {
            const XMLElement* element;
            std::size_t next_child;
        };
        std::vector<Open> open;
        if (!open_tag(root, -1)) return;
        open.push_back({&root, 0});
        while (!open.empty()) {
            Open& top = open.back();
            const int depth = static_cast<int>(open.size()) - 1;
            const XMLElement& element = *top.element;
            if (element.elements && top.next_child < element.elements->size()) {
                const XMLElement& child = (*element.elements)[top.next_child++];
                if (open_tag(child, depth)) {
                    open.push_back({&child, 0});
                } else {
                    feed(depth, newline_);
                }
                continue;
            }
            if (element.text) write_text(*element.text, depth);
            end_content(depth);
            open.pop_back();
            feed(depth - 1, newline_);
            plain("</");
            feed(depth - 1, element.name);
            plain(">");
            // The child's output is followed by a newline in its parent's content.
            if (!open.empty()) feed(depth - 1, newline_);
        }
    }

private:
    struct Cutter {
        bool in_line = false;
        bool pending_cr = false;
    };

    // Writes the opening tag into cutter k (the parent's content). Returns
    // whether the element has content, in which case its cutter is opened.
    // The fixed markup holds no line break, so it goes through plain().
    bool open_tag(const XMLElement& element, int k) {
        plain("<");
        feed(k, element.name);
        if (element.attributes) {
            for (const XMLAttr& attr : *element.attributes) {
                plain(" ");
                feed(k, attr.name);
                plain("=\"");
                // An escaped value holds neither CR nor LF.
                if (!attr.value.empty()) {
                    flush();
                    append_escaped<attr_entity>(out_, attr.value);
                }
                plain("\"");
            }
        }
        if (!element.elements && !element.text) {
            plain("/>");
            return false;
        }
        plain(">");
        cutters_.emplace_back();
        dirty_.push_back(cutters_.size() - 1);
        return true;
    }

    // Text after the children: escaped, except its first complete CDATA
    // section, which goes out unchanged.
    void write_text(std::string_view text, int k) {
        const CdataSplit split = split_cdata(text);
        feed_escaped(k, split.before);
        if (split.section_and_after) {
            feed(k, split.section_and_after->first);
            feed_escaped(k, split.section_and_after->second);
        }
    }

    // Closes cutter k, the topmost one; a carriage return it still holds
    // ends the last line and is dropped.
    void end_content(int k) {
        if (!dirty_.empty() && dirty_.back() == static_cast<std::size_t>(k)) dirty_.pop_back();
        cutters_.pop_back();
    }

    // Feeds any bytes to cutter k.
    void feed(int k, std::string_view s) {
        std::size_t pos = 0;
        while (pos < s.size()) {
            std::size_t end = pos;
            while (end < s.size() && !is_break(s[end])) ++end;
            plain(s.substr(pos, end - pos));
            if (end == s.size()) break;
            line_break(k, s[end]);
            pos = end + 1;
        }
    }

    // Feeds text to cutter k, escaped. Entities hold no line break, so the
    // lines of the text end where those of the input do.
    void feed_escaped(int k, std::string_view s) {
        std::size_t pos = 0;
        while (pos < s.size()) {
            std::size_t end = pos;
            while (end < s.size() && !is_break(s[end])) ++end;
            if (end > pos) {
                flush();
                append_escaped<text_entity>(out_, s.substr(pos, end - pos));
            }
            if (end == s.size()) break;
            line_break(k, s[end]);
            pos = end + 1;
        }
    }

    // A run without CR or LF: every dirty cutter emits what it owes, then
    // the run passes all cutters unchanged. An empty run starts no line.
    void plain(std::string_view run) {
        if (run.empty()) return;
        flush();
        out_.append(run);
    }

    void flush() {
        while (!dirty_.empty()) clean(dirty_.back());
    }

    // Cutter k, the highest dirty one, emits into cutter k - 1 the header of
    // its line or the carriage return it held back.
    void clean(std::size_t k) {
        dirty_.pop_back();
        Cutter& c = cutters_[k];
        const int below = static_cast<int>(k) - 1;
        if (!c.in_line) {
            c.in_line = true;
            feed(below, newline_);
            feed(below, indent_);
        } else {
            c.pending_cr = false;
            line_break(below, '\r');
        }
    }

    // A line break byte arriving at cutter k (k == -1: the output).
    void line_break(int k, char b) {
        if (k < 0) {
            out_.push_back(b);
            return;
        }
        const auto ku = static_cast<std::size_t>(k);
        Cutter& c = cutters_[ku];
        if (b == '\r') {
            // The header, or an earlier carriage return, goes out first.
            if (!c.in_line || c.pending_cr) clean(ku);
            c.pending_cr = true;
        } else {
            if (!c.in_line) {
                clean(ku);  // an empty line still gets its header
            } else if (c.pending_cr) {
                dirty_.pop_back();  // a carriage return before a line feed is dropped
            }
            c.in_line = false;
            c.pending_cr = false;
        }
        dirty_.push_back(ku);
    }

    std::string& out_;
    std::string_view newline_;
    std::string_view indent_;
    std::vector<Cutter> cutters_;      // index: depth of the open element
    std::vector<std::size_t> dirty_;  // ascending
};

}  // namespace

std::string escape_text(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    append_escaped<text_entity>(out, s);
    return out;
}

std::string escape_attr(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    append_escaped<attr_entity>(out, s);
    return out;
}

std::string to_string_pretty(const XMLElement& element, std::string_view newline,
                             std::string_view indent) {
    std::string out;
    PrettyWriter(out, newline, indent).write(element);
    return out;
}

}  // namespace vaskel::xml
