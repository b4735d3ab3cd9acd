"""The portfolio's HTML report: one candle panel per instrument on the timeline's steps, gaps left
empty, each trade on its own instrument's panel, the instrument figures, and the page as seen."""
import os
import types

import pytest

from candlewright import Backtest, SmaCross, from_arrays, sample_bars

pytest.importorskip("bokeh")
np = pytest.importorskip("numpy")

from test_report import artifacts, browser, look_at  # noqa: E402,F401  (fixtures reused)

CASH = 10_000.0


def _columns(bars):
    return {name: np.asarray(memoryview(bars.column(name))) for name in
            ("timestamp", "open", "high", "low", "close", "volume")}


def _bars(columns, keep=None, scale=1.0):
    keep = slice(None) if keep is None else keep
    return from_arrays(columns["timestamp"][keep], *(columns[n][keep] * scale for n in
                       ("open", "high", "low", "close")), columns["volume"][keep])


def _portfolio(instruments, scales=None, fast=5, slow=20):
    """A portfolio run as the report reads one: each instrument run on its own (its pnl
    brought into the account's money by its price's scale), its trades moved onto the union
    timeline's steps and merged in closing order."""
    stamps = np.unique(np.concatenate([_columns(b)["timestamp"] for b in instruments.values()]))
    names = ("ticket", "is_long", "lot_size", "entry_time", "exit_time", "entry_bar",
             "exit_bar", "entry_price", "exit_price", "stop_loss", "take_profit", "pnl",
             "commission", "swap", "mae", "mfe")
    journal = {name: [] for name in names}
    reasons, owners, by_symbol, exposure, results = [], [], {}, {}, {}
    equity = np.full(len(stamps), CASH)
    for symbol, bars in instruments.items():
        scale = (scales or {}).get(symbol, 1.0)
        result = Backtest(bars, CASH, 7, 0.0002 * scale, 100_000, 1 / scale).run(
            SmaCross(fast=fast, slow=slow, pip=0.0001 * scale))
        results[symbol] = result
        steps = np.searchsorted(stamps, _columns(bars)["timestamp"])
        for name in names:
            values = np.asarray(memoryview(getattr(result.trades, name)))
            journal[name].append(steps[values] if name in ("entry_bar", "exit_bar") else values)
        reasons += result.trades.exit_reason
        owners += [symbol] * len(result.trades)
        own = np.asarray(memoryview(result.equity))
        # Carried forward over the steps where the instrument has no bar.
        at = np.searchsorted(steps, np.arange(len(stamps)), side="right") - 1
        equity += np.where(at >= 0, own[np.maximum(at, 0)], CASH) - CASH
        by_symbol[symbol] = result.metrics
        exposure[symbol] = result.metrics["exposure_time_pct"]
    journal = {name: np.concatenate(parts) for name, parts in journal.items()}
    order = np.argsort(journal["exit_bar"], kind="stable")
    trades = types.SimpleNamespace(**{n: v[order] for n, v in journal.items()},
                                   exit_reason=[reasons[i] for i in order])
    first = next(iter(results.values()))
    return types.SimpleNamespace(
        symbols=tuple(instruments), bars=dict(instruments), timestamps=stamps,
        time_unit="s", equity=equity, stats=first.stats, metrics=first.metrics,
        by_symbol=by_symbol, exposure=exposure, trades=trades,
        trade_symbols=[owners[i] for i in order], initial_cash=CASH), results


@pytest.fixture(scope="module")
def three():
    """EURUSD whole; USDJPY later, dearer and with a hole of 300 bars and every 7th bar gone;
    EURGBP a short stretch in the middle."""
    columns = _columns(sample_bars()[:1500])
    holed = np.ones(1500, dtype=bool)
    holed[:200] = holed[600:900] = False
    holed[::7] = False
    return _portfolio({"EURUSD": _bars(columns), "USDJPY": _bars(columns, holed, 110.0),
                       "EURGBP": _bars(columns, slice(500, 1200), 0.85)},
                      {"USDJPY": 110.0, "EURGBP": 0.85})


def _parts(result, **options):
    from candlewright.portfolio_report import portfolio_parts
    return portfolio_parts(result, "pf", **options)


def _price_panels(parts, symbols):
    return [next(p for p in parts if getattr(p, "name", None) == s) for s in symbols]


def _glyph_sources(fig):
    return [r.data_source for r in fig.renderers]


def _candles(fig):
    from bokeh.models import VBar
    return next(r.data_source for r in fig.renderers if isinstance(r.glyph, VBar))


def _carried(fig):
    """The candles the page carries for a panel's redraw."""
    callback = fig.x_range.js_property_callbacks["change:start"]
    return next(c.args["carried"] for c in callback if c.args.get("drawn") is _candles(fig))


def _trade_source(fig):
    return next(s for s in _glyph_sources(fig) if "entry_price" in s.data)


def _steps(result, symbol):
    return np.searchsorted(result.timestamps, _columns(result.bars[symbol])["timestamp"])


def test_a_panel_per_instrument_named_after_it(three):
    result, _ = three
    parts = _parts(result)
    named = [p.name for p in parts if getattr(p, "name", None) in result.symbols]
    assert named == list(result.symbols)
    assert [p.yaxis.axis_label for p in _price_panels(parts, result.symbols)] == named
    # One x axis for all of them, the equity's.
    assert len({id(p.x_range) for p in parts if hasattr(p, "x_range")}) == 1


@pytest.mark.parametrize("count, asked, shown", [
    (3, None, [True] * 3), (4, None, [True] * 4), (6, None, [True] + [False] * 5),
    (6, ["PAIR2", "PAIR5"], [False, False, True, False, False, True]),
    (3, "PAIR1", [False, True, False]),
], ids=["three-all", "four-all", "six-first-only", "six-two-asked", "one-named"])
def test_panels_shown_at_first_and_the_boxes_that_choose(count, asked, shown):
    from bokeh.models import CheckboxGroup
    columns = _columns(sample_bars()[:300])
    symbols = [f"PAIR{k}" for k in range(count)]
    result, _ = _portfolio({s: _bars(columns, scale=1 + k) for k, s in enumerate(symbols)})
    parts = _parts(result, shown=asked)
    assert [p.visible for p in _price_panels(parts, symbols)] == shown
    boxes = next(b for p in parts for b in getattr(p, "children", []) if
                 isinstance(b, CheckboxGroup))
    assert boxes.labels == symbols
    assert boxes.active == [k for k, on in enumerate(shown) if on]


def test_every_bar_carried_on_its_own_step(three):
    result, _ = three
    parts = _parts(result)
    for symbol, fig in zip(result.symbols, _price_panels(parts, result.symbols)):
        carried = _carried(fig).data
        steps = _steps(result, symbol)
        # Few enough bars to carry one by one: each at its step, none where there is none.
        assert np.array_equal(np.asarray(carried["slot"]), steps), symbol
        assert np.array_equal(np.asarray(carried["close"]), _columns(result.bars[symbol])["close"])


def test_merged_candles_count_every_bar_and_leave_gaps_empty(three):
    result, _ = three
    for symbol, fig in zip(result.symbols, _price_panels(_parts(result), result.symbols)):
        drawn = _candles(fig).data
        steps = _steps(result, symbol)
        assert sum(drawn["bars"]) == len(steps), symbol
        # Each merged candle covers at least one of the instrument's bars and sits on them.
        for start, count, high in zip(drawn["start"], drawn["bars"], drawn["high"]):
            width = drawn["width"][0] / 0.8
            inside = (steps >= start) & (steps < start + width)
            assert np.count_nonzero(inside) == count
            assert high == _columns(result.bars[symbol])["high"][inside].max()
    holed = np.asarray(_candles(_price_panels(_parts(result), ["USDJPY"])[0]).data["start"])
    assert not np.any((holed >= 610) & (holed < 890)), "a candle drawn in the hole"


def test_time_axis_draws_each_bar_at_its_time(three):
    result, _ = three
    parts = _parts(result, time_axis="time")
    for symbol, fig in zip(result.symbols, _price_panels(parts, result.symbols)):
        drawn = _candles(fig).data
        assert np.array_equal(np.asarray(drawn["x"]),
                              _columns(result.bars[symbol])["timestamp"] * 1000.0)


@pytest.mark.parametrize("time_axis", ["bar", "time"])
def test_trades_land_on_their_own_instrument(three, time_axis):
    result, runs = three
    parts = _parts(result, time_axis=time_axis)
    owners = np.asarray(result.trade_symbols)
    for symbol, fig in zip(result.symbols, _price_panels(parts, result.symbols)):
        run = runs[symbol]
        source = _trade_source(fig).data
        assert len(source["ticket"]) == len(run.trades) == np.count_nonzero(owners == symbol)
        assert sorted(source["entry_price"]) == sorted(run.trades.entry_price)
        if time_axis == "bar":
            # On the timeline: each end at a step where this instrument has a bar.
            steps = set(_steps(result, symbol).tolist())
            assert set(source["entry_bar"]) | set(source["exit_bar"]) <= steps


class Turns:
    """Each pair long, then short, turning every 40 of its own bars."""

    def init(self, data):
        pass

    def next(self, step, account):
        for symbol in step:
            pair = account[symbol]
            if pair.bar_index % 40 == 0:
                pair.close_all()
                (pair.buy if pair.bar_index % 80 else pair.sell)(lot_size=0.2)


def test_a_portfolio_run_drawn_as_its_figures_say(tmp_path):
    from candlewright import Portfolio
    result = Portfolio({"EURUSD": sample_bars()[:3000], "USDJPY": sample_bars("USDJPY")[:3000]},
                       account_currency="USD", initial_cash=10_000).run(Turns())
    path = tmp_path / "pf.html"
    assert result.plot(str(path)) == str(path) and path.stat().st_size > 0
    parts = _parts(result)
    header = parts[0].text
    for symbol, fig in zip(result.symbols, _price_panels(parts, result.symbols)):
        figures = result.by_symbol[symbol]
        assert sum(_candles(fig).data["bars"]) == len(result.bars[symbol])
        assert len(_trade_source(fig).data["ticket"]) == figures["num_trades"] > 0
        row = header[header.index(f"<b>{symbol}</b>"):]
        row = row[:row.index("</tr>")]
        for text in (f">{figures['num_trades']}<", f">{figures['net_pnl']:,.2f}<",
                     f">{figures['win_rate_net_pct']:.1f}%<",
                     f">{figures['exposure_time_pct']:.1f}%<"):
            assert text in row, (symbol, text, row)


@pytest.fixture(scope="module")
def alone():
    """One instrument, its run's own journal: its bars are the timeline."""
    result, runs = _portfolio({"EURUSD": sample_bars()[:2000]})
    return result, runs["EURUSD"]


@pytest.mark.parametrize("journal", [
    pytest.param(lambda trades: trades, id="trades-columns"),
    pytest.param(lambda trades: list(trades), id="trade-rows"),
])
def test_journal_read_as_columns_or_rows(alone, journal):
    result, run = alone
    result = types.SimpleNamespace(**{**vars(result), "trades": journal(run.trades)})
    source = _trade_source(_price_panels(_parts(result), ["EURUSD"])[0]).data
    for name in ("ticket", "entry_bar", "exit_bar", "entry_price", "exit_price", "pnl",
                 "stop_loss", "take_profit"):
        assert np.array_equal(np.asarray(source[name]),
                              np.asarray(memoryview(getattr(run.trades, name))),
                              equal_nan=True), name
    assert list(source["exit_reason"]) == run.trades.exit_reason
    assert np.array_equal(source["entry_time"],
                          np.asarray(memoryview(run.trades.entry_time)) * 1000.0)


def test_no_trades_said_rather_than_blank(alone):
    from bokeh.models import Label
    result, _ = alone
    empty = types.SimpleNamespace(**{**vars(result), "trades": [], "trade_symbols": []})
    parts = _parts(empty)
    assert any(isinstance(item, Label) and item.text == "no closed trades"
               for item in parts[-1].center)
    assert ">0<" in parts[0].text and ">n/a<" in parts[0].text


@pytest.mark.parametrize("time_axis, at", [("bar", 10.0), ("time", None)])
def test_wiped_out_account_is_said_and_marked(alone, time_axis, at):
    from bokeh.models import Span
    result, _ = alone
    when = int(result.timestamps[10])
    wiped = types.SimpleNamespace(**{**vars(result),
                                     "metrics": {**result.metrics, "wiped_out_at": when}})
    parts = _parts(wiped, time_axis=time_axis)
    assert "Account wiped out at 2021-01-04 08:00 UTC" in parts[0].text
    equity = next(p for p in parts if getattr(p, "name", None) == "equity")
    marks = [item.location for item in equity.center
             if isinstance(item, Span) and item.dimension == "height"]
    assert marks == [at if at is not None else when * 1000.0]


def test_instrument_table_counts_each_instruments_trades(three):
    result, runs = three
    header = _parts(result)[0].text
    table = header[header.index("class='symbols'"):header.index("</table>")]
    for symbol, run in runs.items():
        metrics = run.metrics
        row = table[table.index(f"<b>{symbol}</b>"):]
        row = row[:row.index("</tr>")]
        net = sum(t.pnl - t.commission + t.swap for t in run.trades)
        for text in (f">{metrics['num_trades']}<", f">{net:,.2f}<",
                     f">{metrics['win_rate_net_pct']:.1f}%<",
                     f">{metrics['exposure_time_pct']:.1f}%<"):
            assert text in row, (symbol, text, row)


def _shifted(trades, by):
    return types.SimpleNamespace(**{**vars(trades), "entry_bar": trades.entry_bar + by})


def _own_steps(result):
    steps = {s: _steps(result, s) for s in result.symbols}
    rows = {s: np.searchsorted(steps[s], np.arange(len(result.timestamps))) for s in steps}
    own = np.asarray([rows[s][b] for s, b in zip(result.trade_symbols, result.trades.exit_bar)])
    return types.SimpleNamespace(**{**vars(result.trades), "exit_bar": own})


@pytest.mark.parametrize("spoil, said", [
    (lambda r: setattr(r, "trade_symbols", ["XAUUSD"] * len(r.trade_symbols)), "XAUUSD"),
    (lambda r: setattr(r, "trade_symbols", r.trade_symbols[:-1]), "trade symbols"),
    (lambda r: setattr(r, "timestamps", r.timestamps[1:]), "not on the portfolio's timeline"),
    (lambda r: setattr(r, "equity", r.equity[:-1]), "values for"),
    (lambda r: {"shown": ["EURUSD", "GBPUSD"]}, "no instrument named 'GBPUSD'"),
    # Steps counted on each instrument's own bars rather than on the timeline.
    (lambda r: setattr(r, "trades", _own_steps(r)), "exit_bar .* before its exit time"),
    (lambda r: setattr(r, "trades", _shifted(r.trades, 10**6)), "entry_bar .* off the timeline"),
], ids=["unknown-symbol", "symbols-short", "bar-off-timeline", "equity-short", "unknown-shown",
        "own-bars-steps", "steps-past-the-end"])
def test_inconsistent_result_refused_before_writing(three, tmp_path, spoil, said):
    from candlewright.portfolio_report import write_portfolio_report
    result = types.SimpleNamespace(**vars(three[0]))
    options = spoil(result) or {}
    path = tmp_path / "pf.html"
    with pytest.raises(ValueError, match=said):
        write_portfolio_report(result, path, **options)
    assert not path.exists()


# Zooms the shared axis in on a stretch, then reads what each panel drew and hides the rest.
_ZOOM = """
const doc = Bokeh.documents[0];
const [symbols, start, end, done] = arguments;
const panel = (s) => doc.get_model_by_name(s);
panel(symbols[0]).x_range.setv({start: start, end: end});
[...doc.all_models].find((m) => m.type === "CheckboxGroup").active = [1];
// The page's callbacks run once their code is compiled, after this script.
setTimeout(() => done([
  symbols.map((s) => Array.from(
    panel(s).renderers.find((r) => r.glyph.type === "VBar").data_source.data.x)),
  symbols.map((s) => panel(s).visible)]), 500);
"""


def test_portfolio_report_as_seen(request, artifacts, three):  # noqa: F811
    from candlewright.portfolio_report import write_portfolio_report
    result, _ = three
    path = str(artifacts / "portfolio.html")
    assert write_portfolio_report(result, path) == path
    driver = request.getfixturevalue("browser")
    look_at(driver, path, artifacts / "portfolio.png")
    # Zoomed in, every bar is its own candle at its step, and the hole stays empty.
    drawn, visible = driver.execute_async_script(_ZOOM, list(result.symbols), 560.0, 760.0)
    for symbol, xs in zip(result.symbols, drawn):
        steps = _steps(result, symbol)
        assert xs == steps[(steps >= 560) & (steps <= 760)].tolist(), symbol
    assert visible == [False, True, False]


def test_many_instruments_of_many_bars_stay_light(request, artifacts):  # noqa: F811
    from candlewright.portfolio_report import write_portfolio_report
    # Past the page's own budget of bars per instrument, so the merging is what keeps it light.
    n, count = 30_000, 10
    rng = np.random.default_rng(3)
    instruments = {}
    for k in range(count):
        close = (1 + k) * np.exp(np.cumsum(rng.normal(0.0, 0.0005, n)))
        open_ = np.concatenate(([close[0]], close[:-1]))
        # Half the instruments half an hour later: a timeline of twice the bars.
        stamps = 1_600_000_000 + 3600 * np.arange(n, dtype=np.int64) + 1800 * (k % 2)
        instruments[f"PAIR{k}"] = from_arrays(stamps, open_, np.maximum(open_, close) * 1.0002,
                                              np.minimum(open_, close) * 0.9998, close,
                                              np.ones(n))
    result, _ = _portfolio(instruments, {f"PAIR{k}": 1.0 + k for k in range(count)},
                           fast=50, slow=200)
    path = str(artifacts / "portfolio-big.html")
    # Every panel shown, so that the browser draws them all.
    assert write_portfolio_report(result, path, shown=result.symbols) == path
    size = os.path.getsize(path)
    assert size <= 6_000_000, f"{size:,} bytes for {count} instruments of {n:,} bars"
    look_at(request.getfixturevalue("browser"), path, artifacts / "portfolio-big.png")
