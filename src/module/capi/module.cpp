#include "module/capi/module.hpp"

namespace korvane::py {

namespace {
Ref module_all(PyObject* module) {
    PyObject* all = nullptr;
    if (check(PyObject_GetOptionalAttrString(module, "__all__", &all)) == 0) {
        Ref fresh = Ref::steal(PyList_New(0));
        check(PyObject_SetAttrString(module, "__all__", fresh.get()));
        return fresh;
    }
    Ref list = Ref::steal(all);
    if (!PyList_Check(list.get())) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyList'", Py_TYPE(list.get())->tp_name);
        throw ErrorAlreadySet{};
    }
    return list;
}
}  // namespace

void add_name(PyObject* module, const char* name, PyObject* value) {
    Ref all = module_all(module);
    Ref text = Ref::steal(PyUnicode_FromString(name));
    check(PyList_Append(all.get(), text.get()));
    check(PyObject_SetAttr(module, text.get(), value));
}

void add_type(PyObject* module, PyObject* type) {
    Ref name = Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
    const char* s = PyUnicode_AsUTF8(name.get());
    if (!s) throw ErrorAlreadySet{};
    add_name(module, s, type);
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref fn = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    add_name(module, def->ml_name, fn.get());
}

Ref new_module(const char* name) { return Ref::steal(PyModule_New(name)); }

void add_submodule(PyObject* parent, const char* name, PyObject* child) {
    add_name(parent, name, child);
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    Ref modules = Ref::steal(PyObject_GetAttrString(sys.get(), "modules"));
    Ref child_name = Ref::steal(PyModule_GetNameObject(child));
    check(PyObject_SetItem(modules.get(), child_name.get(), child));
}

}  // namespace korvane::py
