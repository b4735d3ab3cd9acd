"""The bundled pairs: USDJPY beside EURUSD, as the two legs of a basket."""
import gzip
import math
import pathlib
import runpy

import pytest

from candlewright import sample_bars

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHIPPED = ROOT / "python" / "candlewright" / "sample" / "usdjpy_h1.csv.gz"
HOUR = 3600


@pytest.fixture(scope="module")
def eurusd():
    return sample_bars("EURUSD")


@pytest.fixture(scope="module")
def usdjpy():
    return sample_bars("USDJPY")


def closes_by_time(bars):
    return dict(zip(bars.timestamp, bars.column("close")))


def test_usdjpy_is_a_plausible_yen_pair(usdjpy):
    assert 15_000 < len(usdjpy) < 20_000
    assert all(b.low <= min(b.open, b.close) and max(b.open, b.close) <= b.high for b in usdjpy)
    stamps = list(usdjpy.timestamp)
    assert all(b - a >= HOUR and (b - a) % HOUR == 0 for a, b in zip(stamps, stamps[1:]))
    closes = list(usdjpy.column("close"))
    assert 95 < min(closes) and max(closes) < 160
    assert all(abs(c * 1000 - round(c * 1000)) < 1e-6 for c in closes[:500]), "3 decimals"
    ranges = sorted((b.high - b.low) / 0.001 for b in usdjpy)
    assert 50 < ranges[len(ranges) // 2] < 400, "median hourly range in points"


def test_usdjpy_trades_eurusd_hours_less_a_few(eurusd, usdjpy):
    eur, jpy = set(eurusd.timestamp), set(usdjpy.timestamp)
    assert min(jpy) == min(eur) and max(jpy) == max(eur)
    assert jpy < eur
    missing = sorted(eur - jpy)
    assert 5 <= len(missing) <= 50
    # Epoch day 0 was a Thursday.
    friday_closes = [t for t in missing if (t // 86400 + 3) % 7 == 4 and t % 86400 == 21 * HOUR]
    assert len(friday_closes) >= 3


def test_usdjpy_moves_against_eurusd(eurusd, usdjpy):
    eur, jpy = closes_by_time(eurusd), closes_by_time(usdjpy)
    pairs = [(math.log(eur[t + HOUR] / eur[t]), math.log(jpy[t + HOUR] / jpy[t]))
             for t in jpy if t + HOUR in jpy]
    n = len(pairs)
    mean_e, mean_j = (sum(p[i] for p in pairs) / n for i in (0, 1))
    cov = sum((e - mean_e) * (j - mean_j) for e, j in pairs)
    var_e = sum((e - mean_e) ** 2 for e, _ in pairs)
    var_j = sum((j - mean_j) ** 2 for _, j in pairs)
    assert -0.45 < cov / math.sqrt(var_e * var_j) < -0.15


def test_usdjpy_regenerates_identically(tmp_path):
    out = tmp_path / "usdjpy.csv.gz"
    tool = runpy.run_path(str(ROOT / "tools" / "make_usdjpy_sample.py"), run_name="make_usdjpy")
    tool["write"](out)
    shipped = SHIPPED.read_bytes()
    assert gzip.decompress(out.read_bytes()) == gzip.decompress(shipped)
    assert shipped[4:8] == b"\0\0\0\0", "gzip header must carry no time"
    assert len(shipped) < 1_000_000


@pytest.mark.parametrize("symbol", ["EURUSD", "eurusd"], ids=["upper", "lower"])
def test_default_sample_is_eurusd(eurusd, symbol):
    default, chosen = sample_bars(), sample_bars(symbol)
    assert list(default.timestamp) == list(chosen.timestamp) == list(eurusd.timestamp)
    assert list(default.column("close")) == list(chosen.column("close"))


@pytest.mark.parametrize("symbol, error", [
    pytest.param("GBPUSD", ValueError, id="unknown"),
    pytest.param("", ValueError, id="empty"),
    pytest.param("USD/JPY", ValueError, id="slashed"),
    pytest.param(None, TypeError, id="not-a-str"),
])
def test_unknown_symbol_names_the_bundled_ones(symbol, error):
    with pytest.raises(error) as caught:
        sample_bars(symbol)
    if error is ValueError:
        assert "'EURUSD'" in str(caught.value) and "'USDJPY'" in str(caught.value)
