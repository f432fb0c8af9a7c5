// SerialBase, the blocking Serial, and the conversions of their arguments.
#pragma once

#include <Python.h>

#include <memory>

#include "engine/port.hpp"
#include "module/serial_ops.hpp"
#include "module/capi/ref.hpp"

namespace korvane {

struct SerialBaseObject {
    PyObject_HEAD
    std::shared_ptr<PortCore> core;
};

namespace serial {

// Borrowed references to the process-wide types. Throw.
PyObject* serial_base_type();
PyObject* serial_type();

// The PortCore of a SerialBase instance, or null when obj is not one.
std::shared_ptr<PortCore> core_of(PyObject* obj) noexcept;

// tp_new of both port classes: an unopened port of the given subclass.
PyObject* new_port_object(PyTypeObject* type, PyObject* args, PyObject* kwargs);
// The shared body of both __init__ functions.
int init_port_object(PyObject* self, PyObject* args, PyObject* kwargs);
// SerialBase::enter: opens through self.open() when named and closed. Throws.
void enter(PyObject* self);

// The I/O methods with a fast path, for both classes: a blocking one runs the
// call to its end, a started one returns its future.
enum class Mode { Blocking, Started };
template <Mode M>
PyObject* read_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <Mode M>
PyObject* read_until_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <Mode M>
PyObject* readline_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <Mode M>
PyObject* write_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The other I/O methods' operations, built from their Python arguments. Throw.
ops::Operation build_readlines(PyObject* self, PyObject* args, PyObject* kwargs);
ops::Operation build_flush(PyObject* self, PyObject* args, PyObject* kwargs);
ops::Operation build_send_break(PyObject* self, PyObject* args, PyObject* kwargs);
// self.read(self.in_waiting), both looked up by name.
PyObject* read_all(PyObject* self, PyObject*);

// serial_for_url's body: makes cls(None, *args, **kwargs), sets its port to
// url and opens it unless asked not to. Throws.
py::Ref for_url(PyObject* cls, PyObject* args, PyObject* kwargs);
// korvane.serial_for_url, making a blocking Serial.
extern PyMethodDef serial_for_url_def;

}  // namespace serial

namespace aio {
// korvane.aio.Serial (borrowed). Throws.
PyObject* serial_type();
// korvane.aio.serial_for_url, making an aio.Serial.
extern PyMethodDef serial_for_url_def;
}  // namespace aio

}  // namespace korvane
