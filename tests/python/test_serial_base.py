"""Construction, settings properties and control methods of the port classes."""

import io
import math

import pytest

import korvane
import korvane.aio

CLASSES = [korvane.Serial, korvane.aio.Serial]


def raises_with(exc_type, text, notes, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    if text is not None:
        assert str(info.value) == text
    assert getattr(info.value, "__notes__", []) == notes
    return info.value


@pytest.fixture(params=CLASSES, ids=["Serial", "aio.Serial"])
def cls(request):
    return request.param


@pytest.fixture
def loop_port(cls):
    port = cls("loop://", timeout=1)
    yield port
    port.close()


DEFAULTS = {
    "port": None, "baudrate": 9600, "bytesize": 8, "parity": "N", "stopbits": 1,
    "timeout": None, "write_timeout": None, "inter_byte_timeout": None, "xonxoff": False,
    "rtscts": False, "dsrdtr": False, "exclusive": None, "rts": True, "dtr": True,
    "break_condition": False,
}


def test_defaults(cls):
    port = cls()
    for name, value in DEFAULTS.items():
        got = getattr(port, name)
        assert got == value and type(got) is type(value), name
    assert port.name is None and port.portstr is None
    assert port.is_open is False


def test_class_shape():
    assert korvane.Serial.__mro__[1] is korvane.SerialBase
    assert korvane.aio.Serial.__mro__[1] is korvane.SerialBase
    with pytest.raises(TypeError):
        korvane.SerialBase()
    assert korvane.SerialBase.__module__ == "korvane"
    assert korvane.aio.Serial.__module__ == "korvane.aio"
    assert korvane.SerialBase.BAUDRATES[0] is korvane.Baudrate.B50
    assert len(korvane.SerialBase.BAUDRATES) == 30
    assert korvane.Serial.BYTESIZES == (5, 6, 7, 8)
    assert korvane.Serial.PARITIES == ("N", "E", "O", "M", "S")
    assert korvane.Serial.STOPBITS == (1, 1.5, 2) and type(korvane.Serial.STOPBITS[1]) is float
    assert korvane.Serial.read.__text_signature__ == "($self, size=1)"
    assert korvane.Serial.read_until.__text_signature__ == "(self, /, expected=b'\\n', size=None)"
    assert korvane.Serial.read.__doc__ is None
    assert korvane.SerialBase.apply_settings.__text_signature__ == "($self, d)"
    port = korvane.Serial()
    with pytest.raises(AttributeError):
        port.extra = 1  # no instance dict


def test_new_ignores_arguments_and_init_refuses_unknown(cls):
    port = cls.__new__(cls, 1, 2, whatever=3)
    assert port.port is None and port.is_open is False
    with pytest.raises(TypeError):
        cls(nonsense=1)


class Surrogate:
    def __repr__(self):
        return "<\ud800>"  # cannot be encoded as UTF-8


@pytest.mark.parametrize("kwargs, exc_type, text, notes", [
    ({"parity": "n"}, ValueError, "Not a valid parity: 'n'", []),
    ({"parity": "NE"}, ValueError, "Not a valid parity: 'NE'", []),
    ({"parity": 1}, TypeError, None, ["while processing 'parity'"]),
    ({"stopbits": 3}, ValueError, "Not a valid stop bit size: 3.0", []),
    ({"stopbits": math.nan}, ValueError, "Not a valid stop bit size: NaN", []),
    ({"stopbits": "1"}, TypeError, None, ["while processing 'stopbits'"]),
    ({"timeout": -1}, ValueError, "Not a valid timeout: -1", []),
    ({"timeout": -0.5}, ValueError, "Not a valid timeout: -0.5", []),
    ({"write_timeout": math.nan}, ValueError, "Not a valid timeout: NaN", []),
    ({"inter_byte_timeout": -1e-5}, ValueError, "Not a valid timeout: -1e-5", []),
    ({"timeout": "1"}, ValueError, "Not a valid timeout: '1'", ["while processing 'timeout'"]),
    ({"baudrate": "fast"}, ValueError, "Not a valid baudrate: 'fast'", ["while processing 'baudrate'"]),
    ({"baudrate": -1}, ValueError, "Not a valid baudrate: -1", ["while processing 'baudrate'"]),
    ({"baudrate": Surrogate()}, ValueError, "Not a valid baudrate: <\ufffd>", ["while processing 'baudrate'"]),
    ({"bytesize": 9}, ValueError, "Not a valid byte size: 9", ["while processing 'bytesize'"]),
    ({"port": 5}, TypeError, None, ["while processing 'port'"]),
    # The first bad value wins: conversions in parameter order, then checks.
    ({"parity": "X", "stopbits": 3}, ValueError, "Not a valid parity: 'X'", []),
    ({"stopbits": 3, "timeout": -1}, ValueError, "Not a valid stop bit size: 3.0", []),
    ({"parity": "X", "timeout": "1"}, ValueError, "Not a valid timeout: '1'", ["while processing 'timeout'"]),
    ({"port": "loop://", "timeout": -1}, ValueError, "Not a valid timeout: -1", []),
])
def test_init_errors(cls, kwargs, exc_type, text, notes):
    port = cls.__new__(cls)
    raises_with(exc_type, text, notes, port.__init__, **kwargs)
    assert port.port is None and port.is_open is False and port.timeout is None


class Bad:
    def __bool__(self):
        raise RuntimeError("no truth")


def test_init_truth_failure_is_noted(cls):
    raises_with(RuntimeError, "no truth", ["while processing 'xonxoff'"], cls, xonxoff=Bad())


@pytest.mark.parametrize("kwargs, name, expected", [
    ({"stopbits": True}, "stopbits", 1),
    ({"stopbits": 1.5}, "stopbits", 1.5),
    ({"stopbits": 2.0}, "stopbits", 2),
    ({"timeout": -0.0}, "timeout", -0.0),
    ({"timeout": 2}, "timeout", 2),
    ({"timeout": 2.0}, "timeout", 2.0),
    ({"timeout": True}, "timeout", 1),
    ({"timeout": math.inf}, "timeout", math.inf),
    ({"rtscts": True}, "dsrdtr", False),
    ({"rtscts": True, "dsrdtr": None}, "dsrdtr", True),
    ({"exclusive": 0}, "exclusive", False),
    ({"baudrate": 9600.9}, "baudrate", 9600),
    ({"baudrate": "115200"}, "baudrate", 115200),
    ({"bytesize": 7.0}, "bytesize", 7),
])
def test_init_values(cls, kwargs, name, expected):
    got = getattr(cls(**kwargs), name)
    assert got == expected and type(got) is type(expected)


def test_positional_arguments(cls):
    port = cls(None, 19200, 7, "E", 2, 0.5, True, False, 1, None, 0.1, True)
    assert (port.baudrate, port.bytesize, port.parity, port.stopbits) == (19200, 7, "E", 2)
    assert (port.timeout, port.xonxoff, port.rtscts, port.write_timeout) == (0.5, True, False, 1)
    assert (port.dsrdtr, port.inter_byte_timeout, port.exclusive) == (False, 0.1, True)


@pytest.mark.parametrize("name, value, exc_type, text, noted", [
    ("parity", "e", ValueError, "Not a valid parity: 'e'", False),
    ("parity", 1, TypeError, None, True),
    ("timeout", -1, ValueError, "Not a valid timeout: -1", False),
    ("timeout", "1", ValueError, "Not a valid timeout: '1'", True),
    ("stopbits", 3, ValueError, "Not a valid stop bit size: 3.0", False),
    ("baudrate", 2**64, ValueError, "Not a valid baudrate: 18446744073709551616", True),
    ("bytesize", 4.0, ValueError, "Not a valid byte size: 4", True),
    ("port", 3, TypeError, None, True),
    ("rts", Bad(), RuntimeError, "no truth", True),
])
def test_setter_errors(cls, name, value, exc_type, text, noted):
    port = cls()
    before = getattr(port, name)
    raises_with(exc_type, text, ["while processing 'value'"] if noted else [], setattr, port, name, value)
    assert getattr(port, name) == before


@pytest.mark.parametrize("name", list(DEFAULTS))
def test_no_deleter(cls, name):
    port = cls()
    raises_with(AttributeError, "property has no deleter", [], delattr, port, name)


def test_read_only_aliases(cls):
    port = cls()
    for name in ("name", "portstr", "is_open", "cts", "in_waiting"):
        with pytest.raises(AttributeError):
            setattr(port, name, "x")


def test_setters_round_trip(cls):
    port = cls()
    port.stopbits = 1.5
    assert port.stopbits == 1.5
    port.stopbits = 2.0
    assert port.stopbits == 2 and type(port.stopbits) is int
    port.timeout = 2.0
    assert type(port.timeout) is float
    port.timeout = None
    assert port.timeout is None
    port.dsrdtr = None  # follows rtscts as stored now
    assert port.dsrdtr is False
    port.rtscts = True
    assert port.dsrdtr is False
    port.dsrdtr = None
    assert port.dsrdtr is True
    port.exclusive = True
    assert port.exclusive is True
    port.exclusive = None
    assert port.exclusive is None


def test_levels_stored_while_closed_and_applied_at_open(cls):
    port = cls()
    port.rts = False
    port.break_condition = True
    assert port.rts is False and port.break_condition is True
    port.port = "loop://"
    assert port.is_open is False  # a name alone opens nothing
    port.open()
    try:
        assert port.cts is False  # the loopback mirrors RTS
        assert port.dsr is True and port.ri is False and port.cd is True
        assert port.break_condition is True
        port.dtr = False
        assert port.dsr is False
    finally:
        port.close()


def test_closed_port_refuses_io_queries(cls):
    port = cls()
    for fn in (lambda: port.cts, lambda: port.in_waiting, lambda: port.out_waiting, port.fileno,
               port.reset_input_buffer, port.reset_output_buffer):
        raises_with(korvane.PortNotOpenError, "Attempting to use a port that is not open", [], fn)
    assert port.close() is None
    port.cancel_read()
    port.cancel_write()


def test_open_errors(cls):
    port = cls()
    raises_with(korvane.SerialException, "Port must be configured before it can be used.", [], port.open)
    port.port = "loop://"
    port.open()
    raises_with(korvane.SerialException, "Port is already open.", [], port.open)
    port.close()
    assert port.is_open is False


def test_port_setter_on_open_port(cls):
    port = cls("loop://", timeout=0)
    try:
        assert port.is_open
        port.port = "LOOP://again"
        assert port.is_open and port.port == "LOOP://again"
        raises_with(korvane.SerialException, "Port must be configured before it can be used.", [],
                    setattr, port, "port", None)
        assert port.port is None and port.is_open is False
    finally:
        port.close()


def test_missing_device(cls):
    e = raises_with(korvane.SerialException, None, [], cls, "/nonexistent/ttyX")
    assert e.errno == 2
    assert "could not open port /nonexistent/ttyX: [Errno 2] No such file or directory" in str(e)


def test_fileno_on_loopback(loop_port):
    with pytest.raises(io.UnsupportedOperation) as info:
        loop_port.fileno()
    assert info.value.args == ("fileno",)


def test_get_and_apply_settings(cls):
    port = cls()
    expected = {"baudrate": 9600, "bytesize": 8, "parity": "N", "stopbits": 1, "xonxoff": False,
                "dsrdtr": False, "rtscts": False, "timeout": None, "write_timeout": None,
                "inter_byte_timeout": None}
    got = port.get_settings()
    assert got == expected and list(got) == list(expected)
    port.apply_settings(got)
    assert port.get_settings() == expected
    port.apply_settings({})
    port.apply_settings({"exclusive": True, "port": "loop://", "other": 1})
    assert port.exclusive is None and port.port is None
    # All or nothing: a bad value leaves everything as it was, without a note.
    raises_with(ValueError, "Not a valid parity: 'X'", [], port.apply_settings, {"baudrate": 19200, "parity": "X"})
    assert port.baudrate == 9600
    port.apply_settings({"timeout": 1.5, "stopbits": 1.5})
    assert port.timeout == 1.5 and port.stopbits == 1.5
    port.apply_settings({"timeout": None})
    assert port.timeout is None
    # dsrdtr None follows the rtscts stored before this change.
    port.apply_settings({"rtscts": True, "dsrdtr": None})
    assert port.rtscts is True and port.dsrdtr is False
    port.apply_settings({"dsrdtr": None})
    assert port.dsrdtr is True
    with pytest.raises(AttributeError):
        port.apply_settings(object())
    with pytest.raises(TypeError):
        port.apply_settings()


def test_repr(cls):
    port = cls()
    assert repr(port) == (f"Serial<id=0x{id(port):x}, open=False>(port=None, baudrate=9600, bytesize=8, "
                          "parity='N', stopbits=1, timeout=None, xonxoff=False, rtscts=False, dsrdtr=False)")

    class Mine(cls):
        @property
        def portstr(self):
            return "custom"

    text = repr(Mine())
    assert text.startswith("Mine<id=0x") and "port='custom'" in text


def test_init_reopens_and_resets(cls):
    port = cls("loop://", timeout=0)
    try:
        port.__init__("loop://", timeout=0)
        assert port.is_open
        raises_with(korvane.SerialException, "Port must be configured before it can be used.", [], port.__init__)
        assert port.port is None and port.is_open is False and port.timeout is None
    finally:
        port.close()


def test_subclass_open_is_called():
    calls = []

    class Mine(korvane.Serial):
        def open(self):
            calls.append("open")
            super().open()

    port = Mine("loop://")
    assert calls == ["open"] and port.is_open
    port.close()
    with port:
        assert calls == ["open", "open"]
    assert port.is_open is False
    with Mine():
        pass  # no name: nothing opened
    assert calls == ["open", "open"]


def test_dropping_the_object_closes_the_port():
    import gc
    port = korvane.Serial("loop://", timeout=0)
    port.write(b"abc")
    del port
    gc.collect()  # nothing to observe directly but the absence of a leak or crash
