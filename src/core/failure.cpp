#include "failure.hpp"

namespace vaskel {

void fail_index(std::uint64_t len, std::uint64_t index, SourceLocation where) {
    std::string msg = "index out of bounds: the len is ";
    msg += std::to_string(len);
    msg += " but the index is ";
    msg += std::to_string(index);
    throw Failure(std::move(msg), where);
}

}  // namespace vaskel
