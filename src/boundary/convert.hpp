// Conversion of arguments from Python objects and of results back to them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
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
// The same sequence as level 0 of a tree: one leaf per str, made as it is read.
Level leaf_list(PyObject* o);
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
// The tokens of `text`, each as a str.
PyRef token_list(std::string_view text);
PyRef int_list(std::span<const std::uint32_t> values);

// One str from a text that arrives as UTF-8 pieces, each ending at a
// character boundary. Each piece is decoded while it is fresh in the cache
// and appended to the one str being built, which the interpreter grows in
// place while nothing else refers to it: a large text is held once, not as
// a list of decoded pieces beside their join. The str is copied only when a
// piece is wider than everything before it (at most three times: to
// Latin-1, two and four bytes a character), which happens early in most
// texts.
class StrBuilder final : public TextSink {
public:
    StrBuilder();
    void append(std::string_view piece) override;
    PyRef finish();

private:
    PyRef text_;
};

}  // namespace vaskel::py
