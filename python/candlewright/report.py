"""The report of a run as one interactive HTML file: equity and drawdown, candles with every
trade drawn from entry to exit, the indicators asked for, per-trade results and volume, in panels
that share one x axis, the bars whose range left their outcome open (ambiguous bars) marked
over their candles, and the figures. Made with Bokeh (the `report` extra), its JavaScript
inlined so the file works offline.

The x axis counts bars by default, labelled with the bars' dates, so that weekends and other
gaps leave no holes (`time_axis="time"` draws a real time axis instead). On the bar axis the page
carries the bars (above `PAGE_BARS`, buckets of a power-of-two count of bars) and a script draws
each view from them again, merging neighbours into one candle (first open, highest high, lowest
low, last close) while more are in view than the plot has room for: candles stay readable at any
zoom, and real bars show once zoomed in.

On the time axis, and for the lines (equity, drawdown, indicators), above `MAX_CANDLES` points
the page carries each bucket's lowest and highest point, in the order they came, so spikes and
drawdowns stay visible; every trade is drawn.
"""
from __future__ import annotations

import html
import importlib
import math
import os
import pathlib
import webbrowser
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from .metrics import TIME_UNITS
from .result import utc_time

if TYPE_CHECKING:
    from .result import Result
    from .sweeps import SweepResults

__all__ = ["write_report", "report_parts", "heatmap", "plot_sweep", "indicator_lines",
           "MAX_CANDLES", "BUCKETS", "PAGE_BARS", "TIME_AXES"]

MAX_CANDLES = 10_000   # drawn one per point up to this many points
BUCKETS = 4_000        # above it, this many buckets of points
PAGE_BARS = 50_000     # on the bar axis, at most this many candles carried in the page
TIME_AXES = ("bars", "time")
# Room a candle needs to read as one: the view merges bars until each has this many pixels.
_CANDLE_PIXELS = 5
_ASSUMED_WIDTH = 1200  # the plot's width in pixels for the first view, before the page knows it

_UP, _DOWN = "#26a69a", "#ef5350"
_WIN, _LOSS = "#1b9e4b", "#d62728"
# Trades: long winners and losers, short winners and losers.
_TRADE_COLOURS = {(True, True): "#1b9e4b", (True, False): "#d62728",
                  (False, True): "#17becf", (False, False): "#ff7f0e"}
_EQUITY, _PEAK = "#1f4e9c", "#9aa5b8"
# Indicators, in turn; none of them a trade's or a candle's colour.
_LINE_COLOURS = ("#6a3d9a", "#e6a800", "#1f78b4", "#b15928", "#e7298a", "#66a61e", "#525252",
                 "#a6761d")


def _modules() -> tuple[Any, ...]:
    try:
        numpy = importlib.import_module("numpy")
        plotting = importlib.import_module("bokeh.plotting")
        models = importlib.import_module("bokeh.models")
        layouts = importlib.import_module("bokeh.layouts")
        embed = importlib.import_module("bokeh.embed")
        resources = importlib.import_module("bokeh.resources")
    except ImportError:
        raise ImportError("the HTML report needs Bokeh: "
                          "python -m pip install 'candlewright[report]'") from None
    return numpy, plotting, models, layouts, embed, resources


Indicators = (Mapping[str, Any] | Iterable[tuple[Any, ...]])


def write_report(result: Result, path: str | os.PathLike[str] | None = None, *,
                 open_browser: bool = False, title: str | None = None,
                 indicators: Indicators | None = None, time_axis: str = "bars") -> str:
    """Writes the report of `result` to `path` (default: candlewright-report.html in the current
    folder) and returns the path written; `open_browser` then opens it. `indicators` and
    `time_axis` are those of `Result.plot`."""
    _, _, _, layouts, _, _ = _modules()
    name = title or "Backtest report"
    # Checked before anything is drawn or written, so that a mistake costs no file.
    parts = report_parts(result, name, indicators=indicators, time_axis=time_axis)
    target = pathlib.Path(path if path is not None else "candlewright-report.html")
    _write(target, layouts.column(*parts, sizing_mode="stretch_width"), name)
    if open_browser:
        webbrowser.open(target.resolve().as_uri())
    return str(target)


def _write(target: pathlib.Path, page: Any, name: str) -> None:
    _, _, _, _, embed, resources = _modules()
    text = embed.file_html(page, resources.INLINE, title=name)
    # A scrollbar always there: where the page is as tall as the window, one that came and went
    # would change the plots' width, so their height, so itself again, without end.
    head = text.index("<head>") + len("<head>")
    text = f"{text[:head]}\n<style>html {{ overflow-y: scroll; }}</style>{text[head:]}"
    target.write_text(text, encoding="utf-8")


def indicator_lines(indicators: Indicators | None, count: int, low: Any = None,
                    high: Any = None) -> list[tuple[str, Any, bool, str | None]]:
    """The indicators as (name, values, overlay, colour), values a float64 array of one value
    per bar.

    `indicators` maps a name to its values (a numpy array, a pandas or polars Series, a list;
    NaN where there is none yet), to (values, overlay), or to a dict with "values" and, optionally,
    "overlay" and "color"; or it is a sequence of (name, values) or (name, values, overlay). An
    overlay left None is drawn on the candles when nine in ten of its values lie within the price's
    range (the bars' lowest low to highest high, widened by half of it on each side), else in a
    panel of its own."""
    np = _modules()[0]
    if indicators is None:
        return []
    if isinstance(indicators, Mapping):
        items: list[tuple[Any, Any]] = list(indicators.items())
    elif isinstance(indicators, (str, bytes)) or not isinstance(indicators, Iterable):
        raise TypeError("indicators must be a mapping of names to values or a sequence of "
                        f"(name, values, overlay), not {type(indicators).__name__}")
    else:
        items = []
        for item in indicators:
            if not isinstance(item, tuple) or len(item) not in (2, 3):
                raise TypeError("each indicator in a sequence must be (name, values) or "
                                f"(name, values, overlay), not {item!r:.60}")
            items.append((item[0], item[1:] if len(item) == 3 else item[1]))
    span = None
    if low is not None and high is not None and len(low):
        lowest, highest = float(np.nanmin(low)), float(np.nanmax(high))
        margin = (highest - lowest) / 2
        span = (lowest - margin, highest + margin)
    lines = []
    for name, spec in items:
        if not isinstance(name, str):
            raise TypeError(f"an indicator's name must be a string, not {type(name).__name__}")
        overlay, colour, values = _spec(name, spec)
        try:
            array = np.array(values, dtype="float64")
        except (TypeError, ValueError) as error:
            raise TypeError(f"indicator {name!r}: its values must be numbers ({error})") from None
        if array.ndim != 1 or len(array) != count:
            shape = (f"{len(array)} values" if array.ndim == 1 else
                     f"an array of shape {array.shape}")
            raise ValueError(f"indicator {name!r} has {shape} for {count} bars: it needs one "
                             "value per bar (NaN where there is none yet)")
        if overlay is None:
            finite = array[np.isfinite(array)]
            overlay = bool(span is not None and len(finite) and np.mean(
                (finite >= span[0]) & (finite <= span[1])) >= 0.9)
        lines.append((name, array, bool(overlay), colour))
    return lines


def _spec(name: str, spec: Any) -> tuple[bool | None, str | None, Any]:
    """An indicator's overlay, colour and values, from any of the forms it may take."""
    if isinstance(spec, Mapping):
        unknown = set(spec) - {"values", "overlay", "color"}
        if "values" not in spec or unknown:
            raise ValueError(f"indicator {name!r}: a dict takes 'values' and, optionally, "
                             f"'overlay' and 'color', not {sorted(map(str, spec))}")
        return spec.get("overlay"), spec.get("color"), spec["values"]
    if (isinstance(spec, tuple) and len(spec) == 2
            and (spec[1] is None or type(spec[1]).__name__ in ("bool", "bool_"))):
        return spec[1], None, spec[0]
    return None, None, spec


def report_parts(result: Result, name: str, *, indicators: Indicators | None = None,
                 time_axis: str = "bars") -> list[Any]:
    """The header and the linked panels of the report, as Bokeh models."""
    np, plotting, models, layouts, embed, resources = _modules()
    if time_axis not in TIME_AXES:
        raise ValueError(f"time_axis must be one of {', '.join(map(repr, TIME_AXES))}, "
                         f"not {time_axis!r}")
    bt = result._backtest
    unit = TIME_UNITS[bt.time_unit]

    def view(column: Any) -> Any:
        return np.asarray(memoryview(column))

    stamps = view(bt.column("timestamp"))
    times = stamps.astype("float64") * (1000.0 / unit)  # ms since epoch
    bars = {name: view(bt.column(name)) for name in ("open", "high", "low", "close", "volume")}
    lines = indicator_lines(indicators, len(times), bars["low"], bars["high"])
    equity = view(result.equity)
    trades = {name: view(getattr(result.trades, name)) for name in (
        "ticket", "is_long", "lot_size", "entry_time", "exit_time", "entry_price", "exit_price",
        "stop_loss", "take_profit", "pnl", "commission", "swap", "mae", "mfe", "entry_bar",
        "exit_bar")}
    trades["exit_reason"] = np.asarray(result.trades.exit_reason, dtype=object)
    for column in ("entry_time", "exit_time"):
        trades[column] = trades[column].astype("float64") * (1000.0 / unit)
    by_bar = time_axis == "bars"
    # Where each point goes on the x axis.
    xs = np.arange(len(times), dtype="float64") if by_bar else times
    # The trades' columns that place their ends on the x axis.
    ends = ("entry_bar", "exit_bar") if by_bar else ("entry_time", "exit_time")
    if not by_bar:
        del trades["entry_bar"], trades["exit_bar"]

    if not len(times):
        x_range = models.DataRange1d()
    elif by_bar:
        pad = max(len(times) * 0.01, 2.0)
        x_range = models.Range1d(-pad, len(times) - 1 + pad, bounds=(-pad, len(times) - 1 + pad),
                                 min_interval=10)
    else:
        x_range = models.Range1d(*_span(np, times))
    common = dict(x_axis_type="linear" if by_bar else "datetime", x_range=x_range,
                  sizing_mode="stretch_width", tools="xpan,xwheel_zoom,box_zoom,reset,save",
                  active_scroll="xwheel_zoom", toolbar_location="right")
    # One vertical line follows the pointer through every panel.
    cross = models.Span(dimension="height", line_dash="dotted", line_color="#555555")
    dates = _Dates(np, models, stamps, unit) if by_bar else None

    def figure(height: int, label: str) -> Any:
        fig = plotting.figure(height=height, **common)
        fig.yaxis.axis_label = label
        fig.add_tools(models.CrosshairTool(overlay=cross))
        fig.xaxis.visible = False
        fig.min_border_left = 70
        if dates is not None:
            fig.xaxis.ticker = models.BasicTicker(min_interval=1, desired_num_ticks=8)
            fig.xaxis.formatter = dates.tick_formatter()
        return fig

    # The running peak and the fall below it, in parts of the peak, for both equity panels.
    peak = np.fmax.accumulate(equity) if len(equity) else equity
    with np.errstate(invalid="ignore", divide="ignore"):
        drawdown = np.where(peak > 0, (peak - equity) / peak, 0.0)
    wiped_out_at = result.metrics["wiped_out_at"]
    equity_fig = _equity_panel(np, models, figure(260, "equity"), xs, equity, peak, drawdown,
                               bt.account[0])
    if wiped_out_at is not None:
        at = wiped_out_at * (1000.0 / unit)
        if by_bar:
            at = float(np.searchsorted(stamps, wiped_out_at))
        _mark_wipe_out(models, equity_fig, at)
    price_fig = figure(380, "price")
    candles = (_live_candles(np, models, price_fig, bars) if by_bar else
               models.ColumnDataSource(_candles(np, times, bars)))
    _price_panel(np, models, price_fig, candles, trades, ends, dates)
    panels = [equity_fig, _drawdown_panel(np, figure(110, "drawdown %"), xs, drawdown),
              price_fig]
    colours = iter(_LINE_COLOURS * (len(lines) // len(_LINE_COLOURS) + 1))
    for line_name, values, overlay, colour in lines:
        colour = colour or next(colours)
        if overlay:
            _line(np, price_fig, xs, values, colour, line_name)
        else:
            panel = figure(130, line_name)
            _line(np, panel, xs, values, colour, line_name)
            panel.legend.location = "top_left"
            panel.legend.background_fill_alpha = 0.6
            panel.legend.click_policy = "hide"
            panels.append(panel)
    _legend_above(models, price_fig)
    # After every legend_label of the panel: Bokeh takes those only while it has one legend.
    _mark_ambiguous(np, models, price_fig, getattr(result, "ambiguous", None) or [], xs, bars,
                    dates)
    panels.append(_pnl_panel(np, models, figure(150, "trade pnl"), trades, ends[1]))
    panels.append(_volume_panel(models, figure(100, "volume"), candles))
    panels[-1].xaxis.visible = True
    return [_header(models, name, result), *panels]


class _Dates:
    """A bar's date on the bar axis: the bars' times as runs of evenly spaced bars (one run per
    weekend or other gap), each its first bar, first time and step, which the page's tick
    labels and tooltips read back."""

    # The time of bar `i` (fractional, or beyond either end: the nearest run carried on), then
    # as text: the number as it is outside 1900-2199, as the rest of the package shows it.
    _TIME_OF = """
const runs = dates.data, first = runs.bar, start = runs.time, step = runs.step;
const time_of = (i) => {
  let lo = 0, hi = first.length - 1;
  while (lo < hi) {
    const mid = (lo + hi + 1) >> 1;
    if (first[mid] <= i) lo = mid; else hi = mid - 1;
  }
  return start[lo] + (i - first[lo]) * step[lo];
};
const text = (ms, span) => {
  if (!(ms >= -2208988800000 && ms < 7258118400000)) return String(Math.round(ms * raw));
  const iso = new Date(ms).toISOString();
  if (span >= 400 * 864e5) return iso.slice(0, 7);
  if (span >= 5 * 864e5) return iso.slice(0, 10);
  if (span >= 2 * 36e5) return iso.slice(5, 10) + " " + iso.slice(11, 16);
  if (span > 0) return iso.slice(11, 19);
  return iso.slice(0, 10) + " " + iso.slice(11, 16);
};
"""

    def __init__(self, np: Any, models: Any, stamps: Any, unit: int) -> None:
        self.models = models
        stamps = np.asarray(stamps, dtype="int64")
        if len(stamps) > 1:
            steps = np.diff(stamps)
            # A run starts where the step changes; its step is the one after its first bar.
            starts = np.concatenate(([0], np.flatnonzero(steps[1:] != steps[:-1]) + 1))
            step = np.concatenate((steps, steps[-1:]))[starts]
        else:
            starts, step = np.zeros(len(stamps), dtype="int64"), np.zeros(len(stamps))
        scale = 1000.0 / unit
        self.runs = models.ColumnDataSource({
            "bar": starts.astype("float64"), "time": stamps[starts].astype("float64") * scale,
            "step": step.astype("float64") * scale} if len(stamps) else
            {"bar": [0.0], "time": [0.0], "step": [0.0]})
        self.raw = unit / 1000.0

    def tick_formatter(self) -> Any:
        return self.models.CustomJSTickFormatter(
            args={"dates": self.runs, "raw": self.raw}, code=self._TIME_OF + """
const span = Math.abs(time_of(ticks[ticks.length - 1]) - time_of(ticks[0]));
return text(time_of(Math.round(tick)), span);
""")

    def hover(self) -> Any:
        """A tooltip's formatter showing a bar number as its date and time."""
        return self.models.CustomJSHover(
            args={"dates": self.runs, "raw": self.raw},
            code=self._TIME_OF + "return text(time_of(value), 0);")


def _span(np: Any, times: Any) -> tuple[float, float]:
    first, last = float(times[0]), float(times[-1])
    pad = max((last - first) * 0.01, 3_600_000.0)
    return first - pad, last + pad


def _bucket_size(count: int) -> int:
    """Points per bucket: 1 up to MAX_CANDLES points, else enough for at most BUCKETS buckets."""
    return 1 if count <= MAX_CANDLES else -(-count // BUCKETS)


def _rows(np: Any, values: Any, size: int, fill: float) -> Any:
    """`values` padded with `fill` to whole buckets, one bucket per row."""
    padded = np.full(-(-len(values) // size) * size, fill, dtype="float64")
    padded[:len(values)] = values
    return padded.reshape(-1, size)


def _extremes(np: Any, times: Any, values: Any) -> tuple[Any, Any]:
    """Each bucket's lowest and highest point in the order they came: the drawn curve keeps
    every trough and peak of the full one."""
    size = _bucket_size(len(values))
    if size == 1:
        return times, values
    offsets = np.arange(0, len(values), size)
    # NaN points (and the padding) are never a bucket's extreme.
    low = np.argmin(_rows(np, np.where(np.isnan(values), np.inf, values), size, np.inf), axis=1)
    high = np.argmax(_rows(np, np.where(np.isnan(values), -np.inf, values), size, -np.inf), axis=1)
    picked = np.unique(np.concatenate([offsets + low, offsets + high]))
    picked = picked[picked < len(values)]
    return times[picked], values[picked]


def _equity_panel(np: Any, models: Any, fig: Any, xs: Any, equity: Any, peak: Any,
                  drawdown: Any, initial_cash: float) -> Any:
    if not len(equity):
        return fig
    x, y = _extremes(np, xs, equity)
    px, py = _extremes(np, xs, peak)
    fig.line(px, py, color=_PEAK, line_width=1, legend_label="peak")
    fig.line(x, y, color=_EQUITY, line_width=1.5, legend_label="equity")
    worst = int(np.nanargmax(drawdown)) if np.any(drawdown > 0) else None
    start, end = _longest_drawdown(np, equity, peak)
    if start is not None:
        fig.add_layout(models.BoxAnnotation(left=float(xs[start]), right=float(xs[end]),
                                            fill_color="#f4a261", fill_alpha=0.15))
        fig.line([xs[start], xs[end]], [peak[start], peak[start]], color="#e76f51",
                 line_width=2, legend_label="longest drawdown")
    if worst is not None:
        fig.scatter([xs[worst]], [equity[worst]], size=9, color=_LOSS,
                    marker="inverted_triangle",
                    legend_label=f"max drawdown {drawdown[worst] * 100:.2f}%")
    fig.scatter([xs[-1]], [equity[-1]], size=8, color=_EQUITY,
                legend_label=f"final {equity[-1]:,.2f}")
    fig.scatter([xs[int(np.nanargmax(equity))]], [np.nanmax(equity)], size=8, color="#2a9d8f",
                legend_label=f"peak {np.nanmax(equity):,.2f}")
    fig.line([xs[0], xs[-1]], [initial_cash, initial_cash], line_dash="dashed",
             line_color="#aaaaaa", legend_label=f"initial cash {initial_cash:,.2f}")
    fig.yaxis.formatter = models.NumeralTickFormatter(format="0,0")
    # Above the plot, where it hides no part of the curve.
    _legend_above(models, fig)
    return fig


def _mark_wipe_out(models: Any, fig: Any, at: float) -> None:
    fig.add_layout(models.Span(location=at, dimension="height", line_color=_LOSS,
                               line_width=2, line_dash="dashed"))
    fig.add_layout(models.Label(x=at, y=8, y_units="screen", x_offset=4, text="wiped out",
                                text_color=_LOSS, text_font_size="11px"))


def _longest_drawdown(np: Any, equity: Any, peak: Any) -> tuple[int | None, int | None]:
    """First and last bar of the longest stretch below the running peak (from the peak's bar)."""
    below = equity < peak
    if not below.any():
        return None, None
    edges = np.diff(np.concatenate([[0], below.astype("int8"), [0]]))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    lengths = ends - starts
    k = int(np.argmax(lengths))
    return max(int(starts[k]) - 1, 0), min(int(ends[k]), len(equity) - 1)


def _drawdown_panel(np: Any, fig: Any, xs: Any, drawdown: Any) -> Any:
    if not len(drawdown):
        return fig
    x, y = _extremes(np, xs, drawdown * -100.0)
    # Its axis names it: a legend would hide most of so low a panel.
    fig.varea(x=x, y1=y, y2=np.zeros(len(y)), fill_color=_LOSS, fill_alpha=0.35)
    fig.line(x, y, color=_LOSS, line_width=1)
    fig.yaxis.ticker.desired_num_ticks = 3
    return fig


def _line(np: Any, fig: Any, xs: Any, values: Any, colour: str, name: str) -> None:
    x, y = _extremes(np, xs, values)
    fig.line(x, y, color=colour, line_width=1.5, legend_label=name)


def _candles(np: Any, times: Any, bars: dict[str, Any]) -> dict[str, Any]:
    """The candles of the time axis: one per bar up to MAX_CANDLES bars, else one per bucket."""
    size = _bucket_size(len(times))
    if size == 1:
        out = {"x": times, **bars}
    else:
        out = _merged(np, bars, size)
        out["x"] = times[np.arange(0, len(times), size)]
    gaps = np.diff(out["x"]) if len(out["x"]) > 1 else np.array([3_600_000.0])
    out["time"] = out["x"]
    out["width"] = np.full(len(out["x"]), float(np.median(gaps)) * 0.7)
    out["color"] = np.where(out["close"] >= out["open"], _UP, _DOWN)
    return out


def _merged(np: Any, bars: dict[str, Any], size: int) -> dict[str, Any]:
    """Buckets of `size` bars: the first open, the highest high, the lowest low, the last close
    and the total volume."""
    count = len(bars["open"])
    starts = np.arange(0, count, size)
    ends = np.minimum(starts + size, count) - 1
    return {"open": bars["open"][starts], "close": bars["close"][ends],
            "high": np.fmax.reduceat(bars["high"], starts),
            "low": np.fmin.reduceat(bars["low"], starts),
            "volume": np.add.reduceat(bars["volume"], starts)}


# Draws the candles in view from the ones the page carries, merging a power of two of them into
# one while more are in view than fit `pixels` apart. Buckets start at multiples of their size, so
# that panning moves them rather than redrawing them differently.
_REBUCKET = """
const d = carried.data, rows = d.open.length;
if (!rows) return;
const room = Math.max(Math.floor((plot.inner_width || fallback) / pixels), 20);
const lo = Math.max(Math.floor(x.start / per), 0);
const hi = Math.min(Math.ceil(x.end / per) + 1, rows);
let size = 1;
while ((hi - lo) / size > room) size *= 2;
const first = Math.floor(lo / size) * size, n = Math.max(Math.ceil((hi - first) / size), 0);
const key = [first, n, size].join();
if (drawn.tags[0] === key) return;
const out = {x: new Float64Array(n), start: new Float64Array(n), bars: new Float64Array(n),
             open: new Float64Array(n), high: new Float64Array(n), low: new Float64Array(n),
             close: new Float64Array(n), volume: new Float64Array(n),
             width: new Float64Array(n), color: new Array(n)};
for (let b = 0; b < n; b++) {
  const s = first + b * size, e = Math.min(s + size, rows);
  let high = d.high[s], low = d.low[s], volume = 0;
  for (let r = s; r < e; r++) {
    if (d.high[r] > high) high = d.high[r];
    if (d.low[r] < low) low = d.low[r];
    volume += d.volume[r];
  }
  const start = s * per, count = Math.min(e * per, total) - start;
  out.x[b] = start + (count - 1) / 2; out.start[b] = start; out.bars[b] = count;
  out.open[b] = d.open[s]; out.close[b] = d.close[e - 1]; out.high[b] = high; out.low[b] = low;
  out.volume[b] = volume; out.width[b] = Math.max(size * per * 0.8, 0.8);
  out.color[b] = d.close[e - 1] >= d.open[s] ? up : down;
}
drawn.tags = [key];
drawn.data = out;
"""


def _bars_per_row(count: int) -> int:
    """Bars per candle the page carries: 1 up to PAGE_BARS bars, else the least power of two
    that keeps them within PAGE_BARS."""
    per = 1
    while count > PAGE_BARS * per:
        per *= 2
    return per


def _first_view(np: Any, carried: dict[str, Any], per: int, total: int) -> dict[str, Any]:
    """What the page's script draws with every bar in view on a plot _ASSUMED_WIDTH wide."""
    rows = len(carried["open"])
    room = max(_ASSUMED_WIDTH // _CANDLE_PIXELS, 20)
    size = 1
    while rows / size > room:
        size *= 2
    out = _merged(np, carried, size) if size > 1 else dict(carried)
    start = np.arange(0, rows, size, dtype="float64") * per
    count = np.minimum(start + size * per, total) - start
    out.update(x=start + (count - 1) / 2, start=start, bars=count,
               width=np.full(len(start), max(size * per * 0.8, 0.8)),
               color=np.where(out["close"] >= out["open"], _UP, _DOWN))
    return out


def _live_candles(np: Any, models: Any, fig: Any, bars: dict[str, Any]) -> Any:
    """The candles of the bar axis: a source the page redraws on every zoom and pan."""
    total = len(bars["open"])
    per = _bars_per_row(total)
    carried = _merged(np, bars, per) if per > 1 else dict(bars)
    drawn = models.ColumnDataSource(_first_view(np, carried, per, total))
    redraw = models.CustomJS(args={
        "carried": models.ColumnDataSource(carried), "drawn": drawn, "x": fig.x_range,
        "plot": fig, "per": per, "total": total, "pixels": _CANDLE_PIXELS,
        "fallback": _ASSUMED_WIDTH, "up": _UP, "down": _DOWN}, code=_REBUCKET)
    # A view that has not changed is not redrawn, so both ends may ask.
    fig.x_range.js_on_change("start", redraw)
    fig.x_range.js_on_change("end", redraw)
    fig.y_range = models.DataRange1d(only_visible=True)
    return drawn


def _kind(is_long: bool, won: bool) -> str:
    return f"{'long' if is_long else 'short'} {'won' if won else 'lost'}"


def _price_panel(np: Any, models: Any, fig: Any, drawn: Any, trades: dict[str, Any],
                 ends: tuple[str, str], dates: _Dates | None) -> Any:
    wicks = fig.segment("x", "high", "x", "low", source=drawn, color="color")
    bodies = fig.vbar("x", "width", "open", "close", source=drawn, fill_color="color",
                      line_color="color")
    if dates is not None:
        # Fit the price axis to the candles in view, as they are redrawn.
        fig.y_range.renderers = [wicks, bodies]
        fig.add_tools(models.HoverTool(renderers=[bodies], tooltips=[
            ("bar", "@start{custom} (@bars{0,0} bars)"),
            ("open / close", "@open{0.00000} / @close{0.00000}"),
            ("high / low", "@high{0.00000} / @low{0.00000}"), ("volume", "@volume{0,0.[00]}")],
            formatters={"@start": dates.hover()}))
    items = []
    if len(trades["ticket"]):
        x0, x1 = ends
        is_long = trades["is_long"].astype(bool)
        won = trades["pnl"] - trades["commission"] + trades["swap"] > 0  # as the metrics count it
        kinds = [_kind(*key) for key in _TRADE_COLOURS]
        # One string column says both the side and the outcome: colour and marker map from it.
        source = models.ColumnDataSource({
            **{k: v for k, v in trades.items() if k != "is_long"},
            "kind": np.where(is_long, np.where(won, kinds[0], kinds[1]),
                             np.where(won, kinds[2], kinds[3]))})
        colour = {"field": "kind", "transform": models.CategoricalColorMapper(
            factors=kinds, palette=list(_TRADE_COLOURS.values()))}
        hovered = []
        # A renderer per kind of trade, each a view of the one source, so that the legend names
        # each colour and hides it.
        for (long_side, is_won), kind_colour in _TRADE_COLOURS.items():
            chosen = np.flatnonzero((is_long == long_side) & (won == is_won))
            if not len(chosen):
                continue
            line = fig.segment(x0, "entry_price", x1, "exit_price", source=source,
                               view=models.CDSView(filter=models.IndexFilter(chosen.tolist())),
                               color=kind_colour, line_width=2,
                               line_dash="solid" if long_side else "dashed")
            hovered.append(line)
            items.append(models.LegendItem(label=_kind(long_side, is_won), renderers=[line]))
        entries = fig.scatter(x0, "entry_price", source=source, size=9, color=colour, marker={
                                  "field": "kind", "transform": models.CategoricalMarkerMapper(
                                      factors=kinds, markers=["triangle", "triangle",
                                                              "inverted_triangle",
                                                              "inverted_triangle"])})
        exits = fig.scatter(x1, "exit_price", source=source, marker="circle", size=6,
                            fill_color="white", line_color=colour, line_width=1.5)
        if dates is not None:
            _shrink_when_crowded(models, fig, entries, exits)
        items += [models.LegendItem(label="entry (▲ long, ▼ short)", renderers=[entries]),
                  models.LegendItem(label="exit", renderers=[exits])]
        for level, level_colour, label in (("stop_loss", _LOSS, "stop-loss"),
                                           ("take_profit", _WIN, "take-profit")):
            drawn_level = fig.segment(x0, level, x1, level, source=source, color=level_colour,
                                      line_alpha=0.6, line_dash="dotted", line_width=1.5)
            items.append(models.LegendItem(label=label, renderers=[drawn_level]))
        fig.add_tools(models.HoverTool(renderers=[*hovered, entries, exits], tooltips=[
            ("ticket", "@ticket (@kind)"),
            ("entry", "@entry_time{%F %H:%M} @ @entry_price{0.00000}"),
            ("exit", "@exit_time{%F %H:%M} @ @exit_price{0.00000}"), ("lots", "@lot_size"),
            ("stop / target", "@stop_loss{0.00000} / @take_profit{0.00000}"),
            ("pnl", "@pnl{0,0.00} (commission @commission{0,0.00}, swap @swap{0,0.00})"),
            ("exit reason", "@exit_reason"),
            ("mae / mfe", "@mae{0.00000} / @mfe{0.00000}")],
            formatters={"@entry_time": "datetime", "@exit_time": "datetime"}))
    fig.add_layout(_row_legend(models, items), "above")
    return fig


# How an ambiguous bar went (a bar whose range allowed more than one outcome): its colour, its
# legend and what its hover says. Only how is known per bar, so the hover says no more.
_AMBIGUOUS = {
    "guessed": ("#8a6d00", "ambiguous: guessed",
                "no finer data given: the bar rules chose the outcome that does not favour "
                "the strategy (a stop before a target, a trailing stop moved after the bar)"),
    "resolved": ("#1f78b4", "ambiguous: resolved",
                 "resolved on the finer data, in time order"),
    "fell back": ("#c51b7d", "ambiguous: fell back",
                  "the finer data has a hole here or does not match the bar: the bar rules "
                  "chose the outcome that does not favour the strategy"),
}
_MARK_SIZE, _MARK_SIZE_CROWDED = 10, 7


def _mark_ambiguous(np: Any, models: Any, fig: Any, marks: Sequence[tuple[int, str]], xs: Any,
                    bars: dict[str, Any], dates: _Dates | None) -> None:
    """A small diamond over each ambiguous bar, coloured by how it went, a little above its
    high so that it hides neither the wick nor a trade's marker."""
    count = len(xs)
    kept = [(int(bar), how) for bar, how in marks if 0 <= int(bar) < count]
    if not kept:
        return
    ranges = bars["high"] - bars["low"]
    finite = ranges[np.isfinite(ranges) & (ranges > 0)]
    gap = float(np.median(finite)) * 0.5 if len(finite) else 0.0
    drawn, items = [], []
    # In the table's order, then any other outcome as it is named, so that no mark is lost.
    order = list(_AMBIGUOUS)
    for how in sorted({how for _, how in kept},
                      key=lambda how: (order.index(how) if how in order else len(order), how)):
        colour, label, said = _AMBIGUOUS.get(how, ("#7f7f7f", f"ambiguous: {how}", str(how)))
        at = np.array([bar for bar, kind in kept if kind == how], dtype="int64")
        source = models.ColumnDataSource({
            "x": xs[at], "y": bars["high"][at] + gap, "bar": at,
            "what": [said] * len(at)})
        drawn.append(fig.scatter("x", "y", source=source, marker="diamond", size=_MARK_SIZE,
                                 fill_color=colour, line_color="#333333", line_width=0.5))
        items.append(models.LegendItem(label=label, renderers=[drawn[-1]]))
    # A row of their own under the candles: the row above is long enough with the trades and
    # the indicators in it.
    legend = _row_legend(models, items)
    legend.location = "top_left"  # apart from the next panel's legend, at the right
    fig.add_layout(legend, "below")
    when = ("@x{custom}", {"@x": dates.hover()}) if dates is not None else (
        "@x{%F %H:%M}", {"@x": "datetime"})
    fig.add_tools(models.HoverTool(renderers=drawn, tooltips=[
        ("ambiguous bar", f"@bar ({when[0]})"), ("", "@what")], formatters=when[1]))
    if dates is not None:
        if (fig.x_range.end - fig.x_range.start) / _ASSUMED_WIDTH > 1 / 3:
            for mark in drawn:
                mark.glyph.size = _MARK_SIZE_CROWDED
        shrink = models.CustomJS(args={
            "x": fig.x_range, "plot": fig, "marks": drawn, "fallback": _ASSUMED_WIDTH,
            "full": _MARK_SIZE, "small": _MARK_SIZE_CROWDED}, code=_SHRINK_MARKS)
        fig.x_range.js_on_change("start", shrink)
        fig.x_range.js_on_change("end", shrink)


_SHRINK_MARKS = """
const crowded = (x.end - x.start) / Math.max(plot.inner_width || fallback, 1) > 1 / 3;
for (const mark of marks) mark.glyph.size = crowded ? small : full;
"""


# Full-sized markers where a bar has room for them; small ones where bars are merged, so that
# thousands of trades do not hide the candles.
_SHRINK = """
const crowded = (x.end - x.start) / Math.max(plot.inner_width || fallback, 1) > 1 / 3;
entries.glyph.size = crowded ? 4 : 9;
exits.glyph.size = crowded ? 3 : 6;
"""


def _shrink_when_crowded(models: Any, fig: Any, entries: Any, exits: Any) -> None:
    x = fig.x_range
    if (x.end - x.start) / _ASSUMED_WIDTH > 1 / 3:
        entries.glyph.size, exits.glyph.size = 4, 3
    shrink = models.CustomJS(args={"x": x, "plot": fig, "entries": entries, "exits": exits,
                                   "fallback": _ASSUMED_WIDTH}, code=_SHRINK)
    x.js_on_change("start", shrink)
    x.js_on_change("end", shrink)


def _legend_above(models: Any, fig: Any) -> None:
    """One legend in a row above the plot, where it hides nothing, with every entry made inside
    the plot moved into it."""
    above = [item for item in fig.above if isinstance(item, models.Legend)]
    if not above:
        above = [_row_legend(models, [])]
        fig.add_layout(above[0], "above")
    for legend in [item for item in fig.center if isinstance(item, models.Legend)]:
        above[0].items.extend(legend.items)
        fig.center.remove(legend)
    above[0].visible = bool(above[0].items)


def _row_legend(models: Any, items: list[Any]) -> Any:
    return models.Legend(items=items, orientation="horizontal", click_policy="hide",
                         label_text_font_size="11px", spacing=12, margin=2, padding=4,
                         border_line_alpha=0, glyph_height=14, label_height=14)


def _pnl_panel(np: Any, models: Any, fig: Any, trades: dict[str, Any], at: str) -> Any:
    if not len(trades["ticket"]):
        # Said, so that an empty panel is not taken for one that failed to draw.
        fig.add_layout(models.Label(x=10, y=10, x_units="screen", y_units="screen",
                                    text="no closed trades", text_color="#666666"))
        return fig
    lots = np.abs(trades["lot_size"])
    scale = float(lots.max()) if len(lots) and lots.max() > 0 else 1.0
    source = models.ColumnDataSource({
        "x": trades[at], "time": trades["exit_time"], "pnl": trades["pnl"],
        "ticket": trades["ticket"], "lots": trades["lot_size"], "reason": trades["exit_reason"],
        "size": 5.0 + 10.0 * np.sqrt(lots / scale)})
    dots = []
    for won, colour, label in ((True, _WIN, "gross pnl > 0"), (False, _LOSS, "gross pnl ≤ 0")):
        chosen = np.flatnonzero((trades["pnl"] > 0) == won)
        if len(chosen):
            dots.append(fig.scatter("x", "pnl", source=source, size="size", color=colour,
                                    view=models.CDSView(filter=models.IndexFilter(
                                        chosen.tolist())), alpha=0.7, legend_label=label))
    fig.add_layout(models.Span(location=0, dimension="width", line_color="#888888"))
    fig.add_tools(models.HoverTool(renderers=dots, tooltips=[
        ("ticket", "@ticket"), ("exit", "@time{%F %H:%M}"), ("pnl", "@pnl{0,0.00}"),
        ("lots", "@lots"), ("exit reason", "@reason")], formatters={"@time": "datetime"}))
    _legend_above(models, fig)
    return fig


def _volume_panel(models: Any, fig: Any, candles: Any) -> Any:
    fig.vbar("x", "width", "volume", 0, source=candles, color="#8d99ae")
    fig.yaxis.formatter = models.NumeralTickFormatter(format="0.[0]a")
    fig.yaxis.ticker.desired_num_ticks = 3
    return fig


def _header(models: Any, name: str, result: Result) -> Any:
    metrics = result.metrics
    # Labelled as Result.to_series() names them, gross and net side by side.
    cells = "".join(f"<tr><td>{html.escape(label)}</td><td>{html.escape(text)}</td></tr>"
                    for label, text in result.figure_rows())
    wiped_out_at = metrics["wiped_out_at"]
    warning = "" if wiped_out_at is None else (
        f"<p style='margin:4px 0;color:{_LOSS};font-weight:bold'>Account wiped out at "
        f"{html.escape(_when(wiped_out_at, result._backtest.time_unit))}: "
        "return-based figures are NaN</p>")
    return models.Div(text=(
        f"<h2 style='margin:4px 0'>{html.escape(name)}</h2>{warning}"
        "<pre style='float:left;margin:0 24px 0 0;font-size:12px'>"
        f"{html.escape(repr(result))}</pre>"
        "<details><summary>every figure</summary><table style='font-size:12px'>"
        f"{cells}</table></details>"), sizing_mode="stretch_width")


def _when(timestamp: int, time_unit: str) -> str:
    shown = utc_time(timestamp, time_unit)
    return f"time {shown}" if shown == str(timestamp) else f"{shown} UTC"


def heatmap(rows: Sequence[tuple[dict[str, Any], float]], x: str, y: str | None, figure: str,
            path: str | os.PathLike[str], *, lower_is_better: bool = False,
            best: Result | None = None, title: str | None = None,
            time_axis: str = "bars", best_title: str = "The best set") -> str:
    """Writes a sweep's figure over one or two parameters as one HTML file and returns its path.

    `rows` are (parameters, value) pairs; a cell per pair of `x` and `y` values shows the best
    value among the sets that share it (the highest, or the lowest with `lower_is_better`); with
    no `y` the cells form one row. `best`, a `Result`, is drawn below as a report on `time_axis`.
    """
    np, plotting, models, layouts, embed, resources = _modules()

    def at(params: dict[str, Any], name: str | None) -> str:
        return "all" if name is None else str(params.get(name, ""))
    xs = sorted({params.get(x) for params, _ in rows}, key=_order)
    ys = sorted({params.get(y) for params, _ in rows}, key=_order) if y is not None else ["all"]
    sign = -1.0 if lower_is_better else 1.0
    cells: dict[tuple[str, str], float] = {}
    for params, value in rows:
        key = (at(params, x), at(params, y))
        if value == value and (key not in cells or sign * value > sign * cells[key]):
            cells[key] = value
    values = [v for v in cells.values() if math.isfinite(v)] or [0.0]
    middle = (min(values) + max(values)) / 2
    data = {"x": [k[0] for k in cells], "y": [k[1] for k in cells], "value": list(cells.values()),
            "text": [f"{v:,.4g}" for v in cells.values()],
            # Dark on the palette's light end, light on its dark end.
            "ink": ["#222222" if v >= middle else "#ffffff" for v in cells.values()]}
    mapper = models.LinearColorMapper(palette="Viridis256", low=min(values), high=max(values))
    fig = plotting.figure(x_range=[str(v) for v in xs], y_range=[str(v) for v in ys], height=420,
                          sizing_mode="stretch_width", tools="hover,save",
                          tooltips=[(x, "@x"), (y or "", "@y"), (figure, "@value")])
    fig.rect("x", "y", 1, 1, source=models.ColumnDataSource(data),
             fill_color={"field": "value", "transform": mapper}, line_color=None)
    if len(cells) <= 400:  # beyond that the numbers would not fit their cells
        fig.text("x", "y", text="text", source=models.ColumnDataSource(data),
                 text_color="ink", text_align="center", text_baseline="middle",
                 text_font_size="11px")
    fig.add_layout(models.ColorBar(color_mapper=mapper, title=figure), "right")
    if not cells:
        # Said, so that an empty map is not taken for one that failed to draw.
        fig.add_layout(models.Label(x=10, y=10, x_units="screen", y_units="screen",
                                    text=f"no set has a value of {figure}",
                                    text_color="#666666"))
    fig.xaxis.axis_label, fig.yaxis.axis_label = x, y or ""
    by = f"{x} and {y}" if y is not None else x
    items: list[Any] = [models.Div(text=f"<h2>{html.escape(title or figure)} by "
                                        f"{html.escape(by)}</h2>"), fig]
    if best is not None:
        items += report_parts(best, best_title, time_axis=time_axis)
    target = pathlib.Path(path)
    _write(target, layouts.column(*items, sizing_mode="stretch_width"), title or "Sweep")
    return str(target)


def _best_result(results: SweepResults, rows: list[tuple[dict[str, Any], float]],
                 lower: bool, by_score: bool) -> tuple[Result | None, dict[str, Any]]:
    """The run of the set best by the figure drawn and its parameters, or None when the sweep
    can no longer run it (it was unpickled): the heatmap is then drawn alone."""
    try:
        if by_score:
            best_set = results.best
            return results.best_result, best_set.params if best_set is not None else {}
        source = results._source
        finite = [row for row in rows if math.isfinite(row[1])]
        if source is None or not finite:
            return None, {}
        params = (min if lower else max)(finite, key=lambda row: row[1])[0]
        from .signals import run_strategy
        backtest, factory = source
        best: Result = run_strategy(backtest, factory(**params))
        return best, params
    except (AttributeError, RuntimeError):
        return None, {}


# Figures of a sweep where less is better; the rest are better higher.
_LOWER_IS_BETTER = frozenset({"max_drawdown_pct", "avg_drawdown_pct", "max_drawdown_duration",
                              "avg_drawdown_duration", "volatility_ann_pct"})


def _order(value: Any) -> tuple[int, Any]:
    return (0, value) if isinstance(value, (int, float)) else (1, str(value))


def plot_sweep(results: SweepResults, path: str | os.PathLike[str] | None = None, *,
               x: str | None = None, y: str | None = None, figure: str | None = None,
               open_browser: bool = False) -> str:
    """`SweepResults.plot`: the heatmap of `figure` (default: the score the sweep maximised)
    over parameters `x` and `y` (default: the two with the most values), with the best set's
    report below it when the sweep can still run it."""
    done = [r for r in results if r.ok]
    names = list(dict.fromkeys(name for r in results for name in r.params))
    unknown = [n for n in (x, y) if n is not None and n not in names]
    if unknown:
        raise ValueError(f"no parameter named {unknown[0]!r}; the sweep's are "
                         f"{', '.join(names) or 'none'}")
    if not names:
        raise ValueError("the sweep has no parameters to draw the heatmap over")
    # Left out, the two with the most values, in the order given where they tie.
    ranked = sorted(names, key=lambda n: -len({repr(r.params.get(n)) for r in results}))
    if x is None:
        x = next((n for n in ranked if n != y), None)
        if x is None:
            x, y = y, None
    if y is None:
        y = next((n for n in ranked if n != x), None)
    assert x is not None  # there is at least one name
    if x == y:
        raise ValueError(f"x and y are both {x!r}: the heatmap needs two parameters")
    maximize = getattr(results, "maximize", None)
    if figure is None and maximize is None:
        figure = "total_return_pct"  # what the command ranks by, when nothing was maximised
    if figure is None:
        label = maximize if isinstance(maximize, str) else "score"
        # The score is what the sweep maximised: higher is better, whatever it measures.
        lower = False
        rows = [(r.params, r.score) for r in done if r.score is not None]
    else:
        known = {n for r in done for n in (*(r.figures or {}), *(r.metrics or {}))}
        if done and figure not in known:
            raise ValueError(f"no figure named {figure!r}; the figures are "
                             f"{', '.join(sorted(known))}")
        label, lower = figure, figure in _LOWER_IS_BETTER
        rows = []
        for r in done:
            value = {**(r.metrics or {}), **(r.figures or {})}.get(figure)
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                rows.append((r.params, float(value)))
    best, params = _best_result(results, rows, lower, figure is None)
    named = ", ".join(f"{name}={value!r}" for name, value in params.items())
    target = pathlib.Path(path if path is not None else "candlewright-sweep.html")
    heatmap(rows, x, y, label, target, lower_is_better=lower, best=best,
            best_title=f"The best set: {named}")
    if open_browser:
        webbrowser.open(target.resolve().as_uri())
    return str(target)
