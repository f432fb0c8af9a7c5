// The asyncio transport over a serial port: _TransportCore, the run-time built
// SerialTransport class, and the connection functions of korvane.aio.
#pragma once

#include <Python.h>

#include "module/capi/ref.hpp"

namespace korvane::transport {

// A new SerialTransport over `serial` (a SerialBase) that reports to
// `protocol`; connection_made and the first read are scheduled on `loop`. Throws.
py::Ref create(PyObject* loop, PyObject* protocol, PyObject* serial);

// The SerialTransport class (borrowed), built on first use. Throws.
PyObject* serial_transport_class();

// (transport, protocol_factory()) for `serial`. Throws.
py::Ref connect(PyObject* loop, PyObject* protocol_factory, PyObject* serial);

// korvane.aio.__getattr__, which serves SerialTransport.
extern PyMethodDef getattr_def;

// Adds __getattr__ and the connection functions to korvane.aio, with its
// __all__ naming SerialTransport instead of __getattr__. Throws.
void add_to_aio(PyObject* aio);

}  // namespace korvane::transport
