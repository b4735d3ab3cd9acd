// The Python class Account: the Broker's constructor with the account's rules as keywords, its
// five methods (buy and sell return the new position's ticket), order management, position
// sizing (sizing.hpp), and read-only views of the account.
#include "account/account_type.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <string>

#include "account/journal_type.hpp"
#include "account/refusals.hpp"
#include "account/sizing.hpp"
#include "binding/text.hpp"
#include "broker/pool.hpp"
#include "broker/methods.hpp"

namespace cw {
namespace {

constexpr std::array<std::string_view, 6> k_open_names{"price",     "lot_size",    "timestamp",
                                                       "stop_loss", "take_profit", "trail"};
constexpr Signature<1> k_equity{"Account", "equity", {"current_price"}};

constexpr Signature<20> k_new{"Account",
                              "__new__",
                              {"initial_cash", "commission", "spread", "contract_size",
                               "quote_to_account", "gap_fills", "spread_at", "commission_at",
                               "swap_long", "swap_short", "swap_unit", "point", "leverage",
                               "margin_per_lot", "stop_out", "rules", "prices", "trail_from",
                               "fill_bar_exits", "check_orders"},
                              5,
                              5};

// An argument given, and not None: None leaves it to the rule set, or the bar. Inlined: folded
// into one copy for every size of Args, it would read past the smaller ones' slots.
template <std::size_t N>
[[gnu::always_inline]] inline bool stated(const Args<N>& bound, std::size_t i) {
    return bound.given(i) && bound.template get<to_object>(i).get() != Py_None;
}

// A keyword's text among `choices`; absent or None, the first.
template <std::size_t N, std::size_t K>
std::size_t choice_of(const Args<N>& bound, std::size_t i,
                      const std::array<std::string_view, K>& choices) {
    if (!stated(bound, i)) {
        return 0;
    }
    PyObject* value = bound.template get<to_object>(i).get();
    if (PyUnicode_Check(value)) {
        const std::string text = text_of(value);
        for (std::size_t k = 0; k < K; ++k) {
            if (text == choices[k]) {
                return k;
            }
        }
    }
    std::string listed;
    for (std::size_t k = 0; k < K; ++k) {
        listed += concat({k == 0 ? "" : k + 1 == K ? " or " : ", ", "'", choices[k], "'"});
    }
    Ref shown = require(PyObject_Repr(value));
    throw PyError::deferred(PyExc_ValueError,
                            concat({"Account() ", k_new.names[i], " must be ", listed, ", not ",
                                    utf8_lossy(shown.get())}));
}

// A keyword's number: absent or None, the fallback; it must be finite and not negative.
template <std::size_t N>
double amount_of(const Args<N>& bound, std::size_t i, double fallback, bool any_sign = false) {
    const std::optional<double> value = bound.template get_or<to_optional_f64>(i, std::nullopt);
    if (!value) {
        return fallback;
    }
    if (!std::isfinite(*value) || (!any_sign && *value < 0.0)) {
        throw PyError::deferred(
            PyExc_ValueError, concat({"Account() ", k_new.names[i], " must be a finite",
                                      any_sign ? "" : ", non-negative", " number, not ",
                                      std::to_string(*value)}));
    }
    return *value;
}

// True or False; absent or None, the fallback.
template <std::size_t N>
bool flag_of(const Args<N>& bound, std::size_t i, bool fallback) {
    if (!stated(bound, i)) {
        return fallback;
    }
    PyObject* value = bound.template get<to_object>(i).get();
    if (!PyBool_Check(value)) {
        Ref shown_value = require(PyObject_Repr(value));
        throw PyError::deferred(PyExc_ValueError,
                                concat({"Account() ", k_new.names[i], " must be True or False, not ",
                                        utf8_lossy(shown_value.get())}));
    }
    return value == Py_True;
}

// The rule set, then each rule given on its own over it.
template <std::size_t N>
Rules rules_of(const Args<N>& bound) {
    const bool broker =
        choice_of(bound, 15, std::array<std::string_view, 2>{"broker", "engine"}) == 0;
    Rules rules;
    rules.gap_open =
        stated(bound, 5)
            ? choice_of(bound, 5, std::array<std::string_view, 2>{"level", "open"}) == 1
            : broker;
    if (stated(bound, 16) && stated(bound, 6)) {
        throw PyError::deferred(PyExc_ValueError,
                                "Account() takes prices (the broker's spread, paid once per round "
                                "trip) or spread_at (the engine's, paid at each end), not both");
    }
    if (stated(bound, 16)) {
        constexpr std::array<Quotes, 3> sides{Quotes::bid, Quotes::ask, Quotes::mid};
        rules.quotes =
            sides[choice_of(bound, 16, std::array<std::string_view, 3>{"bid", "ask", "mid"})];
    } else if (stated(bound, 6)) {
        rules.spread_on_exit =
            choice_of(bound, 6, std::array<std::string_view, 2>{"both", "entry"}) == 0;
    } else {
        rules.quotes = broker ? Quotes::bid : Quotes::engine;
    }
    rules.trail_from_close =
        stated(bound, 17)
            ? choice_of(bound, 17, std::array<std::string_view, 2>{"close", "extremes"}) == 0
            : broker;
    rules.fill_bar_exits = flag_of(bound, 18, !broker);
    rules.check_orders = flag_of(bound, 19, broker);
    rules.commission_split =
        choice_of(bound, 7, std::array<std::string_view, 2>{"open", "both"}) == 1;
    rules.swap_long = amount_of(bound, 8, 0.0, true);
    rules.swap_short = amount_of(bound, 9, 0.0, true);
    rules.swap_in_points =
        choice_of(bound, 10, std::array<std::string_view, 2>{"account", "points"}) == 1;
    rules.point = amount_of(bound, 11, 0.0);
    rules.leverage = amount_of(bound, 12, 0.0);
    rules.margin_per_lot = amount_of(bound, 13, 0.0);
    // None: never; a margin level can be compared against any other number.
    rules.stop_out = bound.given(14) && bound.template get<to_object>(14).get() == Py_None
                         ? std::numeric_limits<double>::quiet_NaN()
                         : amount_of(bound, 14, 50.0);
    if (rules.swap_in_points && !(rules.point > 0.0)) {
        throw PyError::deferred(PyExc_ValueError,
                                "Account() swap_unit='points' needs a positive point");
    }
    return rules;
}

PyObject* account_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        const auto bound = bind(k_new, args, kwargs);
        Account account = methods::make_from<Ledger>(methods::account_parameters(bound));
        account.book.rules = rules_of(bound);
        return new_instance(cls, std::move(account));
    });
}

// --- orders: what a broker takes, and where it fills ---

[[noreturn, gnu::cold]] void refuse(std::string_view function, std::string reason) {
    throw PyError::deferred(PyExc_ValueError, concat({"Account.", function, "(): ", reason}));
}

void refuse_if(std::string_view function, Refusal refusal) {
    if (refusal) [[unlikely]] {
        refuse(function, std::move(*refusal));
    }
}

[[noreturn, gnu::cold]] void outside_run(std::string_view function, std::string_view name) {
    refuse(function, concat({name, " is needed outside a run: only inside one does the account "
                             "know the bar to fill at"}));
}

// In a portfolio, an instrument trades only once it has a bar, and under the broker's rules only
// at a step where it has one: at any other its market is closed.
void in_market(const Account& account, std::string_view function) {
    if (account.book.current == nullptr) {
        refuse(function, "this instrument has no bar yet: it trades from its first bar on");
    }
    if (account.book.stale && account.book.rules.check_orders) {
        refuse(function, "this instrument has no bar at this step: its market is closed");
    }
}

// Where a call fills: the price and time given, or the current bar's close and time in a run. A
// price given is checked as a broker would check it.
struct Fill {
    double price;
    std::int64_t timestamp;
};

Fill fill_at(const Account& account, std::optional<double> price,
             std::optional<std::int64_t> timestamp, std::string_view function) {
    const Bar* bar = account.book.current;
    if (account.book.pool != nullptr) {
        in_market(account, function);
    }
    if (bar == nullptr && !price) {
        outside_run(function, "price");
    }
    if (bar == nullptr && !timestamp) {
        outside_run(function, "timestamp");
    }
    return Fill{price ? *price : bar->close, timestamp ? *timestamp : bar->timestamp};
}

template <std::size_t N>
std::optional<double> price_given(const Args<N>& bound, std::size_t i) {
    return stated(bound, i) ? std::optional<double>(bound.template get<to_f64>(i)) : std::nullopt;
}
template <std::size_t N>
std::optional<std::int64_t> time_given(const Args<N>& bound, std::size_t i) {
    return stated(bound, i) ? std::optional<std::int64_t>(bound.template get<to_i64>(i))
                            : std::nullopt;
}

// The price and time of a close, converted in their order.
template <std::size_t N>
Fill fill_of(const Account& account, const Args<N>& bound, std::size_t price_at,
             std::string_view function) {
    const std::optional<double> price = price_given(bound, price_at);
    return fill_at(account, price, time_given(bound, price_at + 1), function);
}

// The entry an order's level stands for: on a broker's model the level is on the side the order
// fills on, so it is the entry; on the engine's it is the bars' price, and the spread is added.
double order_entry(const Account& account, bool is_long, double level) {
    return account.book.rules.sides() ? level : open_at(account, is_long, level);
}

void check_fill(const Account& account, double price, std::string_view function) {
    if (account.book.rules.check_orders) {
        refuse_if(function, cw::check_fill(price, account.book.current, account.book.bar));
    }
}

template <std::size_t N>
void require_lots(const Args<N>& bound, std::size_t i, std::string_view function) {
    if (!bound.given(i)) [[unlikely]] {
        throw PyError::deferred(PyExc_TypeError,
                                concat({"Account.", function, "() missing 1 required argument: '",
                                        bound.name(i), "'"}));
    }
}

constexpr Signature<6> k_buy{"Account", "buy", k_open_names, 0, 5};
constexpr Signature<6> k_sell{"Account", "sell", k_open_names, 0, 5};

// buy and sell: the new position's ticket, or None when the margin is not free.
template <const Signature<6>& Sig, bool IsLong>
PyObject* account_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        require_lots(bound, 1, Sig.function);
        const HeldReceiver<Account> account(self, account_class);
        std::optional<std::uint64_t> ticket;
        {
            ExclusiveAccess access(account->access);
            Account& record = account->record;
            hold(record);
            const std::string_view function = Sig.function;
            const std::optional<double> given_price = price_given(bound, 0);
            const double lot_size = bound.get<to_f64>(1);
            const Fill fill = fill_at(record, given_price, time_given(bound, 2), function);
            const double price = fill.price;
            std::optional<double> stop_loss = bound.get_or<to_optional_f64>(3, std::nullopt);
            const std::optional<double> take_profit =
                bound.get_or<to_optional_f64>(4, std::nullopt);
            const std::optional<double> trail = bound.get_or<to_optional_f64>(5, std::nullopt);
            if (record.book.rules.check_orders) {
                refuse_if(function, check_lots(lot_size, "lot_size"));
                check_fill(record, price, function);
                if (trail) {
                    refuse_if(function, check_trail(*trail));
                }
                refuse_if(function, check_levels(IsLong, open_at(record, IsLong, price),
                                                 "its entry", stop_loss, take_profit));
            }
            if (trail) {
                const double closing =
                    record.book.rules.sides() ? close_at(record, IsLong, price) : price;
                stop_loss = trailing_start(IsLong, closing, stop_loss, *trail);
            }
            auto* position = open_position(record, IsLong, price, lot_size, fill.timestamp,
                                           stop_loss, take_profit);
            if (position != nullptr) {
                if (trail && !std::isnan(*trail)) {
                    position->extra.trail = *trail;
                    record.book.trailing = true;
                }
                ticket = position->extra.ticket;
            }
        }
        return ticket ? to_py(*ticket) : none();
    });
}

constexpr Signature<3> k_close_position{
    "Account", "close_position", {"id", "price", "timestamp"}, 1, 3};
constexpr Signature<2> k_close_all{"Account", "close_all", {"price", "timestamp"}, 0, 2};

PyObject* account_close_position(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_close_position, args, nargs, kwnames);
        const HeldReceiver<Account> account(self, account_class);
        {
            ExclusiveAccess access(account->access);
            Account& record = account->record;
            hold(record);
            const std::uint64_t id = bound.get<to_u64>(0);
            const Fill fill = fill_of(record, bound, 1, "close_position");
            check_fill(record, fill.price, "close_position");
            cw::close_position(record, id, fill.price, fill.timestamp);
        }
        return none();
    });
}

PyObject* account_close_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_close_all, args, nargs, kwnames);
        const HeldReceiver<Account> account(self, account_class);
        {
            ExclusiveAccess access(account->access);
            Account& record = account->record;
            hold(record);
            const Fill fill = fill_of(record, bound, 0, "close_all");
            check_fill(record, fill.price, "close_all");
            cw::close_all(record, fill.price, fill.timestamp);
        }
        return none();
    });
}

constexpr Signature<4> k_close_ticket{
    "Account", "close_ticket", {"ticket", "price", "timestamp", "lots"}, 1, 4};

// Closes all of the position with this ticket, or `lots` of it.
PyObject* account_close_ticket(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_close_ticket, args, nargs, kwnames);
        const HeldReceiver<Account> account(self, account_class);
        bool closed = false;
        {
            ExclusiveAccess access(account->access);
            Account& record = account->record;
            hold(record);
            const std::uint64_t ticket = bound.get<to_u64>(0);
            const Fill fill = fill_of(record, bound, 1, "close_ticket");
            const std::optional<double> lots = bound.get_or<to_optional_f64>(3, std::nullopt);
            if (lots && !(*lots > 0.0)) {
                throw PyError::deferred(PyExc_ValueError,
                                        "Account.close_ticket() lots must be positive");
            }
            if (record.book.rules.check_orders && lots) {
                refuse_if("close_ticket", check_lots(*lots, "lots"));
            }
            check_fill(record, fill.price, "close_ticket");
            closed = close_ticket(record, ticket, fill.price, fill.timestamp, lots);
        }
        return to_py(closed);
    });
}

constexpr Signature<4> k_modify{
    "Account", "modify", {"ticket", "stop_loss", "take_profit", "trail"}, 1, 1};

// The levels a modify sets, checked: a position's against the price it would close at now (in a
// run; outside one nothing can fill, and only their being prices is checked), an order's against
// its entry.
void check_modify(const Account& account, std::uint64_t ticket,
                  const Change<std::optional<double>>& stop_loss,
                  const Change<std::optional<double>>& take_profit, const Change<double>& trail) {
    if (trail && !std::isnan(*trail)) {
        refuse_if("modify", check_trail(*trail));
    }
    const std::optional<double> stop = stop_loss.value_or(std::nullopt);
    const std::optional<double> target = take_profit.value_or(std::nullopt);
    if (const Account::Position* position = open_with_ticket(account, ticket)) {
        if (const Bar* bar = account.book.current) {
            refuse_if("modify", check_levels(position->is_long,
                                             close_at(account, position->is_long, bar->close),
                                             "the price it would close at now", stop, target));
        } else {
            for (const std::optional<double>& level : {stop, target}) {
                if (level && !std::isfinite(*level)) {
                    refuse("modify", "levels must be finite prices, not " + shown(*level));
                }
            }
        }
        return;
    }
    if (const Order* order = pending_with_ticket(account, ticket)) {
        const bool is_long =
            order->kind == OrderKind::buy_limit || order->kind == OrderKind::buy_stop;
        refuse_if("modify", check_levels(is_long, order_entry(account, is_long, order->level),
                                         "the order's entry", stop, target));
    }
}

// Left out, a level stays; None removes it.
PyObject* account_modify(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_modify, args, nargs, kwnames);
        const HeldReceiver<Account> account(self, account_class);
        bool found = false;
        {
            ExclusiveAccess access(account->access);
            const std::uint64_t ticket = bound.get<to_u64>(0);
            const Change<std::optional<double>> stop_loss =
                bound.given(1) ? Change<std::optional<double>>(bound.get<to_optional_f64>(1))
                               : std::nullopt;
            const Change<std::optional<double>> take_profit =
                bound.given(2) ? Change<std::optional<double>>(bound.get<to_optional_f64>(2))
                               : std::nullopt;
            const Change<double> trail =
                bound.given(3) ? Change<double>(bound.get<to_optional_f64>(3).value_or(
                                     std::numeric_limits<double>::quiet_NaN()))
                               : std::nullopt;
            if (account->record.book.rules.check_orders) {
                check_modify(account->record, ticket, stop_loss, take_profit, trail);
            }
            found = modify(account->record, ticket, stop_loss, take_profit, trail);
        }
        return to_py(found);
    });
}

constexpr std::array<std::string_view, 7> k_order_names{
    "price", "lot_size", "timestamp", "stop_loss", "take_profit", "trail", "expiry"};
constexpr Signature<7> k_buy_limit{"Account", "buy_limit", k_order_names, 2, 5};
constexpr Signature<7> k_buy_stop{"Account", "buy_stop", k_order_names, 2, 5};
constexpr Signature<7> k_sell_limit{"Account", "sell_limit", k_order_names, 2, 5};
constexpr Signature<7> k_sell_stop{"Account", "sell_stop", k_order_names, 2, 5};

// A pending entry at `price`; its ticket.
template <const Signature<7>& Sig, OrderKind Kind>
PyObject* account_place(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        const HeldReceiver<Account> account(self, account_class);
        std::uint64_t ticket = 0;
        {
            ExclusiveAccess access(account->access);
            Account& record = account->record;
            hold(record);
            const std::string_view function = Sig.function;
            Order order{};
            order.kind = Kind;
            order.level = bound.get<to_f64>(0);
            order.lot_size = bound.get<to_f64>(1);
            if (stated(bound, 2)) {
                order.placed_time = bound.get<to_i64>(2);
            } else if (const Bar* bar = record.book.current) {
                order.placed_time = bar->timestamp;
            } else {
                outside_run(function, "timestamp");
            }
            order.stop_loss = bound.get_or<to_optional_f64>(3, std::nullopt);
            order.take_profit = bound.get_or<to_optional_f64>(4, std::nullopt);
            const std::optional<double> trail = bound.get_or<to_optional_f64>(5, std::nullopt);
            order.trail = trail.value_or(std::numeric_limits<double>::quiet_NaN());
            if (stated(bound, 6)) {
                order.expiry = bound.get<to_i64>(6);
            }
            if (record.book.rules.check_orders) {
                constexpr bool is_long =
                    Kind == OrderKind::buy_limit || Kind == OrderKind::buy_stop;
                refuse_if(function, check_lots(order.lot_size, "lot_size"));
                refuse_if(function, check_price(order.level, "price"));
                if (trail) {
                    refuse_if(function, check_trail(*trail));
                }
                refuse_if(function,
                          check_levels(is_long, order_entry(record, is_long, order.level),
                                       "the order's entry", order.stop_loss, order.take_profit));
            }
            ticket = place_order(record, order);
        }
        return to_py(ticket);
    });
}

constexpr Signature<1> k_cancel{"Account", "cancel", {"ticket"}};

PyObject* account_cancel(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_cancel, args, nargs, kwnames);
        const HeldReceiver<Account> account(self, account_class);
        bool cancelled = false;
        {
            ExclusiveAccess access(account->access);
            cancelled = cancel_order(account->record, bound.get<to_u64>(0));
        }
        return to_py(cancelled);
    });
}

constexpr Signature<1> k_free_margin{"Account", "free_margin", {"current_price"}};
constexpr Signature<1> k_margin_level{"Account", "margin_level", {"current_price"}};

// The account's value, its value less used margin, or its value over used margin in percent (inf
// with none used); in a portfolio, the whole account's, this instrument at `current_price`.
enum class Figure : std::uint8_t { equity, free_margin, margin_level };

template <const Signature<1>& Sig, Figure What>
PyObject* account_figure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        const HeldReceiver<Account> account(self, account_class);
        const double value = [&] {
            SharedAccess access(account->access);
            const double price = bound.get<to_f64>(0);
            const Account& record = account->record;
            if constexpr (What == Figure::margin_level) {
                const double used = pooled_used_margin(record);
                return used > 0.0 ? margin_level(pooled_equity(record, price), used)
                                  : std::numeric_limits<double>::infinity();
            } else if constexpr (What == Figure::free_margin) {
                return pooled_free_margin(record, price);
            } else {
                return pooled_equity(record, price);
            }
        }();
        return to_py(value);
    });
}

// --- sizing: a pip's value, and the lots that risk a share of equity ---

constexpr Signature<2> k_pip_value{"Account", "pip_value", {"lots", "pip"}, 0, 2};

PyObject* account_pip_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_pip_value, args, nargs, kwnames);
        const HeldReceiver<Account> account(self, account_class);
        const double lots = bound.get_or<to_f64>(0, 1.0);
        const std::optional<double> given_pip = bound.get_or<to_optional_f64>(1, std::nullopt);
        refuse_if("pip_value", check_lots(lots, "lots"));
        if (given_pip) {
            refuse_if("pip_value", check_lots(*given_pip, "pip"));
        }
        const double value = [&] {
            SharedAccess access(account->access);
            const Account& record = account->record;
            const double pip = given_pip.value_or(sizing::default_pip(record.book.rules));
            return sizing::pip_value(lots, record.contract_size, pip, sizing::rate_now(record));
        }();
        return to_py(value);
    });
}

constexpr Signature<6> k_lots_for_risk{
    "Account",
    "lots_for_risk",
    {"risk", "stop_loss", "price", "lot_step", "min_lots", "max_lots"},
    2,
    2};

PyObject* account_lots_for_risk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_lots_for_risk, args, nargs, kwnames);
        const HeldReceiver<Account> account(self, account_class);
        sizing::RiskOrder order{bound.get<to_f64>(0), bound.get<to_f64>(1),
                                bound.get_or<to_optional_f64>(2, std::nullopt), {}};
        order.steps.step = bound.get_or<to_f64>(3, order.steps.step);
        order.steps.min_lots = bound.get_or<to_f64>(4, order.steps.min_lots);
        order.steps.max_lots = bound.get_or<to_optional_f64>(5, std::nullopt)
                                   .value_or(std::numeric_limits<double>::infinity());
        sizing::Sized sized;
        {
            SharedAccess access(account->access);
            sized = sizing::lots_for_risk(account->record, order);
        }
        refuse_if("lots_for_risk", std::move(sized.refusal));
        return to_py(sized.lots);
    });
}

PyObject* account_positions(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        AccountObject& account = receiver<Account>(self, account_class);
        // A snapshot: copied under the access, turned into objects after it.
        std::vector<Account::Position> positions;
        {
            SharedAccess access(account.access);
            const auto& held = account.record.positions;
            positions.reserve(account.record.book.live(held));
            std::copy_if(held.begin(), held.end(), std::back_inserter(positions), Ledger::open);
        }
        Ref tuple = require_object(PyTuple_New(static_cast<Py_ssize_t>(positions.size())));
        for (std::size_t i = 0; i < positions.size(); ++i) {
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                             new_position(positions[i]).release());
        }
        return tuple;
    });
}

PyObject* account_trades(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        AccountObject& account = receiver<Account>(self, account_class);
        TradeRows rows;
        {
            SharedAccess access(account.access);
            rows = std::make_shared<const std::vector<TradeRow>>(account.record.trades);
        }
        return new_trades(std::move(rows));
    });
}

// The last closed trade, copied alone: reading `trades` copies the whole journal.
PyObject* account_last_trade(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        AccountObject& account = receiver<Account>(self, account_class);
        std::optional<TradeRow> row;
        {
            SharedAccess access(account.access);
            const std::vector<TradeRow>& trades = account.record.trades;
            if (!trades.empty()) {
                row = trades.back();
            }
        }
        return row ? new_instance(trade_class.type(), std::move(*row)) : none();
    });
}

template <auto Field>
constexpr getter account_field = field_getter<Account, account_class, Field>;
template <auto Read>
constexpr getter account_value = value_getter<Account, account_class, Read>;

PyObject* account_orders(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        AccountObject& account = receiver<Account>(self, account_class);
        std::vector<Order> orders;
        {
            SharedAccess access(account.access);
            const Ledger& book = account.record.book;
            orders.reserve(book.orders.size() - book.cancels);
            std::copy_if(book.orders.begin(), book.orders.end(), std::back_inserter(orders),
                         [](const Order& order) { return !order.cancelled; });
        }
        Ref tuple = require_object(PyTuple_New(static_cast<Py_ssize_t>(orders.size())));
        for (std::size_t i = 0; i < orders.size(); ++i) {
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                             new_order(orders[i]).release());
        }
        return tuple;
    });
}

// The rules in force, each by the name of its keyword, as the constructor takes them.
PyObject* account_rules(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        AccountObject& account = receiver<Account>(self, account_class);
        Rules rules;
        {
            SharedAccess access(account.access);
            rules = account.record.book.rules;
        }
        auto text = [](std::string_view value) { return to_py(value); };
        constexpr std::array<const char*, 4> quotes{nullptr, "bid", "ask", "mid"};
        const std::array<std::pair<const char*, Ref>, 14> items{{
            {"prices", rules.sides() ? text(quotes[static_cast<std::size_t>(rules.quotes)])
                                     : none()},
            {"spread_at", rules.sides() ? none() : text(rules.spread_on_exit ? "both" : "entry")},
            {"gap_fills", text(rules.gap_open ? "open" : "level")},
            {"trail_from", text(rules.trail_from_close ? "close" : "extremes")},
            {"fill_bar_exits", to_py(rules.fill_bar_exits)},
            {"check_orders", to_py(rules.check_orders)},
            {"commission_at", text(rules.commission_split ? "both" : "open")},
            {"swap_long", to_py(rules.swap_long)},
            {"swap_short", to_py(rules.swap_short)},
            {"swap_unit", text(rules.swap_in_points ? "points" : "account")},
            {"point", rules.point > 0.0 ? to_py(rules.point) : none()},
            {"leverage", rules.leverage > 0.0 ? to_py(rules.leverage) : none()},
            {"margin_per_lot", rules.margin_per_lot > 0.0 ? to_py(rules.margin_per_lot) : none()},
            {"stop_out", std::isnan(rules.stop_out) ? none() : to_py(rules.stop_out)},
        }};
        Ref dict = require_object(PyDict_New());
        for (const auto& [key, value] : items) {
            if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) {
                throw_pending();
            }
        }
        return dict;
    });
}

PyObject* account_bar_index(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        AccountObject& account = receiver<Account>(self, account_class);
        std::int64_t bar = -1;
        {
            SharedAccess access(account.access);
            bar = account.record.book.bar;
        }
        return bar < 0 ? none() : to_py(bar);
    });
}

PyGetSetDef g_getset[] = {
    {"cash", account_value<[](const Account& a) { return pooled_cash(a); }>, nullptr,
     "realised balance", nullptr},
    {"initial_cash", account_field<&Account::initial_cash>, nullptr, "", nullptr},
    {"commission", account_field<&Account::commission>, nullptr, "per lot, at opening", nullptr},
    {"spread", account_field<&Account::spread>, nullptr, "", nullptr},
    {"contract_size", account_field<&Account::contract_size>, nullptr, "", nullptr},
    {"quote_to_account", account_field<&Account::quote_to_account>, nullptr, "", nullptr},
    {"positions", account_positions, nullptr,
     "the open positions in opening order, as a tuple of Position copies", nullptr},
    {"trades", account_trades, nullptr, "the closed trades so far, as a Trades copy", nullptr},
    {"last_trade", account_last_trade, nullptr,
     "the last trade closed, as a Trade copy; None before the first", nullptr},
    {"orders", account_orders, nullptr,
     "the pending orders in placing order, as a tuple of Order copies", nullptr},
    {"used_margin", account_value<[](const Account& a) { return pooled_used_margin(a); }>, nullptr,
     "margin held by the open positions, account currency", nullptr},
    {"refused", account_value<[](const Account& a) { return a.book.refusals; }>, nullptr,
     "orders refused for want of free margin", nullptr},
    {"rules", account_rules, nullptr,
     "the rules in force, by keyword, as the constructor takes them", nullptr},
    {"bar_index", account_bar_index, nullptr,
     "the number of the bar a run is at, from 0; None outside a run", nullptr},
    {"has_bar",
     account_value<[](const Account& a) { return a.book.current != nullptr && !a.book.stale; }>,
     nullptr,
     "whether the instrument has a bar at the step a run is at (in a portfolio, false while its "
     "market is closed)",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define CW_ORDER_DOC(name, side, reached)                                                       \
    #name "($self, price, lot_size, timestamp=None, stop_loss=None, take_profit=None, *, "     \
          "trail=None, expiry=None)\n--\n\n"                                                   \
          "A pending " side " at price, filled on a later bar " reached                         \
          " (at the open if the bar opens beyond it); expiry is a timestamp. Its ticket."
#define CW_OPEN_DOC(name, what)                                                                 \
    #name "($self, price=None, lot_size=..., timestamp=None, stop_loss=None, "                 \
          "take_profit=None, *, trail=None)\n--\n\n"                                          \
          "Opens a " what " of lot_size lots (required) at price: in a run, by default the "     \
          "bar's close, at its time. Its ticket, or None when the margin is not free."
PyMethodDef g_methods[] = {
    {"buy", method_entry(account_open<k_buy, true>), methods::k_fastcall,
     CW_OPEN_DOC(buy, "long position")},
    {"sell", method_entry(account_open<k_sell, false>), methods::k_fastcall,
     CW_OPEN_DOC(sell, "short position")},
    {"close_position", method_entry(account_close_position), methods::k_fastcall,
     "close_position($self, id, price=None, timestamp=None)\n--\n\n"
     "Closes the oldest open position with this id."},
    {"close_all", method_entry(account_close_all), methods::k_fastcall,
     "close_all($self, price=None, timestamp=None)\n--\n\nCloses every open position."},
    {"equity", method_entry(account_figure<k_equity, Figure::equity>),
     methods::k_fastcall, "equity($self, current_price)\n--\n\n"},
    {"close_ticket", method_entry(account_close_ticket), methods::k_fastcall,
     "close_ticket($self, ticket, price=None, timestamp=None, lots=None)\n--\n\n"
     "Closes the open position with this ticket, or lots of it (the rest keeps the ticket); "
     "True if there was one."},
    {"modify", method_entry(account_modify), methods::k_fastcall,
     "modify($self, ticket, *, stop_loss=..., take_profit=..., trail=...)\n--\n\n"
     "Moves the levels of an open position or pending order; a level left out stays, None "
     "removes it. True if there was one."},
    {"buy_limit", method_entry(account_place<k_buy_limit, OrderKind::buy_limit>),
     methods::k_fastcall, CW_ORDER_DOC(buy_limit, "buy", "whose low reaches it")},
    {"buy_stop", method_entry(account_place<k_buy_stop, OrderKind::buy_stop>),
     methods::k_fastcall, CW_ORDER_DOC(buy_stop, "buy", "whose high reaches it")},
    {"sell_limit", method_entry(account_place<k_sell_limit, OrderKind::sell_limit>),
     methods::k_fastcall, CW_ORDER_DOC(sell_limit, "sell", "whose high reaches it")},
    {"sell_stop", method_entry(account_place<k_sell_stop, OrderKind::sell_stop>),
     methods::k_fastcall, CW_ORDER_DOC(sell_stop, "sell", "whose low reaches it")},
    {"cancel", method_entry(account_cancel), methods::k_fastcall,
     "cancel($self, ticket)\n--\n\nDrops the pending order with this ticket; True if there "
     "was one."},
    {"free_margin", method_entry(account_figure<k_free_margin, Figure::free_margin>),
     methods::k_fastcall,
     "free_margin($self, current_price)\n--\n\nEquity at the price less used margin."},
    {"margin_level", method_entry(account_figure<k_margin_level, Figure::margin_level>),
     methods::k_fastcall,
     "margin_level($self, current_price)\n--\n\nEquity at the price over used margin, in "
     "percent; inf with no margin used."},
    {"pip_value", method_entry(account_pip_value), methods::k_fastcall,
     "pip_value($self, lots=1.0, pip=None)\n--\n\n"
     "The value of one pip for lots, in the account's currency: ((lots * contract_size) * pip) "
     "* quote_to_account, at the current bar's rate in a run. pip is 10 points when the "
     "account has a point, else 0.0001."},
    {"lots_for_risk", method_entry(account_lots_for_risk), methods::k_fastcall,
     "lots_for_risk($self, risk, stop_loss, *, price=None, lot_step=0.01, min_lots=0.01, "
     "max_lots=None)\n--\n\n"
     "Lots whose loss from the entry to stop_loss is risk (0 < risk <= 1) of equity: "
     "(equity * risk) / ((|entry - stop_loss| * contract_size) * quote_to_account), rounded "
     "down to a multiple of lot_step (a count within 1e-12 of a whole step is that step) and "
     "capped to max_lots; 0.0 below min_lots or with no equity. A stop below the close (or "
     "price) sizes a long, above it a short. In a run, equity is valued at the bar's close, "
     "the entry is price or the price a market order on that side fills at now, and the rate "
     "is the bar's; outside one, price is needed for both. "
     "Commission is not counted in the risk."},
    {nullptr, nullptr, 0, nullptr},
};
#undef CW_ORDER_DOC
#undef CW_OPEN_DOC

const ClassSpec k_spec{
    "candlewright.Account",
    "Account(initial_cash, commission, spread, contract_size, quote_to_account, *, "
    "rules='broker', prices=None, gap_fills=None, spread_at=None, trail_from=None, "
    "fill_bar_exits=None, check_orders=None, commission_at='open', swap_long=0.0, "
    "swap_short=0.0, swap_unit='account', point=None, leverage=None, margin_per_lot=None, "
    "stop_out=50.0)"
    "\n--\n\n"
    "A Broker that keeps a journal: buy and sell return a ticket, and the positions and closed "
    "trades can be read. The keywords are the account's rules: rules='broker' fills as a "
    "retail broker does and refuses what one refuses; rules='engine' computes as the Broker "
    "does. A rule given on its own (None: the set's) overrides the set.",
    instance_size<Account>(),
    dealloc_instance<Account>,
    account_new,
    nullptr,
    g_methods,
    g_getset,
};

}  // namespace

ClassCell account_class{k_spec};

}  // namespace cw
