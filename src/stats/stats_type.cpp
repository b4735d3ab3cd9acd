// The Python class Stats: eleven read-only figures and the text report as the representation.
// Only a run makes Stats objects, so the class has no constructor.
#include "stats/stats_type.hpp"

#include "stats/report.hpp"

namespace cw {
namespace {

PyObject* stats_repr(PyObject* self) {
    return boundary([self] {
        StatsObject& instance = receiver<Stats>(self, stats_class);
        const ReportText report = [&] {
            SharedAccess access(instance.access);
            return render_report(instance.record);
        }();
        return to_py(report.view());
    });
}

template <auto Field>
constexpr getter figure = field_getter<Stats, stats_class, Field>;

PyGetSetDef g_getset[] = {
    {"initial_cash", figure<&Stats::initial_cash>, nullptr, "", nullptr},
    {"final_cash", figure<&Stats::final_cash>, nullptr, "", nullptr},
    {"total_return_pct", figure<&Stats::total_return_pct>, nullptr, "", nullptr},
    {"num_trades", figure<&Stats::num_trades>, nullptr, "", nullptr},
    {"num_wins", figure<&Stats::num_wins>, nullptr, "", nullptr},
    {"win_rate_pct", figure<&Stats::win_rate_pct>, nullptr, "", nullptr},
    {"avg_pnl", figure<&Stats::avg_pnl>, nullptr, "", nullptr},
    {"best_trade", figure<&Stats::best_trade>, nullptr, "", nullptr},
    {"worst_trade", figure<&Stats::worst_trade>, nullptr, "", nullptr},
    {"profit_factor", figure<&Stats::profit_factor>, nullptr, "", nullptr},
    {"max_drawdown_pct", figure<&Stats::max_drawdown_pct>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec k_spec{
    "builtins.Stats",
    nullptr,
    instance_size<Stats>(),
    dealloc_instance<Stats>,
    nullptr,
    stats_repr,
    nullptr,
    g_getset,
};

}  // namespace

ClassCell stats_class{k_spec};

}  // namespace cw
