#include "module/conversions.hpp"

#include <cmath>
#include <string_view>

#include "module/capi/entry.hpp"
#include "module/capi/once.hpp"

namespace korvane {
namespace serial {

using py::Ref;

ByteVec to_bytes(PyObject* value) {
    if (PyBytes_Check(value)) {
        auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value));
        return ByteVec(p, p + PyBytes_GET_SIZE(value));
    }
    if (PyUnicode_Check(value)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(value, &n);
        if (!s) throw py::ErrorAlreadySet{};
        auto* p = reinterpret_cast<const std::uint8_t*>(s);
        return ByteVec(p, p + n);
    }
    Ref view = Ref::steal_or_null(PyMemoryView_FromObject(value));
    if (!view) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::ErrorAlreadySet{};
        PyErr_Clear();
        std::string name = "?";
        if (Ref n = Ref::steal_or_null(PyType_GetName(Py_TYPE(value)))) {
            if (const char* s = PyUnicode_AsUTF8(n.get()))
                name = s;
            else
                PyErr_Clear();
        } else {
            PyErr_Clear();
        }
        PyErr_Format(PyExc_TypeError, "a bytes-like object or str is required, not '%s'", name.c_str());
        throw py::ErrorAlreadySet{};
    }
    Ref array = Ref::steal(PyByteArray_FromObject(view.get()));
    auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(array.get()));
    return ByteVec(p, p + PyByteArray_GET_SIZE(array.get()));
}

std::string describe(PyObject* value) noexcept {
    Ref repr = Ref::steal_or_null(PyObject_Repr(value));
    if (!repr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    try {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(repr.get(), &size))
            return std::string(utf8, static_cast<std::size_t>(size));
        PyErr_Clear();
        // Lone surrogates cannot be encoded: each becomes U+FFFD.
        std::string text;
        Py_ssize_t n = PyUnicode_GET_LENGTH(repr.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = PyUnicode_READ_CHAR(repr.get(), i);
            if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
            if (c < 0x80) {
                text += static_cast<char>(c);
            } else if (c < 0x800) {
                text += static_cast<char>(0xC0 | (c >> 6));
                text += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                text += static_cast<char>(0xE0 | (c >> 12));
                text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                text += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                text += static_cast<char>(0xF0 | (c >> 18));
                text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                text += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return text;
    } catch (...) {
        return "<unprintable>";
    }
}

namespace {
[[noreturn]] void value_error(std::string_view prefix, PyObject* value) {
    std::string text(prefix);
    text += describe(value);
    PyErr_SetString(PyExc_ValueError, text.c_str());
    throw py::ErrorAlreadySet{};
}
}  // namespace

std::uint32_t read_baudrate(PyObject* value) {
    Ref as_int = Ref::steal_or_null(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyLong_Type), value));
    if (!as_int) {
        PyErr_Clear();
        value_error("Not a valid baudrate: ", value);
    }
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(as_int.get(), &overflow);
    if (overflow != 0 || (n == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        value_error("Not a valid baudrate: ", value);
    }
    if (n < 0 || n > 4294967295LL)
        throw SerialError::invalid_value("Not a valid baudrate: " + std::to_string(n));
    return static_cast<std::uint32_t>(n);
}

std::uint8_t read_bytesize(PyObject* value) {
    double x = PyFloat_Check(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        value_error("Not a valid byte size: ", value);
    }
    if (!(x - std::trunc(x) == 0.0)) value_error("Not a valid byte size: ", value);
    std::int64_t n;
    if (x >= 9223372036854775808.0)
        n = INT64_MAX;
    else if (x <= -9223372036854775808.0)
        n = INT64_MIN;
    else
        n = static_cast<std::int64_t>(x);
    if (n < 5 || n > 8) throw SerialError::invalid_value("Not a valid byte size: " + std::to_string(n));
    return static_cast<std::uint8_t>(n);
}

namespace {
constexpr std::uint32_t standard_rates[] = {
    50,     75,     110,    134,    150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,   19200,  38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000,
};
py::OnceCell baudrate_cell;
}  // namespace

PyObject* baudrate_enum() {
    return baudrate_cell.get([] {
        constexpr auto count = static_cast<Py_ssize_t>(std::size(standard_rates));
        Ref members = Ref::steal(PyList_New(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            std::uint32_t rate = standard_rates[i];
            Ref name = Ref::steal(PyUnicode_FromFormat("B%u", rate));
            Ref v = Ref::steal(PyLong_FromUnsignedLong(rate));
            PyList_SET_ITEM(members.get(), i, py::check(PyTuple_Pack(2, name.get(), v.get())));
        }
        Ref kwargs = Ref::steal(PyDict_New());
        Ref module_name = Ref::steal(PyUnicode_FromString("korvane"));
        py::check(PyDict_SetItemString(kwargs.get(), "module", module_name.get()));
        Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
        Ref int_enum = Ref::steal(PyObject_GetAttrString(enum_module.get(), "IntEnum"));
        Ref cls_name = Ref::steal(PyUnicode_FromString("Baudrate"));
        Ref args = Ref::steal(PyTuple_Pack(2, cls_name.get(), members.get()));
        return Ref::steal(PyObject_Call(int_enum.get(), args.get(), kwargs.get()));
    });
}

}  // namespace serial

namespace settings {

Seconds seconds_from_python(PyObject* value) {
    if (PyLong_Check(value)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0 && !(n == -1 && PyErr_Occurred())) return Seconds::from_int(n);
        PyErr_Clear();
    }
    double x = PyFloat_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        std::string text = "Not a valid timeout: " + serial::describe(value);
        PyErr_SetString(PyExc_ValueError, text.c_str());
        throw py::ErrorAlreadySet{};
    }
    return Seconds::from_float(x);
}

}  // namespace settings
}  // namespace korvane
