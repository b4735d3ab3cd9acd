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


SUBINTERPRETER = """
import sys
try:
    from concurrent import interpreters
    create = interpreters.create
except ImportError:
    try:
        import _interpreters as raw
    except ImportError:
        import _xxsubinterpreters as raw
    class Interp:
        def __init__(self):
            self.id = raw.create()
        def exec(self, code):
            err = raw.exec(self.id, code) if hasattr(raw, "exec") else raw.run_string(self.id, code)
            if err is not None:
                raise RuntimeError(str(err))
    create = Interp
interp = create()
try:
    interp.exec("import _candlewright")
except Exception as exc:
    print("refused", type(exc).__name__, exc)
else:
    print("imported")
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="no per-interpreter lock before 3.12")
def test_refused_in_isolated_subinterpreter():
    # The class objects are process-wide, so an interpreter with a lock of its own must not get
    # them.
    out = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True)
    assert "refused" in out.stdout, out.stdout + out.stderr
    assert "_candlewright" in out.stdout
