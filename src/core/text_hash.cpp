#include "text_hash.hpp"

#include <chrono>

#include "platform/platform.hpp"

namespace vaskel {

namespace {

std::uint64_t draw_seed() noexcept {
    std::uint64_t seed = 0;
    if (platform::random_bytes(&seed, sizeof seed)) return seed;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return mix_hash(seed ^ now ^ reinterpret_cast<std::uintptr_t>(&seed));
}

}  // namespace

std::uint64_t rule_hash_seed() noexcept {
    static const std::uint64_t seed = draw_seed();
    return seed;
}

}  // namespace vaskel
