// Destination of diagnostic lines. The engine and the XML export write their
// trace through this interface; the product uses StdoutLineWriter, tests and
// fuzzers may collect lines in memory instead.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vaskel {

class LineSink {
public:
    virtual ~LineSink() = default;
    // Writes one line; the sink adds the line feed.
    virtual void write_line(std::string_view line) = 0;

    // Writes one line whose line feed is already in place, at p[n - 1]
    // (n >= 1). Writers that build their lines in a buffer of their own use
    // it, so that a sink able to write the bytes as they stand needs no copy.
    virtual void write_terminated(const char* p, std::size_t n) {
        write_line(std::string_view(p, n - 1));
    }
};

// Writes each line, with its line feed, to file descriptor 1 in one write
// (retrying on EINTR and partial writes). Never goes through a stdio buffer.
// A failed write throws Failure("failed printing to stdout: <strerror>").
class StdoutLineWriter final : public LineSink {
public:
    void write_line(std::string_view line) override;
    void write_terminated(const char* p, std::size_t n) override;

private:
    std::string buffer_;
};

// Keeps lines in memory (tests, fuzzing, benchmarks of the core alone).
class CollectingLineSink final : public LineSink {
public:
    void write_line(std::string_view line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
};

// Drops every line.
class NullLineSink final : public LineSink {
public:
    void write_line(std::string_view) override {}
};

}  // namespace vaskel
