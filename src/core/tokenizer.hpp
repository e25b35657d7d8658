// The finite-state transducer behind vaskel.tokenize.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

#include "interrupt.hpp"

namespace vaskel {

// One token: a contiguous slice of the input text, in bytes. Every token is a
// slice because whitespace and clause marks always end what is pending.
struct TokenSpan {
    std::size_t begin;
    std::size_t length;
};

// Cuts valid UTF-8 text into tokens, reading it once, left to right, a batch
// of spans at a time: a caller that turns spans into objects of its own can
// do so while they are fresh in the cache, instead of first collecting the
// spans of the whole text. The text must outlive the cutter.
class TokenCutter {
public:
    static constexpr std::size_t kMinRoom = 2;

    explicit TokenCutter(std::string_view text) noexcept : text_(text) {}

    // Writes the next tokens to out[0], out[1], ... (at most `room` of them,
    // room >= kMinRoom) and returns how many. Returns 0 once the text is cut
    // to its end, and never before. With `check`, a long stretch of text
    // that gives no token (one huge token) polls it every kStretch bytes.
    std::size_t next(TokenSpan* out, std::size_t room, InterruptCheck* check = nullptr);

private:
    static constexpr std::size_t kStretch = 256 * 1024;

    // As next, but returns 0 before the end too, after kStretch bytes or so
    // that gave no token.
    std::size_t cut(TokenSpan* out, std::size_t room);

    // The states of the table in tokenizer.cpp.
    enum class State : std::uint8_t {
        Word,          // a word is being collected
        SentenceMark,  // a run of sentence-ending punctuation is being collected
        AfterMark,     // a clause mark was just emitted, or an apostrophe read outside a word
        Gap,           // at the start of the text; after whitespace
    };

    std::string_view text_;
    std::size_t start_ = 0;  // the pending token is text_[start_, pos_)
    std::size_t pos_ = 0;
    State state_ = State::Gap;
    bool done_ = false;
};

// Hands the tokens of `text` to `take(token)`, in order, each a view into the
// text. They are cut a batch at a time and each batch is handed out at once,
// so that a caller that turns tokens into objects of its own does so while
// they are fresh in the cache. Every token counts as a step of an
// InterruptCheck, which a long stretch of text without a token polls too;
// Interrupted from it, or any exception from `take`, ends the call.
// Inlined into its caller, where `take` and what it captures stay in
// registers across the calls a token costs.
template <class Take>
__attribute__((always_inline)) inline void for_each_token(std::string_view text, Take&& take) {
    TokenCutter cutter(text);
    TokenSpan batch[512];
    InterruptCheck check;
    while (const std::size_t count = cutter.next(batch, std::size(batch), &check)) {
        check.steps(count);
        for (std::size_t k = 0; k < count; ++k) {
            take(std::string_view(text.data() + batch[k].begin, batch[k].length));
        }
    }
}

// All the spans of a text.
std::vector<TokenSpan> tokenize_spans(std::string_view text);

}  // namespace vaskel
