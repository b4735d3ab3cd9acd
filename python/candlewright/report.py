"""The report of a run as one interactive HTML file: equity and drawdown, candles with every
trade drawn from entry to exit, per-trade results, volume, and the figures, in panels that share
the time axis. Made with Bokeh (the `report` extra), its JavaScript inlined so the file works
offline.

Above `MAX_CANDLES` bars the candles and the equity curve are drawn from buckets of bars (each
bucket's open, high, low, close and total volume; the equity's lowest and highest point in each
bucket, in the order they came), so spikes and drawdowns stay visible; every trade is drawn.
"""
from __future__ import annotations

import html
import importlib
import math
import os
import pathlib
import webbrowser
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .metrics import TIME_UNITS
from .result import utc_time

if TYPE_CHECKING:
    from .result import Result

__all__ = ["write_report", "report_parts", "heatmap", "MAX_CANDLES", "BUCKETS"]

MAX_CANDLES = 10_000   # drawn one per bar up to this many bars
BUCKETS = 4_000        # above it, this many buckets of bars

_UP, _DOWN = "#26a69a", "#ef5350"
_WIN, _LOSS = "#1b9e4b", "#d62728"
# Trades: long winners and losers, short winners and losers.
_TRADE_COLOURS = {(True, True): "#1b9e4b", (True, False): "#d62728",
                  (False, True): "#17becf", (False, False): "#ff7f0e"}
_EQUITY, _PEAK = "#1f4e9c", "#9aa5b8"


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


def write_report(result: Result, path: str | os.PathLike[str] | None = None, *,
                 open_browser: bool = False, title: str | None = None) -> str:
    """Writes the report of `result` to `path` (default: candlewright-report.html in the current
    folder) and returns the path written; `open_browser` then opens it."""
    _, _, _, layouts, _, _ = _modules()
    name = title or "Backtest report"
    target = pathlib.Path(path if path is not None else "candlewright-report.html")
    _write(target, layouts.column(*report_parts(result, name), sizing_mode="stretch_width"), name)
    if open_browser:
        webbrowser.open(target.resolve().as_uri())
    return str(target)


def _write(target: pathlib.Path, page: Any, name: str) -> None:
    _, _, _, _, embed, resources = _modules()
    target.write_text(embed.file_html(page, resources.INLINE, title=name), encoding="utf-8")


def report_parts(result: Result, name: str) -> list[Any]:
    """The header and the five linked panels of the report, as Bokeh models."""
    np, plotting, models, layouts, embed, resources = _modules()
    bt = result._backtest
    unit = TIME_UNITS[bt.time_unit]

    def view(column: Any) -> Any:
        return np.asarray(memoryview(column))

    times = view(bt.column("timestamp")).astype("float64") * (1000.0 / unit)  # ms since epoch
    bars = {name: view(bt.column(name)) for name in ("open", "high", "low", "close", "volume")}
    equity = view(result.equity)
    trades = {name: view(getattr(result.trades, name)) for name in (
        "ticket", "is_long", "lot_size", "entry_time", "exit_time", "entry_price", "exit_price",
        "stop_loss", "take_profit", "pnl", "commission", "swap", "mae", "mfe", "entry_bar",
        "exit_bar")}
    trades["exit_reason"] = np.asarray(result.trades.exit_reason, dtype=object)
    for column in ("entry_time", "exit_time"):
        trades[column] = trades[column].astype("float64") * (1000.0 / unit)

    x_range = models.Range1d(*_span(np, times)) if len(times) else models.DataRange1d()
    common = dict(x_axis_type="datetime", x_range=x_range, sizing_mode="stretch_width",
                  tools="xpan,xwheel_zoom,box_zoom,reset,save", active_scroll="xwheel_zoom",
                  toolbar_location="right")
    # One vertical line follows the pointer through every panel.
    cross = models.Span(dimension="height", line_dash="dotted", line_color="#555555")

    def figure(height: int, label: str) -> Any:
        fig = plotting.figure(height=height, **common)
        fig.yaxis.axis_label = label
        fig.add_tools(models.CrosshairTool(overlay=cross))
        fig.xaxis.visible = False
        fig.min_border_left = 70
        return fig

    # The running peak and the fall below it, in parts of the peak, for both equity panels.
    peak = np.fmax.accumulate(equity) if len(equity) else equity
    with np.errstate(invalid="ignore", divide="ignore"):
        drawdown = np.where(peak > 0, (peak - equity) / peak, 0.0)
    candles = _candles(np, times, bars)
    wiped_out_at = result.metrics["wiped_out_at"]
    equity_fig = _equity_panel(np, models, figure(260, "equity"), times, equity, peak, drawdown,
                               bt.account[0])
    if wiped_out_at is not None:
        _mark_wipe_out(models, equity_fig, wiped_out_at * (1000.0 / unit))
    panels = [
        equity_fig,
        _drawdown_panel(np, figure(110, "drawdown %"), times, drawdown),
        _price_panel(np, models, figure(380, "price"), candles, trades),
        _pnl_panel(np, models, figure(150, "trade pnl"), trades),
        _volume_panel(models, figure(100, "volume"), candles),
    ]
    panels[-1].xaxis.visible = True
    return [_header(models, name, result), *panels]


def _span(np: Any, times: Any) -> tuple[float, float]:
    first, last = float(times[0]), float(times[-1])
    pad = max((last - first) * 0.01, 3_600_000.0)
    return first - pad, last + pad


def _bucket_size(count: int) -> int:
    """Bars per bucket: 1 up to MAX_CANDLES bars, else enough for at most BUCKETS buckets."""
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


def _equity_panel(np: Any, models: Any, fig: Any, times: Any, equity: Any, peak: Any,
                  drawdown: Any, initial_cash: float) -> Any:
    if not len(equity):
        return fig
    x, y = _extremes(np, times, equity)
    px, py = _extremes(np, times, peak)
    fig.line(px, py, color=_PEAK, line_width=1, legend_label="peak")
    fig.line(x, y, color=_EQUITY, line_width=1.5, legend_label="equity")
    worst = int(np.nanargmax(drawdown)) if np.any(drawdown > 0) else None
    start, end = _longest_drawdown(np, equity, peak)
    if start is not None:
        fig.add_layout(models.BoxAnnotation(left=float(times[start]), right=float(times[end]),
                                            fill_color="#f4a261", fill_alpha=0.15))
        fig.line([times[start], times[end]], [peak[start], peak[start]], color="#e76f51",
                 line_width=2, legend_label="longest drawdown")
    if worst is not None:
        fig.scatter([times[worst]], [equity[worst]], size=9, color=_LOSS,
                    marker="inverted_triangle",
                    legend_label=f"max drawdown {drawdown[worst] * 100:.2f}%")
    fig.scatter([times[-1]], [equity[-1]], size=8, color=_EQUITY,
                legend_label=f"final {equity[-1]:,.2f}")
    fig.scatter([times[int(np.nanargmax(equity))]], [np.nanmax(equity)], size=8, color="#2a9d8f",
                legend_label=f"peak {np.nanmax(equity):,.2f}")
    fig.add_layout(models.Span(location=initial_cash, dimension="width", line_dash="dashed",
                               line_color="#aaaaaa"))
    fig.legend.location = "top_left"
    fig.legend.click_policy = "hide"
    fig.yaxis.formatter = models.NumeralTickFormatter(format="0,0")
    fig.legend.background_fill_alpha = 0.6
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


def _drawdown_panel(np: Any, fig: Any, times: Any, drawdown: Any) -> Any:
    if not len(drawdown):
        return fig
    x, y = _extremes(np, times, drawdown * -100.0)
    fig.varea(x=x, y1=y, y2=np.zeros(len(y)), fill_color=_LOSS, fill_alpha=0.35)
    fig.line(x, y, color=_LOSS, line_width=1)
    return fig


def _candles(np: Any, times: Any, bars: dict[str, Any]) -> dict[str, Any]:
    size = _bucket_size(len(times))
    if size == 1:
        out = {"time": times, **bars}
    else:
        starts = np.arange(0, len(times), size)
        ends = np.minimum(starts + size, len(times)) - 1
        out = {"time": times[starts], "open": bars["open"][starts], "close": bars["close"][ends],
               "high": np.fmax.reduceat(bars["high"], starts),
               "low": np.fmin.reduceat(bars["low"], starts),
               "volume": np.add.reduceat(bars["volume"], starts)}
    gaps = np.diff(out["time"]) if len(out["time"]) > 1 else np.array([3_600_000.0])
    out["width"] = np.full(len(out["time"]), float(np.median(gaps)) * 0.7)
    out["color"] = np.where(out["close"] >= out["open"], _UP, _DOWN)
    return out


def _price_panel(np: Any, models: Any, fig: Any, candles: dict[str, Any],
                 trades: dict[str, Any]) -> Any:
    drawn = models.ColumnDataSource(candles)
    fig.segment("time", "high", "time", "low", source=drawn, color="color")
    fig.vbar("time", "width", "open", "close", source=drawn, fill_color="color",
             line_color="color")
    if not len(trades["ticket"]):
        return fig
    won = trades["pnl"] - trades["commission"] + trades["swap"] > 0  # as the metrics count it
    source = models.ColumnDataSource({
        **{name: values for name, values in trades.items()},
        "side": np.where(trades["is_long"], "long", "short"),
        "color": np.where(trades["is_long"], np.where(won, _TRADE_COLOURS[True, True],
                                                      _TRADE_COLOURS[True, False]),
                          np.where(won, _TRADE_COLOURS[False, True], _TRADE_COLOURS[False, False])),
        "dash": np.where(trades["is_long"], "solid", "dashed"),
        "marker": np.where(trades["is_long"], "triangle", "inverted_triangle"),
    })
    lines = fig.segment("entry_time", "entry_price", "exit_time", "exit_price", source=source,
                        color="color", line_width=2, line_dash="dash")
    entries = fig.scatter("entry_time", "entry_price", source=source, marker="marker", size=8,
                          color="color")
    for level, color in (("stop_loss", _LOSS), ("take_profit", _WIN)):
        fig.segment("entry_time", level, "exit_time", level, source=source, color=color,
                    line_alpha=0.6, line_dash="dotted")
    fig.add_tools(models.HoverTool(renderers=[lines, entries], tooltips=[
        ("ticket", "@ticket (@side)"), ("entry", "@entry_time{%F %H:%M} @ @entry_price{0.00000}"),
        ("exit", "@exit_time{%F %H:%M} @ @exit_price{0.00000}"), ("lots", "@lot_size"),
        ("stop / target", "@stop_loss{0.00000} / @take_profit{0.00000}"),
        ("pnl", "@pnl{0,0.00} (commission @commission{0,0.00}, swap @swap{0,0.00})"),
        ("exit reason", "@exit_reason"),
        ("mae / mfe", "@mae{0.00000} / @mfe{0.00000}")],
        formatters={"@entry_time": "datetime", "@exit_time": "datetime"}))
    return fig


def _pnl_panel(np: Any, models: Any, fig: Any, trades: dict[str, Any]) -> Any:
    if not len(trades["ticket"]):
        # Said, so that an empty panel is not taken for one that failed to draw.
        fig.add_layout(models.Label(x=10, y=10, x_units="screen", y_units="screen",
                                    text="no closed trades", text_color="#666666"))
        return fig
    lots = np.abs(trades["lot_size"])
    scale = float(lots.max()) if len(lots) and lots.max() > 0 else 1.0
    source = models.ColumnDataSource({
        "time": trades["exit_time"], "pnl": trades["pnl"], "ticket": trades["ticket"],
        "lots": trades["lot_size"], "reason": trades["exit_reason"],
        "size": 5.0 + 10.0 * np.sqrt(lots / scale),
        "color": np.where(trades["pnl"] > 0, _WIN, _LOSS)})
    dots = fig.scatter("time", "pnl", source=source, size="size", color="color", alpha=0.7)
    fig.add_layout(models.Span(location=0, dimension="width", line_color="#888888"))
    fig.add_tools(models.HoverTool(renderers=[dots], tooltips=[
        ("ticket", "@ticket"), ("exit", "@time{%F %H:%M}"), ("pnl", "@pnl{0,0.00}"),
        ("lots", "@lots"), ("exit reason", "@reason")], formatters={"@time": "datetime"}))
    return fig


def _volume_panel(models: Any, fig: Any, candles: dict[str, Any]) -> Any:
    fig.vbar(candles["time"], candles["width"], candles["volume"], 0, color="#8d99ae")
    fig.yaxis.formatter = models.NumeralTickFormatter(format="0.[0]a")
    return fig


def _header(models: Any, name: str, result: Result) -> Any:
    stats, metrics = result.figures(), result.metrics
    cells = "".join(f"<tr><td>{html.escape(label)}</td><td>{html.escape(_shown(value))}</td></tr>"
                    for label, value in [*stats.items(), *metrics.items()])
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


def _shown(value: Any) -> str:
    if isinstance(value, float):
        return repr(value) if math.isfinite(value) else str(value)
    return str(value)


def heatmap(rows: Sequence[tuple[dict[str, Any], float]], x: str, y: str | None, figure: str,
            path: str | os.PathLike[str], *, lower_is_better: bool = False,
            best: Result | None = None, title: str | None = None) -> str:
    """A sweep's ranked figure over two parameters as one HTML file, a cell per pair of values
    (the best value where several sets share a cell), with the best set's report below it when
    given. With no second parameter the cells form one row."""
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
    data = {"x": [k[0] for k in cells], "y": [k[1] for k in cells], "value": list(cells.values())}
    values = [v for v in cells.values() if math.isfinite(v)] or [0.0]
    mapper = models.LinearColorMapper(palette="Viridis256", low=min(values), high=max(values))
    fig = plotting.figure(x_range=[str(v) for v in xs], y_range=[str(v) for v in ys], height=420,
                          sizing_mode="stretch_width", tools="hover,save",
                          tooltips=[(x, "@x"), (y, "@y"), (figure, "@value")])
    fig.rect("x", "y", 1, 1, source=models.ColumnDataSource(data),
             fill_color={"field": "value", "transform": mapper}, line_color=None)
    fig.add_layout(models.ColorBar(color_mapper=mapper, title=figure), "right")
    fig.xaxis.axis_label, fig.yaxis.axis_label = x, y or ""
    by = f"{x} and {y}" if y is not None else x
    items: list[Any] = [models.Div(text=f"<h2>{html.escape(title or figure)} by {by}</h2>"), fig]
    if best is not None:
        items += report_parts(best, "The best set")
    target = pathlib.Path(path)
    _write(target, layouts.column(*items, sizing_mode="stretch_width"), title or "Sweep")
    return str(target)


def _order(value: Any) -> tuple[int, Any]:
    return (0, value) if isinstance(value, (int, float)) else (1, str(value))
