#include "line_sink.hpp"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "failure.hpp"

namespace vaskel {

namespace {

// The null device's number, looked up once: writes to it never wait.
bool is_null_device(const struct stat& st) noexcept {
    static const dev_t null_device = [] {
        struct stat null_st;
        return ::stat("/dev/null", &null_st) == 0 && S_ISCHR(null_st.st_mode) ? null_st.st_rdev : dev_t(-1);
    }();
    return st.st_rdev == null_device;
}

}  // namespace

bool write_may_block(int fd) noexcept {
    struct stat st;
    if (::fstat(fd, &st) != 0) return true;
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return false;
    return !(S_ISCHR(st.st_mode) && is_null_device(st));
}

StdoutLineWriter::StdoutLineWriter(BlockingWriteHooks* hooks)
    : hooks_(hooks), may_block_(hooks != nullptr && write_may_block(1)) {}

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
