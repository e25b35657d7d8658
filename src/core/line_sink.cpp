#include "line_sink.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "failure.hpp"

namespace vaskel {

void StdoutLineWriter::write_line(std::string_view line) {
    buffer_.assign(line);
    buffer_.push_back('\n');
    const char* p = buffer_.data();
    std::size_t left = buffer_.size();
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

}  // namespace vaskel
