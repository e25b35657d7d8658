#include "text_hash.hpp"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>

namespace vaskel {

namespace {

std::uint64_t draw_seed() noexcept {
    const int saved_errno = errno;
    std::uint64_t seed = 0;
    char* p = reinterpret_cast<char*>(&seed);
    std::size_t left = sizeof seed;
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
    if (left == 0) return seed;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return mix_hash(seed ^ now ^ reinterpret_cast<std::uintptr_t>(&seed));
}

}  // namespace

std::uint64_t rule_hash_seed() noexcept {
    static const std::uint64_t seed = draw_seed();
    return seed;
}

}  // namespace vaskel
