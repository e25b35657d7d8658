// The failure type that core operations throw. It carries a message and the
// place in the source where it was raised; the Python boundary catches it and
// turns it into PanicException.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace vaskel {

class Failure : public std::exception {
public:
    explicit Failure(std::string message,
                     std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
    throw Failure(std::move(message), where);
}

// "index out of bounds: the len is L but the index is I"
[[noreturn]] void fail_index(std::uint64_t len, std::uint64_t index,
                             std::source_location where = std::source_location::current());

}  // namespace vaskel
