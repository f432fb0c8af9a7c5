// The package's three exception types.
#pragma once

#include <Python.h>

namespace korvane::errors {

// Each is made once per process on first use; borrowed references. They throw
// py::ErrorAlreadySet when the type cannot be made.
PyObject* serial_exception();
PyObject* serial_timeout_exception();
PyObject* port_not_open_error();

}  // namespace korvane::errors
