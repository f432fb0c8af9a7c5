#include <Python.h>
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "_korvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__korvane() { return PyModuleDef_Init(&def); }
