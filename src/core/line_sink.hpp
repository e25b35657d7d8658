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

// What the caller of the core does around a write to file descriptor 1 that
// may block for good (see platform::write_may_block). The core knows nothing of
// the caller; the Python boundary lets other threads run meanwhile.
class BlockingWriteHooks {
public:
    // Called just before such a write and just after it, in pairs. Between
    // the two the writer touches only its own bytes and errno. after_write
    // may end the thread with a forced unwind (the interpreter ends a daemon
    // thread that way at exit), which passes through the writer and its
    // callers like an exception that nobody catches.
    virtual void before_write() noexcept = 0;
    virtual void after_write() = 0;
    // Called (after after_write, for a write that may block) whenever a
    // write is interrupted by a signal before writing anything. It may
    // throw to end the call; otherwise the write is retried.
    virtual void interrupted() = 0;

protected:
    ~BlockingWriteHooks() = default;
};

// Writes each line, with its line feed, to file descriptor 1 in one write
// (platform::write_some; retrying when a signal interrupts it and after
// partial writes, going on from the first byte not yet written). Never goes
// through a stdio buffer. A failed write throws
// Failure("failed printing to stdout: <the system's error text>"); a write
// that takes no byte at all is a failure too, rather than a loop that never
// ends.
//
// With hooks, the writer looks once, when it is made, at what fd 1 is: when
// a write to it may block (platform::write_may_block) every write is wrapped
// in before_write / after_write; regular files, block devices and the null
// device are written to directly. Every interrupted write goes to
// hooks->interrupted().
class StdoutLineWriter final : public LineSink {
public:
    explicit StdoutLineWriter(BlockingWriteHooks* hooks = nullptr);
    void write_line(std::string_view line) override;
    void write_terminated(const char* p, std::size_t n) override;

private:
    BlockingWriteHooks* hooks_;
    bool may_block_ = false;
    std::string buffer_;
};

// Keeps lines in memory (tests, fuzzing, benchmarks of the core alone).
class CollectingLineSink final : public LineSink {
public:
    void write_line(std::string_view line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
};

}  // namespace vaskel
