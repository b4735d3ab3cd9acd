"""The report of a portfolio run as one interactive HTML file: the whole account's equity and
drawdown, then one candle panel per instrument with its trades drawn from entry to exit, and
every trade's result coloured by instrument, in panels that share one x axis; above them the
whole account's figures and a table of each instrument's. A row of boxes shows or hides the
instrument panels.

The x axis counts the steps of the portfolio's timeline (every time at which any instrument
has a bar), labelled with their dates as the single-instrument report's bar axis is; an
instrument with no bar at a step draws no candle there. As in `candlewright.report`, the page
carries a bounded number of candles per instrument (merged over a power of two of steps when it
has more) and a script draws each view from them, merging neighbours while more are in view
than the plot has room for; `time_axis="time"` draws real time instead.
"""
from __future__ import annotations

import html
import math
import os
import pathlib
import webbrowser
from collections.abc import Sequence
from typing import Any

from . import report
from .metrics import TIME_UNITS
from .result import FIGURES, SERIES, SUMMARY, TRADE_COLUMNS, utc_time

__all__ = ["write_portfolio_report", "portfolio_parts", "SHOWN_AT_ONCE"]

# Up to this many instruments every panel is shown at first; past it only the first.
SHOWN_AT_ONCE = 4
# The page's candles are shared out between the instruments, each keeping at least this many.
_LEAST_PAGE_BARS = 4_000
# One colour per instrument (cycled past ten), none of them a candle's or a trade's.
_SYMBOL_COLOURS = ("#1f77b4", "#9467bd", "#8c564b", "#e377c2", "#bcbd22", "#7f7f7f",
                   "#e6a800", "#393b79", "#637939", "#843c39")
_BAR_AXES = ("bar", "bars")


def write_portfolio_report(result: Any, path: str | os.PathLike[str] | None = None, *,
                           open_browser: bool = False, time_axis: str = "bar",
                           title: str | None = None, shown: Sequence[str] | None = None) -> str:
    """Writes the report of a portfolio run to `path` (default: candlewright-portfolio.html in
    the current folder) and returns the path written; `open_browser` then opens it.
    `time_axis` is "bar" (the timeline's steps, labelled with their dates) or "time". `shown`
    names the instruments whose panels are shown at first (default: all of them up to
    SHOWN_AT_ONCE instruments, else the first); boxes on the page show the others."""
    layouts = report._modules()[3]
    name = title or "Portfolio report"
    # Checked before anything is written, so that a mistake costs no file.
    parts = portfolio_parts(result, name, time_axis=time_axis, shown=shown)
    target = pathlib.Path(path if path is not None else "candlewright-portfolio.html")
    report._write(target, layouts.column(*parts, sizing_mode="stretch_width"), name)
    if open_browser:
        webbrowser.open(target.resolve().as_uri())
    return str(target)


def _array(np: Any, values: Any, dtype: str) -> Any:
    try:
        return np.asarray(memoryview(values), dtype=dtype)
    except TypeError:  # no buffer: a list, a pandas or polars series
        return np.asarray(values, dtype=dtype)


class _Instrument:
    """One instrument's bars and where they fall on the timeline."""

    def __init__(self, np: Any, symbol: str, bars: Any, stamps: Any) -> None:
        self.symbol = symbol
        column = bars.column if hasattr(bars, "column") else bars.__getitem__
        self.stamps = _array(np, column("timestamp"), "int64")
        self.bars = {name: _array(np, column(name), "float64")
                     for name in ("open", "high", "low", "close")}
        try:
            self.bars["volume"] = _array(np, column("volume"), "float64")
        except (KeyError, ValueError, AttributeError):
            self.bars["volume"] = np.zeros(len(self.stamps))
        steps = np.searchsorted(stamps, self.stamps)
        # A bar off the timeline would be drawn at another bar's step: said, not drawn wrong.
        off = (steps >= len(stamps)) | (stamps[np.minimum(steps, len(stamps) - 1)]
                                        != self.stamps) if len(stamps) else steps >= 0
        if off.any():
            at = int(self.stamps[int(np.argmax(off))])
            raise ValueError(f"{symbol}: its bar at time {at} is not on the portfolio's "
                             "timeline")
        self.steps = steps.astype("int64")


# The journal's columns that are not floats (times are read exact, then made float ms).
_TRADE_TYPES = {"ticket": "int64", "is_long": "bool", "entry_bar": "int64", "exit_bar": "int64",
                "entry_time": "int64", "exit_time": "int64"}


def _journal(np: Any, trades: Any, unit: int, stamps: Any) -> dict[str, Any]:
    """The trades' columns as arrays: read as columns where the journal has them, else from
    its rows; times in ms since the epoch."""
    names = [n for n in TRADE_COLUMNS if n != "exit_reason"]
    rows = None if all(hasattr(trades, n) for n in names) else list(trades)
    out = {}
    for name in names:
        values = (getattr(trades, name) if rows is None else
                  [getattr(row, name) for row in rows])
        # A level not set reads None from a row: NaN, as the columns hold it.
        values = [math.nan if v is None else v for v in values] if rows is not None else values
        out[name] = _array(np, values, _TRADE_TYPES.get(name, "float64"))
    out["exit_reason"] = np.asarray(
        trades.exit_reason if rows is None else [row.exit_reason for row in rows], dtype=object)
    for end in ("entry", "exit"):
        _check_steps(np, out, end, stamps)
        out[f"{end}_time"] = out[f"{end}_time"] * (1000.0 / unit)
    return out


def _check_steps(np: Any, trades: dict[str, Any], end: str, stamps: Any) -> None:
    """Refuses a trade whose step is off the timeline or falls before its time: a journal that
    counts an instrument's own bars rather than the timeline's steps would draw its trades
    early, on the wrong candles. (A step after the time is allowed: a position closed at a step
    where its instrument has no bar keeps the time of its last one.)"""
    steps, times = trades[f"{end}_bar"], trades[f"{end}_time"]
    outside = (steps < 0) | (steps >= len(stamps))
    early = np.zeros(len(steps), dtype=bool)
    early[~outside] = stamps[steps[~outside]] < times[~outside]
    wrong = np.flatnonzero(outside | early)
    if len(wrong):
        k = int(wrong[0])
        where = ("is off the timeline" if outside[k] else
                 f"is at time {int(stamps[steps[k]])}, before its {end} time {int(times[k])}")
        raise ValueError(f"trade {int(trades['ticket'][k])}: its {end}_bar {int(steps[k])} "
                         f"{where}: {end}_bar must count the portfolio's steps")


def _take(trades: dict[str, Any], chosen: Any) -> dict[str, Any]:
    return {name: values[chosen] for name, values in trades.items()}


def portfolio_parts(result: Any, name: str, *, time_axis: str = "bar",
                    shown: Sequence[str] | None = None) -> list[Any]:
    """The header, the instrument boxes and the linked panels of the report, as Bokeh
    models."""
    np, plotting, models = report._modules()[:3]
    if time_axis not in (*_BAR_AXES, "time"):
        raise ValueError(f"time_axis must be 'bar' or 'time', not {time_axis!r}")
    by_bar = time_axis in _BAR_AXES
    unit = TIME_UNITS[result.time_unit]
    stamps = _array(np, result.timestamps, "int64")
    symbols = [str(s) for s in result.symbols]
    instruments = [_Instrument(np, s, result.bars[s], stamps) for s in symbols]
    equity = _array(np, result.equity, "float64")
    if len(equity) != len(stamps):
        raise ValueError(f"the equity has {len(equity)} values for {len(stamps)} steps")
    trades = _journal(np, result.trades, unit, stamps)
    owners = np.asarray([str(s) for s in result.trade_symbols], dtype=object)
    if len(owners) != len(trades["ticket"]):
        raise ValueError(f"{len(owners)} trade symbols for {len(trades['ticket'])} trades")
    if shown is None:
        shown = symbols if len(symbols) <= SHOWN_AT_ONCE else symbols[:1]
    elif isinstance(shown, str):
        shown = [shown]
    unknown = [s for s in shown if s not in symbols]
    if unknown:
        raise ValueError(f"no instrument named {unknown[0]!r} to show; the portfolio's are "
                         f"{', '.join(symbols)}")
    stray = sorted(set(owners.tolist()) - set(symbols))
    if stray:
        raise ValueError(f"trades of {stray[0]!r}, which is not one of the portfolio's "
                         f"instruments ({', '.join(symbols)})")

    times = stamps.astype("float64") * (1000.0 / unit)
    xs = np.arange(len(stamps), dtype="float64") if by_bar else times
    ends = ("entry_bar", "exit_bar") if by_bar else ("entry_time", "exit_time")
    if not len(stamps):
        x_range = models.DataRange1d()
    elif by_bar:
        pad = max(len(stamps) * 0.01, 2.0)
        x_range = models.Range1d(-pad, len(stamps) - 1 + pad,
                                 bounds=(-pad, len(stamps) - 1 + pad), min_interval=10)
    else:
        x_range = models.Range1d(*report._span(np, times))
    common = dict(x_axis_type="linear" if by_bar else "datetime", x_range=x_range,
                  sizing_mode="stretch_width", tools="xpan,xwheel_zoom,box_zoom,reset,save",
                  active_scroll="xwheel_zoom", toolbar_location="right")
    cross = models.Span(dimension="height", line_dash="dotted", line_color="#555555")
    dates = report._Dates(np, models, stamps, unit) if by_bar else None

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

    initial_cash = float(getattr(result, "initial_cash", result.stats.initial_cash))
    peak = np.fmax.accumulate(equity) if len(equity) else equity
    with np.errstate(invalid="ignore", divide="ignore"):
        drawdown = np.where(peak > 0, (peak - equity) / peak, 0.0)
    equity_fig = report._equity_panel(np, models, figure(240, "equity"), xs, equity, peak,
                                      drawdown, initial_cash)
    equity_fig.name = "equity"
    wiped_out_at = result.metrics.get("wiped_out_at")
    if wiped_out_at is not None:
        at = (float(np.searchsorted(stamps, wiped_out_at)) if by_bar else
              wiped_out_at * (1000.0 / unit))
        report._mark_wipe_out(models, equity_fig, at)
    drawdown_fig = report._drawdown_panel(np, figure(100, "drawdown %"), xs, drawdown)

    budget = max(report.PAGE_BARS // max(len(instruments), 1), _LEAST_PAGE_BARS)
    price_figs = []
    for instrument in instruments:
        fig = figure(300, instrument.symbol)
        fig.name = instrument.symbol
        own = _take(trades, np.flatnonzero(owners == instrument.symbol))
        if by_bar:
            candles = _live_candles(np, models, fig, instrument, len(stamps), budget,
                                    equity_fig)
        else:
            candles = models.ColumnDataSource(report._candles(
                np, instrument.stamps.astype("float64") * (1000.0 / unit), instrument.bars))
        report._price_panel(np, models, fig, candles, own, ends, dates)
        price_figs.append(fig)
    for fig in price_figs:
        fig.visible = fig.name in shown
    pnl_fig = _pnl_panel(np, models, figure(170, "trade pnl"), trades, owners, symbols,
                         ends[1])
    pnl_fig.xaxis.visible = True
    parts = [_header(np, models, name, result, symbols, trades, owners)]
    if price_figs:
        parts.append(_chooser(models, symbols, price_figs))
    return [*parts, equity_fig, drawdown_fig, *price_figs, pnl_fig]


def _slots(np: Any, rows: dict[str, Any], factor: int) -> dict[str, Any]:
    """`rows` merged where their slots fall in one slot of `factor` times the width: the first
    open, the highest high, the lowest low, the last close, the bars counted."""
    keys = rows["slot"] // factor
    count = len(keys)
    if not count:
        return {name: values[:0] for name, values in rows.items()}
    starts = np.flatnonzero(np.concatenate(([True], keys[1:] != keys[:-1])))
    ends = np.concatenate((starts[1:], [count])) - 1
    return {"slot": keys[starts], "open": rows["open"][starts], "close": rows["close"][ends],
            "high": np.fmax.reduceat(rows["high"], starts),
            "low": np.fmin.reduceat(rows["low"], starts),
            "bars": np.add.reduceat(rows["bars"], starts),
            "volume": np.add.reduceat(rows["volume"], starts)}


def _steps_per_slot(np: Any, steps: Any, budget: int) -> int:
    """The least power of two of steps per slot that keeps the instrument's slots with a bar
    within `budget`."""
    per = 1
    while len(steps) and 1 + np.count_nonzero(np.diff(steps // per)) > budget:
        per *= 2
    return per


# As report.py's redraw, on the timeline's steps: a candle merges the instrument's bars in a
# power of two of slots, aligned on multiples of it, so that the instruments' candles line up
# and a slot where an instrument has no bar draws none. The plot's room is the equity panel's,
# which is never hidden, so that a panel shown again is drawn as the others.
_REBUCKET = """
const d = carried.data, rows = d.slot.length;
const room = Math.max(Math.floor((plot.inner_width || fallback) / pixels), 20);
const slots = Math.ceil(total / per);
const lo = Math.max(Math.floor(x.start / per), 0);
const hi = Math.min(Math.ceil(x.end / per) + 1, slots);
let size = 1;
while ((hi - lo) / size > room) size *= 2;
const first = Math.floor(lo / size) * size, last = Math.ceil(hi / size) * size;
const key = [first, last, size].join();
if (drawn.tags[0] === key) return;
const at = (slot) => {
  let a = 0, b = rows;
  while (a < b) {
    const m = (a + b) >> 1;
    if (d.slot[m] < slot) a = m + 1; else b = m;
  }
  return a;
};
const out = {x: [], start: [], bars: [], open: [], high: [], low: [], close: [], volume: [],
             width: [], color: []};
const r1 = at(last);
for (let r = at(first); r < r1;) {
  const group = Math.floor(d.slot[r] / size);
  let e = r, high = d.high[r], low = d.low[r], bars = 0, volume = 0;
  for (; e < r1 && Math.floor(d.slot[e] / size) === group; e++) {
    if (d.high[e] > high) high = d.high[e];
    if (d.low[e] < low) low = d.low[e];
    bars += d.bars[e];
    volume += d.volume[e];
  }
  const start = group * size * per, count = Math.min(start + size * per, total) - start;
  out.x.push(start + (count - 1) / 2); out.start.push(start); out.bars.push(bars);
  out.open.push(d.open[r]); out.close.push(d.close[e - 1]); out.high.push(high);
  out.low.push(low); out.volume.push(volume); out.width.push(Math.max(size * per * 0.8, 0.8));
  out.color.push(d.close[e - 1] >= d.open[r] ? up : down);
  r = e;
}
drawn.tags = [key];
drawn.data = out;
"""


def _first_view(np: Any, carried: dict[str, Any], per: int, total: int) -> dict[str, Any]:
    """What the page's script draws with the whole timeline in view on a plot
    report._ASSUMED_WIDTH wide."""
    room = max(report._ASSUMED_WIDTH // report._CANDLE_PIXELS, 20)
    slots = -(-total // per)
    size = 1
    while slots / size > room:
        size *= 2
    out = _slots(np, carried, size)
    start = out.pop("slot").astype("float64") * (size * per)
    count = np.minimum(start + size * per, total) - start
    out.update(x=start + (count - 1) / 2, start=start,
               width=np.full(len(start), max(size * per * 0.8, 0.8)),
               color=np.where(out["close"] >= out["open"], report._UP, report._DOWN))
    return out


def _live_candles(np: Any, models: Any, fig: Any, instrument: _Instrument, total: int,
                  budget: int, sizer: Any) -> Any:
    """An instrument's candles on the bar axis: a source the page redraws on every zoom and
    pan."""
    steps = instrument.steps
    per = _steps_per_slot(np, steps, budget)
    rows = {"slot": steps, **instrument.bars,
            "bars": np.ones(len(steps), dtype="int64")}
    carried = _slots(np, rows, per)
    carried["slot"] = carried["slot"].astype("float64")
    carried["bars"] = carried["bars"].astype("float64")
    drawn = models.ColumnDataSource(_first_view(np, {**carried, "slot": carried["slot"].astype(
        "int64")}, per, total))
    redraw = models.CustomJS(args={
        "carried": models.ColumnDataSource(carried), "drawn": drawn, "x": fig.x_range,
        "plot": sizer, "per": per, "total": total, "pixels": report._CANDLE_PIXELS,
        "fallback": report._ASSUMED_WIDTH, "up": report._UP, "down": report._DOWN},
        code=_REBUCKET)
    fig.x_range.js_on_change("start", redraw)
    fig.x_range.js_on_change("end", redraw)
    fig.y_range = models.DataRange1d(only_visible=True)
    return drawn


def _chooser(models: Any, symbols: list[str], figs: list[Any]) -> Any:
    boxes = models.CheckboxGroup(labels=symbols, inline=True,
                                 active=[k for k, fig in enumerate(figs) if fig.visible])
    boxes.js_on_change("active", models.CustomJS(args={"panels": figs}, code="""
panels.forEach((panel, i) => { panel.visible = cb_obj.active.includes(i); });
"""))
    return models.Row(models.Div(text="<b>instruments shown:</b>", margin=(5, 8, 5, 5)), boxes)


def _pnl_panel(np: Any, models: Any, fig: Any, trades: dict[str, Any], owners: Any,
               symbols: list[str], at: str) -> Any:
    if not len(trades["ticket"]):
        fig.add_layout(models.Label(x=10, y=10, x_units="screen", y_units="screen",
                                    text="no closed trades", text_color="#666666"))
        return fig
    lots = np.abs(trades["lot_size"])
    scale = float(np.nanmax(lots)) if np.nanmax(lots) > 0 else 1.0
    # Smaller dots where there are many, so that the instruments' colours still show.
    least, most = (5.0, 10.0) if len(lots) <= 500 else (3.0, 5.0)
    source = models.ColumnDataSource({
        "x": trades[at], "time": trades["exit_time"], "pnl": trades["pnl"],
        "symbol": owners.astype(str), "ticket": trades["ticket"], "lots": trades["lot_size"],
        "reason": trades["exit_reason"], "size": least + most * np.sqrt(lots / scale)})
    dots = []
    for k, symbol in enumerate(symbols):
        chosen = np.flatnonzero(owners == symbol)
        if len(chosen):
            dots.append(fig.scatter(
                "x", "pnl", source=source, size="size", alpha=0.7, legend_label=symbol,
                color=_SYMBOL_COLOURS[k % len(_SYMBOL_COLOURS)],
                view=models.CDSView(filter=models.IndexFilter(chosen.tolist()))))
    fig.add_layout(models.Span(location=0, dimension="width", line_color="#888888"))
    fig.add_tools(models.HoverTool(renderers=dots, tooltips=[
        ("symbol", "@symbol"), ("ticket", "@ticket"), ("exit", "@time{%F %H:%M}"),
        ("pnl", "@pnl{0,0.00}"), ("lots", "@lots"), ("exit reason", "@reason")],
        formatters={"@time": "datetime"}))
    report._legend_above(models, fig)
    return fig


def _symbol_rows(np: Any, result: Any, symbols: Sequence[str], trades: dict[str, Any],
                owners: Any) -> list[tuple[str, int, float, float, float]]:
    """Each instrument's (symbol, trades, net pnl, net win rate %, exposure %), counted from
    the journal as the metrics count a trade: net = pnl - commission + swap; the exposure is
    the result's, the percent of steps with a position open in the instrument."""
    net = trades["pnl"] - trades["commission"] + trades["swap"]
    exposure = getattr(result, "exposure", {}) or {}
    rows = []
    for symbol in symbols:
        mine = net[owners == symbol]
        count = len(mine)
        rate = float(np.count_nonzero(mine > 0)) / count * 100.0 if count else math.nan
        share = exposure.get(symbol)
        rows.append((symbol, count, float(mine.sum()) if count else 0.0, rate,
                     math.nan if share is None else float(share)))
    return rows


def _number(value: float, form: str) -> str:
    return form.format(value) if math.isfinite(value) else "n/a"


def _duration(value: Any, unit: int) -> str:
    if value is None or value != value:
        return "n/a"
    days, rest = divmod(value / unit, 86_400)
    return f"{int(days)} days {int(rest // 3600):02d}:{int(rest % 3600 // 60):02d}"


def _header(np: Any, models: Any, name: str, result: Any, symbols: list[str],
            trades: dict[str, Any], owners: Any) -> Any:
    metrics, stats, time_unit = result.metrics, result.stats, result.time_unit
    unit = TIME_UNITS[time_unit]
    lines = []
    for key, label, form in SUMMARY:
        value = metrics.get(key)
        if key == "max_drawdown_duration":
            text = _duration(value, unit)
        elif value is None or not math.isfinite(value):
            text = "n/a" if value is None else str(value)
        else:
            text = form.format(value)
        lines.append(label + text)
    values = {**{n: getattr(stats, n) for n in FIGURES if hasattr(stats, n)}, **metrics}
    cells = []
    for key, label, kind in SERIES:
        if key not in values:
            continue
        value = values[key]
        if kind == "time":
            text = "n/a" if value is None else _when(value, time_unit)
        elif kind == "duration":
            text = _duration(value, unit)
        else:
            text = str(value)
        cells.append(f"<tr><td>{html.escape(label)}</td><td>{html.escape(text)}</td></tr>")
    table = "".join(
        f"<tr><td><b>{html.escape(symbol)}</b></td><td align=right>{count}</td>"
        f"<td align=right>{_number(pnl, '{:,.2f}')}</td>"
        f"<td align=right>{_number(rate, '{:.1f}%')}</td>"
        f"<td align=right>{_number(exposure, '{:.1f}%')}</td></tr>"
        for symbol, count, pnl, rate, exposure in _symbol_rows(np, result, symbols, trades,
                                                              owners))
    wiped_out_at = metrics.get("wiped_out_at")
    warning = "" if wiped_out_at is None else (
        f"<p style='margin:4px 0;color:{report._LOSS};font-weight:bold'>Account wiped out at "
        f"{html.escape(_when(wiped_out_at, time_unit))}: return-based figures are NaN</p>")
    return models.Div(text=(
        f"<h2 style='margin:4px 0'>{html.escape(name)}</h2>{warning}"
        "<pre style='float:left;margin:0 24px 0 0;font-size:12px'>"
        f"{html.escape(repr(stats))}\n{html.escape(chr(10).join(lines))}</pre>"
        "<table class='symbols' style='font-size:12px;border-collapse:collapse' "
        "cellpadding=3><tr><th align=left>instrument</th><th>trades</th><th>net P/L</th>"
        f"<th>win rate (net)</th><th>exposure</th></tr>{table}</table>"
        "<details><summary>every figure</summary><table style='font-size:12px'>"
        f"{''.join(cells)}</table></details>"), sizing_mode="stretch_width")


def _when(timestamp: int, time_unit: str) -> str:
    shown = utc_time(timestamp, time_unit)
    return f"time {shown}" if shown == str(timestamp) else f"{shown} UTC"
