// Fuzzes the XML writer on random element trees and compares its output with
// a direct transcription of the pretty-printing rules (xml_reference.hpp).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "xml_reference.hpp"
#include "xml/xml_element.hpp"

using namespace vaskel::xml;

namespace {

XMLElement random_element(FuzzedDataProvider& in, int depth) {
    // Markup, line breaks, CDATA markers, and the bytes of characters XML 1.0
    // cannot carry (controls, U+FFFE and U+FFFF) and of U+FFFD.
    constexpr std::string_view kAlphabet = "ab<&'\"\n\r\t]>[!CDAT" "\x01\x1f" "\xEF\xBF\xBE\xBD";
    XMLElement e(vaskel::fuzz::small_text(in, "ab\n", 2));
    const std::size_t nattrs = in.ConsumeIntegralInRange<std::size_t>(0, 2);
    for (std::size_t k = 0; k < nattrs; ++k) {
        e.add_attr(vaskel::fuzz::small_text(in, "ab\r", 2), vaskel::fuzz::small_text(in, kAlphabet, 5));
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
    FUZZ_CHECK(to_string_pretty(root, nl, ind) == vaskel::fuzz::reference_xml(root, nl, ind));
    return 0;
}
