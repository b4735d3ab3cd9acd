import importlib
import subprocess
import sys
import weakref

import pytest

import _candlewright

CLASSES = [name for name in ("Bar", "Stats", "Broker", "Engine") if hasattr(_candlewright, name)]


def test_module_namespace():
    assert _candlewright.__doc__ == ""
    assert _candlewright.__all__ == CLASSES
    assert CLASSES[0] == "Bar"
    public = {name for name in vars(_candlewright) if not name.startswith("_")}
    assert public == set(CLASSES)


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name):
    cls = getattr(_candlewright, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_classes_stay_mutable():
    _candlewright.Bar.extra = 1
    try:
        assert _candlewright.Bar.extra == 1
    finally:
        del _candlewright.Bar.extra


def test_reimport_gives_same_classes():
    first = sys.modules.pop("_candlewright")
    try:
        second = importlib.import_module("_candlewright")
        assert second is not first
        assert second.__all__ == CLASSES
        for name in CLASSES:
            assert getattr(second, name) is getattr(first, name)
    finally:
        sys.modules["_candlewright"] = first


def test_instances_have_no_dict_or_weakref():
    bar = _candlewright.Bar(0, 1, 1, 1, 1, 1)
    with pytest.raises(AttributeError):
        bar.foo = 1
    assert not hasattr(bar, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(bar)


# Run in a fresh process, so that a crash is a failed test and no interpreter has the module yet:
# every kind of sub-interpreter this version offers tries the import, before and after the main
# interpreter has it, and the main interpreter's module must keep working.
SUBINTERPRETERS = r"""
import os, sys, tempfile, _testcapi

out = os.path.join(tempfile.mkdtemp(), "out")
CODE = f'''
try:
    import _candlewright
except ImportError as exc:
    outcome = "ImportError: " + str(exc)
else:
    outcome = "imported"
with open({out!r}, "a") as f:
    f.write(outcome + "\\n")
'''
kinds = {"Py_NewInterpreter": lambda: _testcapi.run_in_subinterp(CODE)}
try:
    import _interpreters as raw
except ImportError:
    import _xxsubinterpreters as raw

    def kind(**config):
        def run():
            interp = raw.create(**config)
            try:
                raw.run_string(interp, CODE)
            finally:
                raw.destroy(interp)
        return run

    kinds["shared lock"] = kind(isolated=False)
    kinds["isolated"] = kind(isolated=True)
else:
    def kind(name, **overrides):
        def run():
            interp = raw.create(raw.new_config(name, **overrides))
            try:
                raw.exec(interp, CODE)
            finally:
                raw.destroy(interp)
        return run

    kinds["legacy"] = kind("legacy")
    kinds["legacy, checked"] = kind("legacy", check_multi_interp_extensions=True)
    kinds["isolated"] = kind("isolated")
    try:
        from concurrent import interpreters
    except ImportError:
        pass
    else:
        def public():
            interp = interpreters.create()
            try:
                interp.exec(CODE)
            finally:
                interp.close()
        kinds["concurrent.interpreters"] = public


def attempt(when):
    for name, run in kinds.items():
        open(out, "w").close()
        try:
            run()
        except Exception:
            pass  # the outcome is in the file: an ImportError is what is expected
        with open(out) as f:
            print(when, name, "|", f.read().strip() or "nothing ran", flush=True)


attempt("before")
import _candlewright as cw
attempt("after")
bars = [cw.Bar(i, 1.0, 1.2, 0.8, 1.1, 0.0) for i in range(3)]
class Buys:
    def next(self, bar, broker):
        broker.buy(bar.close, 1.0, bar.timestamp, None, None)
stats = cw.Engine(bars, 100.0, 0.0, 0.0, 1.0, 1.0).run(Buys())
cw.Bar.__dict__["open"]  # the main interpreter's classes are whole
print("main", stats.num_trades, cw.__all__, flush=True)
"""


def test_refused_in_every_subinterpreter():
    # The class objects are process-wide: no interpreter but the main one may have them, whether it
    # has a lock of its own or shares the main one's.
    out = subprocess.run([sys.executable, "-c", SUBINTERPRETERS], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stdout + out.stderr
    lines = out.stdout.splitlines()
    assert lines[-1] == "main 3 ['Bar', 'Stats', 'Broker', 'Engine']", out.stdout + out.stderr
    attempts = lines[:-1]
    assert len(attempts) >= 4, out.stdout
    refused = "ImportError: module _candlewright does not support loading in subinterpreters"
    assert [line.split(" | ")[1] for line in attempts] == [refused] * len(attempts), out.stdout
