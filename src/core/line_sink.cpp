#include "line_sink.hpp"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "failure.hpp"

namespace vaskel {

namespace {

// A pipe or a socket: a write can wait on a reader for ever.
bool fd1_may_block() noexcept {
    struct stat st;
    if (::fstat(1, &st) != 0) return false;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

}  // namespace

StdoutLineWriter::StdoutLineWriter(BlockingWriteHooks* hooks)
    : hooks_(hooks), may_block_(hooks != nullptr && fd1_may_block()) {}

void StdoutLineWriter::write_terminated(const char* p, std::size_t left) {
    for (;;) {
        ssize_t n;
        if (!may_block_) {
            n = ::write(1, p, left);
        } else {
            hooks_->before_write();
            n = ::write(1, p, left);
            const int error = errno;
            hooks_->after_write();
            errno = error;
        }
        // The common case first: the whole line went out.
        if (n >= 0 && static_cast<std::size_t>(n) == left) return;
        if (n > 0) {
            p += n;
            left -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) fail("failed printing to stdout: the write took no bytes");
        if (errno != EINTR) fail(std::string("failed printing to stdout: ") + std::strerror(errno));
        if (hooks_ != nullptr) hooks_->interrupted();
    }
}

// The line and its line feed go out in one write(2). They are copied into a
// buffer that only ever grows, so that after the first long line no call
// allocates; a plain memcpy into it costs far less than the system call.
void StdoutLineWriter::write_line(std::string_view line) {
    const std::size_t size = line.size() + 1;
    if (buffer_.size() < size) buffer_.resize(size < 128 ? 128 : size);
    char* data = buffer_.data();
    if (!line.empty()) std::memcpy(data, line.data(), line.size());
    data[line.size()] = '\n';
    write_terminated(data, size);
}

}  // namespace vaskel
