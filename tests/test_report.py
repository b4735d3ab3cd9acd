"""The HTML report as a person sees it: opened in headless Chromium, every plot drawn with data in
it, no script error, and a screenshot kept to look at."""
import contextlib
import os
import re
import shutil
import sys
import time
import types
from pathlib import Path

import pytest

from candlewright import Backtest, SmaCross, sample_bars
from conftest import Hold

pytest.importorskip("bokeh")
np = pytest.importorskip("numpy")

MIN_PLOTS = 4
LOAD_TIMEOUT = 30.0
MAX_BYTES = 10_000_000

# Canvases sit in nested shadow roots. A plot draws into layers under one parent (its overlay
# layer stays transparent until a tool draws on it), a legend's swatches into canvases of their
# own. Layers are composited on white as a reader sees them, so that neither the transparent
# layer nor the half-transparent pixels at a plot's edge count as drawing.
CANVASES = """
const groups = new Map();
const walk = (root) => root.querySelectorAll("*").forEach((el) => {
  if (el.tagName === "CANVAS") groups.set(el.parentNode, [...groups.get(el.parentNode) || [], el]);
  if (el.shadowRoot) walk(el.shadowRoot);
});
walk(document);
const size = (layers) => layers[0].getBoundingClientRect();
const colours = (layers, x = 0, y = 0, w = layers[0].width, h = layers[0].height) => {
  const out = Object.assign(document.createElement("canvas"),
                            {width: layers[0].width, height: layers[0].height});
  const ctx = out.getContext("2d");
  ctx.fillStyle = "#ffffff";
  ctx.fillRect(0, 0, out.width, out.height);
  layers.forEach((layer) => ctx.drawImage(layer, 0, 0));
  if (w <= 0 || h <= 0) return 0;
  const pixels = new Uint32Array(ctx.getImageData(x, y, w, h).data.buffer);
  return pixels.some((p) => p !== pixels[0]) ? 2 : 1;
};
"""

STATE = CANVASES + """
const plots = [...groups.values()].filter((g) => size(g).width >= 100 && size(g).height >= 100);
const docs = window.Bokeh ? Bokeh.documents : [];
return [docs.length > 0 && docs.every((d) => d.is_idle !== false),
        [...groups.values()].flat().length, plots.length];
"""

CANVAS_COLOURS = CANVASES + """
return [...groups.values()].map((g) => {
  const { width, height } = size(g);
  return [`${Math.round(width)}x${Math.round(height)}`, colours(g)];
});
"""

# The plot areas alone, with grid lines and legends hidden since they would make an empty area
# look drawn on; inset a little, since the outline and the axis lines sit on the area's edge. Read
# once the throttled repaint that hiding schedules has run.
FRAME_COLOURS = CANVASES + """
const done = arguments[arguments.length - 1];
if (!Bokeh.index.all_views) return done(null);
const views = [...Bokeh.index.all_views()].filter((v) => v.frame && v.canvas_view);
for (const view of views)
  for (const model of view.model.center)
    if (model.type === "Grid" || model.type === "Legend") model.visible = false;
const read = () => views.map((v) => {
  const layers = [v.canvas_view.primary.canvas, v.canvas_view.overlays.canvas];
  const scale = layers[0].width / size(layers).width, b = v.frame.bbox, inset = 3;
  const { title, left } = v.model;
  const name = title && title.text || left.map((axis) => axis.axis_label).join() || v.model.id;
  const px = (css) => Math.round(css * scale);
  return [name, colours(layers, px(b.x0 + inset), px(b.y0 + inset), px(b.width - 2 * inset),
                        px(b.height - 2 * inset))];
});
setTimeout(() => requestAnimationFrame(() => requestAnimationFrame(() => done(read()))), 300);
"""


def _say(config, line):
    # Past pytest's capture, so that it shows in CI's log even for a skip or a pass.
    capture = config.pluginmanager.getplugin("capturemanager")
    with capture.global_and_fixture_disabled() if capture else contextlib.nullcontext():
        print(f"\n{line}", file=sys.stderr, flush=True)


@pytest.fixture(scope="module")
def browser(pytestconfig):
    def skip(why):
        _say(pytestconfig, f"!!!!!!!! report browser test SKIPPED: {why}")
        pytest.skip(why)

    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        skip("selenium is not installed")
    chromium, chromedriver = shutil.which("chromium"), shutil.which("chromedriver")
    if not chromium or not chromedriver:
        skip("Debian's chromium and chromium-driver are not installed "
             "(apt-get install chromium chromium-driver)")
    options = webdriver.ChromeOptions()
    # Both paths given, so that selenium never tries to download a browser or a driver.
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1600,1400"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The sanitizer run preloads its runtimes into this process, and they abort the browser.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(executable_path=chromedriver, env=env),
                              options=options)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def artifacts(pytestconfig, tmp_path_factory):
    # Not under the repository: nothing there ignores them.
    where = os.environ.get("CANDLEWRIGHT_ARTIFACTS")
    path = Path(where) if where else tmp_path_factory.getbasetemp() / "report-artifacts"
    path.mkdir(parents=True, exist_ok=True)
    yield path
    if any(path.glob("*.png")):
        _say(pytestconfig, f"report screenshots and files written to {path}")


def _severe(entries):
    return [f"{e['level']}: {e['message']}" for e in entries if e["level"] == "SEVERE"]


def _wait_for_plots(driver, timeout=LOAD_TIMEOUT, settle=1.0):
    """Waits until Bokeh is idle and the count of canvases has held still for `settle` seconds
    with at least MIN_PLOTS plots, or for an error, or `timeout`. Returns the last state seen
    and the console's entries meanwhile."""
    deadline = time.monotonic() + timeout
    last, since, entries = (False, 0, 0), time.monotonic(), []
    while time.monotonic() < deadline:
        state = tuple(driver.execute_script(STATE))
        entries += driver.get_log("browser")
        now = time.monotonic()
        if _severe(entries):
            break
        if state != last:
            last, since = state, now
        elif state[0] and state[2] >= MIN_PLOTS and now - since >= settle:
            break
        time.sleep(0.2)
    return last, entries


def _screenshot(driver, path):
    # The whole page, not just the window: a report is taller than a screen.
    page, view = driver.execute_script(
        "return [document.documentElement.scrollHeight, window.innerHeight]")
    size = driver.get_window_size()
    if page > view:
        driver.set_window_size(size["width"], min(size["height"] - view + page, 16_000))
        time.sleep(0.5)
    assert driver.save_screenshot(str(path)), f"could not save a screenshot to {path}"
    driver.set_window_size(size["width"], size["height"])


def look_at(driver, report, screenshot):
    """Opens `report` in the browser and fails on what a reader would notice is wrong."""
    driver.get_log("browser")
    driver.get(Path(report).resolve().as_uri())
    (ready, canvases, plots), entries = _wait_for_plots(driver)
    errors = _severe(entries)
    assert not errors, "the report logged errors:\n" + "\n".join(errors)
    assert ready and plots >= MIN_PLOTS, (
        f"after {LOAD_TIMEOUT:.0f} s: Bokeh idle {ready}, {canvases} canvases in {plots} plots, "
        f"wanted at least {MIN_PLOTS} plots")

    drawn = driver.execute_script(CANVAS_COLOURS)
    blank = [size for size, colours in drawn if colours < 2]
    assert not blank, f"{len(blank)} of {len(drawn)} canvases are one colour throughout: {blank}"
    _screenshot(driver, screenshot)

    frames = driver.execute_async_script(FRAME_COLOURS)
    assert frames is not None, "this Bokeh's views cannot be listed"
    assert len(frames) >= MIN_PLOTS, frames
    empty = [name for name, colours in frames if colours < 2]
    assert not empty, f"plots with nothing drawn in them: {empty} (see {screenshot})"
    errors = _severe(driver.get_log("browser"))
    assert not errors, "the report logged errors once drawn:\n" + "\n".join(errors)


def _sma(close, n):
    out = np.full(len(close), np.nan)
    sums = np.cumsum(close)
    out[n - 1:] = (sums[n - 1:] - np.concatenate(([0.0], sums[:-n]))) / n
    return out


def _rsi(close, n=14):
    move = np.diff(close, prepend=close[0])
    ups, downs = _sma(np.maximum(move, 0), n), _sma(np.maximum(-move, 0), n)
    with np.errstate(divide="ignore", invalid="ignore"):
        return 100 - 100 / (1 + ups / downs)


def _declares():
    from candlewright import Strategy, ta

    class Declares(Strategy):
        def init(self):
            self.trend = self.I(ta.ema, self.data.close, 50, name="EMA(50)")
            self.rsi = self.I(ta.rsi, self.data.close, 14, name="RSI(14)", overlay=False)

        def next(self):
            if self.rsi[-1] < 30 and not self.position:
                self.buy(0.1, stop_loss=self.data.close[-1] - 0.003)
            elif self.rsi[-1] > 70 and self.position:
                self.close()

    return Declares()


def _closes(bars):
    return np.array([bar.close for bar in bars])


@pytest.mark.parametrize("name, bars, strategy", [
    pytest.param("sample", None, SmaCross(), id="sample"),
    # An overlay and a panel of their own, each named in a legend.
    pytest.param("indicators", 3000, SmaCross(), id="indicators"),
    pytest.param("real-time", 3000, SmaCross(), id="real-time-axis"),
    # A few trades on a few hundred bars: ranges and widths from little data.
    pytest.param("short", 600, SmaCross(fast=5, slow=20), id="short"),
    # No trade at all: the trade panel says so rather than staying blank.
    pytest.param("idle", 300, types.SimpleNamespace(next=lambda bar, account: None), id="idle"),
    # An equity curve far below zero, with its marker.
    pytest.param("wiped", 2000, Hold(50), id="wiped-out"),
    # What a strategy class declared: an overlay and a panel, named as declared.
    pytest.param("declared", 3000, "Declares", id="declared-indicators"),
])
def test_report_as_seen(request, artifacts, name, bars, strategy):
    cash = 1_000 if name == "wiped" else 10_000
    bars = sample_bars()[:bars]
    if strategy == "Declares":
        strategy = _declares()
    result = Backtest(bars, cash, 7, 0.0002, 100_000, 1).run(strategy)
    path = str(artifacts / f"{name}.html")
    options = {}
    if name in ("indicators", "real-time"):
        close = _closes(bars)
        options["indicators"] = {"SMA(50)": _sma(close, 50), "RSI(14)": _rsi(close)}
    if name == "real-time":
        options["time_axis"] = "time"
    assert result.plot(path, **options) == path
    # Asked for only now, so that the report is still written where there is no browser.
    look_at(request.getfixturevalue("browser"), path, artifacts / f"{name}.png")


def test_report_of_a_million_bars(request, artifacts):
    from candlewright.report import write_report

    n = 1_000_000
    rng = np.random.default_rng(7)
    # Multiplicative, so that prices stay positive however far the walk goes.
    close = 1.1 * np.exp(np.cumsum(rng.normal(0.0, 0.0005, n)))
    open_ = np.concatenate(([1.1], close[:-1]))
    wicks = np.abs(rng.normal(0.0, 0.0003, (2, n)))
    columns = {
        "timestamp": 1_600_000_000 + 3600 * np.arange(n, dtype=np.int64),
        "open": open_, "close": close,
        "high": np.maximum(open_, close) + wicks[0], "low": np.minimum(open_, close) - wicks[1],
        "volume": rng.integers(1, 1_000, n).astype(np.float64),
    }
    result = Backtest(columns, 10_000, 7, 0.0002, 100_000, 1).run(SmaCross(fast=20, slow=80))
    path = str(artifacts / "million.html")
    assert write_report(result, path) == path
    size = os.path.getsize(path)
    assert size <= MAX_BYTES, f"{size:,} bytes for a million bars"
    look_at(request.getfixturevalue("browser"), path, artifacts / "million.png")


@pytest.mark.parametrize("time_axis", ["bars", "time"])
@pytest.mark.parametrize("cash, lots, wiped", [(1_000, 50, True), (10_000, 0.1, False)],
                         ids=["wiped-out", "solvent"])
def test_wiped_out_account_is_said_and_marked(cash, lots, wiped, time_axis):
    from bokeh.models import Span

    from candlewright.report import report_parts
    bars = sample_bars()[:500]
    result = Backtest(bars, cash, 0, 0.0, 100_000, 1).run(Hold(lots))
    header, equity = report_parts(result, "run", time_axis=time_axis)[:2]
    said = "Account wiped out at 2021-01-04 08:00 UTC: return-based figures are NaN"
    assert (said in header.text) is wiped
    marks = [item.location for item in equity.center
             if isinstance(item, Span) and item.dimension == "height"]
    at = 10.0 if time_axis == "bars" else bars[10].timestamp * 1000.0
    assert marks == ([at] if wiped else [])


@pytest.mark.parametrize("count", [500, 25_000])
def test_buckets_keep_every_extreme(count):
    np = pytest.importorskip("numpy")
    from candlewright import report
    rng = np.random.default_rng(count)
    times = np.arange(count, dtype="float64")
    values = np.cumsum(rng.normal(0, 1, count))
    values[count // 3] = np.nan
    x, y = report._extremes(np, times, values)
    assert len(x) <= max(count, 2 * report.BUCKETS) and np.all(np.diff(x) > 0)
    assert np.nanmax(y) == np.nanmax(values) and np.nanmin(y) == np.nanmin(values)
    bars = {"open": values + 0.5, "high": values + 1, "low": values - 1, "close": values - 0.5,
            "volume": np.ones(count)}
    candles = report._candles(np, times, bars)
    assert np.nanmax(candles["high"]) == np.nanmax(bars["high"])
    assert np.nanmin(candles["low"]) == np.nanmin(bars["low"])
    assert candles["volume"].sum() == count
    drawn = len(candles["time"])
    if count <= report.MAX_CANDLES:
        assert drawn == count
    else:
        assert report.BUCKETS / 2 < drawn <= report.BUCKETS


def test_command_writes_the_report_and_the_heatmap(tmp_path, capsys):
    from candlewright.cli import main
    assert main(["--html", str(tmp_path / "run.html")]) == 0
    assert main(["sweep", "--param", "fast=5,10", "--param", "slow=40,60,80", "--workers", "1",
                 "--html", str(tmp_path / "sweep.html")]) == 0
    out = capsys.readouterr().out
    assert "ranked by total_return_pct" in out
    run, swept = ((tmp_path / name).read_text() for name in ("run.html", "sweep.html"))
    assert "Bokeh" in run and "<script src" not in run and "The best set" in swept
    assert main(["--html", str(tmp_path / "missing" / "x.html")]) == 1
    assert "cannot write report" in capsys.readouterr().err


# --- Indicators, legends, the bar axis and the sweep's heatmap ---

def _legend_labels(fig):
    return [item.label.value for legend in _legends(fig) for item in legend.items]


def _legends(fig):
    from bokeh.models import Legend
    # Its own: a search from the plot would also find the other panels' through the shared axis.
    return [item for item in [*fig.above, *fig.center] if isinstance(item, Legend)]


def _line_ys(fig):
    from bokeh.models import Line
    return [renderer.data_source.data["y"] for renderer in fig.renderers
            if isinstance(renderer.glyph, Line)]


@pytest.fixture(scope="module")
def sample_run():
    bars = sample_bars()[:2000]
    return bars, Backtest(bars, 10_000, 7, 0.0002, 100_000, 1).run(SmaCross())


@pytest.mark.parametrize("make, overlay, panel", [
    # Left to the report: the average lies among the prices, the oscillator far from them.
    pytest.param(lambda c: {"SMA": _sma(c, 20), "RSI": _rsi(c)}, ["SMA"], ["RSI"],
                 id="decided-by-range"),
    pytest.param(lambda c: {"SMA": (_sma(c, 20), False), "RSI": (list(_rsi(c)), None)}, [],
                 ["SMA", "RSI"], id="tuple-forced-panel"),
    pytest.param(lambda c: {"SMA": {"values": _sma(c, 20), "color": "#000000"},
                            "RSI": {"values": _rsi(c), "overlay": False}}, ["SMA"], ["RSI"],
                 id="dict-spec"),
    # The form a strategy's own indicators take.
    pytest.param(lambda c: [("SMA", _sma(c, 20), True), ("low", c - 1.0, True),
                            ("RSI", _rsi(c))], ["SMA", "low"], ["RSI"], id="list-of-triples"),
    pytest.param(lambda c: {"SMA": pytest.importorskip("pandas").Series(_sma(c, 20))}, ["SMA"],
                 [], id="pandas-series"),
])
def test_indicators_drawn_and_named(sample_run, make, overlay, panel):
    from candlewright.report import report_parts
    bars, result = sample_run
    close = _closes(bars)
    indicators = make(close)
    expected = {"SMA": _sma(close, 20), "RSI": _rsi(close), "low": close - 1.0}
    parts = report_parts(result, "run", indicators=indicators)
    price = next(p for p in parts[1:] if p.yaxis[0].axis_label == "price")
    assert [n for n in _legend_labels(price) if n in overlay + panel] == overlay
    panels = [p for p in parts[1:] if p.yaxis[0].axis_label in panel]
    assert [p.yaxis[0].axis_label for p in panels] == panel
    for fig in panels:
        assert _legend_labels(fig) == [fig.yaxis[0].axis_label]
        # NaN warm-up kept as gaps, every value drawn as given.
        np.testing.assert_array_equal(_line_ys(fig)[0], expected[fig.yaxis[0].axis_label])
    # Below the candles, above the trades' results, all on the one x axis.
    names = [p.yaxis[0].axis_label for p in parts[1:]]
    assert names == ["equity", "drawdown %", "price", *panel, "trade pnl", "volume"]
    assert len({id(p.x_range) for p in parts[1:]}) == 1


@pytest.mark.parametrize("values, said", [
    pytest.param(lambda n: np.zeros(n - 1), "has 1999 values for 2000 bars", id="short"),
    pytest.param(lambda n: [0.0] * (n + 5), "has 2005 values for 2000 bars", id="long"),
    pytest.param(lambda n: np.zeros((n, 2)), "shape (2000, 2)", id="two-columns"),
    pytest.param(lambda n: 1.5, "shape ()", id="scalar"),
])
def test_wrong_length_indicator_is_refused_before_writing(tmp_path, sample_run, values, said):
    _, result = sample_run
    path = tmp_path / "report.html"
    with pytest.raises(ValueError, match="indicator 'my line' .*" + re.escape(said)):
        result.plot(str(path), indicators={"fine": np.zeros(2000), "my line": values(2000)})
    assert not path.exists()


@pytest.mark.parametrize("indicators, error", [
    pytest.param({"x": ["a"] * 2000}, TypeError, id="not-numbers"),
    pytest.param({"x": {"value": np.zeros(2000)}}, ValueError, id="dict-without-values"),
    pytest.param({1: np.zeros(2000)}, TypeError, id="name-not-text"),
    pytest.param([("x",)], TypeError, id="one-item-tuple"),
    pytest.param("SMA", TypeError, id="a-string"),
])
def test_malformed_indicators_are_refused(sample_run, indicators, error):
    from candlewright.report import report_parts
    with pytest.raises(error):
        report_parts(sample_run[1], "run", indicators=indicators)


def test_time_axis_must_be_known(sample_run, tmp_path):
    with pytest.raises(ValueError, match="time_axis"):
        sample_run[1].plot(str(tmp_path / "x.html"), time_axis="dates")


def test_every_colour_and_marker_is_in_a_legend(sample_run):
    from candlewright.report import report_parts
    equity, drawdown, price, pnl, volume = report_parts(sample_run[1], "run")[1:]
    trades = sample_run[1].trades
    won = [t.pnl - t.commission + t.swap > 0 for t in trades]
    kinds = {f"{'long' if t.is_long else 'short'} {'won' if w else 'lost'}"
             for t, w in zip(trades, won)}
    assert len(kinds) == 4, kinds  # the run must show every kind for the test to mean much
    assert set(_legend_labels(price)) == kinds | {"entry (▲ long, ▼ short)", "exit",
                                                   "stop-loss", "take-profit"}
    assert {"peak", "equity", "longest drawdown"} <= set(_legend_labels(equity))
    assert any(label.startswith("max drawdown") for label in _legend_labels(equity))
    assert set(_legend_labels(pnl)) == {"gross pnl > 0", "gross pnl ≤ 0"}
    assert all(legend.click_policy == "hide" for fig in (equity, price, pnl)
               for legend in _legends(fig))


def test_no_trades_leaves_no_empty_legend():
    from candlewright.report import report_parts
    result = Backtest(sample_bars()[:300], 10_000, 7, 0.0002, 100_000, 1).run(
        types.SimpleNamespace(next=lambda bar, account: None))
    price = report_parts(result, "run")[3]
    assert all(not legend.visible for legend in _legends(price))


def test_bars_carried_in_the_page_keep_every_extreme(monkeypatch):
    from candlewright import report
    monkeypatch.setattr(report, "PAGE_BARS", 1_000)
    rng = np.random.default_rng(3)
    count = 4_500  # more than four times the limit, and not a whole number of buckets
    per = report._bars_per_row(count)
    assert per == 8 and count / per <= report.PAGE_BARS
    close = np.cumsum(rng.normal(0, 1, count))
    bars = {"open": close + 0.1, "high": close + 1, "low": close - 1, "close": close,
            "volume": np.ones(count)}
    carried = report._merged(np, bars, per)
    view = report._first_view(np, carried, per, count)
    assert view["high"].max() == bars["high"].max() and view["low"].min() == bars["low"].min()
    assert view["bars"].sum() == count == view["volume"].sum()
    assert view["start"][0] == 0 and view["open"][0] == bars["open"][0]
    assert view["close"][-1] == bars["close"][-1]


# Reads the labels the page gives chosen ticks on each bar axis, and what the candles' source
# holds after the view is moved to [start, end].
TICK_LABELS = """
const ticks = arguments[0];
const axes = [...Bokeh.index.all_views()].filter((v) => v.frame)
  .map((v) => v.model.below[0]).filter((a) => a && a.formatter.type === "CustomJSTickFormatter");
return axes.map((a) => a.formatter.doFormat(ticks, {loc: 0}));
"""

ZOOM = """
const [start, end, done] = arguments;
const plots = [...Bokeh.index.all_views()].filter((v) => v.frame).map((v) => v.model);
const price = plots.find((p) => p.left[0].axis_label === "price");
price.x_range.setv({start, end});
setTimeout(() => {
  const candles = price.renderers.find((r) => r.glyph.type === "VBar").data_source.data;
  done([candles.bars.length, Math.min(...candles.bars), Math.max(...candles.bars),
        candles.start[0], candles.high.length ? Math.max(...candles.high) : null]);
}, 300);
"""


def test_bar_axis_labels_dates_and_redraws_candles(request, artifacts):
    driver = request.getfixturevalue("browser")
    bars = sample_bars()[:3000]
    result = Backtest(bars, 10_000, 7, 0.0002, 100_000, 1).run(SmaCross())
    path = artifacts / "bar-axis.html"
    result.plot(str(path))
    look_at(driver, path, artifacts / "bar-axis.png")
    # Either side of the first weekend: the labels jump it, as the candles do.
    gap = next(i for i in range(1, len(bars)) if bars[i].timestamp - bars[i - 1].timestamp > 3600)
    ticks = [gap - 1, gap, gap + 1]
    import datetime as dt

    def shown(i):
        return dt.datetime.fromtimestamp(bars[i].timestamp, dt.timezone.utc).strftime(
            "%m-%d %H:%M")
    labels = driver.execute_script(TICK_LABELS, ticks)
    assert len(labels) == 5
    assert all(row == [shown(i) for i in ticks] for row in labels), labels
    # Zoomed out: neighbours merged, so no candle is a hairline; zoomed in: real bars.
    merged, fewest, most, _, high = driver.execute_async_script(ZOOM, -10, 3010)
    assert merged <= 400 and fewest > 1
    assert high == max(bar.high for bar in bars)
    count, fewest, most, first, _ = driver.execute_async_script(ZOOM, 1000.0, 1100.0)
    assert fewest == most == 1 and first <= 1000 and 100 <= count <= 110
    errors = _severe(driver.get_log("browser"))
    assert not errors, "zooming logged errors:\n" + "\n".join(errors)


@pytest.fixture(scope="module")
def swept():
    from candlewright import sweep
    return sweep(SmaCross, {"fast": [5, 10], "slow": [30, 60, 90]}, sample_bars()[:2000],
                 max_workers=1)


@pytest.mark.parametrize("options, title", [
    pytest.param({}, "total_return_pct by slow and fast", id="default"),
    pytest.param({"figure": "max_drawdown_pct", "x": "fast", "y": "slow"},
                 "max_drawdown_pct by fast and slow", id="figure-and-axes"),
    pytest.param({"x": "fast"}, "total_return_pct by fast and slow", id="x-only"),
])
def test_sweep_plot_writes_the_heatmap_and_the_best_report(swept, tmp_path, options, title):
    path = str(tmp_path / "sweep.html")
    assert swept.plot(path, **options) == path
    text = Path(path).read_text()
    assert title in text and "The best set" in text and "<script src" not in text


@pytest.mark.parametrize("options, said", [
    pytest.param({"x": "nope"}, "no parameter named 'nope'", id="unknown-x"),
    pytest.param({"figure": "nope"}, "no figure named 'nope'", id="unknown-figure"),
])
def test_sweep_plot_refuses_unknown_names(swept, tmp_path, options, said):
    with pytest.raises(ValueError, match=said):
        swept.plot(str(tmp_path / "x.html"), **options)
    assert not (tmp_path / "x.html").exists()


def test_unpickled_sweep_plots_its_heatmap_alone(swept, tmp_path):
    import pickle
    copy = pickle.loads(pickle.dumps(swept))
    path = copy.plot(str(tmp_path / "sweep.html"), figure="sharpe")
    assert "sharpe by" in Path(path).read_text()


def test_sweep_heatmap_as_seen(request, artifacts, swept):
    path = swept.plot(str(artifacts / "sweep.html"))
    # The heatmap and the best set's report below it.
    look_at(request.getfixturevalue("browser"), path, artifacts / "sweep.png")
