// Destination of a long text produced piece by piece. A producer hands over
// consecutive pieces in order; the text is their concatenation. It lets a
// consumer turn each piece into its own representation while the piece is
// still in the processor's cache, instead of receiving one large buffer at
// the end.
#pragma once

#include <string_view>

namespace vaskel {

class TextSink {
public:
    virtual ~TextSink() = default;
    virtual void append(std::string_view piece) = 0;
};

}  // namespace vaskel
