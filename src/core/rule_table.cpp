#include "rule_table.hpp"

#include <cerrno>
#include <chrono>
#include <sys/random.h>

namespace vaskel {

namespace {

std::uint64_t draw_seed() noexcept {
    const int saved_errno = errno;
    std::uint64_t seed = 0;
    char* p = reinterpret_cast<char*>(&seed);
    std::size_t left = sizeof seed;
    // Non-blocking: early in boot the pool may not be ready, and a weaker
    // seed is better than a process that waits.
    while (left > 0) {
        const ssize_t n = getrandom(p, left, GRND_NONBLOCK);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
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
