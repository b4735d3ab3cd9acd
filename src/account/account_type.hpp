// The Python class Account: a Broker that keeps a journal and can be read.
#pragma once

#include "binding/classes.hpp"
#include "broker/ledger.hpp"

namespace cw {

extern ClassCell account_class;
using AccountObject = Instance<Account>;

[[nodiscard]] inline Ref new_account(Account&& account) {
    return new_instance(account_class.type(), std::move(account));
}

}  // namespace cw
