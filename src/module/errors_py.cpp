#include "module/errors_py.hpp"

#include <string>

#include "engine/errors.hpp"
#include "module/capi/entry.hpp"
#include "module/capi/once.hpp"

namespace korvane {
namespace errors {
namespace {

py::OnceCell serial_exception_cell, timeout_cell, not_open_cell;

PyObject* exception_type(py::OnceCell& cell, const char* name, PyObject* base) {
    return cell.get([&] {
        PyObject* type = PyErr_NewExceptionWithDoc(name, nullptr, base, nullptr);
        if (!type) {
            PyErr_Clear();
            PyErr_SetString(PyExc_SystemError, "Failed to initialize new exception type.");
        }
        return py::Ref::steal(type);
    });
}

}  // namespace

PyObject* serial_exception() { return exception_type(serial_exception_cell, "korvane.SerialException", PyExc_OSError); }
PyObject* serial_timeout_exception() {
    return exception_type(timeout_cell, "korvane.SerialTimeoutException", serial_exception());
}
PyObject* port_not_open_error() {
    return exception_type(not_open_cell, "korvane.PortNotOpenError", serial_exception());
}

}  // namespace errors

namespace py {
namespace {

// Systems texts arrive as UTF-8 and may hold anything.
Ref text(const std::string& s) {
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

// Raise by calling the type, so OSError's errno mapping cannot swap the type.
void raise_instance(PyObject* type, std::initializer_list<PyObject*> args) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (PyObject* a : args) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(a));
    Ref instance = Ref::steal(PyObject_Call(type, tuple.get(), nullptr));
    PyErr_SetRaisedException(instance.release());
}

void raise_or_throw(const SerialError& e) {
    using K = SerialError::Kind;
    switch (e.kind()) {
    case K::Io:
        if (auto n = e.os_errno()) {
            Ref code = Ref::steal(PyLong_FromLong(*n));
            raise_instance(errors::serial_exception(), {code.get(), text(e.text()).get()});
        } else {
            raise_instance(errors::serial_exception(), {text(e.text()).get()});
        }
        return;
    case K::Timeout: raise_instance(errors::serial_timeout_exception(), {text(e.text()).get()}); return;
    case K::NotOpen: raise_instance(errors::port_not_open_error(), {text(e.text()).get()}); return;
    case K::AlreadyOpen:
    case K::NotConfigured:
    case K::Forked: raise_instance(errors::serial_exception(), {text(e.text()).get()}); return;
    case K::InvalidValue: PyErr_SetObject(PyExc_ValueError, text(e.text()).get()); return;
    case K::Cancelled: {
        Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
        Ref type = Ref::steal(PyObject_GetAttrString(asyncio.get(), "CancelledError"));
        raise_instance(type.get(), {});
        return;
    }
    }
}

}  // namespace

void raise(SerialError error) noexcept {
    try {
        raise_or_throw(error);
    } catch (const ErrorAlreadySet&) {
        // the failure to build the exception is what the caller sees
    } catch (...) {
        PyErr_NoMemory();
    }
}

void raise_current() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const SerialError& e) {
        raise(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace py
}  // namespace korvane
