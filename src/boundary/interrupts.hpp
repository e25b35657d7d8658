// Ctrl-C in long calls. The core's loops ask an InterruptPoll every few
// thousand steps (see core/interrupt.hpp); the boundary's poll runs the
// Python handlers of the signals caught since (the interpreter lock is held
// there). When a handler raises, its exception stays pending and the core
// throws Interrupted, which every entry maps to returning that exception:
// no failure report, no PanicException.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/interrupt.hpp"

namespace vaskel::py {

class SignalPoll final : public InterruptPoll {
public:
    // PyErr_CheckSignals returns at once when no signal is pending, and in
    // any thread but the main one.
    bool interrupted() override { return PyErr_CheckSignals() < 0; }
};

// Installs the poll for this copy of the core (the product's and the
// test-only module's each have theirs). Called by each module's init.
void install_signal_poll() noexcept;

}  // namespace vaskel::py
