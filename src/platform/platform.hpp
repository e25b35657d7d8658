// What the core asks of the operating system, and nothing else: writing bytes
// to a standard file descriptor, telling whether such a write may wait on
// another thread, and drawing random bytes. Plain C++, no header of the
// operating system: the core includes this file only, and exactly one implementation is linked in
// (posix.cpp on Linux, macOS and the BSDs; windows.cpp on Windows).
#pragma once

#include <cstddef>
#include <string>

namespace vaskel::platform {

// The outcome of one write_some.
struct WriteResult {
    enum class Status {
        written,      // `count` bytes were taken (maybe fewer than asked, maybe none)
        interrupted,  // a signal came before any byte was taken; nothing was written
        failed,       // the system refused the write; `error` says why
    };
    Status status;
    std::size_t count;  // with written: the bytes taken, from the first one on
    int error;          // with failed: the system's error number, for error_text
};

// One write of p[0, n) to the standard descriptor `fd` (1 or 2): a single
// system call, never through a stdio buffer, never retried. Leaves errno as
// the call set it.
WriteResult write_some(int fd, const char* p, std::size_t n) noexcept;

// The system's description of an error number from WriteResult::error.
std::string error_text(int error);

// Whether a write to `fd` may wait on something that another thread of this
// process must do first: a pipe or a socket drained by a thread (a notebook
// kernel captures fd 1 so), a pseudo-terminal or a console whose other end a
// thread reads (terminal emulators and front ends written in Python), and any
// other device. Only what is known to take the bytes on its own (a regular
// file, a block device, the null device) answers false; a descriptor that
// cannot be examined counts as one that may block.
bool write_may_block(int fd) noexcept;

// Fills p[0, n) from the system's random source, which never waits for
// entropy. False when the source fails (the bytes are then unspecified).
// Leaves errno as it found it.
bool random_bytes(void* p, std::size_t n) noexcept;

}  // namespace vaskel::platform
