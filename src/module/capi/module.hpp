// Adding names to modules: every name also goes into the module's __all__.
#pragma once

#include <Python.h>

#include "module/capi/ref.hpp"

namespace korvane::py {

// Appends name to module.__all__ (creating the list when missing) and sets
// the attribute. Throws.
void add_name(PyObject* module, const char* name, PyObject* value);
// A type under its class name.
void add_type(PyObject* module, PyObject* type);
// A function made from def, bound to module (its __self__ and __module__). Throws.
void add_function(PyObject* module, PyMethodDef* def);
// A new module object named name (no docstring). Throws.
Ref new_module(const char* name);
// Adds child to parent under name and enters it into sys.modules under its own
// __name__. Throws.
void add_submodule(PyObject* parent, const char* name, PyObject* child);

}  // namespace korvane::py
