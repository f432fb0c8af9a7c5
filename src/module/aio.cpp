// korvane.aio.Serial: the port class whose I/O methods return futures.
#include <Python.h>

#include "module/future.hpp"
#include "module/capi/entry.hpp"
#include "module/capi/once.hpp"
#include "module/serial.hpp"
#include "module/serial_ops.hpp"

namespace korvane::aio {
namespace {

using py::Ref;

template <serial::ops::Operation (*Build)(PyObject*, PyObject*, PyObject*)>
PyObject* started(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
        serial::ops::Operation op = Build(self, args, kwargs);
        OpFuture f = py::value_or_throw(serial::ops::start(std::move(op)));
        return wrap_future(std::move(f)).release();
    });
}

PyObject* s_flush(PyObject* self, PyObject*) { return started<serial::build_flush>(self, nullptr, nullptr); }

PyObject* s_aenter(PyObject* self, PyObject*) {
    return py::entry([&] {
        serial::enter(self);
        return wrap_future(OpFuture::resolved(Outcome::object(Ref::borrow(self)))).release();
    });
}

PyObject* s_aexit(PyObject* self, PyObject*) {
    return py::entry([&] {
        Ref r = Ref::steal(PyObject_CallMethod(self, "close", nullptr));
        return wrap_future(OpFuture::resolved(Outcome::none())).release();
    });
}

#define KORVANE_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
#define KORVANE_DOC(sig) sig "\n--\n\n"

PyMethodDef methods[] = {
    {"read", KORVANE_KW(serial::read_method<serial::Mode::Started>), METH_FASTCALL | METH_KEYWORDS, KORVANE_DOC("read($self, size=1)")},
    {"read_until", KORVANE_KW(serial::read_until_method<serial::Mode::Started>), METH_FASTCALL | METH_KEYWORDS,
     KORVANE_DOC("read_until(self, /, expected=b'\\n', size=None)")},
    {"readline", KORVANE_KW(serial::readline_method<serial::Mode::Started>), METH_FASTCALL | METH_KEYWORDS,
     KORVANE_DOC("readline(self, /, size=-1)")},
    {"readlines", KORVANE_KW(started<serial::build_readlines>), METH_VARARGS | METH_KEYWORDS,
     KORVANE_DOC("readlines(self, /, hint=-1)")},
    {"write", KORVANE_KW(serial::write_method<serial::Mode::Started>), METH_FASTCALL | METH_KEYWORDS,
     KORVANE_DOC("write($self, data)")},
    {"flush", s_flush, METH_NOARGS, KORVANE_DOC("flush($self)")},
    {"send_break", KORVANE_KW(started<serial::build_send_break>), METH_VARARGS | METH_KEYWORDS,
     KORVANE_DOC("send_break($self, duration=0.25)")},
    {"read_all", serial::read_all, METH_NOARGS, KORVANE_DOC("read_all($self)")},
    {"__aenter__", s_aenter, METH_NOARGS, KORVANE_DOC("__aenter__($self)")},
    {"__aexit__", s_aexit, METH_VARARGS, KORVANE_DOC("__aexit__($self, *_args)")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Serial(*_args, **_kwargs)\n--\n\nSerial port whose I/O methods return futures.")},
    {Py_tp_new, reinterpret_cast<void*>(serial::new_port_object)},
    {Py_tp_init, reinterpret_cast<void*>(serial::init_port_object)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "korvane.aio.Serial",
    sizeof(SerialBaseObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

py::OnceCell cell;

}  // namespace

namespace {
PyObject* serial_for_url(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&] { return serial::for_url(serial_type(), args, kwargs).release(); });
}
}  // namespace

PyMethodDef serial_for_url_def = {
    "serial_for_url", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(serial_for_url)),
    METH_VARARGS | METH_KEYWORDS,
    "serial_for_url(url, *args, do_not_open=False, **kwargs)\n--\n\n"
    "Returns an `korvane.aio.Serial` for `url`, which is a device name or `loop://`."};

PyObject* serial_type() {
    return cell.get([] { return Ref::steal(PyType_FromSpecWithBases(&spec, serial::serial_base_type())); });
}

}  // namespace korvane::aio
