"""Compressed files are decompressed as they are read: the same bars as the plain file, memory
near that of the bars however much text is inside, and a damaged or unreadable archive is one
ValueError naming the file (the command prints it in one line and fails)."""
import bz2
import gzip
import io
import lzma
import subprocess
import sys
import textwrap
import zipfile

import pytest

from candlewright import read_csv
from candlewright.bars import _PIECE
from conftest import SANITIZED

HEADER = "time,open,high,low,close,volume,note\n"
# Rows enough to span several pieces, with a quoted field holding line ends among them.
TEXT = (HEADER + "".join(f"{1_600_000_000 + 60 * i},1.{i % 89:04d},1.5,1.0,1.{i % 89:04d},3,"
                         + ('"a\nb"' if i % 9973 == 0 else "c") + "\n" for i in range(30_000)))


def _zip(data, method=zipfile.ZIP_DEFLATED, names=("EURUSD.csv",)):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", method) as archive:
        for name in names:
            archive.writestr(name, data)
    return out.getvalue()


class Unseekable(io.RawIOBase):
    """A pipe: read only, in short reads."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        chunk = self._data.read(min(len(buffer), 1000))
        buffer[:len(chunk)] = chunk
        return len(chunk)


PACKERS = {
    "gz": lambda d: gzip.compress(d),
    "gz-two-members": lambda d: gzip.compress(d[:len(d) // 2]) + gzip.compress(d[len(d) // 2:]),
    "bz2": bz2.compress,
    "xz": lzma.compress,
    "zip": _zip,
    "zip-stored": lambda d: _zip(d, zipfile.ZIP_STORED),
    "gz-utf-16": lambda d: gzip.compress(d.decode().encode("utf-16")),
    "gz-utf-8-bom": lambda d: gzip.compress(b"\xef\xbb\xbf" + d),
}


def columns(bars):
    return [tuple(bars.column(name)) for name in ("timestamp", "open", "close", "volume")]


@pytest.fixture(scope="module")
def plain():
    return columns(read_csv(io.StringIO(TEXT)))


@pytest.mark.parametrize("opened", ["path", "file", "unseekable"])
@pytest.mark.parametrize("packer", PACKERS)
def test_same_bars_as_the_plain_file(tmp_path, plain, packer, opened):
    data = PACKERS[packer](TEXT.encode())
    path = tmp_path / "bars.bin"
    path.write_bytes(data)
    source = {"path": path, "file": io.BytesIO(data),
              "unseekable": io.BufferedReader(Unseekable(data))}[opened]
    assert columns(read_csv(source)) == plain


def _encrypted():
    data = bytearray(_zip(HEADER.encode()))
    data[6] |= 1  # the encrypted flag, in the local header and the directory
    data[data.find(b"PK\x01\x02") + 8] |= 1
    return bytes(data)


def _unknown_method():
    data = bytearray(_zip(HEADER.encode()))
    data[8:10] = (99).to_bytes(2, "little")
    at = data.find(b"PK\x01\x02") + 10
    data[at:at + 2] = (99).to_bytes(2, "little")
    return bytes(data)


GZ = gzip.compress(TEXT.encode())
DAMAGED = {
    # A deflate block of the reserved type, at the start and after a first member.
    "gz-corrupt": (GZ[:10] + bytes([GZ[10] | 6]) + GZ[11:],
                   r"cannot decompress it \(after line 1\): .*invalid block type"),
    "gz-corrupt-later": (GZ + GZ[:10] + bytes([GZ[10] | 6]) + GZ[11:],
                         r"cannot decompress it \(after line [1-9]\d{4}\)"),
    "gz-cut-short": (GZ[:-100], "ended before the end-of-stream marker.*cut short"),
    "gz-bad-header": (b"\x1f\x8b\x09" + GZ[3:], "cannot decompress it"),
    "bz2-cut-short": (bz2.compress(TEXT.encode())[:-50], "cannot decompress it"),
    "xz-corrupt": (lzma.compress(TEXT.encode())[:200] + bytes(100), "cannot decompress it"),
    "zip-encrypted": (_encrypted(), "encrypted: unpack it with its password first"),
    "zip-unknown-method": (_unknown_method(), "unpack it with another tool first"),
    "zip-two-files": (_zip(TEXT.encode(), names=("a.csv", "b.csv")), "one file.*a.csv, b.csv"),
    "zip-cut-short": (_zip(TEXT.encode())[:-30], "cannot decompress it"),
    "gz-utf-16-odd": (gzip.compress(b"\xff\xfe" + HEADER.encode("utf-16-le") + b"\x00"),
                      "line 2: not valid UTF-16.*cut short"),
}


@pytest.mark.parametrize("case", DAMAGED)
def test_damaged_archives_are_one_value_error(tmp_path, case):
    data, match = DAMAGED[case]
    path = tmp_path / "damaged.csv.gz"
    path.write_bytes(data)
    with pytest.raises(ValueError, match=f"^{path}[:,].*{match}"):
        read_csv(path)


@pytest.mark.parametrize("case", ["gz-corrupt", "zip-encrypted", "gz-utf-16-odd"])
def test_the_command_prints_one_line_and_fails(tmp_path, case):
    path = tmp_path / "damaged.csv.gz"
    path.write_bytes(DAMAGED[case][0])
    done = subprocess.run([sys.executable, "-m", "candlewright", "--data", str(path)],
                          capture_output=True, text=True)
    assert done.returncode == 1
    assert done.stderr.startswith(f"candlewright: error: {path}")
    assert done.stderr.count("\n") == 1, done.stderr


def test_decimal_commas_from_the_command(tmp_path):
    path = tmp_path / "eu.csv.gz"
    path.write_bytes(gzip.compress(TEXT.replace(",", ";").replace(".", ",").encode()))
    told = subprocess.run([sys.executable, "-m", "candlewright", "--data", str(path), "--json",
                           "--decimal", ","], capture_output=True, text=True)
    assert told.returncode == 0, told.stderr
    untold = subprocess.run([sys.executable, "-m", "candlewright", "--data", str(path)],
                            capture_output=True, text=True)
    assert untold.returncode == 1 and "decimal" in untold.stderr


BOMB = textwrap.dedent("""
    import gzip, io, sys
    import candlewright
    def peak():
        with open("/proc/self/status") as status:
            return next(int(l.split()[1]) for l in status if l.startswith("VmHWM")) << 10
    out = io.BytesIO()
    with gzip.GzipFile(fileobj=out, mode="wb") as packed:
        packed.write(b"time,open,high,low,close\\n1,1,1,1,1\\n")
        block = sys.argv[1].encode().decode("unicode_escape").encode() * (1 << 20)
        for _ in range(64):
            packed.write(block)
    data = out.getvalue()
    before = peak()
    bars = candlewright.read_csv(io.BytesIO(data))
    print(len(bars), peak() - before)
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer holds freed memory in quarantine")
@pytest.mark.parametrize("filler", [r"\n", r" \r\n"], ids=["blank-lines", "blanks-crlf"])
def test_a_bomb_of_blank_lines_costs_a_few_pieces(filler):
    done = subprocess.run([sys.executable, "-c", BOMB, filler], capture_output=True, text=True,
                          check=True)
    count, grown = map(int, done.stdout.split())
    assert count == 1
    # A few pieces and the sniffer's head, with room for a debug interpreter's allocator; the
    # whole text would be 64 or 192 MiB.
    assert grown < 48 * _PIECE, f"{grown >> 20} MiB for {64 * len(filler)} MiB of blank lines"
