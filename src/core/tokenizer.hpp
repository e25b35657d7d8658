// The finite-state transducer behind vaskel.tokenize.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vaskel {

// One token: a contiguous slice of the input text, in bytes. Every token is a
// slice because whitespace and clause marks always end what is pending.
struct TokenSpan {
    std::size_t begin;
    std::size_t length;
};

// Splits valid UTF-8 text into tokens, reading it once, left to right.
std::vector<TokenSpan> tokenize_spans(std::string_view text);

// The same tokens as owned strings.
std::vector<std::string> tokenize(std::string_view text);

}  // namespace vaskel
