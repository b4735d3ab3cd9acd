"""The command `python -m candlewright`, SmaCross and the progress wrapper."""
import csv
import io
import json
import math
import random
import subprocess
import sys

import pytest

from candlewright import Backtest, Bar, Engine, SmaCross, sample_bars
from candlewright import cli
from candlewright.backtest import SUMMARY, TRADE_COLUMNS
from candlewright._progress import Progress
from candlewright.cli import main
from candlewright.metrics import INSIDE_METRICS, METRICS
from candlewright.sweeps import FIGURES

ACCOUNT = (10_000.0, 7.0, 0.0002, 100_000.0, 1.0)

STRATEGIES = '''
class Idle:
    def next(self, bar, broker):
        pass

class Fails:
    def next(self, bar, broker):
        raise ZeroDivisionError("no edge")

class NoNext:
    pass

class Holds:
    def next(self, bar, broker):
        if not broker.positions:
            broker.buy(bar.close, 0.1, bar.timestamp, None, None)

raise_on_import = False
'''


@pytest.fixture(scope="module")
def sample():
    return sample_bars()


@pytest.fixture
def files(tmp_path):
    (tmp_path / "mine.py").write_text(STRATEGIES)
    (tmp_path / "bars.csv").write_text("time,open,high,low,close\n1,1,1,1,1\n2,1,1,1,1\n")
    (tmp_path / "broken.csv").write_text("time,open,high,low,close\n1,1,1,1,1\n2,1,one,1,1\n")
    (tmp_path / "bad_syntax.py").write_text("def (:\n")
    return tmp_path


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def drawdown(equity):
    peak, worst = -math.inf, 0.0
    for e in equity:
        if e > peak:
            peak = e
        if peak > 0:
            d = (peak - e) / peak * 100
            if d > worst:
                worst = d
    return worst


def test_module_runs_smacross_on_the_sample(sample):
    out = subprocess.run([sys.executable, "-m", "candlewright"], capture_output=True, text=True,
                         check=True).stdout
    result = Backtest(sample, *ACCOUNT).run(SmaCross())
    report = repr(result.stats) + "\n"
    assert out.startswith(report)
    summary = out[len(report):].splitlines()
    assert [line[:16] for line in summary] == [label for _, label, _ in SUMMARY] + [
        "Ambiguous bars: "]
    assert summary == result.summary().splitlines()
    engine = subprocess.run([sys.executable, "-m", "candlewright", "--rules", "engine"],
                            capture_output=True, text=True, check=True).stdout
    assert engine.startswith(repr(Engine(sample, *ACCOUNT).run(SmaCross())) + "\n")


def test_json_holds_the_figures(capsys, files, sample):
    code, out, _ = run(capsys, "--json", "--spread", "0.0001", "--commission", "3")
    account = (10_000.0, 3.0, 0.0001, 100_000.0, 1.0)
    result = Backtest(sample, *account).run(SmaCross())
    shown = json.loads(out)
    metrics = shown.pop("metrics")
    assert code == 0 and shown == {name: getattr(result.stats, name) for name in FIGURES}
    expected = result.metrics
    assert list(metrics) == list(METRICS + INSIDE_METRICS)
    assert metrics["sharpe"] == expected["sharpe"] and metrics["sqn"] == expected["sqn"]
    # No trades: the profit factor is infinite, most metrics NaN; both must stay valid JSON.
    code, out, _ = run(capsys, "--json", "--data", files / "bars.csv",
                       "--strategy", f"{files / 'mine.py'}:Idle")
    figures = json.loads(out, parse_constant=pytest.fail)
    assert code == 0 and figures["profit_factor"] == "Infinity"
    assert float(figures["profit_factor"]) == math.inf
    assert math.isnan(float(figures["metrics"]["sharpe"]))


def test_account_rules_on_the_command_line(capsys, files, sample):
    # The flags are Backtest's keywords; a column of the file gives the spread per bar.
    (files / "spread.csv").write_text(
        "time,open,high,low,close,spread\n" + "".join(
            f"{bar.timestamp},{bar.open!r},{bar.high!r},{bar.low!r},{bar.close!r},{i % 5 + 8}\n"
            for i, bar in enumerate(sample[:3000])))
    code, out, _ = run(capsys, "--json", "--data", files / "spread.csv", "--spread", "spread",
                       "--point", "0.00001", "--quote-to-account", "1/close", "--swap-long",
                       "-6.9", "--swap-short", "1.2", "--leverage", "30", "--gap-fills", "open")
    rules = dict(point=0.00001, swap_long=-6.9, swap_short=1.2, leverage=30.0, gap_fills="open")
    spreads = [float(i % 5 + 8) for i in range(3000)]
    expected = Backtest(sample[:3000], 10_000.0, 7.0, spreads, 100_000.0, "1/close",
                        **rules).run(SmaCross())
    shown = json.loads(out)
    assert code == 0 and shown["final_cash"] == expected.stats.final_cash
    assert shown["metrics"]["swaps"] == expected.metrics["swaps"] != 0
    code, out, _ = run(capsys, "--initial-cash", "300", "--leverage", "30")
    assert code == 0 and out.splitlines()[-1] == "Orders refused: 567"
    code, _, err = run(capsys, "--gap-fills", "open", "--spread", "nope")
    assert code == 1 and "no column 'nope'" in err


def read_trades(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))


@pytest.mark.parametrize("strategy, reasons", [
    ("candlewright:SmaCross", {"stop_loss", "take_profit", "close_all", "end"}),
    ("{dir}/mine.py:Holds", {"end"}),
    ("{dir}/mine.py:Idle", set()),
], ids=["smacross", "no-stops", "no-trades"])
def test_trades_file_reads_back_exactly(capsys, files, sample, strategy, reasons):
    strategy = strategy.format(dir=files)
    code, out, _ = run(capsys, "--strategy", strategy, "--trades", files / "t.csv")
    header, *rows = read_trades(files / "t.csv")
    result = Backtest(sample, *ACCOUNT).run(cli.load_strategy(strategy))
    assert code == 0 and out == repr(result) + "\n"
    assert tuple(header) == TRADE_COLUMNS and len(rows) == result.stats.num_trades
    columns = dict(zip(header, zip(*rows))) if rows else dict.fromkeys(header, ())
    pnl = [float(x) for x in columns["pnl"]]
    assert pnl == list(result.trades.pnl)
    assert [int(t) for t in columns["exit_time"]] == list(result.trades.exit_time)
    assert set(columns["exit_reason"]) == reasons
    # repr tells NaN (a stop not set) from a value and compares it as equal.
    stops = [repr(float(x)) for x in columns["stop_loss"]]
    assert stops == list(map(repr, result.trades.stop_loss))


def test_unwritable_trades_file_is_one_line(capsys, files):
    code, out, err = run(capsys, "--trades", files / "absent" / "t.csv")
    assert code == 1 and out.startswith("--- Backtest Results ---")
    assert err.startswith("candlewright: error: cannot write trades ") and err.count("\n") == 1


@pytest.mark.parametrize("argv, message", [
    (["--data", "{dir}/absent.csv"], "cannot read '{dir}/absent.csv': [Errno 2]"),
    (["--data", "{dir}/broken.csv"], "line 3, column 'high'"),
    (["--strategy", "no_such_module_here:X"], "no module named 'no_such_module_here'"),
    (["--strategy", "candlewright:Nope"], "module 'candlewright' has no 'Nope'"),
    (["--strategy", "{dir}/absent.py:X"], "no such file"),
    (["--strategy", "{dir}/bad_syntax.py:X"], "SyntaxError"),
    (["--strategy", "{dir}/mine.py:NoNext"], "has no next(bar, broker) method"),
    (["--strategy", "{dir}/mine.py:Fails", "--data", "{dir}/bars.csv"],
     "failed: ZeroDivisionError: no edge"),
], ids=["missing-file", "bad-csv", "unknown-module", "unknown-class", "missing-py",
        "syntax-error", "no-next", "strategy-raises"])
def test_input_errors_are_one_line(capsys, files, argv, message):
    argv = [a.format(dir=files) for a in argv]
    code, out, err = run(capsys, *argv)
    assert code == 1 and out == ""
    assert err.startswith("candlewright: error: ") and err.count("\n") == 1, err
    assert message.format(dir=files) in err
    code, _, err = run(capsys, *argv, "--traceback")
    assert code == 1 and "Traceback (most recent call last)" in err


def test_plot_needs_matplotlib(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    code, out, err = run(capsys, "--plot", "x.png")
    assert code == 1 and out == "" and "candlewright[plot]" in err


def test_plot_writes_png(capsys, files):
    pytest.importorskip("matplotlib")
    code, out, _ = run(capsys, "--plot", files / "equity.png")
    assert code == 0 and out.startswith("--- Backtest Results ---")
    assert (files / "equity.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_recorded_equity_is_the_runs(capsys, monkeypatch, sample):
    # The run's drawdown is the curve's: equal to the last bit means the plot gets the same
    # points, one per bar.
    drawn = []
    monkeypatch.setattr(cli, "_figure_class", lambda: None)
    monkeypatch.setattr(cli, "_plot", lambda path, bars, equity, title: drawn.append(equity))
    code, _, _ = run(capsys, "--plot", "x.png")
    stats = Backtest(sample, *ACCOUNT).run(SmaCross()).stats
    assert code == 0 and len(drawn[0]) == len(sample)
    assert drawdown(drawn[0]) == stats.max_drawdown_pct


def test_progress_changes_nothing(sample):
    result = Backtest(sample, *ACCOUNT).run(SmaCross(), progress=True)
    assert repr(result.stats) == repr(Backtest(sample, *ACCOUNT).run(SmaCross()).stats)


def test_progress_draws_and_clears():
    stream = io.StringIO()
    progress = Progress(1000, stream, delay=0.0, interval=0.0)
    for _ in range(1000):
        progress.step()
    progress.close()
    text = stream.getvalue()
    assert "\r[#######.......................]  25%  250/1,000 bars\r" in text
    assert text.endswith("] 100%  1,000/1,000 bars\r\x1b[K")


class NaiveSmaCross:
    """The same rules as a plain strategy, with both averages summed afresh on every bar."""

    def __init__(self, fast, slow, lots=0.1, stop_pips=30.0, target_pips=60.0, pip=0.0001):
        self.fast, self.slow, self.lots = fast, slow, lots
        self.stop, self.target = stop_pips * pip, target_pips * pip

    def init(self, bars):
        self.closes, self.was = [], None

    def next(self, bar, broker):
        self.closes.append(bar.close)
        if len(self.closes) < self.slow:
            return
        now = (sum(self.closes[-self.fast:]) / self.fast, sum(self.closes[-self.slow:]) / self.slow)
        was, self.was = self.was, now
        if was is None:
            return
        for sign, crossed in ((1, was[0] < was[1] and now[0] > now[1]),
                              (-1, was[0] > was[1] and now[0] < now[1])):
            if crossed:
                broker.close_all(bar.close, bar.timestamp)
                order = broker.buy if sign > 0 else broker.sell
                order(bar.close, self.lots, bar.timestamp,
                      bar.close - sign * self.stop, bar.close + sign * self.target)


@pytest.mark.parametrize("fast, slow", [(1, 2), (10, 40), (24, 120)])
def test_smacross_averages_match_fresh_sums(fast, slow):
    # Unrounded closes: with prices in whole pips, averages tie exactly, and which way a tie
    # falls depends on the last bit of each way of summing.
    rng, price, bars = random.Random(5), 1.2, []
    for hour in range(6000):
        close = price * (1 + rng.gauss(0, 0.001))
        bars.append(Bar(3600 * hour, price, max(price, close) + 0.0003,
                        min(price, close) - 0.0003, close, 0.0))
        price = close
    engine = Engine(bars, *ACCOUNT)
    strategy = SmaCross(fast, slow)
    first = engine.run(strategy)
    assert first.num_trades > 10
    assert repr(first) == repr(engine.run(NaiveSmaCross(fast, slow)))
    assert repr(engine.run(strategy)) == repr(first), "a second run must start afresh"


def test_smacross_refuses_windows_out_of_order():
    with pytest.raises(ValueError, match="fast < slow"):
        SmaCross(fast=40, slow=10)


def test_no_bar_list_is_built_for_a_strategy_without_init():
    """A strategy with an init gets a list of every bar built first (most of a fast run's cost):
    neither SmaCross nor a run with a progress bar may show one it does not have."""
    class Own:
        def init(self, bars):
            self.seen = len(bars)

        def next(self, bar, account):
            pass

    own = Own()
    Backtest(sample_bars()[:30], *ACCOUNT).run(own, progress=True)
    assert own.seen == 30
