#include "xml_element.hpp"

#include <algorithm>
#include <cstddef>

namespace vaskel::xml {

void XMLElement::add_attr(std::string attr_name, std::string value) {
    if (!attributes) attributes.emplace();
    attributes->push_back(XMLAttr{std::move(attr_name), std::move(value)});
}

void XMLElement::add_element(XMLElement child) {
    if (!elements) elements.emplace();
    elements->push_back(std::move(child));
}

void XMLElement::set_text(std::string content) { text = std::move(content); }

// The children are moved to a list of pending elements and each is released
// once its own children have been moved there too, so no destructor runs
// inside another. If the list cannot grow, an element keeps its children and
// releases them through its own destructor, which works the same way.
XMLElement::~XMLElement() {
    if (!elements || elements->empty()) return;
    std::vector<XMLElement> pending = std::move(*elements);
    while (!pending.empty()) {
        XMLElement last = std::move(pending.back());
        pending.pop_back();
        if (!last.elements || last.elements->empty()) continue;
        const std::size_t need = pending.size() + last.elements->size();
        try {
            // Doubling, so that growing one child list at a time stays linear.
            if (need > pending.capacity()) pending.reserve(std::max(need, 2 * pending.capacity()));
        } catch (...) {
            continue;
        }
        for (XMLElement& child : *last.elements) pending.push_back(std::move(child));
        last.elements->clear();
    }
}

std::string to_string_pretty(const XMLElement& element, std::string_view newline,
                             std::string_view indent) {
    std::string out;
    Writer writer(out, newline, indent);
    const auto open = [&writer](const XMLElement& e) {
        writer.open(e.name);
        if (e.attributes) {
            for (const XMLAttr& attr : *e.attributes) writer.attribute(attr.name, attr.value);
        }
        if (e.elements) writer.begin_content();
    };
    struct Frame {
        const XMLElement* element;
        std::size_t next_child;
    };
    std::vector<Frame> stack;
    open(element);
    stack.push_back({&element, 0});
    while (!stack.empty()) {
        Frame& top = stack.back();
        const XMLElement& e = *top.element;
        if (e.elements && top.next_child < e.elements->size()) {
            const XMLElement& child = (*e.elements)[top.next_child++];
            open(child);
            stack.push_back({&child, 0});
            continue;
        }
        if (e.text) writer.text(*e.text);
        writer.close();
        stack.pop_back();
    }
    return out;
}

}  // namespace vaskel::xml
