#include "py_ref.hpp"

#include "errors.hpp"

namespace vaskel::py {

PyRef checked(PyObject* o) {
    if (o == nullptr) throw_pending_error();
    return PyRef::steal(o);
}

}  // namespace vaskel::py
