// The platform layer on POSIX systems: write(2), fstat(2) and /dev/urandom.
#include "platform.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vaskel::platform {

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

WriteResult write_some(int fd, const char* p, std::size_t n) noexcept {
    const ssize_t written = ::write(fd, p, n);
    if (written >= 0) return {WriteResult::Status::written, static_cast<std::size_t>(written), 0};
    if (errno == EINTR) return {WriteResult::Status::interrupted, 0, EINTR};
    return {WriteResult::Status::failed, 0, errno};
}

std::string error_text(int error) { return std::strerror(error); }

bool write_may_block(int fd) noexcept {
    struct stat st;
    if (::fstat(fd, &st) != 0) return true;
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return false;
    return !(S_ISCHR(st.st_mode) && is_null_device(st));
}

bool random_bytes(void* out, std::size_t left) noexcept {
    const int saved_errno = errno;
    char* p = static_cast<char*>(out);
    // /dev/urandom rather than getrandom(2): it is there on every POSIX
    // system we build for, including the old C libraries the release wheel
    // links against, and it never waits for the entropy pool.
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        while (left > 0) {
            const ssize_t n = ::read(fd, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        ::close(fd);
    }
    errno = saved_errno;
    return left == 0;
}

}  // namespace vaskel::platform
