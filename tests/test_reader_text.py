"""The text reader: line ends of every platform, decimal commas, rows cut anywhere between the
pieces a decompressor hands over or between threads, and text that is not what it should be.
Whatever the input, read_csv gives the same bars as one plain read, or one ValueError that
names the file and the line."""
import contextlib
import io
import os
import random
import signal
import time

import pytest

from candlewright import _backtest, read_csv
from candlewright.bars import _PIECE
from conftest import leak_check, requires_debug_build

HEADER = "time,open,high,low,close,volume\n"


def rows(n, start=0, sep=",", point="."):
    return "".join(
        sep.join((f"{1_600_000_000 + 60 * i}", *(f"1{point}{i % 97:05d}" for _ in range(4)),
                  f"{i % 7}{point}5")) + "\n"
        for i in range(start, start + n))


def columns(bars):
    return [tuple(bars.column(name)) for name in ("timestamp", "open", "high", "low", "close",
                                                  "volume")]


PLAIN = HEADER + rows(50)


@pytest.mark.parametrize("end", ["\n", "\r\n", "\r"], ids=["lf", "crlf", "cr-only"])
def test_every_line_end_gives_the_same_bars(end):
    assert columns(read_csv(io.StringIO(PLAIN.replace("\n", end)))) == \
        columns(read_csv(io.StringIO(PLAIN)))


def test_rows_never_vanish_silently():
    # A quote never closed in the header swallows every row after it into the header.
    text = HEADER.rstrip("\n") + ',"note\n' + rows(5)
    with pytest.raises(ValueError, match="<file>: no bars: the rows after the header"):
        read_csv(io.StringIO(text))


def test_a_header_only_file_is_empty():
    assert len(read_csv(io.StringIO(HEADER))) == 0


# --- text that is not what it should be --------------------------------------------------------

@pytest.mark.parametrize("data, match", [
    (HEADER.encode() + rows(2).encode() + b"1600009000,1.1\xe9,1,1,1,1\n",
     r"line 4, column 'open'.*'1\.1\\\\xe9'"),
    (HEADER.encode() + b"1600000000,1," + "é".encode() * 40 + b",1,1,1\n",
     "line 2, column 'high'.*é\\.\\.\\.'"),
    (b"\xff\xfe" + PLAIN.encode("utf-16-le") + b"\x00", "line 52: not valid UTF-16.*cut short"),
    (b"\xff\xfe" + PLAIN[:200].encode("utf-16-le") + b"\x00\xd8" + PLAIN[200:].encode("utf-16-le"),
     "line 5: not valid UTF-16"),
    (HEADER.rstrip("\n").encode() + b",x" * 40_000 + b"\n" + rows(3).encode(), None),
    (b"x" * (3 * _PIECE), "line 1: no line end in the first 1 MiB"),
    (HEADER.encode() + rows(2).encode() + b'1600009000,"' + b"1" * (2 * _PIECE) + b"\n",
     "line 4: a row over 1 MiB long"),
], ids=["latin-1-byte", "cut-mid-character", "utf-16-odd-length", "utf-16-lone-surrogate",
        "header-over-64k", "no-line-end", "quote-never-closed"])
def test_unreadable_text_is_one_value_error(data, match):
    if match is None:
        assert len(read_csv(io.BytesIO(data))) == 3
        return
    with pytest.raises(ValueError, match=match):
        read_csv(io.BytesIO(data))


# --- decimal commas ----------------------------------------------------------------------------

@pytest.mark.parametrize("sep", [";", "\t", "|"], ids=["semicolon", "tab", "pipe"])
def test_decimal_commas(sep):
    text = HEADER.replace(",", sep) + rows(30, sep=sep, point=",")
    assert columns(read_csv(io.StringIO(text), decimal=",")) == \
        columns(read_csv(io.StringIO(PLAIN[:len(HEADER)] + rows(30))))


@pytest.mark.parametrize("number", ["1,0716", "-0,0", "0,1", "1234567890123456,7", "1,5e3",
                                    "  +2,25 ", "0,30000000000000004"])
def test_decimal_comma_numbers_read_as_float_reads_them(number):
    text = f"time;open;high;low;close\n1;{number};{number};{number};{number}\n"
    bars = read_csv(io.StringIO(text), decimal=",", validate="off")
    assert repr(bars[0].open) == repr(float(number.replace(",", ".")))


@pytest.mark.parametrize("text, options, match", [
    ("Date;Open;High;Low;Close\n2020-01-02;1,0716;1,0720;1,0710;1,0715\n", {},
     "decimal commas.*pass decimal=','"),
    ("time;open;high;low;close\n1;1;1;1;1\n2;1;1,5;1;1\n", {}, "line 3.*'high'.*decimal=','"),
    ("time;open;high;low;close\n1;1,5;1,5;1,5;1.5\n", {"decimal": ","},
     "'close'.*a point is not a decimal mark"),
    (PLAIN, {"decimal": ",", "delimiter": ","}, "cannot both be ','"),
    (PLAIN, {"decimal": "d"}, "decimal must be"),
], ids=["not-told", "one-comma-late", "point-with-comma-option", "same-as-delimiter",
        "unknown-mark"])
def test_decimal_mark_errors_say_what_to_do(text, options, match):
    with pytest.raises(ValueError, match=match):
        read_csv(io.StringIO(text), **options)


# --- pieces and threads ------------------------------------------------------------------------

LAYOUT = (",", 1, ((0, None),), (1, 2, 3, 4), 5, (), (), True, False)
QUOTED = (HEADER + rows(20) + '1600009000,"1.5",1.5,"1.5",1.5,"1\n"\n\n' + rows(20, 200)
          + '1600099000,1.5,1.5,1.5,1.5,"2""\n\n"\n')


def parse(data, *rest):
    bars, lines, _ = _backtest.parse_csv(data, *LAYOUT, *rest)
    return (columns(bars), list(lines)) if bars is not None else lines


@pytest.mark.parametrize("size", [1, 2, 3, 7, 64, 1000])
@pytest.mark.parametrize("text", [PLAIN, QUOTED, PLAIN.rstrip("\n"), PLAIN + "1600009999,1,1",
                                  PLAIN.replace("\n", "\r\n")],
                         ids=["plain", "quoted-line-ends", "no-last-line-end", "bad-last-row",
                              "crlf"])
def test_rows_cut_between_pieces_read_as_whole(text, size):
    data = text.encode()
    pieces = [data[i:i + size] for i in range(0, len(data), size)]
    assert parse(iter(pieces)) == parse(data)


def test_pieces_of_random_sizes():
    data = (QUOTED * 3).encode()
    whole = parse(data)
    generator = random.Random(5)
    for _ in range(20):
        cuts = sorted(generator.sample(range(1, len(data)), 12))
        pieces = [data[a:b] for a, b in zip([0, *cuts], [*cuts, len(data)])]
        assert parse(iter(pieces)) == whole


BIG = (HEADER + rows(200_000)).encode()  # past the size that is split over threads


@pytest.mark.parametrize("change", [
    lambda d: d,
    lambda d: d[:len(d) // 3] + b"1700000000,1,x,1,1,1\n" + d[len(d) // 3:]
    .replace(b"1600011000,", b"1600011000,y", 1) + b"1700000001,z,1,1,1,1\n",
    lambda d: d[:len(d) // 2] + b'1700000000,1,1,1,1,"1' + b"\n" * 100 + b'"\n' + d[len(d) // 2:],
    lambda d: b"\n" * (9 << 20) + d,
    lambda d: d + b"1700000000,1,1,1\n",
    lambda d: d[:len(d) // 2] + b'"' + b"\n" * 10 + d[len(d) // 2:],
], ids=["plain", "first-bad-row-wins", "quoted-line-ends-across-cuts", "header-after-blanks",
        "bad-last-row", "stray-quote"])
def test_threads_give_what_one_thread_gives(change):
    data = change(BIG)
    assert parse(data, ".", "\n", 4) == parse(data, ".", "\n", 1)


class Interrupted(Exception):
    pass


def test_a_signal_during_a_threaded_read_stops_it_cleanly():
    data = BIG * 4

    def stop(*_):
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        with pytest.raises(Interrupted):
            signal.setitimer(signal.ITIMER_REAL, 0.005)
            parse(data, ".", "\n", 4)
            time.sleep(2)  # a machine too busy to start the read in time still gets the signal
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert parse(BIG, ".", "\n", 4) == parse(BIG, ".", "\n", 1)


# --- the one-pass reading of plain rows --------------------------------------------------------
# Most rows are read in one pass that stands aside for anything unusual; a row with a quoted
# field anywhere always takes the full reading. So each row read as it is and again with a
# quoted field after its last one must give the same bars, lines and first failure.

NUMBERS = ["1.10003", "-1.5", "0", "-0", "1.", ".5", "123456789012345", "1234567890.12345",
           "1234567890123456", "93062254.60760579", "0.000000000000001", "0000000000000001",
           "1e5", "+1.5", " 1.5", "1.5 ", "nan", "inf", "", "-", ".", "1.2.3", "1,5", "9" * 400,
           "1\t", "0x10"]
EPOCHS = ["1600000000", "0", "999999999999999999", "9999999999999999999", "-60", "+60",
          "16000000000000000000000"]
ISO = ["2020-09-13 12:26:40", "2020-09-13T12:26:40", "2020-09-13t12:26", "2020-09-13 12",
       "2020-09-13", "2020-02-29 00:00:00", "2021-02-29 00:00:00", "2020-13-01", "2020-00-10",
       "2020-01-32", "0000-01-01", "9999-12-31 23:59:59", "2020-09-13 24:00:00",
       "2020-09-13 23:60:00", "2020-09-13 23:59:60", "2020-09-13 12:26:40.000",
       "2020-09-13 12:26:40Z", "2020-09-13 12:26:40+02:00", "2020-9-13", " 2020-09-13",
       "2020-09-13 ", "2020-09-13  12:00", "20200913"]
DATES = ["2020.09.13", "2020.9.3", "2020.02.30", "2019.02.29", "2020.13.01", "20.09.13",
         "2020.09.13.", "2020-09-13", "12020.09.13"]
CLOCKS = ["12:26", "1:05", "23:59", "24:00", "12:60", "12:5", "123:00", "12:26:40", ""]
DUKAS = ["13.09.2020 12:26:40.000", "13.09.2020 12:26:40.001", "13.09.2020 12:26:40.",
         "1.9.2020 1:2:3.0", "31.04.2020 00:00:00.000", "13.09.2020 12:26:40"]

LAYOUTS = {
    # (delimiter, decimal, times, prices, volume, extras, time samples by field)
    "automatic": (",", ".", ((0, None),), (1, 2, 3, 4), 5, (6,), {0: EPOCHS + ISO}),
    "two-fields": (",", ".", ((0, "%Y.%m.%d"), (1, "%H:%M")), (2, 3, 4, 5), 6, (),
                   {0: DATES, 1: CLOCKS}),
    "fraction": (";", ",", ((0, "%d.%m.%Y %H:%M:%S.%f"),), (1, 2, 3, 4), 5, (),
                 {0: DUKAS}),
    "shared-column": ("\t", ".", ((1, None),), (0, 0, 0, 0), -1, (0,), {1: EPOCHS}),
}


def plain_rows(layout, seed, count=400):
    delimiter, decimal, times, prices, volume, extras, samples = layout
    fields = 1 + max(c for c in (*[c for c, _ in times], *prices, volume, *extras))
    generator = random.Random(seed)
    good = [n for n in NUMBERS[:9]]
    for _ in range(count):
        row = []
        for column in range(fields):
            if column in samples:
                pool = samples[column]
                row.append(pool[0] if generator.random() < 0.7 else generator.choice(pool))
            else:
                value = generator.choice(good if generator.random() < 0.8 else NUMBERS)
                row.append(value.replace(".", decimal) if generator.random() < 0.9 else value)
        yield delimiter.join(row)


def parse_layout(data, layout, mark_local=False):
    delimiter, decimal, times, prices, volume, extras, _ = layout
    bars, lines, local = _backtest.parse_csv(
        data, delimiter, 0, times, prices, None if volume < 0 else volume, extras,
        tuple(f"x{k}" for k in range(len(extras))), True, mark_local, decimal)
    if bars is None:
        return lines
    columns_ = [bytes(memoryview(bars.column(name)).cast("B"))
                for name in ("timestamp", "open", "high", "low", "close", "volume")]
    return (columns_, [bytes(memoryview(c).cast("B")) for c in bars.extras.values()],
            list(lines), local)


@pytest.mark.parametrize("name", LAYOUTS)
@pytest.mark.parametrize("end", ["\n", "\r\n"], ids=["lf", "crlf"])
def test_plain_rows_read_as_the_full_reading_does(name, end):
    layout = LAYOUTS[name]
    delimiter = layout[0]
    checked = 0
    for seed in range(40):
        lines = list(plain_rows(layout, seed))
        plain = "".join(line + end for line in lines).encode()
        quoted = "".join(line + f'{delimiter}"q"' + end for line in lines).encode()
        for mark_local in (False, True):
            got = parse_layout(plain, layout, mark_local)
            assert got == parse_layout(quoted, layout, mark_local), (name, seed)
        checked += isinstance(got, tuple)
    assert checked  # some files were read to the end, not all stopped at a bad row


def test_every_row_alone_reads_as_the_full_reading_does():
    # Each shape on its own, so that a failure in an early row hides none after it.
    for name, layout in LAYOUTS.items():
        delimiter = layout[0]
        for line in plain_rows(layout, 99, 3000):
            for end in ("\n", ""):
                assert parse_layout((line + end).encode(), layout) == \
                    parse_layout((line + f'{delimiter}"q"' + end).encode(), layout), (name, line)


@pytest.mark.parametrize("digits", [1, 5, 10, 15, 16, 17])
def test_plain_decimals_are_python_floats_to_the_bit(digits):
    # Past 15 digits the quotient of two exact doubles may round twice: the long way is taken.
    generator = random.Random(digits)
    texts = []
    for _ in range(2000):
        whole = generator.randrange(10 ** digits)
        point = generator.randrange(digits + 1)
        text = f"{whole:0{digits}d}"
        texts.append(("-" if generator.random() < 0.3 else "") + text[:point] + "." + text[point:])
    data = "".join(f"{i},{t},{t},{t},{t}\n" for i, t in enumerate(texts)).encode()
    bars, _, _ = _backtest.parse_csv(data, ",", 0, ((0, None),), (1, 2, 3, 4), None, (), (),
                                     False, False)
    assert [v.hex() for v in bars.column("open")] == [float(t).hex() for t in texts]


# --- a file on disk, read by position -----------------------------------------------------------

def test_a_large_file_reads_as_its_text(tmp_path, monkeypatch):
    text = HEADER + rows(60_000)  # past the first piece, so read natively by position
    path = tmp_path / "bars.csv"
    for body, where in [(text, "plain"), ("\ufeff" + text.replace("\n", "\r\n"), "bom-crlf")]:
        path.write_bytes(body.encode())
        for threads in (1, 3):
            monkeypatch.setattr("candlewright.bars.cores", lambda threads=threads: threads)
            assert columns(read_csv(path)) == columns(read_csv(io.BytesIO(body.encode()))), where


@pytest.mark.parametrize("threads", [1, 2])
def test_a_bad_row_deep_in_a_large_file_is_named_by_its_line(tmp_path, monkeypatch, threads):
    monkeypatch.setattr("candlewright.bars.cores", lambda: threads)
    path = tmp_path / "bars.csv"
    path.write_bytes((HEADER + rows(190_000) + "1700000000,1,1,1x,1,1\n" + rows(5, 200_000))
                     .encode())
    with pytest.raises(ValueError, match=r"bars\.csv, line 190002, column 'low'.*'1x'"):
        read_csv(path)


def test_a_large_file_settles_day_and_month_past_its_first_rows(tmp_path):
    # Every date in the first megabyte could be either; one far below says day first.
    row = "01/02/2020 10:00,1.1,1.2,1.0,1.1,5\n"
    body = "date,open,high,low,close,volume\n" + row * 40_000 + row.replace("01/02", "13/02")
    path = tmp_path / "dates.csv"
    path.write_bytes(body.encode())
    with pytest.raises(ValueError, match="time order|previous row's time"):
        read_csv(path)  # the layout was found (day first); then the rows' repeated times
    bars = read_csv(path, validate="off")
    assert bars.timestamp[0] == 1580551200  # 1 February


def test_a_failed_read_is_an_os_error_not_an_empty_file(tmp_path):
    folder = os.open(tmp_path, os.O_RDONLY)  # fstat works, reading does not
    try:
        with pytest.raises(IsADirectoryError):
            _backtest.parse_csv(folder, *LAYOUT)
    finally:
        os.close(folder)
    with pytest.raises(OSError):
        _backtest.parse_csv(folder, *LAYOUT)  # closed


@requires_debug_build
def test_reading_a_file_by_position_leaks_nothing(tmp_path):
    path = tmp_path / "bars.csv"
    path.write_bytes((HEADER + rows(30_000) + "1700000000,1,1,x,1,1\n").encode())

    def action():
        with contextlib.suppress(ValueError):
            read_csv(path)
        with open(path, "rb") as raw, contextlib.suppress(OSError):
            _backtest.parse_csv(raw.fileno(), *LAYOUT, ".", "\n", 2, 3)
        with contextlib.suppress(OSError):
            _backtest.parse_csv(10_000, *LAYOUT)  # no such descriptor

    leak_check(action, repeat=3)


@pytest.mark.parametrize("header, keys", [
    ("time,open,high,low,close,x,x", ["x", "x.1"]),
    ("time,open,high,low,close,a b,a_b,a_b", ["a_b", "a_b.1", "a_b.2"]),
], ids=["repeated", "same-after-spaces"])
def test_extras_of_one_name_are_all_kept(header, keys):
    bars = read_csv(io.BytesIO(
        f"{header}\n1,1,2,0.5,1.5,{','.join(str(k + 7) for k in range(len(keys)))}\n".encode()))
    assert list(bars.extras) == keys
    assert [bars.column(k)[0] for k in keys] == [float(k + 7) for k in range(len(keys))]


@pytest.mark.parametrize("end", ["\r", "\n", "\r\n"], ids=["cr", "lf", "crlf"])
def test_blank_lines_after_a_number_count_under_any_line_end(end):
    text = end.join(["time,open,high,low,close,volume", "1,1,2,0.5,1.5,10", "", "",
                     "3,1,2,0.5,1.5,x", ""])
    with pytest.raises(ValueError, match=r"line 5, column 'volume'"):
        read_csv(io.BytesIO(text.encode()))
