"""The command's reading of the user's files: the loader's options as flags, hints that name the
flags, warnings and errors in one line naming the path as typed; and one ranking flag."""
import csv
import datetime as dt
import json
import subprocess
import sys

import pytest

from candlewright import Backtest, SmaCross, sample_bars
from candlewright.sweeps import FIGURES
from candlewright.cli import main
from candlewright.sweep_cli import score_of
from candlewright.sweeps import sweep

UTC = dt.timezone.utc
HOLDS = '''
class Holds:
    def next(self, bar, broker):
        if not broker.positions:
            broker.buy(bar.close, 0.1, bar.timestamp, None, None)
'''


@pytest.fixture
def here(tmp_path, monkeypatch):
    """A working directory holding a strategy that trades from the first bar to the last, so
    its one trade tells the times the bars were read with."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "mine.py").write_text(HOLDS)
    return tmp_path


def run(capsys, *argv):
    try:
        code = main([str(a) for a in argv])
    except SystemExit as exit:
        code = exit.code
    out, err = capsys.readouterr()
    return code, out, err


def span(capsys, name, *flags):
    """The first and last bar's times of a file read by the command with `flags`, as UTC."""
    code, _, err = run(capsys, "--data", name, "--strategy", "mine.py:Holds", "--trades", "t.csv",
                       *flags)
    assert code == 0, err
    with open("t.csv", newline="") as f:
        (trade,) = csv.DictReader(f)
    return tuple(dt.datetime.fromtimestamp(int(trade[k]), UTC).strftime("%Y-%m-%d %H:%M")
                 for k in ("entry_time", "exit_time")), err


EUROPEAN = "time;open;high;low;close\n" + "".join(
    f"2020-03-0{d} 10:00;1,{d}0;1,{d}5;1,{d}0;1,{d}2\n" for d in (2, 3, 4))
DAY_FIRST = "time,open,high,low,close\n" + "".join(
    f"0{d}/03/2020 10:00,1.1,1.2,1.0,1.1\n" for d in (2, 3, 4))
BERLIN = "time,open,high,low,close\n" + "".join(
    f"2020-07-0{d} 12:00,1.1,1.2,1.0,1.1\n" for d in (2, 3))
TABS = "time\topen\thigh\tlow\tclose\n" + "".join(
    f"2020-03-0{d} 10:00\t1.1\t1.2\t1.0\t1.1\n" for d in (2, 3))


@pytest.mark.parametrize("text, flags, times", [
    (EUROPEAN, ["--delimiter", ";", "--decimal", ","], ("2020-03-02 10:00", "2020-03-04 10:00")),
    (DAY_FIRST, ["--date-format", "%d/%m/%Y %H:%M"], ("2020-03-02 10:00", "2020-03-04 10:00")),
    (DAY_FIRST, ["--date-format", "%m/%d/%Y %H:%M"], ("2020-02-03 10:00", "2020-04-03 10:00")),
    (BERLIN, ["--tz", "Europe/Berlin"], ("2020-07-02 10:00", "2020-07-03 10:00")),
    (TABS, ["--delimiter", "\\t"], ("2020-03-02 10:00", "2020-03-03 10:00")),
    (TABS, ["--delimiter", "tab"], ("2020-03-02 10:00", "2020-03-03 10:00")),
], ids=["semicolons-decimal-commas", "day-first", "month-first", "naive-in-berlin",
        "escaped-tab", "named-tab"])
def test_flags_reach_the_loader(capsys, here, text, flags, times):
    (here / "bars.csv").write_text(text, encoding="utf-8")
    assert span(capsys, "bars.csv", *flags) == (times, "")


@pytest.mark.parametrize("text, flags, hint", [
    (EUROPEAN, [], "pass --decimal ','"),
    (DAY_FIRST, [], "give --date-format, such as '%d/%m/%Y %H:%M'"),
    ("2020.03.02,10:00,1.1,1.2,1.0,1.1,5\n", ["--format", "histdata"], "try --format mt4"),
    ("time,open,high,low,close\n2,1,1,1,1\n1,1,1,1,1\n3,1,1,1,1\n", [],
     "--validate warn loads them anyway"),
], ids=["decimal", "date-format", "format", "validate"])
def test_hints_name_the_commands_flags(capsys, here, text, flags, hint):
    (here / "bars.csv").write_text(text)
    code, out, err = run(capsys, "--data", "bars.csv", *flags)
    assert (code, out) == (1, "") and err.count("\n") == 1
    assert err.startswith("candlewright: error: bars.csv") and hint in err, err
    assert "=" not in err.split(":", 2)[2].replace("'", "")  # no keyword left as written


OUT_OF_ORDER = "time,open,high,low,close\n1,1,1,1,1\n3,1,1,1,1\n2,1,1,1,1\n4,1,1,1,1\n"


@pytest.mark.parametrize("mode, code, warned", [
    ("error", 1, 0), ("warn", 0, 1), ("off", 0, 0),
])
def test_validate_choices(capsys, here, mode, code, warned):
    (here / "bars.csv").write_text(OUT_OF_ORDER)
    got, _, err = run(capsys, "--data", "bars.csv", "--validate", mode)
    assert got == code
    assert err.count("candlewright: warning: bars.csv, 1 bad row (1 out of time order)") == warned
    assert err.count("\n") == (warned or code)


@pytest.mark.parametrize("flag, value", [
    ("--validate", "loose"), ("--delimiter", ";;"), ("--delimiter", "a"), ("--decimal", ";"),
    ("--strategy", "SmaCross"), ("--strategy", "mine.py:"),
])
def test_bad_values_are_usage_errors(capsys, here, flag, value):
    code, out, err = run(capsys, flag, value)
    assert (code, out) == (2, "") and f"argument {flag}" in err


MT4 = "".join(f"2020.03.0{d},10:00,1.1,1.2,1.0,1.1,5\n" for d in (2, 3))
HISTDATA = "".join(f"2020030{d} 100000;1.1;1.2;1.0;1.1;0\n" for d in (2, 3))


@pytest.mark.parametrize("text, flags, times, warning", [
    (MT4, [], ("2020-03-02 10:00", "2020-03-03 10:00"),
     "candlewright: warning: bars.csv: the times of an MT4 export are the broker's server "
     "time, read as UTC: give --tz your broker's server zone, such as --tz Europe/Athens for "
     "a server at UTC+2 in winter and UTC+3 in summer, or --tz UTC when they are UTC\n"),
    (MT4, ["--tz", "Europe/Athens"], ("2020-03-02 08:00", "2020-03-03 08:00"), ""),
    (HISTDATA, [], ("2020-03-02 15:00", "2020-03-03 15:00"), ""),
    (HISTDATA, ["--tz", "UTC"], ("2020-03-02 10:00", "2020-03-03 10:00"), ""),
], ids=["mt4-warned", "mt4-zone-given", "histdata-est", "histdata-as-utc"])
def test_zones_of_known_layouts(capsys, here, text, flags, times, warning):
    (here / "bars.csv").write_text(text)
    assert span(capsys, "bars.csv", *flags) == (times, warning)


BROKEN = {
    "syntax.py": "class Fine:\n    pass\n\ndef (:\n",
    "raises.py": "x = 1\n\nraise RuntimeError('no data here')\n",
    "needs.py": "import no_such_module_anywhere\n",
}


@pytest.mark.parametrize("spec, message", [
    ("mine.py:Nope", "cannot load strategy 'mine.py:Nope': mine.py has no 'Nope'"),
    ("./mine.py:Holds.inner", "cannot load strategy './mine.py:Holds.inner': "
                              "'./mine.py:Holds' has no 'inner'"),
    ("absent.py:Holds", "cannot load strategy 'absent.py:Holds': 'absent.py': no such file"),
    ("syntax.py:Fine", "cannot load strategy 'syntax.py:Fine': syntax.py, line 4: SyntaxError: "
                       "invalid syntax"),
    ("raises.py:X", "cannot load strategy 'raises.py:X': RuntimeError: no data here (at "
                    "raises.py, line 3)"),
    ("needs.py:X", "cannot load strategy 'needs.py:X': ModuleNotFoundError: No module named 'no_such_module_anywhere' (at "
                   "needs.py, line 1)"),
    ("candlewright:Nope", "cannot load strategy 'candlewright:Nope': module 'candlewright' has "
                          "no 'Nope'"),
    ("no_such_module_here:X", "cannot load strategy 'no_such_module_here:X': no module named "
                              "'no_such_module_here'"),
], ids=["file-no-class", "file-no-attribute", "missing-file", "syntax-error", "raises-on-import",
        "missing-import", "module-no-class", "missing-module"])
@pytest.mark.parametrize("command", [[], ["sweep", "--param", "fast=5"]], ids=["run", "sweep"])
def test_strategy_errors_name_what_was_typed(capsys, here, command, spec, message):
    for name, text in BROKEN.items():
        (here / name).write_text(text)
    code, out, err = run(capsys, *command, "--strategy", spec)
    assert (code, out) == (1, "")
    assert err.startswith(f"candlewright: error: {message}") and err.count("\n") == 1, err
    assert "_candlewright_strategy" not in err


def test_the_command_runs_the_librarys_default_account():
    out = subprocess.run([sys.executable, "-m", "candlewright", "--json"], capture_output=True,
                         text=True, check=True).stdout
    result = Backtest(sample_bars()).run(SmaCross())
    shown = json.loads(out)
    metrics = shown.pop("metrics")
    assert shown == {name: getattr(result.stats, name) for name in FIGURES}
    assert metrics["commissions"] == result.metrics["commissions"] != 0
    assert metrics["spread_paid"] == result.metrics["spread_paid"] != 0


# --- sweep: one ranking flag -----------------------------------------------------------------

SWEEP = ["sweep", "--param", "fast=5,10,20", "--param", "slow=40,80", "--json", "--workers", "1"]


def ranked(capsys, *flags):
    code, out, err = run(capsys, *SWEEP, *flags)
    assert code == 0, err
    return [(e["params"], e["figures"]["max_drawdown_pct"]) for e in json.loads(out)]


def test_rank_by_is_maximize(capsys, here):
    by_return = ranked(capsys)
    assert ranked(capsys, "--rank-by", "total_return_pct") == by_return
    assert ranked(capsys, "--maximize", "total_return_pct", "--rank-by",
                  "total_return_pct") == by_return
    lowest = ranked(capsys, "--maximize", "max_drawdown_pct")
    assert ranked(capsys, "--rank-by", "max_drawdown_pct") == lowest
    assert [d for _, d in lowest] == sorted(d for _, d in by_return), "lowest drawdown first"
    # A metric ranks too, by either name.
    assert ranked(capsys, "--rank-by", "sqn") == ranked(capsys, "--maximize", "sqn")


@pytest.mark.parametrize("flags, message", [
    (["--maximize", "sqn", "--rank-by", "sharpe"], "given twice, sqn and sharpe: give one"),
    (["--maximize", "sqn", "--maximize", "sharpe"], "given twice, sqn and sharpe: give one"),
    (["--rank-by", "nope"], "'nope' is neither a figure nor a metric"),
], ids=["both-disagree", "twice-disagree", "unknown"])
def test_ranking_refusals(capsys, here, flags, message):
    code, out, err = run(capsys, *SWEEP, *flags)
    assert (code, out) == (2, "") and message in err


def test_a_lower_is_better_figure_is_searched_for_its_lowest():
    # The score reaches process workers, and random search and walk-forward choose by it.
    grid = {"fast": [5, 10, 20], "slow": [40, 80]}
    account = dict(initial_cash=10_000.0, commission=7.0, spread=0.0002, contract_size=100_000.0,
                   quote_to_account=1.0)
    results = sweep(SmaCross, grid, sample_bars()[:4000], **account, max_workers=2,
                    maximize=score_of("max_drawdown_pct"))
    drawdowns = [r.figures["max_drawdown_pct"] for r in results if r.ok]
    assert results.best.figures["max_drawdown_pct"] == min(drawdowns) < max(drawdowns)


def test_walk_forward_table_shows_the_figure_itself(capsys, here):
    code, out, err = run(capsys, "sweep", "--param", "fast=5,20", "--param", "slow=40",
                         "--maximize", "max_drawdown_pct", "--walk-forward", "3000:3000")
    assert code == 0, err
    header, *rows = [line.split() for line in out.splitlines()[2:] if line.strip()][:-1]
    shown = [float(row[header.index("max_drawdown_pct")]) for row in rows]
    assert "chosen by max_drawdown_pct" in out and len(shown) == 5 and min(shown) > 0
