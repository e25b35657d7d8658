#include "binding.hpp"

#include <cstring>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace vaskel::py {

std::string ParamNames::full_name() const {
    std::string name;
    if (class_name != nullptr) {
        name += class_name;
        name += '.';
    }
    name += function_name;
    name += "()";
    return name;
}

namespace {

// 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
std::string quoted_names(const std::vector<const char*>& names) {
    std::string out;
    const std::size_t n = names.size();
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0) {
            if (n > 2) out += ',';
            out += (k == n - 1) ? " and " : " ";
        }
        out += '\'';
        out += names[k];
        out += '\'';
    }
    return out;
}

[[noreturn]] void unexpected_keyword(const ParamNames& spec, PyObject* key) {
    // Formatted first, for the reason given at throw_error.
    auto text = PyRef::steal(
        PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", spec.full_name().c_str(), key));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    throw PythonErrorSet{};
}

}  // namespace

void bind_arguments(const ParamNames& spec, PyObject* args, PyObject* kwargs, PyRef* slots) {
    const std::size_t p = spec.count;
    const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
    if (given < 0) throw_pending_error();
    const std::size_t n = static_cast<std::size_t>(given);

    for (std::size_t k = 0; k < n && k < p; ++k) {
        slots[k] = PyRef::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(k)));
    }

    if (n > p) {
        std::string message = spec.full_name() + " takes " + std::to_string(p) +
                              " positional arguments but " + std::to_string(n) +
                              (n == 1 ? " was given" : " were given");
        throw_error(PyExc_TypeError, message);
    }

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!is_str(key)) throw_not_convertible(key, "PyString");
            Py_ssize_t len = 0;
            const char* name = PyUnicode_AsUTF8AndSize(key, &len);
            if (name == nullptr) {
                discard_pending_error(KeepMemoryError::yes);
                unexpected_keyword(spec, key);
            }
            std::size_t found = p;
            for (std::size_t k = 0; k < p; ++k) {
                if (std::strlen(spec.names[k]) == static_cast<std::size_t>(len) &&
                    std::memcmp(spec.names[k], name, static_cast<std::size_t>(len)) == 0) {
                    found = k;
                    break;
                }
            }
            if (found == p) unexpected_keyword(spec, key);
            if (slots[found]) {
                throw_error(PyExc_TypeError, spec.full_name() + " got multiple values for argument '" +
                                                 spec.names[found] + "'");
            }
            slots[found] = PyRef::borrow(value);
        }
    }

    if (n < p) {
        std::vector<const char*> missing;
        for (std::size_t k = 0; k < p; ++k) {
            if (!slots[k]) missing.push_back(spec.names[k]);
        }
        if (!missing.empty()) {
            std::string message = spec.full_name() + " missing " + std::to_string(missing.size()) +
                                  " required positional " +
                                  (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                  quoted_names(missing);
            throw_error(PyExc_TypeError, message);
        }
    }
}

}  // namespace vaskel::py
