#pragma once

#include <Python.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>

#include "module/capi/entry.hpp"
#include "module/capi/ref.hpp"
#include "module/capi/thread.hpp"

namespace korvane::test {

// A test thread that may need the interpreter (a completion delivered to a
// loop attaches): joined with the interpreter released, or a thread still
// waiting to attach after the test's loop has ended would never finish.
class PyThread {
public:
    template <class F>
    explicit PyThread(F&& f) : thread_(std::forward<F>(f)) {}
    PyThread(PyThread&&) noexcept = default;
    PyThread& operator=(PyThread&&) = delete;
    ~PyThread() { join(); }
    void join() {
        if (!thread_.joinable()) return;
        py::Detached d;
        thread_.join();
    }

private:
    std::jthread thread_;
};

// Evaluates a Python expression (with array, math and fractions at hand).
inline py::Ref eval(const char* expr) {
    py::Ref globals = py::Ref::steal(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    PyObject* r = PyRun_String("import array, math, fractions", Py_file_input, globals.get(), globals.get());
    Py_XDECREF(r);
    PyObject* v = PyRun_String(expr, Py_eval_input, globals.get(), globals.get());
    if (!v) {
        PyErr_Print();
        ADD_FAILURE() << "could not evaluate " << expr;
        return py::Ref::borrow(Py_None);
    }
    return py::Ref::steal(v);
}

// What a failed conversion raised: "TypeName: message" plus " | note" per note.
struct Raised {
    std::string text;
};

// Runs f (which throws on failure) with the real mapping, and describes the
// exception it left set; "ok" when nothing was raised.
template <class F>
std::string outcome(F&& f) {
    try {
        f();
        return "ok";
    } catch (...) {
        py::raise_current();
    }
    PyObject* exc = PyErr_GetRaisedException();
    std::string out = Py_TYPE(exc)->tp_name;
    py::Ref s = py::Ref::steal_or_null(PyObject_Str(exc));
    if (s) out += std::string(": ") + PyUnicode_AsUTF8(s.get());
    PyObject* notes = nullptr;
    if (PyObject_GetOptionalAttrString(exc, "__notes__", &notes) > 0) {
        for (Py_ssize_t i = 0; i < PyList_Size(notes); ++i)
            out += std::string(" | ") + PyUnicode_AsUTF8(PyList_GetItem(notes, i));
        Py_DECREF(notes);
    }
    PyErr_Clear();
    Py_DECREF(exc);
    return out;
}

}  // namespace korvane::test

namespace korvane::test {

// Runs Python statements with the given names bound; a raised exception fails
// the test with its traceback.
inline void run_in(PyObject* globals, const char* code,
                   std::initializer_list<std::pair<const char*, PyObject*>> names = {}) {
    for (auto& [k, v] : names) PyDict_SetItemString(globals, k, v);
    PyObject* r = PyRun_String(code, Py_file_input, globals, globals);
    if (!r) {
        PyObject* exc = PyErr_GetRaisedException();
        py::Ref tb = py::Ref::steal_or_null(PyImport_ImportModule("traceback"));
        std::string text = "?";
        if (tb) {
            py::Ref lines = py::Ref::steal_or_null(PyObject_CallMethod(tb.get(), "format_exception", "O", exc));
            py::Ref empty = py::Ref::steal(PyUnicode_FromString(""));
            if (lines) {
                py::Ref joined = py::Ref::steal_or_null(PyUnicode_Join(empty.get(), lines.get()));
                if (joined) text = PyUnicode_AsUTF8(joined.get());
            }
        }
        PyErr_Clear();
        Py_XDECREF(exc);
        ADD_FAILURE() << text;
        return;
    }
    Py_DECREF(r);
}

// A namespace that lasts across several runs.
struct Namespace {
    py::Ref globals = [] {
        py::Ref g = py::Ref::steal(PyDict_New());
        PyDict_SetItemString(g.get(), "__builtins__", PyEval_GetBuiltins());
        return g;
    }();
    void run(const char* code, std::initializer_list<std::pair<const char*, PyObject*>> names = {}) {
        run_in(globals.get(), code, names);
    }
};

inline void run(const char* code, std::initializer_list<std::pair<const char*, PyObject*>> names = {}) {
    Namespace().run(code, names);
}

}  // namespace korvane::test
