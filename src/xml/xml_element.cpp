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
// What a cutter emits must reach the output before the byte that made it
// emit, so emissions go on a stack of pending byte runs (`work_`) that is
// drained top first; neither the element nesting nor the cutter chain uses
// the call stack.
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
            feed(depth - 1, "</");
            feed(depth - 1, element.name);
            feed(depth - 1, ">");
            // The child's output is followed by a newline in its parent's content.
            if (!open.empty()) feed(depth - 1, newline_);
        }
    }

private:
    struct Cutter {
        bool in_line = false;
        bool pending_cr = false;
    };

    enum class Escape { none, text, attr };

    struct Run {
        int cutter;             // where the bytes go in
        std::string_view rest;  // what is left of them
        Escape escape;
    };

    // Writes the opening tag into cutter k (the parent's content). Returns
    // whether the element has content, in which case its cutter is opened.
    bool open_tag(const XMLElement& element, int k) {
        feed(k, "<");
        feed(k, element.name);
        if (element.attributes) {
            for (const XMLAttr& attr : *element.attributes) {
                feed(k, " ");
                feed(k, attr.name);
                feed(k, "=\"");
                feed(k, attr.value, Escape::attr);
                feed(k, "\"");
            }
        }
        if (!element.elements && !element.text) {
            feed(k, "/>");
            return false;
        }
        feed(k, ">");
        cutters_.emplace_back();
        dirty_.push_back(cutters_.size() - 1);
        return true;
    }

    // Text after the children: escaped, except its first complete CDATA
    // section, which goes out unchanged.
    void write_text(std::string_view text, int k) {
        const CdataSplit split = split_cdata(text);
        feed(k, split.before, Escape::text);
        if (split.section_and_after) {
            feed(k, split.section_and_after->first);
            feed(k, split.section_and_after->second, Escape::text);
        }
    }

    // Closes cutter k, the topmost one; a carriage return it still holds
    // ends the last line and is dropped.
    void end_content(int k) {
        if (!dirty_.empty() && dirty_.back() == static_cast<std::size_t>(k)) dirty_.pop_back();
        cutters_.pop_back();
    }

    // Feeds bytes to cutter k and everything they cause down to the output.
    void feed(int k, std::string_view s, Escape escape = Escape::none) {
        if (s.empty()) return;
        work_.push_back({k, s, escape});
        while (!work_.empty()) step();
    }

    // Handles the next piece of the topmost pending run: a run of ordinary
    // bytes, or one line break. When a cutter has to emit first, the
    // emission is pushed and the piece is looked at again afterwards.
    void step() {
        Run& run = work_.back();
        if (run.rest.empty()) {
            work_.pop_back();
            return;
        }
        const char first = run.rest.front();
        // Entities hold no line break and attribute values lose theirs to
        // character references, so escaping never changes where lines end.
        if (run.escape == Escape::attr || !is_break(first)) {
            if (!dirty_.empty()) {
                clean(dirty_.back());
                return;
            }
            std::size_t end = 1;
            if (run.escape == Escape::attr) {
                end = run.rest.size();
            } else {
                while (end < run.rest.size() && !is_break(run.rest[end])) ++end;
            }
            const std::string_view bytes = run.rest.substr(0, end);
            run.rest.remove_prefix(end);
            switch (run.escape) {
                case Escape::none: out_.append(bytes); break;
                case Escape::text: append_escaped<text_entity>(out_, bytes); break;
                case Escape::attr: append_escaped<attr_entity>(out_, bytes); break;
            }
            return;
        }
        if (run.cutter < 0) {
            out_.push_back(first);
            run.rest.remove_prefix(1);
            return;
        }
        const auto k = static_cast<std::size_t>(run.cutter);
        Cutter& c = cutters_[k];
        if (first == '\r') {
            // The header, or an earlier carriage return, goes out first.
            if (!c.in_line || c.pending_cr) {
                clean(k);
                return;
            }
            c.pending_cr = true;
        } else {
            if (!c.in_line) {
                clean(k);  // an empty line still gets its header
                return;
            }
            if (c.pending_cr) dirty_.pop_back();  // a carriage return before a line feed is dropped
            c.in_line = false;
            c.pending_cr = false;
        }
        dirty_.push_back(k);
        run.rest.remove_prefix(1);
    }

    // Cutter k, the highest dirty one, emits into cutter k - 1 the header of
    // its line or the carriage return it held back.
    void clean(std::size_t k) {
        dirty_.pop_back();
        Cutter& c = cutters_[k];
        const int below = static_cast<int>(k) - 1;
        if (!c.in_line) {
            c.in_line = true;
            work_.push_back({below, indent_, Escape::none});
            work_.push_back({below, newline_, Escape::none});
        } else {
            c.pending_cr = false;
            work_.push_back({below, "\r", Escape::none});
        }
    }

    std::string& out_;
    std::string_view newline_;
    std::string_view indent_;
    std::vector<Cutter> cutters_;      // index: depth of the open element
    std::vector<std::size_t> dirty_;  // ascending
    std::vector<Run> work_;           // drained from the back
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
