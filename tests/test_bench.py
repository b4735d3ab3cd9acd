import pathlib
import shlex
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")[0]
needs_compiler = pytest.mark.skipif(
    shutil.which(compiler) is None and shutil.which("cc") is None,
    reason="the benchmark builds its floor extension with a C compiler")


@needs_compiler
def test_benchmark_runs_end_to_end():
    """The README's benchmark command, at smoke-test sizes and without the peer libraries."""
    out = subprocess.run([sys.executable, str(ROOT / "bench" / "run.py"), "--quick", "--no-peers"],
                         capture_output=True, text=True, check=True).stdout
    for heading in ("Engine.run with an empty next", "A realistic strategy", "Open positions",
                    "Many positions closing on one bar", "Peers", "Memory"):
        assert f"### {heading}\n" in out
    assert "run / floor" in out and "trades" in out
