#include "module/capi/args.hpp"

#include <string>

namespace korvane::py {

void add_note(std::string_view name) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    std::string note = "while processing '";
    note += name;
    note += '\'';
    PyObject* r = PyObject_CallMethod(exc, "add_note", "s#", note.data(), static_cast<Py_ssize_t>(note.size()));
    if (r) {
        Py_DECREF(r);
        PyErr_SetRaisedException(exc);
    } else {
        // The note could not be added: the original error still matters more.
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
}

}  // namespace korvane::py
