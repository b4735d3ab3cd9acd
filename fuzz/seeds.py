"""Writes the reader fuzzer's seed corpus: a few rows of each layout the reader is given, in the
form the target takes (a byte choosing the layout, a byte of flags, a byte saying where
the text is cut into pieces, then the file's text)."""
from __future__ import annotations

import pathlib

SEEDS: dict[str, tuple[int, bytes]] = {
    "mt4": (0, b"2021.03.26,23:00,1.17900,1.17950,1.17850,1.17910,1201\n"
               b"2021.03.28,00:00,1.17910,1.18000,1.17800,1.17990,980\n"),
    "mt5": (1, b"<DATE>\t<TIME>\t<OPEN>\t<HIGH>\t<LOW>\t<CLOSE>\t<TICKVOL>\t<VOL>\t<SPREAD>\r\n"
               b"2021.10.31\t01:00:00\t1.15500\t1.15600\t1.15400\t1.15550\t320\t0\t12\r\n"
               b"2021.10.31\t02:00:00\t1.15550\t1.15650\t1.15450\t1.15600\t410\t0\t11\r\n"),
    "histdata": (2, b"20210104 000000;1.223960;1.224120;1.223920;1.224030;0\n"
                    b"20210104 000100;1.224030;1.224060;1.223990;1.224000;0\n"),
    "dukascopy": (3, b"Gmt time,Open,High,Low,Close,Volume\n"
                     b"04.01.2021 00:00:00.000,1.22396,1.22412,1.22392,1.22403,123.45\n"
                     b"04.01.2021 01:00:00.000,1.22403,1.22500,1.22300,1.22450,98.1\n"),
    "dukascopy_gmt": (4, b"Local time,Open,High,Low,Close,Volume\n"
                         b"04.01.2021 02:00:00.000 GMT+0200,1.22396,1.22412,1.22392,1.22403,1\n"),
    "iso": (5, b"timestamp,open,high,low,close,volume\n"
               b"2021-01-04 00:00:00,1.2,1.3,1.1,1.25,10\n"
               b"2021-01-04T01:00:00+02:00,1.25,1.3,1.2,1.22,\n"
               b"\"2021-01-04 02:00\",\"1.22\",1.3,1.2,1.21,5\n"),
    "yfinance": (6, b"Date,Open,High,Low,Close,Adj Close,Volume\n"
                    b"2021-01-04,1.2250,1.2300,1.2200,1.2260,1.2260,0\n"
                    b"2021-01-05,1.2260,1.2310,1.2210,1.2290,1.2290,0\n"),
    "epoch": (7, b"1609459200,1.2,1.3,1.1,1.25\n1609462800,1.25,1.3,1.2,1.22\n"
                 b"-9223372036854775808,1,1,1,1\n9223372036854775807,1,1,1,1\n"),
    "pattern": (8, b"%d/%m/%Y %H:%M:%S\n"
                   b"26/03/2021 23:00:00|1,0716|1.0720|1.0710|1.0715|3|7\n"
                   b"28/03/2021 00:00:00|1.0715|1.0720|1e-3|inf|nan|\n"),
}


def main() -> None:
    folder = pathlib.Path(__file__).with_name("corpus")
    folder.mkdir(exist_ok=True)
    for name, (preset, text) in SEEDS.items():
        for flags in (0, 3, 0x1F, 0x23):
            (folder / f"{name}-{flags:02x}").write_bytes(bytes([preset, flags, flags * 7]) + text)
    # Old Mac line ends and decimal commas.
    (folder / "mac").write_bytes(bytes([5, 0x40, 1]) + SEEDS["iso"][1].replace(b"\n", b"\r"))
    (folder / "comma").write_bytes(bytes([2, 0x20, 9]) + SEEDS["histdata"][1].replace(b".", b","))


if __name__ == "__main__":
    main()
