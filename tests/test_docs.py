import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_readme_shows_the_example_it_runs():
    example = (ROOT / "examples" / "quickstart.py").read_text()
    assert example in (ROOT / "README.md").read_text()
    out = subprocess.run([sys.executable, str(ROOT / "examples" / "quickstart.py")],
                         capture_output=True, text=True, check=True).stdout
    assert out.startswith("--- Backtest Results ---\n") and out.count("\n") == 11
