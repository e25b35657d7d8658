// Fuzzes the tokenizer on arbitrary valid UTF-8 and checks its contract: the
// tokens are non-empty slices of the text, in order, holding no whitespace,
// and together they are the text without its whitespace characters; cutting
// in batches of any size gives the same spans.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/tokenizer.hpp"
#include "core/unicode_props.hpp"
#include "core/utf8.hpp"
#include "fuzz_support.hpp"

using namespace vaskel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!fuzz::valid_utf8(text)) return -1;  // a Python str never gives invalid UTF-8

    std::string expected;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        const char32_t cp = utf8::decode(text, pos);
        if (!(unicode::props(cp) & unicode::kWhiteSpace)) expected.append(text.substr(start, pos - start));
    }

    const std::vector<TokenSpan> spans = tokenize_spans(text);
    for (std::size_t room = TokenCutter::kMinRoom; room <= 5; ++room) {
        TokenCutter cutter(text);
        std::vector<TokenSpan> batch(room);
        std::size_t at = 0;
        while (const std::size_t k = cutter.next(batch.data(), room)) {
            FUZZ_CHECK(k <= room && at + k <= spans.size());
            for (std::size_t j = 0; j < k; ++j, ++at) {
                FUZZ_CHECK(batch[j].begin == spans[at].begin && batch[j].length == spans[at].length);
            }
        }
        FUZZ_CHECK(at == spans.size());
        FUZZ_CHECK(cutter.next(batch.data(), room) == 0);
    }

    std::string joined;
    std::size_t previous_end = 0;
    for (const TokenSpan& span : spans) {
        FUZZ_CHECK(span.length > 0);
        FUZZ_CHECK(span.begin >= previous_end && span.begin + span.length <= text.size());
        previous_end = span.begin + span.length;
        const std::string_view token = text.substr(span.begin, span.length);
        for (std::size_t pos = 0; pos < token.size();) {
            FUZZ_CHECK(!(unicode::props(utf8::decode(token, pos)) & unicode::kWhiteSpace));
        }
        joined.append(token);
    }
    FUZZ_CHECK(joined == expected);
    return 0;
}
