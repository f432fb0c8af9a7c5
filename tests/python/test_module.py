import importlib
import os
import subprocess
import sys
import textwrap

import pytest

import _korvane
import korvane
import korvane.aio
import korvane.tools.list_ports

MAIN_NAMES = [
    "__version__", "PARITY_NONE", "PARITY_EVEN", "PARITY_ODD", "PARITY_MARK", "PARITY_SPACE",
    "PARITY_NAMES", "STOPBITS_ONE", "STOPBITS_ONE_POINT_FIVE", "STOPBITS_TWO", "FIVEBITS",
    "SIXBITS", "SEVENBITS", "EIGHTBITS", "XON", "XOFF", "CR", "LF", "SerialException",
    "SerialTimeoutException", "PortNotOpenError", "Baudrate",
]


def run_python(code):
    """Runs code in a fresh interpreter with the same package path."""
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=60, env=os.environ.copy())
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_version_and_docstring():
    assert korvane.__version__ == "0.3.0"
    assert _korvane.__doc__ == ""
    assert korvane.aio.__doc__ is None
    assert korvane.tools.__doc__ is None


def test_all_lists_names_in_order():
    # The names later parts add come between Baudrate and the submodules.
    all_names = _korvane.__all__
    assert all_names[: len(MAIN_NAMES)] == MAIN_NAMES
    assert all_names[-2:] == ["aio", "tools"]
    for name in all_names:
        assert hasattr(_korvane, name), name
    assert korvane.tools.__all__ == ["list_ports"]


@pytest.mark.parametrize("name, value, kind", [
    ("PARITY_NONE", "N", str), ("PARITY_EVEN", "E", str), ("PARITY_ODD", "O", str),
    ("PARITY_MARK", "M", str), ("PARITY_SPACE", "S", str),
    ("STOPBITS_ONE", 1, int), ("STOPBITS_ONE_POINT_FIVE", 1.5, float), ("STOPBITS_TWO", 2, int),
    ("FIVEBITS", 5, int), ("SIXBITS", 6, int), ("SEVENBITS", 7, int), ("EIGHTBITS", 8, int),
    ("XON", b"\x11", bytes), ("XOFF", b"\x13", bytes), ("CR", b"\r", bytes), ("LF", b"\n", bytes),
])
def test_constants(name, value, kind):
    got = getattr(korvane, name)
    assert type(got) is kind and got == value


def test_parity_names():
    assert list(korvane.PARITY_NAMES.items()) == [
        ("N", "None"), ("E", "Even"), ("O", "Odd"), ("M", "Mark"), ("S", "Space")]


def test_exception_hierarchy():
    se, te, ne = korvane.SerialException, korvane.SerialTimeoutException, korvane.PortNotOpenError
    assert se.__bases__ == (OSError,)
    assert te.__bases__ == (se,) and ne.__bases__ == (se,)
    for t in (se, te, ne):
        assert t.__module__ == "korvane"
        assert t.__doc__ is None
    e = se(2, "gone")
    assert type(e) is se and e.errno == 2 and e.strerror == "gone"
    assert str(e) == "[Errno 2] gone"


def test_baudrate_enum():
    import enum
    b = korvane.Baudrate
    assert issubclass(b, enum.IntEnum)
    assert b.__name__ == "Baudrate" and b.__module__ == "korvane"
    members = list(b)
    assert len(members) == 30
    assert (members[0].name, members[0].value) == ("B50", 50)
    assert (members[-1].name, members[-1].value) == ("B4000000", 4000000)
    assert b(9600) is b.B9600 and b.B9600 == 9600


def test_submodules_registered():
    assert sys.modules["korvane.aio"] is _korvane.aio
    assert sys.modules["korvane.tools"] is _korvane.tools
    assert sys.modules["korvane.tools.list_ports"] is _korvane.tools.list_ports
    assert _korvane.tools.list_ports is korvane.tools.list_ports
    assert korvane.aio.__name__ == "korvane.aio"


def test_import_keeps_gil_state_and_starts_no_thread():
    out = run_python("""
        import os, sys
        before = sys._is_gil_enabled()
        tasks = len(os.listdir("/proc/self/task"))
        import korvane, korvane.aio, korvane.tools.list_ports
        names = [open(f"/proc/self/task/{t}/comm").read().strip() for t in os.listdir("/proc/self/task")]
        print(before == sys._is_gil_enabled(), len(names) == tasks, "korvane" in names)
    """)
    assert out.split() == ["True", "True", "False"]


def test_second_exec_reuses_process_wide_objects():
    first = (_korvane.SerialException, _korvane.PortNotOpenError, _korvane.Baudrate)
    old_aio = _korvane.aio
    saved = {k: sys.modules.pop(k) for k in list(sys.modules) if k == "_korvane"}
    try:
        again = importlib.import_module("_korvane")
        assert again is not _korvane
        assert (again.SerialException, again.PortNotOpenError, again.Baudrate) == first
        assert again.aio is not old_aio
        assert sys.modules["korvane.aio"] is again.aio
    finally:
        sys.modules.update(saved)
        sys.modules["korvane.aio"] = old_aio
        sys.modules["korvane.tools"] = _korvane.tools
        sys.modules["korvane.tools.list_ports"] = _korvane.tools.list_ports


def test_subinterpreter_refused():
    out = run_python("""
        import _interpreters
        interp = _interpreters.create()
        try:
            r = _interpreters.run_string(interp, "import _korvane")
            print("failed" if r is not None else "imported", getattr(r, "type", None) and r.type.__name__)
        finally:
            _interpreters.destroy(interp)
    """)
    assert out.split()[0] == "failed" and "ImportError" in out
