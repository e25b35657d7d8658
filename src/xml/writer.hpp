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

    // Number of elements open.
    std::size_t depth() const noexcept { return open_.size(); }

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

    void start_content();
    void fast_text(std::string_view text, std::size_t depth);
    void leave_fast_path();

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

}  // namespace vaskel::xml
