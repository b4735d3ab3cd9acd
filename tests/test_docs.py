import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()


def test_readme_shows_the_example_it_runs():
    example = (ROOT / "examples" / "quickstart.py").read_text()
    assert example in README
    out = subprocess.run([sys.executable, str(ROOT / "examples" / "quickstart.py")],
                         capture_output=True, text=True, check=True).stdout
    reports = out.split("--- Backtest Results ---\n")
    assert reports[0] == "" and len(reports) == 3
    assert all(report.count("\n") == 10 for report in reports[1:])


def test_readme_has_two_set_up_commands():
    commands = re.findall(r"```sh\n(.*?)```", README, re.S)
    assert commands == ["python -m pip install . && python -m candlewright\n",
                        "python -m pip install '.[test]' && python -m pytest\n"]


def test_signal_runs_example_prints_what_it_says():
    section = README.split("## Signal runs\n", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    pytest.importorskip("numpy")
    said = [line.split("  # ", 1)[1].strip() for line in code.splitlines()
            if line.startswith("print(") and "  # " in line]
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert out.splitlines() == said


def test_intrabar_example_prints_what_the_readme_shows():
    section = README.split("## Inside the bar", 1)[1].split("\n## ", 1)[0]
    example = (ROOT / "examples" / "intrabar.py").read_text()
    assert example in section
    shown = re.search(r"prints\n\n```text\n(.*?)```", section, re.S).group(1)
    out = subprocess.run([sys.executable, str(ROOT / "examples" / "intrabar.py")],
                         capture_output=True, text=True, check=True).stdout
    assert out == shown


def test_portfolio_example_prints_what_the_readme_shows():
    pytest.importorskip("numpy")
    section = README.split("## Portfolios\n", 1)[1]
    example = (ROOT / "examples" / "portfolio.py").read_text()
    assert example in section
    shown = re.search(r"prints\n\n```text\n(.*?)```", section, re.S).group(1)
    out = subprocess.run([sys.executable, str(ROOT / "examples" / "portfolio.py")],
                         capture_output=True, text=True, check=True).stdout
    assert out == shown
