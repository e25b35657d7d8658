#include "line_sink.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "failure.hpp"

namespace vaskel {

void StdoutLineWriter::write_terminated(const char* p, std::size_t left) {
    while (left > 0) {
        ssize_t n = ::write(1, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(std::string("failed printing to stdout: ") + std::strerror(errno));
        }
        p += n;
        left -= static_cast<std::size_t>(n);
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
