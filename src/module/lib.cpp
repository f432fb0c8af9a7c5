// The extension module's start-up: fills _korvane and builds its submodules.
#include <Python.h>

#include <atomic>

#include "module/conversions.hpp"
#include "module/errors_py.hpp"
#include "module/future.hpp"
#include "module/list_ports.hpp"
#include "module/capi/entry.hpp"
#include "module/capi/module.hpp"
#include "module/capi/thread.hpp"
#include "module/serial.hpp"
#include "module/transport/transport.hpp"

namespace korvane {
namespace {

using py::Ref;

void add_str(PyObject* m, const char* name, const char* value) {
    Ref v = Ref::steal(PyUnicode_FromString(value));
    py::add_name(m, name, v.get());
}
void add_int(PyObject* m, const char* name, long value) {
    Ref v = Ref::steal(PyLong_FromLong(value));
    py::add_name(m, name, v.get());
}
void add_byte(PyObject* m, const char* name, char value) {
    Ref v = Ref::steal(PyBytes_FromStringAndSize(&value, 1));
    py::add_name(m, name, v.get());
}

// Deliveries from the runtime's workers stop before finalization begins.
PyObject* exit_gate(PyObject*, PyObject*) {
    py::close_exit_gate();
    Py_RETURN_NONE;
}
PyMethodDef exit_gate_def = {"_korvane_exit_gate", exit_gate, METH_NOARGS, nullptr};

void register_exit_gate(PyObject* module) {
    static std::atomic<bool> registered{false};
    if (registered.load(std::memory_order_acquire)) return;
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref fn = Ref::steal(PyCFunction_New(&exit_gate_def, module));
    Ref r = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
    registered.store(true, std::memory_order_release);
}

void build_aio(PyObject* module) {
    Ref aio = py::new_module("korvane.aio");
    py::add_type(aio.get(), aio::future_type());
    py::add_type(aio.get(), aio::serial_type());
    py::add_function(aio.get(), &aio::serial_for_url_def);
    transport::add_to_aio(aio.get());
    py::add_submodule(module, "aio", aio.get());
}

void build_tools(PyObject* module) {
    Ref tools = py::new_module("korvane.tools");
    Ref list_ports = py::new_module("korvane.tools.list_ports");
    py::add_type(list_ports.get(), list_ports::list_port_info_type());
    py::add_function(list_ports.get(), &list_ports::comports_def);
    py::add_submodule(tools.get(), "list_ports", list_ports.get());
    py::add_submodule(module, "tools", tools.get());
}

void korvane_body(PyObject* module) {
    add_str(module, "__version__", "0.3.0");
    add_str(module, "PARITY_NONE", "N");
    add_str(module, "PARITY_EVEN", "E");
    add_str(module, "PARITY_ODD", "O");
    add_str(module, "PARITY_MARK", "M");
    add_str(module, "PARITY_SPACE", "S");

    Ref names = Ref::steal(PyDict_New());
    for (auto [k, v] : {std::pair{"N", "None"}, {"E", "Even"}, {"O", "Odd"}, {"M", "Mark"}, {"S", "Space"}}) {
        Ref value = Ref::steal(PyUnicode_FromString(v));
        py::check(PyDict_SetItemString(names.get(), k, value.get()));
    }
    py::add_name(module, "PARITY_NAMES", names.get());

    add_int(module, "STOPBITS_ONE", 1);
    Ref one_and_half = Ref::steal(PyFloat_FromDouble(1.5));
    py::add_name(module, "STOPBITS_ONE_POINT_FIVE", one_and_half.get());
    add_int(module, "STOPBITS_TWO", 2);
    add_int(module, "FIVEBITS", 5);
    add_int(module, "SIXBITS", 6);
    add_int(module, "SEVENBITS", 7);
    add_int(module, "EIGHTBITS", 8);
    add_byte(module, "XON", 0x11);
    add_byte(module, "XOFF", 0x13);
    add_byte(module, "CR", 0x0D);
    add_byte(module, "LF", 0x0A);

    py::add_type(module, errors::serial_exception());
    py::add_type(module, errors::serial_timeout_exception());
    py::add_type(module, errors::port_not_open_error());
    py::add_name(module, "Baudrate", serial::baudrate_enum());
    py::add_type(module, serial::serial_base_type());
    py::add_type(module, serial::serial_type());
    py::add_function(module, &serial::serial_for_url_def);

    build_aio(module);
    build_tools(module);
    register_exit_gate(module);
}

int korvane_exec(PyObject* module) {
    return py::entry([&] {
        if (!PyModule_Check(module)) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyModule'",
                         Py_TYPE(module)->tp_name);
            throw py::ErrorAlreadySet{};
        }
        korvane_body(module);
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(korvane_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The types are per process, so a sub-interpreter must not share them.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_korvane", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace korvane

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__korvane() {
    return PyModuleDef_Init(&korvane::module_def);
}
