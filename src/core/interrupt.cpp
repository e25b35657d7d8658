#include "interrupt.hpp"

#include <atomic>

namespace vaskel {

namespace {

// Written once when the caller starts up, read by every call: an atomic, so
// that a call in another thread never reads it half written.
std::atomic<InterruptPoll*> g_poll{nullptr};

}  // namespace

void install_interrupt_poll(InterruptPoll* poll) noexcept { g_poll.store(poll, std::memory_order_release); }

InterruptPoll* installed_interrupt_poll() noexcept { return g_poll.load(std::memory_order_acquire); }

void InterruptCheck::poll() {
    left_ = kInterval;
    if (poll_ != nullptr && poll_->interrupted()) throw Interrupted{};
}

}  // namespace vaskel
