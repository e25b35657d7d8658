// Fuzzes the XML writer on random element trees and compares its output with
// a direct transcription of the pretty-printing rules, which builds and
// re-indents every element's string (quadratic, but plainly right).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "xml/xml_element.hpp"

using namespace vaskel::xml;

namespace {

std::string reference(const XMLElement& e, std::string_view nl, std::string_view ind) {
    std::string out = "<" + e.name;
    if (e.attributes) {
        for (const XMLAttr& a : *e.attributes) out += " " + a.name + "=\"" + escape_attr(a.value) + "\"";
    }
    if (!e.elements && !e.text) return out + "/>";
    out += ">";
    std::string content;
    if (e.elements) {
        for (const XMLElement& child : *e.elements) content += reference(child, nl, ind) + std::string(nl);
    }
    if (e.text) {
        CdataSplit split = split_cdata(*e.text);
        content += escape_text(split.before);
        if (split.section_and_after) {
            content += split.section_and_after->first;
            content += escape_text(split.section_and_after->second);
        }
    }
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

XMLElement random_element(FuzzedDataProvider& in, int depth) {
    constexpr std::string_view kAlphabet = "ab<&'\"\n\r\t]>[!CDAT";
    XMLElement e(vaskel::fuzz::small_text(in, "ab", 2));
    const std::size_t nattrs = in.ConsumeIntegralInRange<std::size_t>(0, 2);
    for (std::size_t k = 0; k < nattrs; ++k) {
        e.add_attr(vaskel::fuzz::small_text(in, "ab", 2), vaskel::fuzz::small_text(in, kAlphabet, 5));
    }
    const std::size_t nchildren = depth < 5 ? in.ConsumeIntegralInRange<std::size_t>(0, 3) : 0;
    for (std::size_t k = 0; k < nchildren; ++k) e.add_element(random_element(in, depth + 1));
    if (in.ConsumeBool()) {
        std::string text = vaskel::fuzz::small_text(in, kAlphabet, 8);
        if (in.ConsumeBool()) text += "<![CDATA[" + vaskel::fuzz::small_text(in, kAlphabet, 4) + "]]>";
        text += vaskel::fuzz::small_text(in, kAlphabet, 8);
        e.set_text(std::move(text));
    }
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    constexpr std::string_view kBreaks[] = {"\n", "", "\r\n", "\n\r", "x\ny", "\t", "  "};
    const std::string_view nl = kBreaks[in.ConsumeIntegralInRange<std::size_t>(0, 6)];
    const std::string_view ind = kBreaks[in.ConsumeIntegralInRange<std::size_t>(0, 6)];
    const XMLElement root = random_element(in, 0);
    FUZZ_CHECK(to_string_pretty(root, nl, ind) == reference(root, nl, ind));
    return 0;
}
