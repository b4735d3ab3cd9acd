"""The HTML report as a person sees it: opened in headless Chromium, every plot drawn with data in
it, no script error, and a screenshot kept to look at."""
import contextlib
import os
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


@pytest.mark.parametrize("name, bars, strategy", [
    pytest.param("sample", None, SmaCross(), id="sample"),
    # A few trades on a few hundred bars: ranges and widths from little data.
    pytest.param("short", 600, SmaCross(fast=5, slow=20), id="short"),
    # No trade at all: the trade panel says so rather than staying blank.
    pytest.param("idle", 300, types.SimpleNamespace(next=lambda bar, account: None), id="idle"),
    # An equity curve far below zero, with its marker.
    pytest.param("wiped", 2000, Hold(50), id="wiped-out"),
])
def test_report_as_seen(request, artifacts, name, bars, strategy):
    cash = 1_000 if name == "wiped" else 10_000
    result = Backtest(sample_bars()[:bars], cash, 7, 0.0002, 100_000, 1).run(strategy)
    path = str(artifacts / f"{name}.html")
    assert result.plot(path) == path
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


@pytest.mark.parametrize("cash, lots, wiped", [(1_000, 50, True), (10_000, 0.1, False)],
                         ids=["wiped-out", "solvent"])
def test_wiped_out_account_is_said_and_marked(cash, lots, wiped):
    from bokeh.models import Span

    from candlewright.report import report_parts
    bars = sample_bars()[:500]
    result = Backtest(bars, cash, 0, 0.0, 100_000, 1).run(Hold(lots))
    header, equity = report_parts(result, "run")[:2]
    said = "Account wiped out at 2021-01-04 08:00 UTC: return-based figures are NaN"
    assert (said in header.text) is wiped
    marks = [item.location for item in equity.center
             if isinstance(item, Span) and item.dimension == "height"]
    assert marks == ([bars[10].timestamp * 1000.0] if wiped else [])


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
