"""Parameter grids: the sets a grid of values stands for, shared by sweeps and recipes."""
from __future__ import annotations

import itertools
from collections.abc import Iterable, Mapping
from typing import Any

__all__ = ["expand_grid"]


def expand_grid(grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]]
                ) -> list[dict[str, Any]]:
    """The parameter sets of a grid, in order. A mapping of names to value lists gives their
    product, the last name varying fastest; any other iterable gives its mappings as they are."""
    if isinstance(grid, Mapping):
        names = list(grid)
        columns = []
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"grid names must be strings, not {type(name).__name__}")
            values = grid[name]
            # A string is iterable too, but a list of its characters is never what was meant.
            if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
                raise TypeError(f"grid values for {name!r} must be a list of values, "
                                f"not {type(values).__name__}")
            columns.append(list(values))
        return [dict(zip(names, combination)) for combination in itertools.product(*columns)]
    if isinstance(grid, (str, bytes)) or not isinstance(grid, Iterable):
        raise TypeError("grid must be a mapping of names to value lists or an iterable of "
                        f"mappings, not {type(grid).__name__}")
    sets = []
    for position, params in enumerate(grid):
        if not isinstance(params, Mapping) or not all(isinstance(k, str) for k in params):
            raise TypeError(f"grid item {position} must be a mapping of names to values, "
                            f"not {type(params).__name__}")
        sets.append(dict(params))
    return sets
