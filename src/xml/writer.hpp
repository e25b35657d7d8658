// The XML text format in one place: escaping, CDATA sections, and a streaming
// writer that lays out elements as indented lines. It knows nothing of where
// the elements come from.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vaskel::xml {

// The text cut at its first complete CDATA section.
struct CdataSplit {
    std::string_view before;
    std::optional<std::pair<std::string_view, std::string_view>> section_and_after;
};
CdataSplit split_cdata(std::string_view text);

// & < > ' " replaced by their entities.
std::string escape_text(std::string_view s);

// Attribute values: the same five entities, and line feed, carriage return and
// tab as character references, so that a parser reads back the exact value.
std::string escape_attr(std::string_view s);

// Writes elements to `out` as they are announced, depth first:
//
//     open(name), attribute(name, value)..., [begin_content()],
//     children (each open ... close), [text(t)], close()
//
// The result is the indented form: every element's content (its children,
// each followed by `newline`, then its text) is cut into lines at line feeds,
// and each line is written as `newline`, `indent`, the line; the closing tag
// follows after `newline`. A line loses one carriage return at its end in its
// own element and again in every enclosing one, since each re-cuts the lines
// of its content. An element that gets neither children, text nor
// begin_content() takes the short form <name .../>.
//
// Text is escaped except its first complete CDATA section; attribute values
// are escaped; names are written as given. Strings given as names, `newline`
// and `indent` must stay valid until the element (or the writer) is done.
// Memory grows with the output and the nesting depth only; nothing recurses.
class Writer {
public:
    Writer(std::string& out, std::string_view newline, std::string_view indent);

    void open(std::string_view name);
    // Only between open() and the element's content.
    void attribute(std::string_view name, std::string_view value);
    // The element has content even if no child and no text follow.
    void begin_content();
    // The element's text, after its children; only close() may follow.
    void text(std::string_view text);
    void close();

private:
    struct Open {
        std::string_view name;
        bool content;  // the start tag is finished with '>'
    };

    // Line cutting for any newline and indent (see writer.cpp).
    struct Cutter {
        bool in_line = false;
        bool pending_cr = false;
    };
    enum class Escape : unsigned char { None, Text };
    enum class Kind : unsigned char { Bytes, MarkCr, MarkLineEnd };
    struct Task {
        Kind kind;
        Escape escape;
        int k;  // cutter; -1 is the output
        std::string_view s;
        std::size_t pos;
    };

    static bool has_break(std::string_view s) noexcept {
        for (const char c : s) {
            if (c == '\n' || c == '\r') return true;
        }
        return false;
    }
    static bool plain_text(std::string_view s) noexcept {
        for (const char c : s) {
            if (c == '&' || c == '<' || c == '>' || c == '\'' || c == '"') return false;
        }
        return true;
    }

    void start_content();
    void leave_fast_path();
    std::string_view escaped_text(std::string_view text);
    void append_attr_value(std::string_view value);

    void open_general(std::string_view name);
    void attribute_general(std::string_view name, std::string_view value);
    void start_content_general();
    void text_general(std::string_view text);
    void close_general();

    void feed(int k, std::string_view s, Escape escape = Escape::None);
    void run();
    void line_break(int k, char b);
    void clean(int k);
    int top_cutter() const noexcept { return static_cast<int>(cutters_.size()) - 1; }

    std::string& out_;
    std::string_view newline_;
    std::string_view indent_;
    // newline "\n" and indent "\t": lines are written straight out, their
    // indentation known from the depth.
    bool fast_;
    // Fast path: the innermost element's content is at the start of a line.
    bool fresh_line_ = false;
    std::vector<Open> open_;
    std::string scratch_;

    std::vector<Cutter> cutters_;  // one per element whose content has begun
    std::vector<int> dirty_;       // ascending
    std::vector<Task> tasks_;
};

// The fast path is inline: the tree export calls these once per node.

inline void Writer::open(std::string_view name) {
    if (!open_.empty() && !open_.back().content) start_content();
    if (fast_ && has_break(name)) leave_fast_path();
    if (!fast_) {
        open_general(name);
        return;
    }
    if (!open_.empty()) {
        out_ += '\n';
        out_.append(open_.size(), '\t');
    }
    out_ += '<';
    out_ += name;
    fresh_line_ = false;
    open_.push_back({name, false});
}

inline void Writer::attribute(std::string_view name, std::string_view value) {
    if (fast_ && has_break(name)) leave_fast_path();
    if (!fast_) {
        attribute_general(name, value);
        return;
    }
    out_ += ' ';
    out_ += name;
    out_ += "=\"";
    append_attr_value(value);
    out_ += '"';
}

inline void Writer::begin_content() {
    if (!open_.back().content) start_content();
}

inline void Writer::start_content() {
    open_.back().content = true;
    if (!fast_) {
        start_content_general();
        return;
    }
    out_ += '>';
    fresh_line_ = true;
}

// Fast path: the text is escaped first (an entity holds no line break, and a
// CDATA section starts with '<', which needs escaping), then cut into lines
// at its line feeds. Each line loses the carriage returns that end it, up to
// one per element that cuts it: the element's own and every enclosing one.
inline void Writer::text(std::string_view data) {
    begin_content();
    if (!fast_) {
        text_general(data);
        return;
    }
    const std::string_view content = plain_text(data) ? data : escaped_text(data);
    const std::size_t cutters = open_.size();
    std::size_t pos = 0;
    for (;;) {
        const std::size_t lf = content.find('\n', pos);
        std::string_view line =
            content.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
        // A piece that a line feed ends is a line even when empty; the piece
        // after the last line feed only when it holds something.
        if (lf == std::string_view::npos && line.empty()) return;
        for (std::size_t held = 0; held < cutters && !line.empty() && line.back() == '\r'; ++held) {
            line.remove_suffix(1);
        }
        out_ += '\n';
        out_.append(cutters, '\t');
        out_ += line;
        if (lf == std::string_view::npos) return;
        pos = lf + 1;
    }
}

inline void Writer::close() {
    if (!fast_) {
        close_general();
        return;
    }
    const Open element = open_.back();
    open_.pop_back();
    if (!element.content) {
        out_ += "/>";
    } else {
        out_ += '\n';
        out_.append(open_.size(), '\t');
        out_ += "</";
        out_ += element.name;
        out_ += '>';
    }
    // In its parent's content, an element is followed by a newline.
    if (!open_.empty()) fresh_line_ = true;
}

}  // namespace vaskel::xml
