import os
import subprocess
import sys
import threading
import weakref

import pytest

import korvane
from korvane.tools.list_ports import ListPortInfo, comports

NOTE = "while processing '{}'"
STR_FIELDS = ["device", "name", "description", "hwid"]
OPTIONAL_STR_FIELDS = ["serial_number", "location", "manufacturer", "product", "interface"]
INT_FIELDS = ["vid", "pid"]
FIELDS = STR_FIELDS + INT_FIELDS + OPTIONAL_STR_FIELDS


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def record(device="/dev/ttyUSB0", **fields):
    info = ListPortInfo(device)
    for k, v in fields.items():
        setattr(info, k, v)
    return info


def test_class_shape():
    assert ListPortInfo.__module__ == "korvane.tools.list_ports"
    assert ListPortInfo.__qualname__ == "ListPortInfo"
    assert ListPortInfo.__text_signature__ == "(device, skip_link_detection=False)"
    assert ListPortInfo.__doc__.startswith("Describes one serial port")
    assert comports.__text_signature__ == "(include_links=False)"
    assert comports.__doc__ is None
    for method in ("usb_description", "usb_info", "apply_usb_info"):
        assert getattr(ListPortInfo, method).__text_signature__ == "($self)"
        assert getattr(ListPortInfo, method).__doc__ is None
    for field in FIELDS:
        assert getattr(ListPortInfo, field).__doc__ is None
    assert [n for n in vars(ListPortInfo) if n in FIELDS] == FIELDS
    assert ListPortInfo.__repr__ is object.__repr__
    assert not hasattr(ListPortInfo, "__len__")
    assert korvane.tools.list_ports.__all__ == ["ListPortInfo", "comports"]


def test_fresh_record():
    info = ListPortInfo("/dev/ttyUSB0")
    assert (info.device, info.name, info.description, info.hwid) == ("/dev/ttyUSB0", "ttyUSB0", "n/a", "n/a")
    for field in INT_FIELDS + OPTIONAL_STR_FIELDS:
        assert getattr(info, field) is None
    assert str(info) == "/dev/ttyUSB0 - n/a"
    assert list(info) == ["/dev/ttyUSB0", "n/a", "n/a"]
    device, description, hwid = info
    assert (device, description, hwid) == ("/dev/ttyUSB0", "n/a", "n/a")
    assert info.usb_info() == "USB VID:PID=0000:0000"
    assert info.usb_description() == "ttyUSB0"


@pytest.mark.parametrize("device, name", [
    ("/dev/ttyUSB0", "ttyUSB0"),
    ("/dev/ttyUSB0/", "ttyUSB0"),
    ("/dev/ttyS1/.", "ttyS1"),
    ("/dev/./ttyS1", "ttyS1"),
    ("loop://", "loop:"),
    ("ttyS3", "ttyS3"),
    ("/", "/"),
    ("", ""),
    (".", "."),
    ("..", ".."),
    ("/dev/..", "/dev/.."),
    ("/dev/tty\u00e9", "tty\u00e9"),
])
def test_name_is_final_path_component(device, name):
    assert ListPortInfo(device).name == name


def test_construction_arguments():
    for info in (ListPortInfo("/dev/x", True), ListPortInfo(device="/dev/x", skip_link_detection=False)):
        assert (info.device, info.name, info.description) == ("/dev/x", "x", "n/a")


@pytest.mark.parametrize("args, kwargs, exc, note", [
    ((None,), {}, TypeError, "device"),
    ((b"/dev/x",), {}, TypeError, "device"),
    (("\ud800",), {}, UnicodeEncodeError, "device"),
    (("/dev/x", 1), {}, TypeError, "skip_link_detection"),
    (("/dev/x",), {"skip_link_detection": None}, TypeError, "skip_link_detection"),
    ((), {}, TypeError, None),
    (("/dev/x", True, 3), {}, TypeError, None),
    (("/dev/x",), {"bogus": 1}, TypeError, None),
])
def test_construction_errors(args, kwargs, exc, note):
    with pytest.raises(exc) as info:
        ListPortInfo(*args, **kwargs)
    assert getattr(info.value, "__notes__", []) == ([NOTE.format(note)] if note else [])


def test_subclass_and_instance_dict():
    class Port(ListPortInfo):
        pass

    port = Port("/dev/ttyS4")
    assert type(port) is Port and port.name == "ttyS4"
    port.extra = 1
    base = ListPortInfo("/dev/ttyS4")
    base.label = "left"
    assert base.__dict__ == {"label": "left"}
    assert port == base and hash(port) == hash(base)
    with pytest.raises(TypeError):
        weakref.ref(base)


@pytest.mark.parametrize("field, value", [
    *[(f, "text") for f in STR_FIELDS + OPTIONAL_STR_FIELDS],
    *[(f, None) for f in INT_FIELDS + OPTIONAL_STR_FIELDS],
    ("vid", 0), ("vid", 65535), ("pid", 1027), ("serial_number", ""),
])
def test_set_field(field, value):
    info = record()
    setattr(info, field, value)
    assert getattr(info, field) == value


@pytest.mark.parametrize("value, stored", [(True, 1), (Index(513), 513)])
def test_int_field_takes_index(value, stored):
    info = record(pid=value)
    assert type(info.pid) is int and info.pid == stored


RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("field, value, exc, message", [
    *[(f, None, TypeError, None) for f in STR_FIELDS],
    *[(f, 5, TypeError, None) for f in STR_FIELDS + OPTIONAL_STR_FIELDS],
    ("product", b"x", TypeError, None),
    ("device", "\udc80", UnicodeEncodeError, None),
    ("vid", 65536, OverflowError, RANGE),
    ("vid", -1, OverflowError, RANGE),
    ("pid", 2**63 - 1, OverflowError, RANGE),
    ("pid", -(2**63), OverflowError, RANGE),
    ("vid", 2**64, OverflowError, None),
    ("vid", Index(70000), OverflowError, RANGE),
    ("vid", "1", TypeError, None),
    ("pid", 1.0, TypeError, None),
])
def test_set_field_errors(field, value, exc, message):
    info = record(vid=1, pid=2, serial_number="s")
    before = getattr(info, field)
    with pytest.raises(exc) as raised:
        setattr(info, field, value)
    if message is not None:
        assert str(raised.value) == message
    assert raised.value.__notes__ == [NOTE.format(field)]
    assert getattr(info, field) == before


@pytest.mark.parametrize("field", FIELDS)
def test_fields_have_no_deleter(field):
    info = record()
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(info, field)


def test_set_does_not_recompute_until_apply():
    info = record(vid=1027, pid=24577, product="Board")
    assert (info.description, info.hwid) == ("n/a", "n/a")
    assert info.apply_usb_info() is None
    assert (info.description, info.hwid) == ("Board", "USB VID:PID=0403:6001")
    info.description = "mine"
    assert info.description == "mine" and info.hwid == "USB VID:PID=0403:6001"


@pytest.mark.parametrize("fields, info_text", [
    ({}, "USB VID:PID=0000:0000"),
    ({"vid": 1027, "pid": 24577, "serial_number": "A1", "location": "1-1.4"},
     "USB VID:PID=0403:6001 SER=A1 LOCATION=1-1.4"),
    ({"vid": 0xABCD, "pid": 0xEF}, "USB VID:PID=ABCD:00EF"),
    ({"vid": 65535, "location": "3-"}, "USB VID:PID=FFFF:0000 LOCATION=3-"),
    ({"serial_number": ""}, "USB VID:PID=0000:0000 SER="),
])
def test_usb_info(fields, info_text):
    assert record(**fields).usb_info() == info_text


@pytest.mark.parametrize("fields, description", [
    ({}, "ttyUSB0"),
    ({"product": "Board"}, "Board"),
    ({"interface": "Data"}, "None - Data"),
    ({"product": "Board", "interface": "Data"}, "Board - Data"),
    ({"name": "renamed"}, "renamed"),
])
def test_usb_description(fields, description):
    assert record(**fields).usb_description() == description


@pytest.mark.parametrize("index, expected", [
    (0, "/dev/ttyUSB0"), (1, "desc"), (2, "hw"), (True, "desc"), (False, "/dev/ttyUSB0"), (Index(2), "hw"),
])
def test_indexing(index, expected):
    assert record(description="desc", hwid="hw")[index] == expected


@pytest.mark.parametrize("index, exc, note", [
    (-1, IndexError, False), (3, IndexError, False), (2**62, IndexError, False),
    (2**64, OverflowError, True), ("0", TypeError, True), (1.0, TypeError, True), (None, TypeError, True),
])
def test_indexing_errors(index, exc, note):
    with pytest.raises(exc) as raised:
        record()[index]
    if exc is IndexError:
        assert str(raised.value) == "list index out of range"
    assert getattr(raised.value, "__notes__", []) == ([NOTE.format("index")] if note else [])


def test_equality_and_hash_follow_device():
    a = record("/dev/ttyS0", description="one", vid=1)
    b = record("/dev/ttyS0", hwid="two", product="p")
    c = record("/dev/ttyS1")
    assert a == b and not (a != b) and hash(a) == hash(b)
    assert a != c and not (a == c)
    assert (a == 5) is False and (a != 5) is True
    assert (a == "/dev/ttyS0") is False
    assert len({a, b, c}) == 2


def test_not_equal_uses_full_comparison():
    class Always(ListPortInfo):
        def __eq__(self, other):
            return True

        __hash__ = ListPortInfo.__hash__

    # The subclass's reflected __eq__ answers first, so != follows it.
    assert (record("/dev/a") != Always("/dev/b")) is False

    class Broken(ListPortInfo):
        def __eq__(self, other):
            raise ZeroDivisionError

        __hash__ = ListPortInfo.__hash__

    with pytest.raises(ZeroDivisionError):
        record("/dev/a") != Broken("/dev/a")


def test_hash_is_siphash13_with_zero_key():
    devices = ["/dev/ttyS0", "", "/dev/ttyUSB10", "x" * 7, "x" * 8, "\u00e9\u4e2d" * 5]
    # The interpreter's bytes hash is SipHash-1-3 keyed by PYTHONHASHSEED; 0 gives the zero key.
    code = "import sys; print([hash(s.encode() + b'\\xff') for s in sys.argv[1:]])"
    out = subprocess.run([sys.executable, "-c", code, *devices], capture_output=True, text=True,
                         env={**os.environ, "PYTHONHASHSEED": "0"}, check=True, timeout=60)
    if sys.hash_info.algorithm != "siphash13":
        pytest.skip("the interpreter does not hash with SipHash-1-3")
    assert [hash(ListPortInfo(d)) for d in devices] == eval(out.stdout)


def test_ordering():
    a, b = record("/dev/ttyS1"), record("/dev/ttyS10")
    assert a < b and not (b < a)
    assert b > a and not (a > b)
    for op in ("a <= b", "a >= b"):
        with pytest.raises(TypeError):
            eval(op)
    with pytest.raises(TypeError, match=r"^unorderable types: ListPortInfo\(\) and int\(\)$"):
        a < 5
    with pytest.raises(TypeError, match=r"^unorderable types: ListPortInfo\(\) and str\(\)$"):
        a < "/dev/ttyS2"


def test_unorderable_with_unreadable_type_name():
    class Meta(type):
        @property
        def __name__(cls):
            raise KeyError("no name")

    class Odd(metaclass=Meta):
        pass

    with pytest.raises(KeyError, match="no name"):
        record() < Odd()


@pytest.mark.parametrize("devices, expected", [
    (["/dev/ttyS10", "/dev/ttyS1", "/dev/ttyS9", "/dev/ttyS2"], ["/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS9", "/dev/ttyS10"]),
    (["/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyUSB2"], ["/dev/ttyACM0", "/dev/ttyUSB2", "/dev/ttyUSB10"]),
    (["99", "a"], ["a", "99"]),
    (["tty", "tty0"], ["tty", "tty0"]),
    (["x10y2", "x10y10", "x9y30"], ["x9y30", "x10y2", "x10y10"]),
    # 40 digits do not fit 128 bits: compared by their bytes, so "9..." > "10...".
    (["n" + "9" * 40, "n" + "1" + "0" * 39, "n5"], ["n5", "n" + "1" + "0" * 39, "n" + "9" * 40]),
])
def test_sorted_uses_natural_order(devices, expected):
    assert [p.device for p in sorted(record(d) for d in devices)] == expected


def test_equal_numbers_are_not_ordered():
    a, b = record("/dev/ttyS01"), record("/dev/ttyS1")
    assert not (a < b) and not (b < a) and a != b
    big, small = record("n" + "1" * 40), record("n" + "2" * 39)
    # Byte comparison: "1" < "2" although the first is the larger number.
    assert big < small


def test_concurrent_writes_and_reads_stay_whole():
    info = record()
    values = ["/dev/" + c * 40 for c in "ab"]
    stop = threading.Event()
    seen = set()

    def writer(v):
        while not stop.is_set():
            info.device = v

    threads = [threading.Thread(target=writer, args=(v,)) for v in values]
    for t in threads:
        t.start()
    try:
        for _ in range(2000):
            seen.add(info.device)
            assert str(info) in {v + " - n/a" for v in values} | {"/dev/ttyUSB0 - n/a"}
    finally:
        stop.set()
        for t in threads:
            t.join(10)
    assert seen <= set(values) | {"/dev/ttyUSB0"}


# ---- comports on this machine -------------------------------------------

def sysfs_serial_ttys():
    base = "/sys/class/tty"
    return {name for name in os.listdir(base) if os.path.exists(os.path.join(base, name, "device"))}


def test_comports_argument_forms_agree():
    calls = [lambda: comports(), lambda: comports(False), lambda: comports(True),
             lambda: comports(include_links=True)]
    outcomes = []
    for call in calls:
        try:
            outcomes.append([(p.device, p.hwid) for p in call()])
        except korvane.SerialException as e:
            outcomes.append(type(e))
    assert all(o == outcomes[0] for o in outcomes)


@pytest.mark.parametrize("value", [1, 0, None, "yes"])
def test_comports_refuses_non_bool(value):
    with pytest.raises(TypeError) as raised:
        comports(value)
    assert raised.value.__notes__ == [NOTE.format("include_links")]
    with pytest.raises(TypeError):
        comports(include_links=value)


@pytest.mark.skipif(os.path.isdir("/sys/class/tty"), reason="this machine has a TTY class directory")
def test_comports_without_sysfs_raises():
    with pytest.raises(korvane.SerialException) as raised:
        comports()
    assert raised.value.errno == 2


@pytest.mark.skipif(not os.path.isdir("/sys/class/tty"), reason="no sysfs TTY class here")
def test_comports_lists_driver_backed_ttys():
    ports = comports()
    assert isinstance(ports, list) and comports() is not ports
    names = sysfs_serial_ttys()
    for p in ports:
        assert type(p) is ListPortInfo
        assert p.device.startswith("/dev/") and p.name in names
        if p.vid is None:
            assert (p.description, p.hwid) == ("n/a", "n/a")
        else:
            assert p.hwid.startswith("USB VID:PID=") and p.description == p.usb_description()
