// A small XML element model and its indented text form. It knows nothing of
// the tree model.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "writer.hpp"

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
    XMLElement(XMLElement&&) noexcept = default;
    XMLElement& operator=(XMLElement&&) noexcept = default;
    // A copy would descend the whole nesting at once.
    XMLElement(const XMLElement&) = delete;
    XMLElement& operator=(const XMLElement&) = delete;
    // Releases the descendants one by one, whatever the nesting depth.
    ~XMLElement();

    void add_attr(std::string attr_name, std::string value);
    void add_element(XMLElement child);
    void set_text(std::string content);
};

// The element and everything below it as indented XML (see Writer): an
// element with a child list, even an empty one, or a text is written with an
// opening and a closing tag, any other in the short form.
std::string to_string_pretty(const XMLElement& element, std::string_view newline,
                             std::string_view indent);

}  // namespace vaskel::xml
