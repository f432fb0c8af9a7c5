import pytest

import korvane
import korvane.aio


@pytest.mark.parametrize("module, cls", [(korvane, korvane.Serial), (korvane.aio, korvane.aio.Serial)])
def test_serial_for_url(module, cls):
    for url in ("loop://", "LOOP://", "loop://anything"):
        port = module.serial_for_url(url)
        assert type(port) is cls and port.is_open and port.port == url
        port.close()
    port = module.serial_for_url("loop://", 19200, do_not_open=True, timeout=1)
    assert not port.is_open and port.baudrate == 19200 and port.timeout == 1
    port = module.serial_for_url(url="loop://", do_not_open=True)
    assert port.port == "loop://"
    with pytest.raises(korvane.SerialException) as info:
        module.serial_for_url(None)
    assert str(info.value) == "Port must be configured before it can be used."
    assert module.serial_for_url(None, do_not_open=True).port is None


@pytest.mark.parametrize("url, scheme", [("socket://host:7000", "socket"), ("Socket://h:1", "socket"),
                                         ("://x", ""), ("a://b://c", "a")])
def test_unknown_schemes(url, scheme):
    with pytest.raises(ValueError) as info:
        korvane.serial_for_url(url)
    assert str(info.value) == f"invalid URL, protocol {scheme!r} not known"


def test_serial_for_url_errors():
    with pytest.raises(TypeError):
        korvane.serial_for_url(5, do_not_open=True)
    with pytest.raises(TypeError):
        korvane.serial_for_url("loop://", nonsense=1)
    with pytest.raises(korvane.SerialException) as info:
        korvane.serial_for_url("/nonexistent/tty")
    assert info.value.errno == 2
    assert korvane.serial_for_url.__module__ == "_korvane"
    assert korvane.aio.serial_for_url.__module__ == "korvane.aio"
    assert korvane.serial_for_url.__doc__.endswith("Returns a `Serial` for `url`, which is a device name or `loop://`.")
