// The Python class Account: the Broker's constructor and five methods (buy and sell return the
// new position's ticket), close_ticket, and read-only views of the account.
#include "account/account_type.hpp"

#include <algorithm>

#include "account/journal_type.hpp"
#include "broker/methods.hpp"

namespace cw {
namespace {

constexpr methods::Signatures k_signatures{"Account"};
constexpr Signature<3> k_close_ticket{"Account", "close_ticket", {"ticket", "price", "timestamp"}};

// Closes the position with this ticket through its id: the oldest position with that id is the
// one close_position closes, so it is found the same way.
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
            closed = close_ticket(account->record, ticket, price, timestamp);
        }
        return to_py(closed);
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
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const auto k_methods = methods::table<Ledger, account_class, k_signatures>();
PyMethodDef g_methods[] = {
    k_methods[0], k_methods[1], k_methods[2], k_methods[3], k_methods[4],
    {"close_ticket", method_entry(account_close_ticket), methods::k_fastcall,
     "close_ticket($self, ticket, price, timestamp)\n--\n\n"
     "Closes the open position with this ticket; True if there was one."},
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec k_spec{
    "candlewright.Account",
    "Account(initial_cash, commission, spread, contract_size, quote_to_account)\n--\n\n"
    "A Broker that keeps a journal: buy and sell return a ticket, and the positions and closed "
    "trades can be read.",
    instance_size<Account>(),
    dealloc_instance<Account>,
    methods::construct<Ledger, k_signatures>,
    nullptr,
    g_methods,
    g_getset,
};

}  // namespace

ClassCell account_class{k_spec};

}  // namespace cw
