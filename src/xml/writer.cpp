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

// Line headers remembered for replay, in bytes over all depths: enough for
// any usual nesting, bounded for a pathological one (a header grows with
// the depth, so keeping all of them would be quadratic).
constexpr std::size_t kHeaderBytes = 1 << 20;
constexpr std::size_t kHeaderDepths = 4096;

}  // namespace

// The layout as a machine. Every open element keeps a line cutter for its
// content, and what a cutter produces is fed to the cutter of the enclosing
// element; below cutter 0 (k == -1) is the output. A cutter holds two flags.
// `in_line`: the header (newline then indent) of the current line has gone
// out. `pending_cr`: a carriage return ends what has been seen of the line;
// it goes out only if more of the line follows, and is dropped if a line
// feed or the end of the content comes next. A cutter that lacks its header
// or holds a carriage return is "dirty": it must emit something before the
// next ordinary byte passes it.
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
// Replay. Almost every step of a document is one of two: an ordinary run, or
// a line feed, arriving while no cutter is dirty (it passes straight out, or
// marks the end of the cutter's line), or while only the cutter it arrives
// at is dirty and owes the header of a line. What that header writes then
// depends on nothing but the depth, `newline` and `indent`, since every
// cutter below is clean: start_line() lets the machine write it once per
// depth and keeps the bytes, and when the machine left no cutter dirty, as
// with newline "\n" and indent "\t" (a line feed and depth + 1 tabs), later
// headers at that depth are those bytes, appended. Everything else (carriage
// returns, a header that leaves lower cutters owing, like an indent that
// ends in a line feed) goes through the machine.

Writer::Writer(std::string& out, std::string_view newline, std::string_view indent)
    : out_(out), newline_(newline), indent_(indent), newline_is_lf_(newline == "\n") {}

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

std::string_view Writer::escaped_attr(std::string_view value) {
    scratch_.clear();
    append_escaped<attr_entity>(scratch_, value);
    return scratch_;
}

// Cutter k, the only dirty one, writes the header of its line (see Replay).
void Writer::start_line(int k) {
    const auto depth = static_cast<std::size_t>(k);
    if (depth < header_state_.size() && header_state_[depth] == Header::Kept) {
        out_ += headers_[depth];
        cutters_[depth].in_line = true;
        dirty_.clear();
        return;
    }
    const std::size_t from = out_.size();
    clean(k);
    run();
    if (depth >= header_state_.size()) {
        if (depth >= kHeaderDepths || header_bytes_ >= kHeaderBytes) return;
        header_state_.resize(depth + 1, Header::Unknown);
        headers_.resize(depth + 1);
    }
    if (header_state_[depth] != Header::Unknown) return;
    const std::size_t size = out_.size() - from;
    if (!dirty_.empty() || header_bytes_ + size > kHeaderBytes) {
        header_state_[depth] = Header::Unkept;
        return;
    }
    headers_[depth].assign(out_, from, size);
    header_bytes_ += size;
    header_state_[depth] = Header::Kept;
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
        out_ += run;
    }
}

// A line break byte arriving at cutter k.
void Writer::line_break(int k, char b) {
    Cutter& c = cutters_[static_cast<std::size_t>(k)];
    if (b == '\r') {
        if (!c.in_line || c.pending_cr) {
            // The header, or the earlier carriage return, goes out first.
            tasks_.push_back(Task{Kind::MarkCr, k, {}, 0});
            clean(k);
        } else {
            c.pending_cr = true;
            dirty_.push_back(k);
        }
        return;
    }
    if (!c.in_line) {
        // An empty line still gets its header.
        tasks_.push_back(Task{Kind::MarkLineEnd, k, {}, 0});
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
        tasks_.push_back(Task{Kind::Bytes, k - 1, indent_, 0});
        tasks_.push_back(Task{Kind::Bytes, k - 1, newline_, 0});
    } else {
        c.pending_cr = false;
        tasks_.push_back(Task{Kind::Bytes, k - 1, "\r", 0});
    }
}

}  // namespace vaskel::xml
