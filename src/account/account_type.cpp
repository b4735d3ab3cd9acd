// The Python class Account: the Broker's constructor with the account's rules as keywords, its
// five methods (buy and sell return the new position's ticket), order management, and read-only
// views of the account.
#include "account/account_type.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "account/journal_type.hpp"
#include "binding/text.hpp"
#include "broker/methods.hpp"

namespace cw {
namespace {

constexpr std::array<std::string_view, 6> k_open_names{"price",     "lot_size",    "timestamp",
                                                       "stop_loss", "take_profit", "trail"};
constexpr methods::Signatures<6> k_signatures{"Account", k_open_names, 3};

constexpr Signature<15> k_new{"Account",
                              "__new__",
                              {"initial_cash", "commission", "spread", "contract_size",
                               "quote_to_account", "gap_fills", "spread_at", "commission_at",
                               "swap_long", "swap_short", "swap_unit", "point", "leverage",
                               "margin_per_lot", "stop_out"},
                              5,
                              5};

// A keyword's text among `choices`; absent, the first.
template <std::size_t N, std::size_t K>
std::size_t choice_of(const Args<N>& bound, std::size_t i,
                      const std::array<std::string_view, K>& choices) {
    if (!bound.given(i)) {
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

template <std::size_t N>
Rules rules_of(const Args<N>& bound) {
    Rules rules;
    rules.gap_open = choice_of(bound, 5, std::array<std::string_view, 2>{"level", "open"}) == 1;
    rules.spread_on_exit =
        choice_of(bound, 6, std::array<std::string_view, 2>{"both", "entry"}) == 0;
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

constexpr Signature<4> k_close_ticket{
    "Account", "close_ticket", {"ticket", "price", "timestamp", "lots"}, 3, 4};

// Closes all of the position with this ticket, or `lots` of it.
PyObject* account_close_ticket(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(k_close_ticket, args, nargs, kwnames);
        const HeldReceiver<Account> account(self, account_class);
        bool closed = false;
        {
            ExclusiveAccess access(account->access);
            const std::uint64_t ticket = bound.get<to_u64>(0);
            const double price = bound.get<to_f64>(1);
            const std::int64_t timestamp = bound.get<to_i64>(2);
            const std::optional<double> lots = bound.get_or<to_optional_f64>(3, std::nullopt);
            if (lots && !(*lots > 0.0)) {
                throw PyError::deferred(PyExc_ValueError,
                                        "Account.close_ticket() lots must be positive");
            }
            closed = close_ticket(account->record, ticket, price, timestamp, lots);
        }
        return to_py(closed);
    });
}

constexpr Signature<4> k_modify{
    "Account", "modify", {"ticket", "stop_loss", "take_profit", "trail"}, 1, 1};

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
            found = modify(account->record, ticket, stop_loss, take_profit, trail);
        }
        return to_py(found);
    });
}

constexpr std::array<std::string_view, 7> k_order_names{
    "price", "lot_size", "timestamp", "stop_loss", "take_profit", "trail", "expiry"};
constexpr Signature<7> k_buy_limit{"Account", "buy_limit", k_order_names, 3, 5};
constexpr Signature<7> k_buy_stop{"Account", "buy_stop", k_order_names, 3, 5};
constexpr Signature<7> k_sell_limit{"Account", "sell_limit", k_order_names, 3, 5};
constexpr Signature<7> k_sell_stop{"Account", "sell_stop", k_order_names, 3, 5};

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
            Order order{};
            order.kind = Kind;
            order.level = bound.get<to_f64>(0);
            order.lot_size = bound.get<to_f64>(1);
            order.placed_time = bound.get<to_i64>(2);
            order.stop_loss = bound.get_or<to_optional_f64>(3, std::nullopt);
            order.take_profit = bound.get_or<to_optional_f64>(4, std::nullopt);
            order.trail = bound.get_or<to_optional_f64>(5, std::nullopt)
                              .value_or(std::numeric_limits<double>::quiet_NaN());
            if (bound.given(6) && bound.get<to_object>(6).get() != Py_None) {
                order.expiry = bound.get<to_i64>(6);
            }
            ticket = place_order(account->record, order);
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

// Equity less used margin, or equity over used margin in percent (inf with none used).
template <const Signature<1>& Sig, bool Level>
PyObject* account_margin(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return boundary([&] {
        const auto bound = bind(Sig, args, nargs, kwnames);
        const HeldReceiver<Account> account(self, account_class);
        const double value = [&] {
            SharedAccess access(account->access);
            const double price = bound.get<to_f64>(0);
            const Account& record = account->record;
            if constexpr (Level) {
                const double used = used_margin(record);
                return used > 0.0 ? margin_level(equity(record, price), used)
                                  : std::numeric_limits<double>::infinity();
            } else {
                return free_margin(record, price);
            }
        }();
        return to_py(value);
    });
}

PyObject* account_positions(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        AccountObject& account = receiver<Account>(self, account_class);
        // A snapshot: copied under the access, turned into objects after it.
        std::vector<Account::Position> positions;
        {
            SharedAccess access(account.access);
            positions = account.record.positions;
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
            orders = account.record.book.orders;
        }
        Ref tuple = require_object(PyTuple_New(static_cast<Py_ssize_t>(orders.size())));
        for (std::size_t i = 0; i < orders.size(); ++i) {
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                             new_order(orders[i]).release());
        }
        return tuple;
    });
}

PyGetSetDef g_getset[] = {
    {"cash", account_field<&Account::cash>, nullptr, "realised balance", nullptr},
    {"initial_cash", account_field<&Account::initial_cash>, nullptr, "", nullptr},
    {"commission", account_field<&Account::commission>, nullptr, "per lot, at opening", nullptr},
    {"spread", account_field<&Account::spread>, nullptr, "", nullptr},
    {"contract_size", account_field<&Account::contract_size>, nullptr, "", nullptr},
    {"quote_to_account", account_field<&Account::quote_to_account>, nullptr, "", nullptr},
    {"positions", account_positions, nullptr,
     "the open positions in opening order, as a tuple of Position copies", nullptr},
    {"trades", account_trades, nullptr, "the closed trades so far, as a Trades copy", nullptr},
    {"orders", account_orders, nullptr,
     "the pending orders in placing order, as a tuple of Order copies", nullptr},
    {"used_margin", account_value<[](const Account& a) { return used_margin(a); }>, nullptr,
     "margin held by the open positions, account currency", nullptr},
    {"refused", account_value<[](const Account& a) { return a.book.refusals; }>, nullptr,
     "orders refused for want of free margin", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const auto k_methods = methods::table<Ledger, account_class, k_signatures>(
    "buy($self, price, lot_size, timestamp, stop_loss=None, take_profit=None, *, trail=None)"
    "\n--\n\nOpens a long position; its ticket, or None when the margin is not free.",
    "sell($self, price, lot_size, timestamp, stop_loss=None, take_profit=None, *, trail=None)"
    "\n--\n\nOpens a short position; its ticket, or None when the margin is not free.");

#define CW_ORDER_DOC(name, side, reached)                                                       \
    #name "($self, price, lot_size, timestamp, stop_loss=None, take_profit=None, *, "          \
          "trail=None, expiry=None)\n--\n\n"                                                   \
          "A pending " side " at price, filled on a later bar " reached                         \
          " (at the open if the bar opens beyond it); expiry is a timestamp. Its ticket."
PyMethodDef g_methods[] = {
    k_methods[0], k_methods[1], k_methods[2], k_methods[3], k_methods[4],
    {"close_ticket", method_entry(account_close_ticket), methods::k_fastcall,
     "close_ticket($self, ticket, price, timestamp, lots=None)\n--\n\n"
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
    {"free_margin", method_entry(account_margin<k_free_margin, false>), methods::k_fastcall,
     "free_margin($self, current_price)\n--\n\nEquity at the price less used margin."},
    {"margin_level", method_entry(account_margin<k_margin_level, true>), methods::k_fastcall,
     "margin_level($self, current_price)\n--\n\nEquity at the price over used margin, in "
     "percent; inf with no margin used."},
    {nullptr, nullptr, 0, nullptr},
};
#undef CW_ORDER_DOC

const ClassSpec k_spec{
    "candlewright.Account",
    "Account(initial_cash, commission, spread, contract_size, quote_to_account, *, "
    "gap_fills='level', spread_at='both', commission_at='open', swap_long=0.0, swap_short=0.0, "
    "swap_unit='account', point=None, leverage=None, margin_per_lot=None, stop_out=50.0)"
    "\n--\n\n"
    "A Broker that keeps a journal: buy and sell return a ticket, and the positions and closed "
    "trades can be read. The keywords are the account's rules; at their defaults it computes "
    "as the Broker does.",
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
