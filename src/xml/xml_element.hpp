// A small XML element model and its indented text form. It knows nothing of
// the tree model.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vaskel::xml {

struct XMLAttr {
    std::string name;
    std::string value;
};

struct XMLElement {
    std::string name;
    std::optional<std::vector<XMLAttr>> attributes;
    std::optional<std::vector<XMLElement>> elements;
    std::optional<std::string> text;

    explicit XMLElement(std::string element_name) : name(std::move(element_name)) {}

    void add_attr(std::string attr_name, std::string value);
    void add_element(XMLElement child);
    void set_text(std::string content);
};

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

// The element and everything below it as indented XML.
std::string to_string_pretty(const XMLElement& element, std::string_view newline,
                             std::string_view indent);

}  // namespace vaskel::xml
