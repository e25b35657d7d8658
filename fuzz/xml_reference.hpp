// A direct transcription of the indented XML format, for the fuzz targets to
// compare the writer with: every element's string is built in full, then
// copied into its parent's content and re-cut there (quadratic, but plainly
// right). It shares nothing with the writer but the element model.
#pragma once

#include <string>
#include <string_view>

#include "xml/xml_element.hpp"

namespace vaskel::fuzz {

inline std::string replace_all(std::string s, std::string_view from, std::string_view to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
    return s;
}

// The characters XML 1.0 cannot carry (the C0 controls but tab, line feed
// and carriage return; U+FFFE, U+FFFF), each replaced by U+FFFD.
inline std::string reference_xml_safe(std::string s) {
    for (int c = 0; c < 0x20; ++c) {
        if (c == '\t' || c == '\n' || c == '\r') continue;
        s = replace_all(std::move(s), std::string(1, static_cast<char>(c)), "\xEF\xBF\xBD");
    }
    s = replace_all(std::move(s), "\xEF\xBF\xBE", "\xEF\xBF\xBD");
    return replace_all(std::move(s), "\xEF\xBF\xBF", "\xEF\xBF\xBD");
}

// The characters XML 1.0 cannot carry replaced, then five replacements, one
// after the other, '&' first.
inline std::string reference_escape_text(std::string s) {
    s = reference_xml_safe(std::move(s));
    s = replace_all(std::move(s), "&", "&amp;");
    s = replace_all(std::move(s), "<", "&lt;");
    s = replace_all(std::move(s), ">", "&gt;");
    s = replace_all(std::move(s), "'", "&apos;");
    return replace_all(std::move(s), "\"", "&quot;");
}

inline std::string reference_escape_attr(std::string s) {
    s = reference_escape_text(std::move(s));
    s = replace_all(std::move(s), "\n", "&#10;");
    s = replace_all(std::move(s), "\r", "&#13;");
    return replace_all(std::move(s), "\t", "&#9;");
}

// The text with its first complete CDATA section left as it stands.
inline std::string reference_text(const std::string& text) {
    const std::size_t open = text.find("<![CDATA[");
    const std::size_t close = open == std::string::npos ? open : text.find("]]>", open);
    if (close == std::string::npos) return reference_escape_text(text);
    return reference_escape_text(text.substr(0, open)) + reference_xml_safe(text.substr(open, close + 3 - open)) +
           reference_escape_text(text.substr(close + 3));
}

inline std::string reference_xml(const xml::XMLElement& e, std::string_view nl, std::string_view ind) {
    std::string out = "<" + e.name;
    if (e.attributes) {
        for (const xml::XMLAttr& a : *e.attributes) out += " " + a.name + "=\"" + reference_escape_attr(a.value) + "\"";
    }
    if (!e.elements && !e.text) return out + "/>";
    out += ">";
    std::string content;
    if (e.elements) {
        for (const xml::XMLElement& child : *e.elements) content += reference_xml(child, nl, ind) + std::string(nl);
    }
    if (e.text) content += reference_text(*e.text);
    // Lines cut at LF; one CR at a line's end removed; no line after a final LF.
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        const bool last = end == std::string::npos;
        if (last) end = content.size();
        std::string_view line(content.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        out += std::string(nl) + std::string(ind) + std::string(line);
        start = end + 1;
        if (last) break;
    }
    return out + std::string(nl) + "</" + e.name + ">";
}

}  // namespace vaskel::fuzz
