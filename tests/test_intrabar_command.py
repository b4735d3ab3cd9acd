"""The command and the report with finer data inside the bars: --intrabar and --ticks, the
figures they print, and the ambiguous bars marked on the report's candles."""
import datetime as dt
import json

import pytest

from candlewright import Backtest, read_csv
from candlewright.cli import main

START = 1_704_067_200  # 2024-01-01 00:00 UTC
FLAT = (1.1, 1.1, 1.1, 1.1)
# Reaches both the stop (1.097) and the target (1.103) of the position opened on the bar before.
HOURS = [FLAT, (1.1, 1.105, 1.095, 1.1), FLAT, FLAT, FLAT]
BRACKET = '''
class Bracket:
    def __init__(self, lots=1.0):
        self.lots = lots

    def next(self, bar, account):
        if not account.positions and not account.trades:
            account.buy(bar.close, self.lots, bar.timestamp, 1.097, 1.103)
'''
COSTS = ("--spread", "0", "--commission", "0")
INSIDE = ["Ambiguous bars: 1", "Resolved finer: 1", "Fell back:      0"]


def _write(path, rows, shift=0):
    """Bars as CSV, times as local dates `shift` seconds ahead of UTC."""
    path.write_text("time,open,high,low,close\n" + "".join(
        f"{dt.datetime.fromtimestamp(t + shift, dt.UTC):%Y-%m-%d %H:%M},{o!r},{h!r},{lo!r},{c!r}\n"
        for t, (o, h, lo, c) in rows))


def _minutes(hour, o, h, lo, c, high_first):
    """The hour's minute bars: to one extreme, then the other, then the close."""
    path = [o] + [h if high_first else lo] * 20 + [lo if high_first else h] * 20 + [c] * 20
    return [(START + 3600 * hour + 60 * k, (path[k], max(path[k:k + 2]), min(path[k:k + 2]),
                                            path[k + 1])) for k in range(60)]


@pytest.fixture
def files(tmp_path):
    (tmp_path / "mine.py").write_text(BRACKET)
    for shift, suffix in ((0, ""), (7200, "_local")):
        _write(tmp_path / f"h1{suffix}.csv",
               [(START + 3600 * i, b) for i, b in enumerate(HOURS)], shift)
        for name, high_first, skip in (("high_first", True, None), ("low_first", False, None),
                                       ("hole", True, 1)):
            _write(tmp_path / f"{name}{suffix}.csv", [m for i, b in enumerate(HOURS) if i != skip
                                                      for m in _minutes(i, *b, high_first)], shift)
        # Up to the target, then down through the stop, inside the wide hour.
        (tmp_path / f"ticks{suffix}.csv").write_text("time,bid,ask\n" + "".join(
            f"{dt.datetime.fromtimestamp(START + s + shift, dt.UTC):%Y-%m-%d %H:%M:%S},{p},{p}\n"
            for s, p in ((0, 1.1), (4200, 1.105), (5400, 1.095), (6600, 1.1), (17999, 1.1))))
    return tmp_path


def run(capsys, files, *argv):
    code = main([str(a) for a in ("--strategy", f"{files / 'mine.py'}:Bracket", *COSTS, *argv)])
    out, err = capsys.readouterr()
    return code, out, err


def _bracket():
    namespace: dict = {}
    exec(BRACKET, namespace)
    return namespace["Bracket"]()


@pytest.mark.parametrize("finer, exit_reason, lines", [
    (None, "stop_loss", ["Ambiguous bars: 1"]),
    ("high_first", "take_profit", INSIDE),
    ("low_first", "stop_loss", INSIDE),
    ("hole", "stop_loss", ["Ambiguous bars: 1", "Resolved finer: 0", "Fell back:      1"]),
], ids=["bar-rules", "target-first", "stop-first", "hole-falls-back"])
def test_intrabar_decides_the_ambiguous_bar(capsys, files, finer, exit_reason, lines):
    given = () if finer is None else ("--intrabar", files / f"{finer}.csv")
    code, out, err = run(capsys, files, "--data", files / "h1.csv", *given,
                         "--trades", files / "trades.csv")
    assert code == 0 and err == "" and out.splitlines()[-len(lines):] == lines
    # What the library makes of the same files.
    inside = {} if finer is None else {"intrabar": read_csv(files / f"{finer}.csv")}
    result = Backtest(read_csv(files / "h1.csv"), commission=0, spread=0, **inside).run(
        _bracket())
    assert out == repr(result) + "\n"
    assert f",{exit_reason}," in (files / "trades.csv").read_text()


@pytest.mark.parametrize("flag, finer", [("--intrabar", "high_first"), ("--ticks", "ticks")])
def test_finer_data_is_read_in_the_datas_zone(capsys, files, flag, finer):
    # Local times two hours ahead: only read in --data's zone do they fall in the right hour.
    code, out, err = run(capsys, files, "--data", files / "h1_local.csv", "--tz", "+02:00",
                         flag, files / f"{finer}_local.csv")
    assert code == 0 and out.splitlines()[-3:] == INSIDE, err


def test_sweep_passes_the_finer_data_on(capsys, files):
    code = main(["sweep", "--param", "lots=1,2", "--workers", "1", "--json", "--data",
                 str(files / "h1.csv"), "--intrabar", str(files / "high_first.csv"),
                 "--strategy", f"{files / 'mine.py'}:Bracket", *COSTS])
    out, err = capsys.readouterr()
    cash = {e["params"]["lots"]: e["figures"]["final_cash"] for e in json.loads(out)}
    assert code == 0 and cash == pytest.approx({1: 10_300.0, 2: 10_600.0}), err


@pytest.mark.parametrize("argv, code, said", [
    (("--intrabar", "h1.csv", "--ticks", "ticks.csv"), 2,
     "argument --ticks: not allowed with argument --intrabar"),
    (("--intrabar", "missing.csv"), 1,
     "candlewright: error: cannot read '{tmp}/missing.csv': [Errno 2] No such file or directory"),
], ids=["both", "missing-file"])
def test_bad_finer_data_is_one_line(capsys, files, argv, code, said):
    argv = ["--data", str(files / "h1.csv"), *(str(files / a) if "." in a else a for a in argv)]
    try:
        got = main(argv)
    except SystemExit as stopped:  # argparse's usage error, after its usage
        got = stopped.code
    out, err = capsys.readouterr()
    assert got == code and out == "" and err.splitlines()[-1].endswith(said.format(tmp=files))


# --- the report ---

def _marks(fig):
    return {r.glyph.fill_color: list(r.data_source.data["bar"]) for r in fig.renderers
            if getattr(r.glyph, "marker", None) == "diamond"}


@pytest.mark.parametrize("time_axis", ["bars", "time"])
def test_report_marks_each_ambiguous_bar_by_how_it_went(files, time_axis):
    pytest.importorskip("bokeh")
    from candlewright.report import _AMBIGUOUS, report_parts
    result = Backtest(read_csv(files / "h1.csv"), commission=0, spread=0).run(_bracket())
    assert result.ambiguous == [(1, "guessed")]
    header = report_parts(result, "run")[0].text
    assert "<td>Ambiguous Bars</td><td>1</td>" in header
    assert "<td>Bars Resolved Inside</td><td>n/a</td>" in header
    # Every outcome at once, and a bar past the end (from other bars) left out.
    result.ambiguous = [(1, "guessed"), (2, "resolved"), (3, "fell back"), (4, "resolved"),
                        (99, "guessed")]
    price = report_parts(result, "run", time_axis=time_axis)[3]
    colour = {how: spec[0] for how, spec in _AMBIGUOUS.items()}
    assert _marks(price) == {colour["guessed"]: [1], colour["resolved"]: [2, 4],
                             colour["fell back"]: [3]}
    legend = [item for item in price.below if type(item).__name__ == "Legend"]
    assert [i.label.value for i in legend[0].items] == [
        "ambiguous: guessed", "ambiguous: resolved", "ambiguous: fell back"]
    # A result saved before the marks were kept draws none, and no empty legend.
    del result.ambiguous
    price = report_parts(result, "run", time_axis=time_axis)[3]
    assert _marks(price) == {} and not [i for i in price.below
                                        if type(i).__name__ == "Legend"]
