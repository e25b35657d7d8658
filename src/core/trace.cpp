#include "trace.hpp"

#include "interrupt.hpp"
#include "unicode_props.hpp"
#include "utf8.hpp"

namespace vaskel {

namespace {

// ASCII bytes written as they stand: printable, and neither '"' nor '\\'.
constexpr bool plain_ascii(unsigned char b) noexcept {
    return b >= 0x20 && b < 0x7F && b != '"' && b != '\\';
}

// "\u{" and the code point in lowercase hexadecimal without leading zeros.
void append_code_escape(std::string& out, char32_t cp) {
    char hex[8];
    char* q = hex + sizeof hex;
    do {
        *--q = "0123456789abcdef"[cp & 0xF];
        cp >>= 4;
    } while (cp != 0);
    out += "\\u{";
    out.append(q, hex + sizeof hex);
    out.push_back('}');
}

// One text between double quotes.
void append_quoted(std::string& out, std::string_view s) {
    out.push_back('"');
    std::size_t pos = 0;
    while (pos < s.size()) {
        // Copy a run of plain ASCII in one go.
        std::size_t run = pos;
        while (run < s.size() && plain_ascii(static_cast<unsigned char>(s[run]))) ++run;
        out.append(s.data() + pos, run - pos);
        pos = run;
        if (pos == s.size()) break;

        const std::size_t start = pos;
        const char32_t cp = utf8::decode(s, pos);
        switch (cp) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        if (unicode::props(cp) & (unicode::kNotPrintable | unicode::kGraphemeExtend)) {
            append_code_escape(out, cp);
        } else {
            out.append(s.data() + start, pos - start);
        }
    }
    out.push_back('"');
}

}  // namespace

void append_quoted_list(std::string& out, const std::vector<std::string_view>& texts) {
    std::size_t estimate = 2;
    for (std::string_view t : texts) estimate += t.size() + 4;
    out.reserve(out.size() + estimate);

    out.push_back('[');
    bool first = true;
    InterruptCheck check;
    for (std::string_view t : texts) {
        check.step();
        if (!first) out += ", ";
        first = false;
        append_quoted(out, t);
    }
    out.push_back(']');
}

}  // namespace vaskel
