// The Python class Engine: its constructor and the method run.
#include "engine/engine_type.hpp"

#include "binding/params.hpp"
#include "engine/intake.hpp"

namespace cw {
namespace {

constexpr Signature<6> k_new{
    "Engine",
    "__new__",
    {"data", "initial_cash", "commission", "spread", "contract_size", "quote_to_account"}};
constexpr Signature<1> k_run{"Engine", "run", {"strategy"}};

PyObject* engine_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        const auto bound = bind(k_new, args, kwargs);
        std::vector<Bar> data = bound.get<to_bars>(0);
        const double initial_cash = bound.get<to_f64>(1);
        const double commission = bound.get<to_f64>(2);
        const double spread = bound.get<to_f64>(3);
        const double contract_size = bound.get<to_f64>(4);
        const double quote_to_account = bound.get<to_f64>(5);
        return new_instance(
            cls, Engine{std::move(data),
                        make_broker(initial_cash, commission, spread, contract_size,
                                    quote_to_account),
                        {}});
    });
}

PyObject* engine_run(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_run, args, nargsf, kwnames);
        const HeldReceiver<Engine> engine(self, engine_class);
        // Held across every call into the strategy: a nested run of this engine is refused.
        ExclusiveAccess access(engine->access);
        return run_strategy(engine->record, bound.get<to_object>(0));
    });
}

PyMethodDef g_methods[] = {
    {"run", method_entry(engine_run), METH_FASTCALL | METH_KEYWORDS,
     "run($self, strategy)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec k_spec{
    "builtins.Engine",
    "Engine(data, initial_cash, commission, spread, contract_size, quote_to_account)\n--\n\n",
    instance_size<Engine>(),
    dealloc_instance<Engine>,
    engine_new,
    nullptr,
    g_methods,
    nullptr,
};

}  // namespace

ClassCell engine_class{k_spec};

}  // namespace cw
