// The Python class Bar: a constructor and six read-only attributes.
#include "market/bar_type.hpp"

#include "binding/params.hpp"

namespace cw {
namespace {

constexpr Signature<6> k_new{"Bar", "__new__", {"timestamp", "open", "high", "low", "close", "volume"}};

PyObject* bar_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        const auto bound = bind(k_new, args, kwargs);
        Bar bar{bound.get<to_i64>(0), bound.get<to_f64>(1), bound.get<to_f64>(2),
                bound.get<to_f64>(3), bound.get<to_f64>(4), bound.get<to_f64>(5)};
        return new_instance(cls, std::move(bar));
    });
}

PyGetSetDef g_getset[] = {
    {"timestamp", field_getter<Bar, bar_class, &Bar::timestamp>, nullptr, "", nullptr},
    {"open", field_getter<Bar, bar_class, &Bar::open>, nullptr, "", nullptr},
    {"high", field_getter<Bar, bar_class, &Bar::high>, nullptr, "", nullptr},
    {"low", field_getter<Bar, bar_class, &Bar::low>, nullptr, "", nullptr},
    {"close", field_getter<Bar, bar_class, &Bar::close>, nullptr, "", nullptr},
    {"volume", field_getter<Bar, bar_class, &Bar::volume>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec k_spec{
    "builtins.Bar",
    "Bar(timestamp, open, high, low, close, volume)\n--\n\n",
    instance_size<Bar>(),
    dealloc_instance<Bar>,
    bar_new,
    nullptr,
    nullptr,
    g_getset,
};

}  // namespace

ClassCell bar_class{k_spec};

}  // namespace cw
