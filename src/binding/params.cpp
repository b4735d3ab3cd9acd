// Binding arguments to parameters, and the messages for calls that do not fit.
#include "binding/params.hpp"

#include <string>

#include "binding/text.hpp"

namespace cw {
namespace {

std::string full_name(SignatureView sig) {
    return concat({sig.owner, ".", sig.function, "()"});
}

[[noreturn, gnu::cold]] void fail(std::string message) {
    throw PyError::deferred(PyExc_TypeError, std::move(message));
}

[[noreturn, gnu::cold]] void too_many_positional(SignatureView sig, std::size_t given) {
    fail(concat({full_name(sig), " takes ", std::to_string(sig.positional),
                 " positional arguments but ", std::to_string(given),
                 given == 1 ? " was given" : " were given"}));
}

[[noreturn, gnu::cold]] void unexpected_keyword(SignatureView sig, PyObject* name) {
    fail(concat({full_name(sig), " got an unexpected keyword argument '", text_of(name), "'"}));
}

[[noreturn, gnu::cold]] void multiple_values(SignatureView sig, std::string_view param) {
    fail(concat({full_name(sig), " got multiple values for argument '", param, "'"}));
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
[[noreturn, gnu::cold]] void missing(SignatureView sig, PyObject** slots) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        count += slots[i] == nullptr ? 1 : 0;
    }
    std::string list;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots[i] != nullptr) {
            continue;
        }
        if (listed > 0) {
            list += count > 2 ? ", " : " ";
            if (listed + 1 == count) {
                list += "and ";
            }
        }
        list += concat({"'", sig.names[i], "'"});
        ++listed;
    }
    fail(concat({full_name(sig), " missing ", std::to_string(count), " required positional ",
                 count == 1 ? "argument: " : "arguments: ", list}));
}

// The slot the keyword filled.
std::size_t bind_keyword(SignatureView sig, PyObject* name, PyObject* value, PyObject** slots) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (utf8 == nullptr) {
        // Not encodable as UTF-8 (a lone surrogate), so it cannot name a parameter.
        PyErr_Clear();
        unexpected_keyword(sig, name);
    }
    const std::string_view key(utf8, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (sig.names[i] == key) {
            if (slots[i] != nullptr) {
                multiple_values(sig, sig.names[i]);
            }
            slots[i] = value;
            return i;
        }
    }
    unexpected_keyword(sig, name);
}

void bind_positional(SignatureView sig, PyObject* const* args, std::size_t nargs,
                     PyObject** slots) {
    if (nargs > sig.positional) {
        too_many_positional(sig, nargs);
    }
    for (std::size_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
}

void check_complete(SignatureView sig, PyObject** slots) {
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots[i] == nullptr) {
            missing(sig, slots);
        }
    }
}

}  // namespace

void bind_vector_slow(SignatureView sig, PyObject* const* args, std::size_t nargs,
                      PyObject* kwnames, PyObject** slots) {
    bind_positional(sig, args, nargs, slots);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            (void)bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k),
                               args[nargs + static_cast<std::size_t>(k)], slots);
        }
    }
    check_complete(sig, slots);
}

void bind_tuple_dict(SignatureView sig, PyObject* args, PyObject* kwargs, PyObject** slots,
                     Ref* held) {
    bind_positional(sig, reinterpret_cast<PyTupleObject*>(args)->ob_item,
                    static_cast<std::size_t>(PyTuple_GET_SIZE(args)), slots);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value) != 0) {
            const std::size_t slot = bind_keyword(sig, name, value, slots);
            held[slot] = Ref::borrow(value);
        }
    }
    check_complete(sig, slots);
}

}  // namespace cw
