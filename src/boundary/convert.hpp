// Conversion of arguments from Python objects and of results back to them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/engine.hpp"
#include "core/text_sink.hpp"
#include "core/tokenizer.hpp"
#include "core/tree.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace vaskel::py {

bool is_str(PyObject* o) noexcept;

// The type's __qualname__, or "<failed to extract type name>".
std::string type_qualname(PyObject* o);

// TypeError "'<qualname>' object cannot be converted to '<target>'".
[[noreturn]] void throw_not_convertible(PyObject* o, const char* target);

// Argument conversions. Each throws PythonErrorSet (or ResumedFailure) with
// the conversion error set.
std::string_view text_view(PyObject* o);  // valid while o lives
std::string owned_text(PyObject* o);
std::uint32_t u32(PyObject* o);
std::vector<std::string> string_list(PyObject* o);
RuleBase rule_map(PyObject* o);

void annotate_type_error(const char* name) noexcept;

// Runs one argument's conversion; an exact TypeError from it is replaced by
// TypeError "argument '<name>': <message>" keeping the original's cause.
template <class Convert>
auto convert_arg(const char* name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PythonErrorSet&) {
        annotate_type_error(name);
        throw;
    }
}

// Result conversions: new references, or PythonErrorSet.
PyRef to_str(std::string_view s);
PyRef to_int(std::uint64_t v);
// The tokens of `text`, cut and converted batch by batch.
PyRef token_list(std::string_view text);
PyRef int_list(const std::vector<std::uint32_t>& values);

// One str from a text that arrives as UTF-8 pieces, each ending at a
// character boundary. Each piece is decoded while it is fresh in the cache
// and the pieces are joined at the end. Decoding one large buffer instead
// would copy the characters read so far to a wider str whenever a wider
// character turns up, and touch that much more newly mapped memory.
class StrBuilder final : public TextSink {
public:
    StrBuilder();
    void append(std::string_view piece) override;
    PyRef finish();

private:
    PyRef pieces_;
};

}  // namespace vaskel::py
