// Method calls on hot paths: names interned once per process, arguments passed
// through vectorcall, so a call builds no name, tuple or keyword dictionary.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>

#include "module/capi/once.hpp"
#include "module/capi/ref.hpp"

namespace korvane::py {

// module.name, importing the module. Throws.
inline Ref import_attr(const char* module, const char* name) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    return Ref::steal(PyObject_GetAttrString(m.get(), name));
}

template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// The interned string `L`, made at first use and kept (borrowed).
template <Literal L>
PyObject* name() {
    static OnceCell cell;
    return cell.get([] { return Ref::steal(PyUnicode_InternFromString(L.text)); });
}

// obj.<L>(args...): a new reference, or null with the exception set.
template <Literal L, class... A>
PyObject* call_method_raw(PyObject* obj, A... args) {
    PyObject* argv[] = {obj, args...};
    return PyObject_VectorcallMethod(name<L>(), argv, 1 + sizeof...(A), nullptr);
}

// As call_method_raw, throwing ErrorAlreadySet on failure.
template <Literal L, class... A>
Ref call_method(PyObject* obj, A... args) {
    return Ref::steal(call_method_raw<L>(obj, args...));
}

}  // namespace korvane::py
