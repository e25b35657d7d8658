// The XML text format in one place: escaping, CDATA sections, and a streaming
// writer that lays out elements as indented lines, for any newline and
// indent strings. It knows nothing of where the elements come from.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The tree export calls the writer a few times per node: compiled into its walk.
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

namespace detail {
// What the writer must look at in a byte of text. kLook: a markup
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
    // The line cutter of an element whose content has begun (see writer.cpp).
    struct Cutter {
        bool in_line = false;
        bool pending_cr = false;
    };
    enum class Kind : unsigned char { Bytes, MarkCr, MarkLineEnd };
    struct Task {
        Kind kind;
        int k;  // cutter; -1 is the output
        std::string_view s;
        std::size_t pos;
    };
    // What a line header of cutter k is known to write (see start_line).
    enum class Header : unsigned char { Unknown, Kept, Unkept };

    // The number of bytes of s before its first line feed or carriage return.
    static std::size_t plain_span(std::string_view s) noexcept {
        std::size_t n = 0;
        while (n < s.size() && (detail::kByteClass[static_cast<unsigned char>(s[n])] & detail::kBreak) == 0) ++n;
        return n;
    }
    // Text that is written as it stands: nothing to escape or replace.
    static bool plain_text(std::string_view s) noexcept {
        for (const char c : s) {
            if ((detail::kByteClass[static_cast<unsigned char>(c)] & detail::kLook) != 0) return false;
        }
        return true;
    }
    // Bytes that are written as they stand on one line: nothing to escape or
    // replace, no line break.
    static bool single_plain_line(std::string_view s) noexcept {
        for (const char c : s) {
            if (detail::kByteClass[static_cast<unsigned char>(c)] != 0) return false;
        }
        return true;
    }
    // Grows the output by n bytes and returns where they start.
    char* extend(std::size_t n) {
        const std::size_t size = out_.size();
        out_.resize(size + n);
        return out_.data() + size;
    }
    static char* put_bytes(char* p, std::string_view s) noexcept {
        std::memcpy(p, s.data(), s.size());
        return p + s.size();
    }
    int top_cutter() const noexcept { return static_cast<int>(cutters_.size()) - 1; }
    // Cutter k is the only one that owes something, and what it owes is the
    // header of a line.
    bool only_header_due(int k) const noexcept {
        return dirty_.size() == 1 && dirty_[0] == k && !cutters_[static_cast<std::size_t>(k)].in_line;
    }

    void start_content();
    std::string_view escaped_text(std::string_view text);
    std::string_view escaped_attr(std::string_view value);

    // Bytes arriving at cutter k from the writer's calls.
    void put(int k, std::string_view s);
    // The same for bytes that hold no line feed and no carriage return.
    void put_plain(int k, std::string_view s);
    void start_line(int k);

    // The cutters as a machine, for whatever the shortcuts above leave.
    void run();
    void line_break(int k, char b);
    void clean(int k);

    std::string& out_;
    std::string_view newline_;
    std::string_view indent_;
    bool newline_is_lf_;
    std::vector<Open> open_;
    std::string scratch_;

    std::vector<Cutter> cutters_;  // one per element whose content has begun
    std::vector<int> dirty_;       // ascending
    std::vector<Task> tasks_;

    // What the header of a line of cutter k wrote, when it began with only
    // that cutter owing anything and left none owing; by depth, up to a
    // bounded number of bytes in all.
    std::vector<Header> header_state_;
    std::vector<std::string> headers_;
    std::size_t header_bytes_ = 0;
};

VASKEL_XML_HOT void Writer::put_plain(int k, std::string_view s) {
    if (k >= 0 && !dirty_.empty()) {
        if (only_header_due(k)) start_line(k);
        if (!dirty_.empty()) {
            tasks_.push_back(Task{Kind::Bytes, k, s, 0});
            run();
            return;
        }
    }
    out_ += s;
}

VASKEL_XML_HOT void Writer::put(int k, std::string_view s) {
    while (!s.empty()) {
        const std::size_t n = plain_span(s);
        if (n != 0) {
            put_plain(k, s.substr(0, n));
            s.remove_prefix(n);
            continue;
        }
        const std::string_view b = s.substr(0, 1);
        s.remove_prefix(1);
        if (k < 0) {
            out_ += b;
            continue;
        }
        if (b[0] == '\n') {
            // A line feed ends the line of a cutter that owes nothing; after
            // an empty line, the header of that line goes out first.
            if (only_header_due(k)) start_line(k);
            if (dirty_.empty()) {
                cutters_[static_cast<std::size_t>(k)].in_line = false;
                dirty_.push_back(k);
                continue;
            }
        }
        tasks_.push_back(Task{Kind::Bytes, k, b, 0});
        run();
    }
}

VASKEL_XML_HOT void Writer::open(std::string_view name) {
    if (!open_.empty() && !open_.back().content) start_content();
    const int k = top_cutter();
    put_plain(k, "<");
    put(k, name);
    open_.push_back({name, false});
}

VASKEL_XML_HOT void Writer::attribute(std::string_view name, std::string_view value) {
    const int k = top_cutter();
    put_plain(k, " ");
    put(k, name);
    put_plain(k, "=\"");
    put_plain(k, escaped_attr(value));  // escaped, it holds neither CR nor LF
    put_plain(k, "\"");
}

VASKEL_XML_HOT void Writer::begin_content() {
    if (!open_.back().content) start_content();
}

VASKEL_XML_HOT void Writer::start_content() {
    open_.back().content = true;
    put_plain(top_cutter(), ">");
    cutters_.emplace_back();
    dirty_.push_back(top_cutter());
}

// The text is escaped first: an entity holds no line break, and a CDATA
// section starts with '<', which needs escaping.
VASKEL_XML_HOT void Writer::text(std::string_view data) {
    begin_content();
    put(top_cutter(), plain_text(data) ? data : escaped_text(data));
}

VASKEL_XML_HOT void Writer::close() {
    const Open element = open_.back();
    if (!element.content) {
        put_plain(top_cutter(), "/>");
    } else {
        // A carriage return the element's cutter still holds ends its last
        // line and is dropped with it, as is a header it still owes.
        const int own = top_cutter();
        if (!dirty_.empty() && dirty_.back() == own) dirty_.pop_back();
        cutters_.pop_back();
        const int k = top_cutter();
        put(k, newline_);
        put_plain(k, "</");
        put(k, element.name);
        put_plain(k, ">");
    }
    open_.pop_back();
    // In its parent's content, an element is followed by a newline.
    if (!open_.empty()) put(top_cutter(), newline_);
}

// The steps of open(name), text(data), close() in one, when each of them
// would take a shortcut of the machine: `newline` is a line feed, the parent
// owes only the header of its next line, both depths' headers are kept,
// and neither the name nor the text holds anything to escape or cut. The
// element then writes the parent's header, its start tag, its own header and
// its text (when not empty), the parent's header and its end tag; the
// parent owes the header of its next line again, as it did.
VASKEL_XML_HOT void Writer::leaf(std::string_view name, std::string_view data) {
    if (!open_.empty() && !open_.back().content) start_content();
    const int k = top_cutter();
    const auto depth = static_cast<std::size_t>(k);
    if (!newline_is_lf_ || k < 0 || !only_header_due(k) || depth + 1 >= header_state_.size() ||
        header_state_[depth] != Header::Kept || header_state_[depth + 1] != Header::Kept ||
        !single_plain_line(name) || !single_plain_line(data)) {
        open(name);
        text(data);
        close();
        return;
    }
    const std::string& outer = headers_[depth];
    const std::string& inner = headers_[depth + 1];
    const std::size_t line = data.empty() ? 0 : inner.size() + data.size();
    char* p = extend(2 * outer.size() + 2 * name.size() + 5 + line);
    p = put_bytes(put_bytes(p, outer), "<");
    p = put_bytes(put_bytes(p, name), ">");
    if (!data.empty()) p = put_bytes(put_bytes(p, inner), data);
    p = put_bytes(put_bytes(p, outer), "</");
    put_bytes(put_bytes(p, name), ">");
}

}  // namespace vaskel::xml

#undef VASKEL_XML_HOT
