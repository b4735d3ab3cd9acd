"""The shipped type information: stubs against the built module, and the package and examples
against the stubs."""
import os
import pathlib
import subprocess
import sys

import pytest

import _candlewright

pytest.importorskip("mypy", reason="the type checks need mypy (in the test extra)")

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Each line must be refused; a stub that went missing would make them all pass as Any.
MISUSE = """
from candlewright import Bar, Broker, Engine, SmaCross, Stats, read_csv
bar = Bar(1, 1.0, 1.0, 1.0, 1.0, 1.0)
bar.close = 2.0  # E1
broker = Broker(1.0, 0.0, 0.0, 1.0, 1.0)
broker.buy(1.0, 1.0, 0, None)  # E2
broker.sell(1.0, 1.0, 0, "1.1", None)  # E3
text: str = broker.equity(1.0)  # E4
Engine([bar], 1.0, 0.0, 0.0, 1.0, 1.0).run(object())  # E5
trades: float = Engine([bar], 1.0, 0.0, 0.0, 1.0, 1.0).run(SmaCross()).num_trades  # ok
name: str = read_csv("x.csv")[0].timestamp  # E6
"""


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", "mypy", *args], cwd=cwd, capture_output=True,
                          text=True, env={**os.environ, "MYPY_FORCE_COLOR": "0"})


def test_stubs_match_the_module(tmp_path):
    # stubtest passes quietly when it finds no stubs at all, so first make sure they shipped.
    installed = pathlib.Path(_candlewright.__file__).parent
    assert (installed / "_candlewright-stubs" / "__init__.pyi").is_file()
    assert (installed / "candlewright" / "py.typed").is_file()
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_candlewright",
                             "candlewright._backtest", "--mypy-config-file", os.devnull],
                            cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_package_and_examples_type_check(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    sources = [ROOT / "python" / "candlewright", ROOT / "examples", ROOT / "tools", misuse]
    result = mypy("--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
                  "--config-file", os.devnull, *map(str, sources), cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    # mypy names files relative to its working folder, which holds only the misuse.
    flagged = sorted({int(line.split(":")[1]) for line in errors if line.startswith("misuse.py:")})
    lines = MISUSE.splitlines()
    assert [lines[n - 1].split("# ")[-1] for n in flagged] == [f"E{i}" for i in range(1, 7)]
    assert [line for line in errors if not line.startswith("misuse.py:")] == [], result.stdout
