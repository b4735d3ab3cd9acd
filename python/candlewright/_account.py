"""The account a run has when none is given, and the keywords that describe an account: what
`Backtest`, `sweep`, `walk_forward` and the command share, kept here once.

The defaults are a typical EURUSD retail account, so that a run nobody priced is never free:
10,000 of the account currency, 7 per lot of commission, a 2-pip spread (0.0002), 100,000
units per lot and a quote currency that is the account's.
"""
from __future__ import annotations

import difflib
import warnings
from collections.abc import Collection, Iterable, Mapping
from typing import Any, NoReturn

__all__ = ["INITIAL_CASH", "COMMISSION", "SPREAD", "CONTRACT_SIZE", "QUOTE_TO_ACCOUNT",
           "DEFAULTS"]

INITIAL_CASH = 10_000.0
COMMISSION = 7.0
SPREAD = 0.0002
CONTRACT_SIZE = 100_000.0
QUOTE_TO_ACCOUNT = 1.0

# The five account figures by keyword, in their positional order.
DEFAULTS: Mapping[str, float] = {
    "initial_cash": INITIAL_CASH, "commission": COMMISSION, "spread": SPREAD,
    "contract_size": CONTRACT_SIZE, "quote_to_account": QUOTE_TO_ACCOUNT}

# Keywords other backtesting libraries use, and what this package calls the same thing.
_HINTS = {
    "cash": "use initial_cash",
    "capital": "use initial_cash",
    "starting_cash": "use initial_cash",
    "margin": "use leverage (1 / margin) or margin_per_lot",
    "strategy": "give the strategy to run(): Backtest(data).run(SmaCross, fast=10)",
    "finalize_trades": "positions still open are always closed at the last bar's close",
}


def refuse(where: str, names: Iterable[str], known: Collection[str]) -> NoReturn:
    """The TypeError for keywords `where` does not take, with what was probably meant."""
    lines = []
    for name in names:
        hint = _HINTS.get(name)
        if hint is None:
            close = difflib.get_close_matches(name, known, n=1)
            hint = f"did you mean {close[0]}?" if close else None
        lines.append(f"{where} got an unexpected keyword argument {name!r}"
                     + (f" ({hint})" if hint else ""))
    raise TypeError("; ".join(lines))


def merge_rules(where: str, rules: Mapping[str, Any], account_options: Mapping[str, Any] | None,
                known: Collection[str], stacklevel: int) -> dict[str, Any]:
    """The account's rules given as keywords, with those of the old `account_options` dict
    (warned of, `stacklevel` being the caller's frame as `warnings.warn` counts from here)."""
    unknown = [name for name in rules if name not in known]
    if unknown:
        refuse(where, unknown, known)
    merged = dict(rules)
    if account_options is None:
        return merged
    if not isinstance(account_options, Mapping):
        raise TypeError(f"account_options must be a mapping, not "
                        f"{type(account_options).__name__}")
    unknown = [name for name in account_options if name not in known]
    if unknown:
        refuse(f"{where} account_options", unknown, known)
    both = [name for name in account_options if name in merged]
    if both:
        raise TypeError(f"{where} got {', '.join(both)} both as a keyword and in account_options:"
                        f" give each once, as a keyword")
    shown = ", ".join(f"{k}={v!r}" for k, v in account_options.items()) or "rules=..."
    warnings.warn(f"{where}: account_options is deprecated; give the account's rules as "
                  f"keywords instead: {where.removesuffix('()')}(..., {shown})",
                  DeprecationWarning, stacklevel=stacklevel + 1)
    merged.update(account_options)
    return merged
