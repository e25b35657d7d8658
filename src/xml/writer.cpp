#include "writer.hpp"

#include <cstring>

namespace vaskel::xml {

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

// A C0 control that XML 1.0 cannot carry.
constexpr bool unwritable_control(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 && b != '\t' && b != '\n' && b != '\r';
}

// What a byte of a CDATA section is written as: U+FFFD for a control XML
// 1.0 cannot carry, else the byte itself (an empty view).
constexpr std::string_view section_entity(char c) {
    return unwritable_control(c) ? kReplacementCharacter : std::string_view();
}

// Entity for a character of text content, or an empty view when the
// character stands as it is.
constexpr std::string_view text_entity(char c) {
    switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '\'': return "&apos;";
        case '"': return "&quot;";
        default: return section_entity(c);
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

// U+FFFE or U+FFFF (EF BF BE, EF BF BF) at s[k].
bool nonchar_ffff_at(std::string_view s, std::size_t k) {
    return k + 2 < s.size() && static_cast<unsigned char>(s[k]) == 0xEF &&
           static_cast<unsigned char>(s[k + 1]) == 0xBF && (static_cast<unsigned char>(s[k + 2]) | 1) == 0xBF;
}

// Appends s to out with every character that has an entity replaced by it,
// and U+FFFE and U+FFFF by U+FFFD. One pass suffices: no entity contains a
// character that has an entity of its own other than '&', and '&' in the
// input is replaced, never produced; U+FFFD has no replacement of its own.
template <std::string_view (*Entity)(char)>
void append_escaped(std::string& out, std::string_view s) {
    std::size_t run = 0;
    for (std::size_t k = 0; k < s.size(); ++k) {
        std::string_view entity = Entity(s[k]);
        std::size_t width = 1;
        if (entity.empty()) {
            if (!nonchar_ffff_at(s, k)) continue;
            entity = kReplacementCharacter;
            width = 3;
        }
        out.append(s.data() + run, k - run);
        out.append(entity);
        run = k + width;
        k = run - 1;
    }
    out.append(s.data() + run, s.size() - run);
}

bool is_break(char c) { return c == '\n' || c == '\r'; }

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

// Two ways to the same text.
//
// Fast path (newline "\n", indent "\t", no line break in any name): a line of
// the content of the element at depth d (the outermost at 0) comes out as a
// line feed, d + 1 tabs and the line; the tags of that element stand behind d
// tabs. Line feeds in newline and indent would start further lines, so that
// closed form holds for these two strings only. The text of an element is
// given whole, so the carriage returns ending each of its lines are counted
// and dropped on the spot, one per element that cuts the line.
//
// General path: every open element keeps a line cutter for its content, and
// what a cutter produces is fed to the cutter of the enclosing element; below
// cutter 0 (k == -1) is the output. A cutter holds two flags. `in_line`: the
// header (newline then indent) of the current line has gone out.
// `pending_cr`: a carriage return ends what has been seen of the line; it
// goes out only if more of the line follows, and is dropped if a line feed or
// the end of the content comes next. A cutter that lacks its header or holds
// a carriage return is "dirty": it must emit something before the next
// ordinary byte passes it.
//
// Bytes only ever flow towards lower cutters, so whenever a byte arrives at
// cutter k every cutter above k is clean. Hence the dirty cutters, kept in
// `dirty_` in ascending order, are always pushed and popped at the back, and
// a run of ordinary bytes (no CR, no LF) simply cleans every dirty cutter,
// highest first, and is appended to the output in one piece. The cost is
// linear in the output plus one step per line break or carriage return
// arriving at a cutter. What a cutter emits is queued as a task on an
// explicit stack rather than fed by a nested call, so the native stack stays
// flat at any depth; a task that finishes a cutter's change of state sits
// below the emission it waits for.
//
// The fast path can hand over to the general one at any call (a name with a
// line break), because between calls its state is simple: every cutter is in
// a line and clean, except that the innermost one may be at the start of a
// line.

Writer::Writer(std::string& out, std::string_view newline, std::string_view indent)
    : out_(out), newline_(newline), indent_(indent), fast_(newline == "\n" && indent == "\t") {}

// The text with every character that has an entity replaced by it, except
// in its first complete CDATA section; kept in scratch_ until the next call.
std::string_view Writer::escaped_text(std::string_view data) {
    scratch_.clear();
    const CdataSplit split = split_cdata(data);
    append_escaped<text_entity>(scratch_, split.before);
    if (split.section_and_after) {
        append_escaped<section_entity>(scratch_, split.section_and_after->first);
        append_escaped<text_entity>(scratch_, split.section_and_after->second);
    }
    return scratch_;
}

void Writer::append_attr_value(std::string_view value) { append_escaped<attr_entity>(out_, value); }

void Writer::open_general(std::string_view name) {
    feed(top_cutter(), "<");
    feed(top_cutter(), name);
    open_.push_back({name, false});
}

void Writer::attribute_general(std::string_view name, std::string_view value) {
    const int k = top_cutter();
    feed(k, " ");
    feed(k, name);
    feed(k, "=\"");
    scratch_.clear();
    append_escaped<attr_entity>(scratch_, value);
    feed(k, scratch_);  // escaped, it holds neither CR nor LF
    feed(k, "\"");
}

void Writer::start_content_general() {
    feed(top_cutter(), ">");
    cutters_.emplace_back();
    dirty_.push_back(top_cutter());
}

void Writer::text_general(std::string_view text) {
    const int k = top_cutter();
    const CdataSplit split = split_cdata(text);
    feed(k, split.before, Escape::Text);
    if (split.section_and_after) {
        feed(k, split.section_and_after->first, Escape::Section);
        feed(k, split.section_and_after->second, Escape::Text);
    }
}

void Writer::close_general() {
    const Open element = open_.back();
    if (!element.content) {
        feed(top_cutter(), "/>");
    } else {
        // A carriage return the element's cutter still holds ends its last
        // line and is dropped with it.
        const int own = top_cutter();
        if (!dirty_.empty() && dirty_.back() == own) dirty_.pop_back();
        cutters_.pop_back();
        const int k = top_cutter();
        feed(k, newline_);
        feed(k, "</");
        feed(k, element.name);
        feed(k, ">");
    }
    open_.pop_back();
    // In its parent's content, an element is followed by a newline.
    if (!open_.empty()) feed(top_cutter(), newline_);
}

// Sets up one cutter per element whose content has begun, in the state the
// fast path leaves them in between calls.
void Writer::leave_fast_path() {
    fast_ = false;
    std::size_t with_content = 0;
    for (const Open& element : open_) with_content += element.content ? 1 : 0;
    cutters_.assign(with_content, Cutter{true, false});
    dirty_.clear();
    if (fresh_line_ && with_content > 0) {
        cutters_.back().in_line = false;
        dirty_.push_back(top_cutter());
    }
}

void Writer::feed(int k, std::string_view s, Escape escape) {
    if (s.empty()) return;
    tasks_.push_back(Task{Kind::Bytes, escape, k, s, 0});
    run();
}

void Writer::run() {
    while (!tasks_.empty()) {
        Task& t = tasks_.back();
        if (t.kind != Kind::Bytes) {
            Cutter& c = cutters_[static_cast<std::size_t>(t.k)];
            if (t.kind == Kind::MarkCr) {
                c.pending_cr = true;
            } else {
                c.in_line = false;
                c.pending_cr = false;
            }
            dirty_.push_back(t.k);
            tasks_.pop_back();
            continue;
        }
        if (t.pos == t.s.size()) {
            tasks_.pop_back();
            continue;
        }
        const int k = t.k;
        const char b = t.s[t.pos];
        if (is_break(b)) {
            ++t.pos;
            if (k < 0) {
                out_ += b;
            } else {
                line_break(k, b);  // may queue tasks: `t` is not used after
            }
            continue;
        }
        if (k >= 0 && !dirty_.empty()) {
            clean(dirty_.back());
            continue;
        }
        std::size_t end = t.pos;
        while (end < t.s.size() && !is_break(t.s[end])) ++end;
        const std::string_view run = t.s.substr(t.pos, end - t.pos);
        t.pos = end;
        switch (t.escape) {
            case Escape::None: out_ += run; break;
            case Escape::Text: append_escaped<text_entity>(out_, run); break;
            case Escape::Section: append_escaped<section_entity>(out_, run); break;
        }
    }
}

// A line break byte arriving at cutter k.
void Writer::line_break(int k, char b) {
    Cutter& c = cutters_[static_cast<std::size_t>(k)];
    if (b == '\r') {
        if (!c.in_line || c.pending_cr) {
            // The header, or the earlier carriage return, goes out first.
            tasks_.push_back(Task{Kind::MarkCr, Escape::None, k, {}, 0});
            clean(k);
        } else {
            c.pending_cr = true;
            dirty_.push_back(k);
        }
        return;
    }
    if (!c.in_line) {
        // An empty line still gets its header.
        tasks_.push_back(Task{Kind::MarkLineEnd, Escape::None, k, {}, 0});
        clean(k);
        return;
    }
    if (c.pending_cr) dirty_.pop_back();  // a carriage return before a line feed is dropped
    c.in_line = false;
    c.pending_cr = false;
    dirty_.push_back(k);
}

// Cutter k, the highest dirty one, emits into cutter k - 1 the header of its
// line or the carriage return it held back.
void Writer::clean(int k) {
    dirty_.pop_back();
    Cutter& c = cutters_[static_cast<std::size_t>(k)];
    if (!c.in_line) {
        c.in_line = true;
        tasks_.push_back(Task{Kind::Bytes, Escape::None, k - 1, indent_, 0});
        tasks_.push_back(Task{Kind::Bytes, Escape::None, k - 1, newline_, 0});
    } else {
        c.pending_cr = false;
        tasks_.push_back(Task{Kind::Bytes, Escape::None, k - 1, "\r", 0});
    }
}

}  // namespace vaskel::xml
