// The XML text format in one place: escaping, CDATA sections, and a streaming
// writer that lays out elements as indented lines. It knows nothing of where
// the elements come from.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The tree export calls the fast path once per node: compiled into its walk.
#if defined(__GNUC__)
#define VASKEL_XML_HOT inline __attribute__((always_inline))
#else
#define VASKEL_XML_HOT inline
#endif

namespace vaskel::xml {

// The text cut at its first complete CDATA section.
struct CdataSplit {
    std::string_view before;
    std::optional<std::pair<std::string_view, std::string_view>> section_and_after;
};
CdataSplit split_cdata(std::string_view text);

// XML 1.0 cannot carry the C0 controls other than tab, line feed and
// carriage return (U+0000-U+0008, U+000B, U+000C, U+000E-U+001F), nor U+FFFE
// and U+FFFF, not even as character references. Wherever the writer escapes
// (text, CDATA sections included, and attribute values), each of them is
// written as U+FFFD REPLACEMENT CHARACTER, so that the output is always
// well-formed; every other character is written as before. Names, `newline`
// and `indent` are written as given.
inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// & < > ' " replaced by their entities, and every character XML 1.0 cannot
// carry by U+FFFD.
std::string escape_text(std::string_view s);

// Attribute values: the same, and line feed, carriage return and tab as
// character references, so that a parser reads back the exact value.
std::string escape_attr(std::string_view s);

namespace detail {
// What the fast path must look at in a byte of text. kLook: a markup
// character, a C0 control that XML 1.0 cannot carry, or 0xEF, which starts
// U+FFFE and U+FFFF (and other characters, which the escaping tells apart).
// kBreak: a line feed or a carriage return.
inline constexpr unsigned char kLook = 1, kBreak = 2;
inline constexpr std::array<unsigned char, 256> kByteClass = [] {
    std::array<unsigned char, 256> t{};
    for (int b = 0; b < 0x20; ++b) t[static_cast<std::size_t>(b)] = kLook;
    t['\t'] = 0;
    t['\n'] = kBreak;
    t['\r'] = kBreak;
    for (const unsigned char b : {'&', '<', '>', '\'', '"'}) t[b] = kLook;
    t[0xEF] = kLook;
    return t;
}();
}  // namespace detail

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
// Text is escaped except its first complete CDATA section, in which only the
// characters XML 1.0 cannot carry are replaced; attribute values are
// escaped; names are written as given. Strings given as names, `newline`
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
    // open(name), text(text), close() in one call.
    void leaf(std::string_view name, std::string_view text);

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
    enum class Escape : unsigned char { None, Text, Section };
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
    // Text that is written as it stands on one line: nothing to escape or
    // replace, no line break.
    static bool single_plain_line(std::string_view s) noexcept {
        for (const char c : s) {
            if (detail::kByteClass[static_cast<unsigned char>(c)] != 0) return false;
        }
        return true;
    }
    // Text that is written as it stands: nothing to escape or replace.
    static bool plain_text(std::string_view s) noexcept {
        for (const char c : s) {
            if ((detail::kByteClass[static_cast<unsigned char>(c)] & detail::kLook) != 0) return false;
        }
        return true;
    }

    // Grows the output by n bytes and returns where they start: the fast
    // path writes each line start and tag with one call into the string
    // library and plain copies.
    char* extend(std::size_t n) {
        const std::size_t size = out_.size();
        out_.resize(size + n);
        return out_.data() + size;
    }
    // A line feed, then `tabs` tabs.
    static char* put_line_start(char* p, std::size_t tabs) noexcept {
        *p++ = '\n';
        std::memset(p, '\t', tabs);
        return p + tabs;
    }
    static char* put(char* p, std::string_view s) noexcept {
        std::memcpy(p, s.data(), s.size());
        return p + s.size();
    }

    void start_content();
    // Fast path: the lines of an element's text, each cut by `cutters`
    // elements (its own and the enclosing ones).
    void put_text_lines(std::string_view data, std::size_t cutters);
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

VASKEL_XML_HOT void Writer::open(std::string_view name) {
    if (!open_.empty() && !open_.back().content) start_content();
    if (fast_ && has_break(name)) leave_fast_path();
    if (!fast_) {
        open_general(name);
        return;
    }
    const std::size_t tabs = open_.size();
    // The root's tag starts the output; every other one a line.
    char* p = extend((tabs == 0 ? 0 : 1 + tabs) + 1 + name.size());
    if (tabs != 0) p = put_line_start(p, tabs);
    *p++ = '<';
    put(p, name);
    fresh_line_ = false;
    open_.push_back({name, false});
}

VASKEL_XML_HOT void Writer::attribute(std::string_view name, std::string_view value) {
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

VASKEL_XML_HOT void Writer::begin_content() {
    if (!open_.back().content) start_content();
}

VASKEL_XML_HOT void Writer::start_content() {
    open_.back().content = true;
    if (!fast_) {
        start_content_general();
        return;
    }
    out_ += '>';
    fresh_line_ = true;
}

VASKEL_XML_HOT void Writer::text(std::string_view data) {
    begin_content();
    if (!fast_) {
        text_general(data);
        return;
    }
    put_text_lines(data, open_.size());
}

// The text is escaped first (an entity holds no line break, and a CDATA
// section starts with '<', which needs escaping), then cut into lines at its
// line feeds. Each line loses the carriage returns that end it, up to one per
// element that cuts it.
VASKEL_XML_HOT void Writer::put_text_lines(std::string_view data, std::size_t cutters) {
    const std::string_view content = plain_text(data) ? data : escaped_text(data);
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
        put(put_line_start(extend(1 + cutters + line.size()), cutters), line);
        if (lf == std::string_view::npos) return;
        pos = lf + 1;
    }
}

VASKEL_XML_HOT void Writer::leaf(std::string_view name, std::string_view data) {
    if (!fast_ || has_break(name)) {
        open(name);
        text(data);
        close();
        return;
    }
    if (!open_.empty() && !open_.back().content) start_content();
    const std::size_t tabs = open_.size();
    const std::size_t start = tabs == 0 ? 0 : 1 + tabs;  // the root starts the output
    const std::size_t tag = 1 + name.size() + 1;
    if (single_plain_line(data)) {
        // The whole element at once: its tags and at most one line of text.
        const std::size_t line = data.empty() ? 0 : 1 + tabs + 1 + data.size();
        char* p = extend(start + tag + line + 1 + tabs + 1 + tag);
        if (tabs != 0) p = put_line_start(p, tabs);
        *p++ = '<';
        p = put(p, name);
        *p++ = '>';
        if (!data.empty()) p = put(put_line_start(p, tabs + 1), data);
        p = put_line_start(p, tabs);
        *p++ = '<';
        *p++ = '/';
        p = put(p, name);
        *p = '>';
    } else {
        char* p = extend(start + tag);
        if (tabs != 0) p = put_line_start(p, tabs);
        *p++ = '<';
        *put(p, name) = '>';
        put_text_lines(data, tabs + 1);
        p = put_line_start(extend(1 + tabs + 1 + tag), tabs);
        *p++ = '<';
        *p++ = '/';
        *put(p, name) = '>';
    }
    if (tabs != 0) fresh_line_ = true;
}

VASKEL_XML_HOT void Writer::close() {
    if (!fast_) {
        close_general();
        return;
    }
    const Open element = open_.back();
    open_.pop_back();
    if (!element.content) {
        out_ += "/>";
    } else {
        const std::size_t tabs = open_.size();
        char* p = put_line_start(extend(1 + tabs + 2 + element.name.size() + 1), tabs);
        p = put(put(p, "</"), element.name);
        *p = '>';
    }
    // In its parent's content, an element is followed by a newline.
    if (!open_.empty()) fresh_line_ = true;
}

}  // namespace vaskel::xml

#undef VASKEL_XML_HOT
