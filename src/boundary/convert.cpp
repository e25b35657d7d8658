#include "convert.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "core/interrupt.hpp"
#include "core/rule_base.hpp"
#include "errors.hpp"

namespace vaskel::py {

namespace {

bool has_flag(PyObject* o, unsigned long flag) noexcept {
    return (PyType_GetFlags(Py_TYPE(o)) & flag) != 0;
}

}  // namespace

bool is_str(PyObject* o) noexcept { return has_flag(o, Py_TPFLAGS_UNICODE_SUBCLASS); }

std::string type_qualname(PyObject* o) {
    // The type is held: the lookup may run Python code (a metaclass's
    // __getattribute__) that drops the last other reference to `o`.
    PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(o)));
    PyRef name = PyRef::steal(PyObject_GetAttrString(type.get(), "__qualname__"));
    if (name && is_str(name.get())) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
        if (s != nullptr) return std::string(s, static_cast<std::size_t>(n));
    }
    // A name that cannot be read is replaced, but running out of memory, a
    // Ctrl-C or a PanicException is not a missing name.
    discard_pending_error(KeepMemoryError::yes);
    return "<failed to extract type name>";
}

void throw_not_convertible(PyObject* o, const char* target) {
    std::string message(1, '\'');
    message += type_qualname(o);
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    throw_error(PyExc_TypeError, message);
}

std::string_view text_view(PyObject* o) {
    if (!is_str(o)) throw_not_convertible(o, "PyString");
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (s == nullptr) throw_pending_error();
    return std::string_view(s, static_cast<std::size_t>(n));
}

std::string owned_text(PyObject* o) { return std::string(text_view(o)); }

std::uint32_t u32(PyObject* o) {
    PyRef index = checked(PyNumber_Index(o));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) throw_pending_error();
    if (v > std::numeric_limits<std::uint32_t>::max()) {
        throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint32_t>(v);
}

namespace {

// How many items to make room for before reading a sequence. A list or a
// tuple knows its length; any other __len__ may claim more items than it
// will yield (even more than memory could hold), so its answer is only
// trusted up to a bound, and the vector grows past it as items arrive.
std::size_t items_to_reserve(PyObject* o) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        return static_cast<std::size_t>(PySequence_Size(o));
    }
    const Py_ssize_t size = PySequence_Size(o);
    if (size < 0) {
        discard_pending_error(KeepMemoryError::no);
        return 0;
    }
    constexpr std::size_t kTrustedItems = 1 << 16;
    return std::min(static_cast<std::size_t>(size), kTrustedItems);
}

}  // namespace

namespace {

// Reads a sequence of str (a str itself refused) into `Items`, handing the
// text of each item to `add` while the item is held.
template <class Items, class Add>
Items text_sequence(PyObject* o, Add add) {
    if (is_str(o)) throw_error(PyExc_TypeError, "a str is not a list of strings: pass a list of str");
    if (!PySequence_Check(o)) throw_not_convertible(o, "Sequence");
    Items items;
    items.reserve(items_to_reserve(o));
    PyRef it = checked(PyObject_GetIter(o));
    InterruptCheck check;
    while (PyObject* raw = PyIter_Next(it.get())) {
        PyRef item = PyRef::steal(raw);
        check.step();
        add(items, text_view(item.get()));
    }
    if (PyErr_Occurred()) throw_pending_error();
    return items;
}

}  // namespace

std::vector<std::string> string_list(PyObject* o) {
    return text_sequence<std::vector<std::string>>(
        o, [](std::vector<std::string>& items, std::string_view text) { items.emplace_back(text); });
}

Level leaf_list(PyObject* o) {
    return text_sequence<Level>(o, [](Level& leaves, std::string_view text) {
        Node& leaf = leaves.emplace_back();
        leaf.data.assign(text);
        leaf.index = static_cast<std::uint32_t>(leaves.size() - 1);
    });
}

RuleBase rule_map(PyObject* o) {
    if (!has_flag(o, Py_TPFLAGS_DICT_SUBCLASS)) throw_not_convertible(o, "PyDict");
    const Py_ssize_t size = PyDict_Size(o);
    RuleBase rules;
    rules.reserve(static_cast<std::size_t>(size));
    Py_ssize_t pos = 0, read = 0;
    PyObject *key, *value;
    InterruptCheck check;
    for (;;) {
        check.step();
        if (PyDict_Size(o) != size) fail("dictionary changed size during iteration");
        if (read > size) fail("dictionary keys changed during iteration");
        if (!PyDict_Next(o, &pos, &key, &value)) break;
        ++read;
        // Held: refusing the key reads its type's name, which may run
        // Python code that empties the dictionary. The texts are views into
        // the held objects, copied once, into the rule's line.
        PyRef held_key = PyRef::borrow(key), held_value = PyRef::borrow(value);
        const std::string_view k = text_view(key);
        const std::string_view v = text_view(value);
        // Two keys of a dict are never equal; two str keys of one text are.
        rules.insert(k, v, PyUnicode_CheckExact(key) ? KeyIs::unique : KeyIs::may_repeat);
    }
    return rules;
}

void annotate_type_error(const char* name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    SavedError error;
    if (error.type() != PyExc_TypeError) return;
    // Normalising may itself fail, leaving MemoryError: that one goes on.
    error.normalize();
    if (error.value() == nullptr || Py_TYPE(error.value()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        return;
    }
    PyRef message = PyRef::steal(PyObject_Str(error.value()));
    PyRef annotated =
        PyRef::steal(message ? PyUnicode_FromFormat("argument '%s': %U", name, message.get()) : nullptr);
    PyRef fresh = PyRef::steal(
        annotated ? PyObject_CallFunctionObjArgs(PyExc_TypeError, annotated.get(), nullptr) : nullptr);
    if (!fresh) {
        // Keep the original error rather than lose it, unless the attempt
        // ran out of memory.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            error.discard();
        } else {
            PyErr_Clear();
        }
        return;
    }
    PyException_SetCause(fresh.get(), PyException_GetCause(error.value()));  // steals the new reference
    error.discard();
    PyErr_SetObject(PyExc_TypeError, fresh.get());
}

PyRef to_str(std::string_view s) {
    return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyRef to_int(std::uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }

StrBuilder::StrBuilder() = default;

void StrBuilder::append(std::string_view piece) {
    PyRef str = to_str(piece);
    if (!text_) {
        text_ = std::move(str);
        return;
    }
    // Steals the text's reference and leaves in its place the grown text,
    // or null on failure.
    PyObject* text = text_.release();
    PyUnicode_Append(&text, str.get());
    if (text == nullptr) throw_pending_error();
    text_ = PyRef::steal(text);
}

PyRef StrBuilder::finish() {
    if (!text_) return to_str("");
    return std::move(text_);
}

namespace {

// Tokens of running text repeat a lot (articles, prepositions, punctuation).
// A small direct-mapped cache, local to one call, hands out the str object
// already made for the same bytes instead of decoding and allocating again.
// Entries are borrowed from the result list, which outlives the cache.
// The table has up to kSlots entries, and no more than the number of tokens
// rounded up to a power of two, so that a short list does not pay for
// clearing a large table.
class TokenStrCache {
public:
    static constexpr std::size_t kSlots = 16384;
    static constexpr std::size_t kMaxLength = 24;

    // `end` is the end of the text the tokens are cut from; `tokens` is
    // about how many there are.
    TokenStrCache(std::size_t tokens, const char* end) : end_(end) {
        std::size_t slots = 16;
        while (slots < tokens && slots < kSlots) slots *= 2;
        slots_.resize(slots);
    }

    PyObject* get(const char* s, std::size_t n) {
        if (n > kMaxLength || n < 2) return make(s, n);
        const Key key = key_of(s, n);
        Slot& slot = slots_[hash(key, n) & (slots_.size() - 1)];
        if (slot.obj != nullptr && slot.length == n && slot.key.w[0] == key.w[0] &&
            slot.key.w[1] == key.w[1] && slot.key.w[2] == key.w[2]) {
            Py_INCREF(slot.obj);
            return slot.obj;
        }
        PyObject* obj = make(s, n);
        slot = Slot{obj, n, key};
        return obj;
    }

private:
    // The bytes of a token of at most kMaxLength bytes, zero-padded: kept in
    // the slot itself, so that a lookup reads the table and not the text
    // where the token was first seen.
    struct Key {
        std::uint64_t w[3];
    };
    static_assert(sizeof(Key) == kMaxLength);

    struct Slot {
        PyObject* obj = nullptr;
        std::size_t length = 0;
        Key key{};
    };

    Key key_of(const char* s, std::size_t n) const {
        Key key;
        if (static_cast<std::size_t>(end_ - s) >= sizeof key.w) {
            std::memcpy(key.w, s, sizeof key.w);  // one fixed-size load, then masked
            for (std::size_t i = 0; i < 3; ++i) {
                const std::size_t valid = n > 8 * i ? std::min<std::size_t>(n - 8 * i, 8) : 0;
                key.w[i] &= byte_mask(valid);
            }
        } else {
            std::memset(key.w, 0, sizeof key.w);
            std::memcpy(key.w, s, n);
        }
        return key;
    }

    // The bits of the first `valid` bytes of a word in memory order.
    static std::uint64_t byte_mask(std::size_t valid) {
        if (valid >= 8) return ~std::uint64_t{0};
        if (valid == 0) return 0;
        if constexpr (std::endian::native == std::endian::little) {
            return (std::uint64_t{1} << (8 * valid)) - 1;
        } else {
            return ~std::uint64_t{0} << (8 * (8 - valid));
        }
    }

    static std::size_t hash(const Key& key, std::size_t n) {
        const std::uint64_t h = (key.w[0] * 0x9E3779B97F4A7C15ull) ^ (key.w[1] * 0xC2B2AE3D27D4EB4Full) ^
                                (key.w[2] * 0x165667B19E3779F9ull) ^ n;
        return static_cast<std::size_t>(mix_hash(h));
    }

    static PyObject* make(const char* s, std::size_t n) {
        PyObject* obj = PyUnicode_FromStringAndSize(s, static_cast<Py_ssize_t>(n));
        if (obj == nullptr) throw_pending_error();
        return obj;
    }

    const char* end_;
    std::vector<Slot> slots_;
};

}  // namespace

PyRef token_list(std::string_view text) {
    PyRef list = checked(PyList_New(0));
    if (text.empty()) return list;
    // French prose has well over five bytes per token.
    TokenStrCache cache(text.size() / 5 + 1, text.data() + text.size());
    for_each_token(text, [&](std::string_view token) {
        PyRef str = PyRef::steal(cache.get(token.data(), token.size()));
        if (PyList_Append(list.get(), str.get()) < 0) throw_pending_error();
    });
    return list;
}

PyRef int_list(std::span<const std::uint32_t> values) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    Py_ssize_t k = 0;
    InterruptCheck check;
    for (std::uint32_t v : values) {
        check.step();
        PyList_SetItem(list.get(), k++, to_int(v).release());
    }
    return list;
}

}  // namespace vaskel::py
