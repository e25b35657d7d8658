// The failure type that core operations throw. It carries a message and the
// place in the source where it was raised; the Python boundary catches it and
// turns it into PanicException.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace vaskel {

// Where a failure was raised. Filled in at the call site by the compiler's
// builtins (SourceLocation is not available with every compiler that
// builds this code).
class SourceLocation {
public:
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE()) noexcept {
        return SourceLocation(file, line);
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr unsigned line() const noexcept { return line_; }

private:
    constexpr SourceLocation(const char* file, unsigned line) : file_(file), line_(line) {}
    const char* file_;
    unsigned line_;
};

class Failure : public std::exception {
public:
    explicit Failure(std::string message,
                     SourceLocation where = SourceLocation::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const SourceLocation& where() const noexcept { return where_; }

private:
    std::string message_;
    SourceLocation where_;
};

[[noreturn]] inline void fail(std::string message,
                              SourceLocation where = SourceLocation::current()) {
    throw Failure(std::move(message), where);
}

// "index out of bounds: the len is L but the index is I"
[[noreturn]] void fail_index(std::uint64_t len, std::uint64_t index,
                             SourceLocation where = SourceLocation::current());

}  // namespace vaskel
