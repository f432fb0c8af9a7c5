#include <gtest/gtest.h>

#include "engine/errors.hpp"
#include "module/errors_py.hpp"
#include "py_support.hpp"

using namespace korvane;
using test::outcome;

TEST(PyErrors, Mapping) {
    using Tty = SerialError::TtyKind;
    struct Case {
        SerialError error;
        std::string expected;
    };
    const Case cases[] = {
        {SerialError::os(2), "SerialException: [Errno 2] No such file or directory (os error 2)"},
        {SerialError::io("the operation panicked"), "SerialException: the operation panicked"},
        {SerialError::timeout("Write timeout"), "SerialTimeoutException: Write timeout"},
        {SerialError::not_open(), "PortNotOpenError: Attempting to use a port that is not open"},
        {SerialError::already_open(), "SerialException: Port is already open."},
        {SerialError::not_configured(), "SerialException: Port must be configured before it can be used."},
        {SerialError::forked(), "SerialException: korvane cannot be used in a child process created by fork()"},
        {SerialError::invalid_value("Not a valid timeout: -1"), "ValueError: Not a valid timeout: -1"},
        {SerialError::tty(Tty::InvalidInput, "bad"), "ValueError: bad"},
        {SerialError::cancelled(), "CancelledError: "},
        {SerialError::open_failed("/dev/x", SerialError::tty(Tty::Io, "No such file or directory")),
         "SerialException: [Errno 2] could not open port /dev/x: [Errno 2] No such file or directory"},
        {SerialError::io("bad \xff byte"), "SerialException: bad \xef\xbf\xbd byte"},
    };
    for (const auto& c : cases) EXPECT_EQ(outcome([&] { throw c.error; }), c.expected);
}

TEST(PyErrors, ErrnoAndArgs) {
    py::raise(SerialError::os(5));
    PyObject* exc = PyErr_GetRaisedException();
    py::Ref errno_value = py::Ref::steal(PyObject_GetAttrString(exc, "errno"));
    EXPECT_EQ(PyLong_AsLong(errno_value.get()), 5);
    EXPECT_EQ(Py_TYPE(exc), reinterpret_cast<PyTypeObject*>(errors::serial_exception()));
    Py_DECREF(exc);

    py::raise(SerialError::cancelled());
    exc = PyErr_GetRaisedException();
    py::Ref args = py::Ref::steal(PyObject_GetAttrString(exc, "args"));
    EXPECT_EQ(PyTuple_Size(args.get()), 0);
    Py_DECREF(exc);

    py::raise(SerialError::io("x"));
    exc = PyErr_GetRaisedException();
    errno_value = py::Ref::steal(PyObject_GetAttrString(exc, "errno"));
    EXPECT_EQ(errno_value.get(), Py_None);
    Py_DECREF(exc);
}

TEST(PyErrors, Hierarchy) {
    PyObject* base = errors::serial_exception();
    EXPECT_TRUE(PyObject_IsSubclass(base, PyExc_OSError));
    EXPECT_TRUE(PyObject_IsSubclass(errors::serial_timeout_exception(), base));
    EXPECT_TRUE(PyObject_IsSubclass(errors::port_not_open_error(), base));
    EXPECT_EQ(base, errors::serial_exception());
    py::Ref module = py::Ref::steal(PyObject_GetAttrString(base, "__module__"));
    EXPECT_STREQ(PyUnicode_AsUTF8(module.get()), "korvane");
}

TEST(PyErrors, CppExceptionsAtTheBoundary) {
    EXPECT_EQ(outcome([] { throw std::bad_alloc(); }), "MemoryError: ");
    EXPECT_EQ(outcome([] { throw std::runtime_error("boom"); }), "SystemError: boom");
}
