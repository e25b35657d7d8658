#include "line_sink.hpp"

#include <cstring>

#include "failure.hpp"
#include "platform/platform.hpp"

namespace vaskel {

StdoutLineWriter::StdoutLineWriter(BlockingWriteHooks* hooks)
    : hooks_(hooks), may_block_(hooks != nullptr && platform::write_may_block(1)) {}

void StdoutLineWriter::write_terminated(const char* p, std::size_t left) {
    using Status = platform::WriteResult::Status;
    for (;;) {
        platform::WriteResult r;
        if (!may_block_) {
            r = platform::write_some(1, p, left);
        } else {
            hooks_->before_write();
            r = platform::write_some(1, p, left);
            hooks_->after_write();
        }
        if (r.status == Status::written) {
            // The common case first: the whole line went out.
            if (r.count == left) return;
            if (r.count == 0) fail("failed printing to stdout: the write took no bytes");
            p += r.count;
            left -= r.count;
            continue;
        }
        if (r.status == Status::failed) fail("failed printing to stdout: " + platform::error_text(r.error));
        if (hooks_ != nullptr) hooks_->interrupted();
    }
}

// The line and its line feed go out in one write. They are copied into a
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
