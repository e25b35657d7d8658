// Ending a long core call early, when its caller asks. Every loop whose
// length the caller controls (tokens, rules, nodes, trace lines, result
// items) counts its steps with an InterruptCheck, which every few thousand
// steps asks the poll the caller installed whether the call must end; when
// it must, Interrupted is thrown and unwinds the call like any exception:
// lines already written stay written, everything allocated is freed. With no
// poll installed (tests of the core, fuzzing) the steps are only counted.
//
// The Python boundary installs a poll that runs the handlers of pending
// signals: a handler's exception (KeyboardInterrupt on Ctrl-C) ends the call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vaskel {

class InterruptPoll {
public:
    // True when the call must end now. The poll keeps the reason itself (the
    // boundary leaves the handler's exception pending for its caller). Called
    // only from the thread that runs the core call, between two steps. Not
    // noexcept: a poll that runs the caller's code may see the thread ended
    // there (a forced unwind at interpreter exit), which must pass through.
    virtual bool interrupted() = 0;

protected:
    ~InterruptPoll() = default;
};

// The poll for the whole process; null (the default) removes it. The poll
// must outlive every call that may use it.
void install_interrupt_poll(InterruptPoll* poll) noexcept;
InterruptPoll* installed_interrupt_poll() noexcept;

// Thrown when the poll ends a call. Neither a Failure nor a std::exception:
// nothing failed, there is nothing to report, and no handler written for
// failures can take it for one.
struct Interrupted {};

// A countdown, local to one call: the poll is asked once per kInterval steps,
// so that a step costs a decrement and a test.
class InterruptCheck {
public:
    static constexpr std::uint32_t kInterval = 4096;

    InterruptCheck() noexcept : poll_(installed_interrupt_poll()) {}

    // Counts one step.
    void step() {
        if (--left_ == 0) [[unlikely]] poll();
    }
    // Counts `n` steps at once (a batch, or a step that costs n).
    void steps(std::size_t n) {
        if (n >= left_) [[unlikely]] {
            poll();
        } else {
            left_ -= static_cast<std::uint32_t>(n);
        }
    }
    // Asks the poll now and starts counting afresh; throws Interrupted when
    // the call must end.
    void poll();

private:
    InterruptPoll* poll_;
    std::uint32_t left_ = kInterval;
};

}  // namespace vaskel
