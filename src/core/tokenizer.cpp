// The finite-state transducer behind vaskel.tokenize.
//
// Each character is put in one of six classes, and the pair (state, class)
// selects what happens to the pending token and which state comes next
// (A = append, F = flush, E = emit, in that order; then the next state):
//
//   state          Alnum        Space     SentenceMark  ClauseMark    Apostrophe    Other
//   Gap            A   Word     F  Gap    A   SentM     F,E  After    A   After     A  Gap
//   Word           A   Word     F  Gap    F,A SentM     F,E  After    A,F After     A  Word
//   SentenceMark   F,A Word     F  Gap    A   SentM     F,E  After    F,A After     A  SentM
//   AfterMark      A   Word     F  Gap    F,A SentM     F,E  After    A   After     A  After
//
// (After = AfterMark, SentM = SentenceMark.) Append adds the character to the
// pending token, flush outputs the pending token if it is not empty and
// empties it, emit outputs the character as a token of its own. At the end of
// the text the pending token is flushed.
//
// Whitespace and clause marks always flush, and every other character is
// appended, so the pending token is always the slice of the text from its
// start offset up to the current position: it is kept as that offset, and
// tokens are produced as (offset, length) spans without copying.

#include "core/tokenizer.hpp"

#include <array>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/interrupt.hpp"
#include "core/unicode_props.hpp"
#include "core/utf8.hpp"

namespace vaskel {
namespace {

enum class CharClass : std::uint8_t {
    Alnum,         // letters and digits (Unicode Alphabetic or General_Category N*)
    Space,         // White_Space
    SentenceMark,  // ! . ?
    ClauseMark,    // , : ; « » – “ ”
    Apostrophe,    // ' and U+2019
    Other,         // everything else: symbols, other punctuation, combining marks, controls
};

constexpr std::array<CharClass, 128> make_ascii_classes() {
    std::array<CharClass, 128> t{};
    for (auto& c : t) {
        c = CharClass::Other;
    }
    for (int c = 'a'; c <= 'z'; ++c) {
        t[c] = CharClass::Alnum;
    }
    for (int c = 'A'; c <= 'Z'; ++c) {
        t[c] = CharClass::Alnum;
    }
    for (int c = '0'; c <= '9'; ++c) {
        t[c] = CharClass::Alnum;
    }
    for (int c = 0x09; c <= 0x0D; ++c) {
        t[c] = CharClass::Space;
    }
    t[' '] = CharClass::Space;
    t['!'] = t['.'] = t['?'] = CharClass::SentenceMark;
    t[','] = t[':'] = t[';'] = CharClass::ClauseMark;
    t['\''] = CharClass::Apostrophe;
    return t;
}

constexpr std::array<CharClass, 128> kAsciiClass = make_ascii_classes();

// Byte b continues a word without any action: an ASCII Alnum or Other
// character (both are "append; Word" in state Word). Bytes of multi-byte
// sequences are 0 so that they go through the full classification.
constexpr std::array<bool, 256> make_word_bytes() {
    std::array<bool, 256> t{};
    for (int b = 0; b < 128; ++b) {
        t[b] = kAsciiClass[b] == CharClass::Alnum || kAsciiClass[b] == CharClass::Other;
    }
    return t;
}

constexpr std::array<bool, 256> kWordByte = make_word_bytes();

// Returns the first position at or after pos whose byte is not a word byte,
// or n. The vector loop may stop early, at a byte that is not a letter or digit
// but still continues a word (for instance '-'); the caller's full
// classification handles such a byte and then comes back here.
inline std::size_t skip_word_bytes(const unsigned char* s, std::size_t pos, std::size_t n) noexcept {
#if defined(__SSE2__)
    // Stop on any byte below 0x2F (controls, space, ! " # $ % & ' ( ) * + , - .),
    // on 0x3A to 0x3F (: ; < = > ?) and on bytes of multi-byte sequences, which
    // the signed comparison puts below 0x2F as well.
    const __m128i below = _mm_set1_epi8(0x2F);
    const __m128i after_digits = _mm_set1_epi8(0x39);
    const __m128i at_sign = _mm_set1_epi8(0x40);
    while (pos + 16 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + pos));
        const __m128i low = _mm_cmplt_epi8(v, below);
        const __m128i mid = _mm_and_si128(_mm_cmpgt_epi8(v, after_digits), _mm_cmplt_epi8(v, at_sign));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(low, mid)));
        if (mask != 0) {
            return pos + static_cast<std::size_t>(__builtin_ctz(mask));
        }
        pos += 16;
    }
#endif
    while (pos < n && kWordByte[s[pos]]) {
        ++pos;
    }
    return pos;
}

// Which bytes are ASCII characters of class c (no byte from 0x80 on is).
constexpr std::array<bool, 256> make_class_bytes(CharClass c) {
    std::array<bool, 256> t{};
    for (int b = 0; b < 128; ++b) {
        t[b] = kAsciiClass[b] == c;
    }
    return t;
}

constexpr std::array<bool, 256> kSpaceByte = make_class_bytes(CharClass::Space);
constexpr std::array<bool, 256> kAlnumByte = make_class_bytes(CharClass::Alnum);

// Class of a code point at or above U+0080.
inline CharClass classify_wide(char32_t cp) noexcept {
    const std::uint8_t p = unicode::props(cp);
    if (p & (unicode::kAlphabetic | unicode::kNumber)) {
        return CharClass::Alnum;
    }
    if (p & unicode::kWhiteSpace) {
        return CharClass::Space;
    }
    switch (cp) {
        case 0x00AB:  // «
        case 0x00BB:  // »
        case 0x2013:  // en dash
        case 0x201C:  // “
        case 0x201D:  // ”
            return CharClass::ClauseMark;
        case 0x2019:  // ’
            return CharClass::Apostrophe;
        default:
            return CharClass::Other;
    }
}

}  // namespace

std::size_t TokenCutter::next(TokenSpan* out, std::size_t room, InterruptCheck* check) {
    for (;;) {
        const std::size_t count = cut(out, room);
        if (count != 0 || done_) {
            return count;
        }
        if (check != nullptr) {
            check->poll();
        }
    }
}

std::size_t TokenCutter::cut(TokenSpan* out, std::size_t room) {
    if (done_) {
        return 0;
    }
    const std::string_view text = text_;
    const std::size_t n = text.size();
    // This call reads up to about `limit`: one word scan may go past it.
    const std::size_t limit = n - pos_ > kStretch ? pos_ + kStretch : n;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t start = start_;
    std::size_t pos = pos_;
    State state = state_;
    std::size_t count = 0;

    auto flush = [&](std::size_t end) __attribute__((always_inline)) {
        if (end > start) {
            out[count++] = TokenSpan{start, end - start};
        }
        start = end;
    };
    // Stops before a step that might not find room: one character gives at
    // most two tokens (a clause mark after a pending token).
    auto pause = [&] {
        start_ = start;
        pos_ = pos;
        state_ = state;
        return count;
    };

    while (pos < limit) {
        if (count + 2 > room) {
            return pause();
        }
        if (state == State::Word) {
            // The common case: the rest of an ASCII word.
            pos = skip_word_bytes(s, pos, n);
            if (pos == n) {
                break;
            }
        }

        const unsigned char b = s[pos];
        std::size_t next = pos;
        CharClass cls;
        if (b < 0x80) {
            cls = kAsciiClass[b];
            next = pos + 1;
        } else {
            cls = classify_wide(utf8::decode(text, next));
        }

        switch (cls) {
            case CharClass::Alnum:
                if (state == State::SentenceMark) {
                    flush(pos);
                }
                state = State::Word;
                break;
            case CharClass::Space:
                flush(pos);
                // Further ASCII whitespace changes nothing: skip it at once.
                while (next < n && kSpaceByte[s[next]]) {
                    ++next;
                }
                start = next;
                state = State::Gap;
                // An ASCII letter or digit after the gap starts a word
                // (append; Word): take that transition here and go straight
                // to the word scan.
                if (next < n && kAlnumByte[s[next]]) {
                    state = State::Word;
                }
                break;
            case CharClass::SentenceMark:
                if (state == State::Word || state == State::AfterMark) {
                    flush(pos);
                }
                state = State::SentenceMark;
                break;
            case CharClass::ClauseMark:
                flush(pos);
                out[count++] = TokenSpan{pos, next - pos};
                start = next;
                state = State::AfterMark;
                break;
            case CharClass::Apostrophe:
                if (state == State::Word) {
                    flush(next);  // the apostrophe ends the word it belongs to
                } else if (state == State::SentenceMark) {
                    flush(pos);
                }
                state = State::AfterMark;
                break;
            case CharClass::Other:
                break;
        }
        pos = next;
    }
    if (pos < n) {
        return pause();  // the stretch is read; the rest comes next time
    }
    if (count + 1 > room) {
        return pause();
    }
    flush(n);
    done_ = true;
    return count;
}

std::vector<TokenSpan> tokenize_spans(std::string_view text) {
    std::vector<TokenSpan> spans;
    for_each_token(text, [&](std::string_view token) {
        spans.push_back(TokenSpan{static_cast<std::size_t>(token.data() - text.data()), token.size()});
    });
    return spans;
}

}  // namespace vaskel
