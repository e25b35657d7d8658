// What the boundary does around a trace write that may block (see
// platform::write_may_block): a pipe, a socket or a terminal on fd 1 may be drained by
// another thread of this process (a notebook kernel captures fd 1 so), which
// could never run if the write waited with the interpreter lock held. A call
// writes its trace through
//     InterpreterWriteHooks hooks;
//     StdoutLineWriter trace(&hooks);
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/line_sink.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace vaskel::py {

class InterpreterWriteHooks final : public BlockingWriteHooks {
public:
    // The lock is released for the write(2) alone: the bytes written belong
    // to the call's own C++ buffers, which no Python code can reach.
    void before_write() noexcept override { saved_ = PyEval_SaveThread(); }
    // At exit, the interpreter may end the thread here (see take_lock_back).
    void after_write() override { take_lock_back(saved_); }

    // A signal interrupted a write: its Python handler runs now, with the
    // lock held; an exception it raises (KeyboardInterrupt) ends the call.
    void interrupted() override {
        if (PyErr_CheckSignals() < 0) throw_pending_error();
    }

private:
    PyThreadState* saved_ = nullptr;
};

}  // namespace vaskel::py
