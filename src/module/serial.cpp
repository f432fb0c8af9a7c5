#include "module/serial.hpp"

#include <cmath>
#include <cstring>

#include "module/conversions.hpp"
#include "module/errors_py.hpp"
#include "module/capi/args.hpp"
#include "module/capi/entry.hpp"
#include "module/capi/once.hpp"
#include "module/capi/thread.hpp"
#include "module/serial_fast.hpp"
#include "module/serial_ops.hpp"
#include "engine/settings.hpp"

namespace korvane::serial {

using py::Ref;

namespace {

SerialBaseObject* as_port(PyObject* self) { return reinterpret_cast<SerialBaseObject*>(self); }
const std::shared_ptr<PortCore>& core(PyObject* self) { return as_port(self)->core; }

// One PortCore call with the interpreter released; a failure is raised.
template <class F>
auto on_core(PyObject* self, F&& f) {
    auto& c = core(self);
    auto r = py::detached([&] { return f(*c); });
    return py::value_or_throw(std::move(r));
}

// ---- conversions of arguments and property values ----

[[noreturn]] void cannot_convert(PyObject* value, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to '%s'", Py_TYPE(value)->tp_name, target);
    throw py::ErrorAlreadySet{};
}

std::string to_str(PyObject* value) {
    if (!PyUnicode_Check(value)) cannot_convert(value, "PyString");
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(value, &n);
    if (!s) throw py::ErrorAlreadySet{};
    return std::string(s, static_cast<std::size_t>(n));
}

std::optional<std::string> to_port_name(PyObject* value) {
    if (value == Py_None) return std::nullopt;
    return to_str(value);
}

bool truth(PyObject* value) { return py::check(PyObject_IsTrue(value)) != 0; }

std::optional<bool> optional_truth(PyObject* value) {
    if (value == Py_None) return std::nullopt;
    return truth(value);
}

double to_double(PyObject* value) {
    double x = PyFloat_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    return x;
}

std::optional<Seconds> to_timeout(PyObject* value) {
    if (value == Py_None) return std::nullopt;
    return settings::seconds_from_python(value);
}

// ---- the package's own checks: ValueError without a note ----

Parity check_parity(const std::string& text) {
    if (text.size() == 1) {
        switch (text[0]) {
        case 'N': return Parity::None;
        case 'E': return Parity::Even;
        case 'O': return Parity::Odd;
        case 'M': return Parity::Mark;
        case 'S': return Parity::Space;
        default: break;
        }
    }
    throw SerialError::invalid_value("Not a valid parity: '" + text + "'");
}

StopBits check_stopbits(double x) {
    if (x == 1.0) return StopBits::One;
    if (x == 1.5) return StopBits::OnePointFive;
    if (x == 2.0) return StopBits::Two;
    throw SerialError::invalid_value("Not a valid stop bit size: " + settings::float_text(x));
}

std::optional<Seconds> check_timeout(std::optional<Seconds> t) { return py::value_or_throw(settings::seconds(t)); }

// ---- Python forms of stored values ----

const char* parity_letter(Parity p) {
    switch (p) {
    case Parity::None: return "N";
    case Parity::Even: return "E";
    case Parity::Odd: return "O";
    case Parity::Mark: return "M";
    case Parity::Space: return "S";
    }
    return "N";
}

Ref stopbits_py(StopBits s) {
    switch (s) {
    case StopBits::One: return Ref::steal(PyLong_FromLong(1));
    case StopBits::OnePointFive: return Ref::steal(PyFloat_FromDouble(1.5));
    case StopBits::Two: return Ref::steal(PyLong_FromLong(2));
    }
    return Ref::steal(PyLong_FromLong(1));
}

Ref timeout_py(const std::optional<Seconds>& t) {
    if (!t) return Ref::borrow(Py_None);
    if (t->is_int()) return Ref::steal(PyLong_FromLongLong(t->i));
    return Ref::steal(PyFloat_FromDouble(t->f));
}

Ref bool_py(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

Ref optional_bool_py(const std::optional<bool>& b) { return b ? bool_py(*b) : Ref::borrow(Py_None); }

Ref port_name_py(const std::optional<std::string>& name) {
    if (!name) return Ref::borrow(Py_None);
    return Ref::steal(PyUnicode_DecodeUTF8(name->data(), static_cast<Py_ssize_t>(name->size()), "surrogateescape"));
}

port::State state_of(PyObject* self) { return core(self)->state(); }

// ---- properties ----

[[noreturn]] void no_deleter() {
    PyErr_SetString(PyExc_AttributeError, "property has no deleter");
    throw py::ErrorAlreadySet{};
}

template <class Get>
PyObject* getter(PyObject* self, Get&& get) {
    return py::entry([&] { return get(state_of(self)).release(); });
}

// A setter: convert (noted "value"), check, then one PortCore call detached.
template <class Convert, class Apply>
int setter(PyObject* self, PyObject* value, Convert&& convert, Apply&& apply) {
    return py::entry([&] {
        if (!value) no_deleter();
        auto converted = py::noted("value", [&] { return convert(value); });
        auto checked = apply(converted);  // a callable of PortCore&
        on_core(self, checked);
        return 0;
    });
}

// A setter that changes one field of the settings record.
template <class Convert, class Fill>
int update_setter(PyObject* self, PyObject* value, Convert&& convert, Fill&& fill) {
    return setter(self, value, convert, [&](auto& converted) {
        SettingsUpdate u;
        fill(u, converted);
        return [u](PortCore& c) { return c.update_settings(u); };
    });
}

#define KORVANE_GETTER(fn, expr) \
    PyObject* fn(PyObject* self, void*) { return getter(self, [](const port::State& s) { return expr; }); }

KORVANE_GETTER(get_port, port_name_py(s.port))
KORVANE_GETTER(get_baudrate, Ref::steal(PyLong_FromUnsignedLong(s.settings.baudrate)))
KORVANE_GETTER(get_bytesize, Ref::steal(PyLong_FromLong(s.settings.bytesize)))
KORVANE_GETTER(get_parity, Ref::steal(PyUnicode_FromString(parity_letter(s.settings.parity))))
KORVANE_GETTER(get_stopbits, stopbits_py(s.settings.stopbits))
KORVANE_GETTER(get_timeout, timeout_py(s.settings.timeout))
KORVANE_GETTER(get_write_timeout, timeout_py(s.settings.write_timeout))
KORVANE_GETTER(get_inter_byte_timeout, timeout_py(s.settings.inter_byte_timeout))
KORVANE_GETTER(get_xonxoff, bool_py(s.settings.xonxoff))
KORVANE_GETTER(get_rtscts, bool_py(s.settings.rtscts))
KORVANE_GETTER(get_dsrdtr, bool_py(s.settings.dsrdtr))
KORVANE_GETTER(get_exclusive, optional_bool_py(s.settings.exclusive))
KORVANE_GETTER(get_rts, bool_py(s.rts))
KORVANE_GETTER(get_dtr, bool_py(s.dtr))
KORVANE_GETTER(get_break_condition, bool_py(s.break_condition))
#undef KORVANE_GETTER

int set_port(PyObject* self, PyObject* value, void*) {
    return setter(self, value, to_port_name, [](auto& name) {
        return [name](PortCore& c) { return c.set_port(name); };
    });
}
int set_baudrate(PyObject* self, PyObject* value, void*) {
    return update_setter(self, value, read_baudrate, [](SettingsUpdate& u, std::uint32_t v) { u.baudrate = v; });
}
int set_bytesize(PyObject* self, PyObject* value, void*) {
    return update_setter(self, value, read_bytesize, [](SettingsUpdate& u, std::uint8_t v) { u.bytesize = v; });
}
int set_parity(PyObject* self, PyObject* value, void*) {
    return update_setter(self, value, to_str, [](SettingsUpdate& u, const std::string& v) { u.parity = check_parity(v); });
}
int set_stopbits(PyObject* self, PyObject* value, void*) {
    return update_setter(self, value, to_double, [](SettingsUpdate& u, double v) { u.stopbits = check_stopbits(v); });
}
int set_timeout(PyObject* self, PyObject* value, void*) {
    return update_setter(self, value, to_timeout,
                         [](SettingsUpdate& u, std::optional<Seconds> v) { u.timeout = check_timeout(v); });
}
int set_write_timeout(PyObject* self, PyObject* value, void*) {
    return update_setter(self, value, to_timeout,
                         [](SettingsUpdate& u, std::optional<Seconds> v) { u.write_timeout = check_timeout(v); });
}
int set_inter_byte_timeout(PyObject* self, PyObject* value, void*) {
    return update_setter(self, value, to_timeout,
                         [](SettingsUpdate& u, std::optional<Seconds> v) { u.inter_byte_timeout = check_timeout(v); });
}
int set_xonxoff(PyObject* self, PyObject* value, void*) {
    return update_setter(self, value, truth, [](SettingsUpdate& u, bool v) { u.xonxoff = v; });
}
int set_rtscts(PyObject* self, PyObject* value, void*) {
    return update_setter(self, value, truth, [](SettingsUpdate& u, bool v) { u.rtscts = v; });
}
int set_dsrdtr(PyObject* self, PyObject* value, void*) {
    return update_setter(self, value, optional_truth, [](SettingsUpdate& u, std::optional<bool> v) { u.dsrdtr = v; });
}
int set_exclusive(PyObject* self, PyObject* value, void*) {
    return update_setter(self, value, optional_truth,
                         [](SettingsUpdate& u, std::optional<bool> v) { u.exclusive = v; });
}
int set_rts(PyObject* self, PyObject* value, void*) {
    return setter(self, value, truth, [](bool v) { return [v](PortCore& c) { return c.set_rts(v); }; });
}
int set_dtr(PyObject* self, PyObject* value, void*) {
    return setter(self, value, truth, [](bool v) { return [v](PortCore& c) { return c.set_dtr(v); }; });
}
int set_break_condition(PyObject* self, PyObject* value, void*) {
    return setter(self, value, truth, [](bool v) { return [v](PortCore& c) { return c.set_break_condition(v); }; });
}

// Read-only queries made with the interpreter released.
PyObject* get_is_open(PyObject* self, void*) {
    return py::entry([&] {
        auto& c = core(self);
        return PyBool_FromLong(py::detached([&] { return c->is_open(); }));
    });
}

template <class Call>
PyObject* bool_query(PyObject* self, Call&& call) {
    return py::entry([&] { return PyBool_FromLong(on_core(self, call)); });
}
template <class Call>
PyObject* count_query(PyObject* self, Call&& call) {
    return py::entry([&] { return PyLong_FromSize_t(on_core(self, call)); });
}

PyObject* get_cts(PyObject* self, void*) { return bool_query(self, [](PortCore& c) { return c.cts(); }); }
PyObject* get_dsr(PyObject* self, void*) { return bool_query(self, [](PortCore& c) { return c.dsr(); }); }
PyObject* get_ri(PyObject* self, void*) { return bool_query(self, [](PortCore& c) { return c.ri(); }); }
PyObject* get_cd(PyObject* self, void*) { return bool_query(self, [](PortCore& c) { return c.cd(); }); }
PyObject* get_in_waiting(PyObject* self, void*) {
    return count_query(self, [](PortCore& c) { return c.in_waiting(); });
}
PyObject* get_out_waiting(PyObject* self, void*) {
    return count_query(self, [](PortCore& c) { return c.out_waiting(); });
}

// ---- methods ----

PyObject* m_open(PyObject* self, PyObject*) {
    return py::entry([&] {
        on_core(self, [](PortCore& c) { return c.open(); });
        Py_RETURN_NONE;
    });
}

PyObject* m_close(PyObject* self, PyObject*) {
    return py::entry([&] {
        auto& c = core(self);
        py::detached([&] { c->close(); });
        Py_RETURN_NONE;
    });
}

PyObject* m_fileno(PyObject* self, PyObject*) {
    return py::entry([&]() -> PyObject* {
        auto fd = on_core(self, [](PortCore& c) { return c.fileno(); });
        if (fd) return PyLong_FromLong(*fd);
        Ref io = Ref::steal(PyImport_ImportModule("io"));
        Ref unsupported = Ref::steal(PyObject_GetAttrString(io.get(), "UnsupportedOperation"));
        Ref exc = Ref::steal(PyObject_CallFunction(unsupported.get(), "s", "fileno"));
        PyErr_SetRaisedException(exc.release());
        throw py::ErrorAlreadySet{};
    });
}

PyObject* m_reset_input_buffer(PyObject* self, PyObject*) {
    return py::entry([&] {
        on_core(self, [](PortCore& c) { return c.reset_input_buffer(); });
        Py_RETURN_NONE;
    });
}

PyObject* m_reset_output_buffer(PyObject* self, PyObject*) {
    return py::entry([&] {
        on_core(self, [](PortCore& c) { return c.reset_output_buffer(); });
        Py_RETURN_NONE;
    });
}

PyObject* m_cancel_read(PyObject* self, PyObject*) {
    core(self)->cancel_read.notify_one();
    Py_RETURN_NONE;
}

PyObject* m_cancel_write(PyObject* self, PyObject*) {
    core(self)->cancel_write.notify_one();
    Py_RETURN_NONE;
}

PyObject* m_get_settings(PyObject* self, PyObject*) {
    return py::entry([&] {
        Settings s = state_of(self).settings;
        Ref d = Ref::steal(PyDict_New());
        auto put = [&](const char* key, Ref v) { py::check(PyDict_SetItemString(d.get(), key, v.get())); };
        put("baudrate", Ref::steal(PyLong_FromUnsignedLong(s.baudrate)));
        put("bytesize", Ref::steal(PyLong_FromLong(s.bytesize)));
        put("parity", Ref::steal(PyUnicode_FromString(parity_letter(s.parity))));
        put("stopbits", stopbits_py(s.stopbits));
        put("xonxoff", bool_py(s.xonxoff));
        put("dsrdtr", bool_py(s.dsrdtr));
        put("rtscts", bool_py(s.rtscts));
        put("timeout", timeout_py(s.timeout));
        put("write_timeout", timeout_py(s.write_timeout));
        put("inter_byte_timeout", timeout_py(s.inter_byte_timeout));
        return d.release();
    });
}

PyObject* m_apply_settings(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        static const char* names[] = {"d", nullptr};
        PyObject* d = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:apply_settings", const_cast<char**>(names), &d))
            throw py::ErrorAlreadySet{};
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        Ref object_type = Ref::steal(PyObject_GetAttrString(builtins.get(), "object"));
        Ref sentinel = Ref::steal(PyObject_CallNoArgs(object_type.get()));
        auto get = [&](const char* key) -> Ref {
            Ref v = Ref::steal(PyObject_CallMethod(d, "get", "sO", key, sentinel.get()));
            return v.get() == sentinel.get() ? Ref() : v;
        };
        SettingsUpdate u;
        if (Ref v = get("baudrate")) u.baudrate = read_baudrate(v.get());
        if (Ref v = get("bytesize")) u.bytesize = read_bytesize(v.get());
        if (Ref v = get("parity")) u.parity = check_parity(to_str(v.get()));
        if (Ref v = get("stopbits")) u.stopbits = check_stopbits(to_double(v.get()));
        if (Ref v = get("xonxoff")) u.xonxoff = truth(v.get());
        if (Ref v = get("dsrdtr")) u.dsrdtr = optional_truth(v.get());
        if (Ref v = get("rtscts")) u.rtscts = truth(v.get());
        if (Ref v = get("timeout")) u.timeout = check_timeout(to_timeout(v.get()));
        if (Ref v = get("write_timeout")) u.write_timeout = check_timeout(to_timeout(v.get()));
        if (Ref v = get("inter_byte_timeout")) u.inter_byte_timeout = check_timeout(to_timeout(v.get()));
        on_core(self, [&](PortCore& c) { return c.update_settings(u); });
        Py_RETURN_NONE;
    });
}

PyObject* base_repr(PyObject* self) {
    return py::entry([&] {
        static const char* templ =
            "{name}<id=0x{id:x}, open={p.is_open}>(port={p.portstr!r}, baudrate={p.baudrate!r}, "
            "bytesize={p.bytesize!r}, parity={p.parity!r}, stopbits={p.stopbits!r}, timeout={p.timeout!r}, "
            "xonxoff={p.xonxoff!r}, rtscts={p.rtscts!r}, dsrdtr={p.dsrdtr!r})";
        Ref kwargs = Ref::steal(PyDict_New());
        Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
        Ref id = Ref::steal(PyLong_FromVoidPtr(self));
        py::check(PyDict_SetItemString(kwargs.get(), "name", name.get()));
        py::check(PyDict_SetItemString(kwargs.get(), "id", id.get()));
        py::check(PyDict_SetItemString(kwargs.get(), "p", self));
        Ref text = Ref::steal(PyUnicode_FromString(templ));
        Ref format = Ref::steal(PyObject_GetAttrString(text.get(), "format"));
        Ref empty = Ref::steal(PyTuple_New(0));
        Ref r = Ref::steal(PyObject_Call(format.get(), empty.get(), kwargs.get()));
        return PyObject_Str(r.get());
    });
}

void base_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (auto& c = as_port(self)->core) {
        // Closing a TTY can wait for its output to drain.
        py::Detached detached;
        c->close();
    }
    as_port(self)->core.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

#define KORVANE_DOC(sig) sig "\n--\n\n"

PyMethodDef base_methods[] = {
    {"cancel_read", m_cancel_read, METH_NOARGS, KORVANE_DOC("cancel_read($self)")},
    {"cancel_write", m_cancel_write, METH_NOARGS, KORVANE_DOC("cancel_write($self)")},
    {"open", m_open, METH_NOARGS, KORVANE_DOC("open($self)")},
    {"close", m_close, METH_NOARGS, KORVANE_DOC("close($self)")},
    {"reset_input_buffer", m_reset_input_buffer, METH_NOARGS, KORVANE_DOC("reset_input_buffer($self)")},
    {"reset_output_buffer", m_reset_output_buffer, METH_NOARGS, KORVANE_DOC("reset_output_buffer($self)")},
    {"get_settings", m_get_settings, METH_NOARGS, KORVANE_DOC("get_settings($self)")},
    {"apply_settings", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_apply_settings)),
     METH_VARARGS | METH_KEYWORDS, KORVANE_DOC("apply_settings($self, d)")},
    {"fileno", m_fileno, METH_NOARGS, KORVANE_DOC("fileno($self)")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef base_getset[] = {
    {"port", get_port, set_port, nullptr, nullptr},
    {"name", get_port, nullptr, nullptr, nullptr},
    {"is_open", get_is_open, nullptr, nullptr, nullptr},
    {"baudrate", get_baudrate, set_baudrate, nullptr, nullptr},
    {"bytesize", get_bytesize, set_bytesize, nullptr, nullptr},
    {"parity", get_parity, set_parity, nullptr, nullptr},
    {"stopbits", get_stopbits, set_stopbits, nullptr, nullptr},
    {"timeout", get_timeout, set_timeout, nullptr, nullptr},
    {"write_timeout", get_write_timeout, set_write_timeout, nullptr, nullptr},
    {"inter_byte_timeout", get_inter_byte_timeout, set_inter_byte_timeout, nullptr, nullptr},
    {"xonxoff", get_xonxoff, set_xonxoff, nullptr, nullptr},
    {"rtscts", get_rtscts, set_rtscts, nullptr, nullptr},
    {"dsrdtr", get_dsrdtr, set_dsrdtr, nullptr, nullptr},
    {"exclusive", get_exclusive, set_exclusive, nullptr, nullptr},
    {"rts", get_rts, set_rts, nullptr, nullptr},
    {"dtr", get_dtr, set_dtr, nullptr, nullptr},
    {"break_condition", get_break_condition, set_break_condition, nullptr, nullptr},
    {"cts", get_cts, nullptr, nullptr, nullptr},
    {"dsr", get_dsr, nullptr, nullptr, nullptr},
    {"ri", get_ri, nullptr, nullptr, nullptr},
    {"cd", get_cd, nullptr, nullptr, nullptr},
    {"in_waiting", get_in_waiting, nullptr, nullptr, nullptr},
    {"out_waiting", get_out_waiting, nullptr, nullptr, nullptr},
    {"portstr", get_port, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot base_slots[] = {
    {Py_tp_doc, const_cast<char*>("Properties and non-I/O methods shared by `korvane.Serial` and `korvane.aio.Serial`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(base_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(base_repr)},
    {Py_tp_methods, base_methods},
    {Py_tp_getset, base_getset},
    {0, nullptr},
};

PyType_Spec base_spec = {
    "korvane.SerialBase",
    sizeof(SerialBaseObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    base_slots,
};

py::OnceCell base_cell, serial_cell;

void set_class_attr(PyObject* type, const char* name, Ref value) {
    py::check(PyDict_SetItemString(reinterpret_cast<PyTypeObject*>(type)->tp_dict, name, value.get()));
}

Ref make_base_type() {
    Ref type = Ref::steal(PyType_FromSpec(&base_spec));
    Ref baudrates = Ref::steal(PySequence_Tuple(baudrate_enum()));
    set_class_attr(type.get(), "BAUDRATES", baudrates);
    set_class_attr(type.get(), "BYTESIZES", Ref::steal(Py_BuildValue("(iiii)", 5, 6, 7, 8)));
    set_class_attr(type.get(), "PARITIES", Ref::steal(Py_BuildValue("(sssss)", "N", "E", "O", "M", "S")));
    set_class_attr(type.get(), "STOPBITS", Ref::steal(Py_BuildValue("(idi)", 1, 1.5, 2)));
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
    return type;
}

// ---- Serial: the blocking I/O methods ----

std::uint64_t to_size(PyObject* value) {
    Ref index = Ref::steal(PyNumber_Index(value));
    unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    return n;
}

std::int64_t to_i64(PyObject* value) {
    long n = PyLong_AsLong(value);
    if (n == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    return n;
}

// Arguments by position or keyword; absent ones stay null.
// names ends with nullptr; one output per name.
template <std::size_t N, class... Out>
void parse(PyObject* args, PyObject* kwargs, const char* format, const char* const (&names)[N], Out**... out) {
    static_assert(sizeof...(Out) + 1 == N);
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), out...))
        throw py::ErrorAlreadySet{};
}

// The same for METH_FASTCALL | METH_KEYWORDS: a call with positional
// arguments only is taken in place; any other goes the tuple-and-dict way,
// so its errors read exactly as before.
template <std::size_t N, class... Out>
void parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format,
           const char* const (&names)[N], Out**... out) {
    PyObject** slots[] = {out...};
    std::size_t required = 0;
    while (format[required] == 'O') ++required;
    const auto given = static_cast<std::size_t>(nargs);
    if (!kwnames && given >= required && given <= sizeof...(Out)) {
        for (std::size_t i = 0; i < given; ++i) *slots[i] = args[i];
        return;
    }
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref dict;
    if (kwnames) {
        dict = Ref::steal(PyDict_New());
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            py::check(PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]));
    }
    // The values are the caller's, alive for the whole call.
    parse(tuple.get(), dict.get(), format, names, out...);
}

}  // namespace

namespace {

constexpr std::uint8_t newline_byte = '\n';
constexpr Bytes newline(&newline_byte, 1);

ByteVec& buffer_for(std::integral_constant<Mode, Mode::Blocking>) { return fast::scratch(); }
ByteVec buffer_for(std::integral_constant<Mode, Mode::Started>) { return {}; }

// The blocking runner for mode M's calls; asyncio's start theirs instead.
template <Mode M>
Runner* runner_for(Runner& r) {
    return M == Mode::Blocking ? &r : nullptr;
}

// A call's result: `object()` when it finished here, the result of running
// its operation, or, started, its future (done with `outcome()` when it finished).
template <Mode M, class Object, class Value>
PyObject* finish(fast::Attempted a, Runner& runner, Object&& object, Value&& outcome) {
    if constexpr (M == Mode::Blocking) {
        if (!a.done) return (a.op ? run(std::move(a.op)) : runner.finish()).release();
        if (!*a.done) throw std::move(a.done->error());
        return object(**a.done);
    } else {
        if (!a.done) return aio::wrap_future(py::value_or_throw(ops::start(std::move(a.op)))).release();
        OpResult r = *a.done ? OpResult(outcome(**a.done)) : OpResult(std::unexpect, a.done->error());
        return aio::wrap_future(OpFuture::resolved(std::move(r))).release();
    }
}

template <Mode M>
PyObject* finish_bytes(fast::Attempted a, Runner& runner, ByteVec& out) {
    return finish<M>(
        std::move(a), runner,
        [&](std::size_t) {
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                             static_cast<Py_ssize_t>(out.size()));
        },
        [&](std::size_t) { return Outcome::bytes(std::move(out)); });
}

template <Mode M>
PyObject* finish_count(fast::Attempted a, Runner& runner) {
    return finish<M>(std::move(a), runner, [](std::size_t n) { return PyLong_FromSize_t(n); }, Outcome::count);
}

std::uint64_t read_size(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* size = nullptr;
    static constexpr const char* names[] = {"size", nullptr};
    parse(args, nargs, kwnames, "|O:read", names, &size);
    return size ? py::noted("size", [&] { return to_size(size); }) : 1;
}

// A read of `n` bytes through the fast path, to its end.
Ref read_to_end(const std::shared_ptr<PortCore>& c, std::uint64_t n) {
    ByteVec& out = fast::scratch();
    Runner runner;
    return Ref::steal(finish_bytes<Mode::Blocking>(fast::read(c, n, out, &runner), runner, out));
}

Ref readline_to_end(const std::shared_ptr<PortCore>& c, std::optional<std::uint64_t> limit) {
    ByteVec& out = fast::scratch();
    Runner runner;
    return Ref::steal(finish_bytes<Mode::Blocking>(fast::read_until(c, newline, limit, true, out, &runner), runner, out));
}

// read_until and readline after their arguments: `restart` for readline.
template <Mode M>
PyObject* read_until_call(PyObject* self, Bytes terminator, std::optional<std::uint64_t> limit, bool restart) {
    decltype(auto) out = buffer_for(std::integral_constant<Mode, M>{});
    Runner runner;
    return finish_bytes<M>(fast::read_until(core(self), terminator, limit, restart, out, runner_for<M>(runner)), runner,
                           out);
}

}  // namespace

template <Mode M>
PyObject* read_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&] {
        std::uint64_t n = read_size(args, nargs, kwnames);
        decltype(auto) out = buffer_for(std::integral_constant<Mode, M>{});
        Runner runner;
        return finish_bytes<M>(fast::read(core(self), n, out, runner_for<M>(runner)), runner, out);
    });
}

template <Mode M>
PyObject* read_until_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&] {
        PyObject *expected = nullptr, *size = nullptr;
        static constexpr const char* names[] = {"expected", "size", nullptr};
        parse(args, nargs, kwnames, "|OO:read_until", names, &expected, &size);
        std::optional<std::uint64_t> limit;
        if (size && size != Py_None) limit = py::noted("size", [&] { return to_size(size); });
        std::optional<fast::BytesArg> given;
        if (expected && expected != Py_None) py::noted("expected", [&] { given.emplace(expected); });
        return read_until_call<M>(self, given ? given->view() : newline, limit, false);
    });
}

template <Mode M>
PyObject* readline_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&] {
        PyObject* size = nullptr;
        static constexpr const char* names[] = {"size", nullptr};
        parse(args, nargs, kwnames, "|O:readline", names, &size);
        std::int64_t n = size ? py::noted("size", [&] { return to_i64(size); }) : -1;
        std::optional<std::uint64_t> limit;
        if (n >= 0) limit = static_cast<std::uint64_t>(n);
        return read_until_call<M>(self, newline, limit, true);
    });
}

template <Mode M>
PyObject* write_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&] {
        PyObject* data = nullptr;
        static constexpr const char* names[] = {"data", nullptr};
        parse(args, nargs, kwnames, "O:write", names, &data);
        std::optional<fast::BytesArg> bytes;
        py::noted("data", [&] { bytes.emplace(data); });
        Runner runner;
        return finish_count<M>(fast::write(core(self), bytes->view(), runner_for<M>(runner)), runner);
    });
}

#define KORVANE_MODES(fn)                                                                      \
    template PyObject* fn<Mode::Blocking>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*); \
    template PyObject* fn<Mode::Started>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
KORVANE_MODES(read_method)
KORVANE_MODES(read_until_method)
KORVANE_MODES(readline_method)
KORVANE_MODES(write_method)
#undef KORVANE_MODES

ops::Operation build_readlines(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* hint = nullptr;
    static constexpr const char* names[] = {"hint", nullptr};
    parse(args, kwargs, "|O:readlines", names, &hint);
    std::int64_t n = hint ? py::noted("hint", [&] { return to_i64(hint); }) : -1;
    return ops::readlines(core(self), n);
}

ops::Operation build_flush(PyObject* self, PyObject*, PyObject*) { return ops::flush(core(self)); }

ops::Operation build_send_break(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* duration = nullptr;
    static constexpr const char* names[] = {"duration", nullptr};
    parse(args, kwargs, "|O:send_break", names, &duration);
    double d = duration ? py::noted("duration", [&] { return to_double(duration); }) : 0.25;
    return ops::send_break(core(self), d);
}

namespace {

template <ops::Operation (*Build)(PyObject*, PyObject*, PyObject*)>
PyObject* blocking(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&] { return run(Build(self, args, kwargs)).release(); });
}

PyObject* s_true(PyObject*, PyObject*) { Py_RETURN_TRUE; }
PyObject* s_false(PyObject*, PyObject*) { Py_RETURN_FALSE; }

PyObject* s_closed(PyObject* self, void*) {
    return py::entry([&] {
        auto& c = core(self);
        return PyBool_FromLong(!py::detached([&] { return c->is_open(); }));
    });
}

PyObject* s_readinto(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        PyObject* b = nullptr;
        static constexpr const char* names[] = {"b", nullptr};
        parse(args, kwargs, "O:readinto", names, &b);
        auto c = core(self);
        // A target with a buffer must be writable before anything is read, so
        // an immutable one fails without losing bytes.
        if (PyObject_CheckBuffer(b)) {
            Py_buffer view;
            if (PyObject_GetBuffer(b, &view, PyBUF_WRITABLE) < 0) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "'%.200s' object does not support item assignment", Py_TYPE(b)->tp_name);
                throw py::ErrorAlreadySet{};
            }
            PyBuffer_Release(&view);
        }
        Py_ssize_t n = PyObject_Length(b);
        if (n < 0) throw py::ErrorAlreadySet{};
        Ref data = read_to_end(c, static_cast<std::uint64_t>(n));
        Py_ssize_t m = PyBytes_GET_SIZE(data.get());
        Ref key = Ref::steal(PySlice_New(Ref::steal(PyLong_FromLong(0)).get(), Ref::steal(PyLong_FromSsize_t(m)).get(),
                                         Ref::steal(PyLong_FromLong(1)).get()));
        py::check(PyObject_SetItem(b, key.get(), data.get()));
        return PyLong_FromSsize_t(m);
    });
}

PyObject* s_flush(PyObject* self, PyObject*) {
    return py::entry([&] { return run(ops::flush(core(self))).release(); });
}

}  // namespace

PyObject* read_all(PyObject* self, PyObject*) {
    return py::entry([&] {
        Ref waiting = Ref::steal(PyObject_GetAttrString(self, "in_waiting"));
        return PyObject_CallMethod(self, "read", "O", waiting.get());
    });
}

namespace {

PyObject* s_enter(PyObject* self, PyObject*) {
    return py::entry([&] {
        enter(self);
        return Py_NewRef(self);
    });
}

PyObject* s_exit(PyObject* self, PyObject*) {
    return py::entry([&] {
        Ref r = Ref::steal(PyObject_CallMethod(self, "close", nullptr));
        Py_RETURN_NONE;
    });
}

PyObject* s_next(PyObject* self) {
    return py::entry([&]() -> PyObject* {
        Ref line = readline_to_end(core(self), std::nullopt);
        if (PyBytes_GET_SIZE(line.get()) == 0) return nullptr;
        return line.release();
    });
}

int s_init(PyObject* self, PyObject* args, PyObject* kwargs) { return init_port_object(self, args, kwargs); }

#define KORVANE_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef serial_methods[] = {
    {"read", KORVANE_KW(read_method<Mode::Blocking>), METH_FASTCALL | METH_KEYWORDS, KORVANE_DOC("read($self, size=1)")},
    {"read_until", KORVANE_KW(read_until_method<Mode::Blocking>), METH_FASTCALL | METH_KEYWORDS,
     KORVANE_DOC("read_until(self, /, expected=b'\\n', size=None)")},
    {"readline", KORVANE_KW(readline_method<Mode::Blocking>), METH_FASTCALL | METH_KEYWORDS,
     KORVANE_DOC("readline(self, /, size=-1)")},
    {"readlines", KORVANE_KW(blocking<build_readlines>), METH_VARARGS | METH_KEYWORDS,
     KORVANE_DOC("readlines(self, /, hint=-1)")},
    {"readable", s_true, METH_NOARGS, KORVANE_DOC("readable($self)")},
    {"writable", s_true, METH_NOARGS, KORVANE_DOC("writable($self)")},
    {"seekable", s_false, METH_NOARGS, KORVANE_DOC("seekable($self)")},
    {"readinto", KORVANE_KW(s_readinto), METH_VARARGS | METH_KEYWORDS, KORVANE_DOC("readinto($self, b)")},
    {"write", KORVANE_KW(write_method<Mode::Blocking>), METH_FASTCALL | METH_KEYWORDS, KORVANE_DOC("write($self, data)")},
    {"flush", s_flush, METH_NOARGS, KORVANE_DOC("flush($self)")},
    {"send_break", KORVANE_KW(blocking<build_send_break>), METH_VARARGS | METH_KEYWORDS,
     KORVANE_DOC("send_break($self, duration=0.25)")},
    {"read_all", read_all, METH_NOARGS, KORVANE_DOC("read_all($self)")},
    {"__enter__", s_enter, METH_NOARGS, KORVANE_DOC("__enter__($self)")},
    {"__exit__", s_exit, METH_VARARGS, KORVANE_DOC("__exit__($self, *_args)")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef serial_getset[] = {
    {"closed", s_closed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot serial_slots[] = {
    {Py_tp_doc, const_cast<char*>("Serial(*_args, **_kwargs)\n--\n\nA serial port with a blocking interface.")},
    {Py_tp_new, reinterpret_cast<void*>(new_port_object)},
    {Py_tp_init, reinterpret_cast<void*>(s_init)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(s_next)},
    {Py_tp_methods, serial_methods},
    {Py_tp_getset, serial_getset},
    {0, nullptr},
};

PyType_Spec serial_spec = {
    "korvane.Serial",
    sizeof(SerialBaseObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    serial_slots,
};

}  // namespace

PyObject* serial_base_type() {
    return base_cell.get([] { return make_base_type(); });
}

PyObject* serial_type() {
    return serial_cell.get([] {
        PyObject* base = serial_base_type();
        return Ref::steal(PyType_FromSpecWithBases(&serial_spec, base));
    });
}

std::shared_ptr<PortCore> core_of(PyObject* obj) noexcept {
    PyObject* base = base_cell.peek();
    if (!base || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(base))) return nullptr;
    return as_port(obj)->core;
}

PyObject* new_port_object(PyTypeObject* type, PyObject*, PyObject*) {
    return py::entry([&]() -> PyObject* {
        auto c = PortCore::create();
        PyObject* obj = type->tp_alloc(type, 0);
        if (!obj) throw py::ErrorAlreadySet{};
        new (&as_port(obj)->core) std::shared_ptr<PortCore>(std::move(c));
        return obj;
    });
}

int init_port_object(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
        static const char* names[] = {"port",          "baudrate", "bytesize", "parity",
                                      "stopbits",      "timeout",  "xonxoff",  "rtscts",
                                      "write_timeout", "dsrdtr",   "inter_byte_timeout", "exclusive",
                                      nullptr};
        PyObject* a[12] = {};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOOOOOOOOO:__init__", const_cast<char**>(names), &a[0],
                                         &a[1], &a[2], &a[3], &a[4], &a[5], &a[6], &a[7], &a[8], &a[9], &a[10],
                                         &a[11]))
            throw py::ErrorAlreadySet{};
        auto given = [&](int i) { return a[i] != nullptr; };

        std::optional<std::string> port;
        if (given(0)) port = py::noted("port", [&] { return to_port_name(a[0]); });
        std::uint32_t baudrate = given(1) ? py::noted("baudrate", [&] { return read_baudrate(a[1]); }) : 9600;
        std::uint8_t bytesize = given(2) ? py::noted("bytesize", [&] { return read_bytesize(a[2]); }) : 8;
        std::string parity = given(3) ? py::noted("parity", [&] { return to_str(a[3]); }) : "N";
        double stopbits = given(4) ? py::noted("stopbits", [&] { return to_double(a[4]); }) : 1.0;
        std::optional<Seconds> timeout;
        if (given(5)) timeout = py::noted("timeout", [&] { return to_timeout(a[5]); });
        bool xonxoff = given(6) && py::noted("xonxoff", [&] { return truth(a[6]); });
        bool rtscts = given(7) && py::noted("rtscts", [&] { return truth(a[7]); });
        std::optional<Seconds> write_timeout;
        if (given(8)) write_timeout = py::noted("write_timeout", [&] { return to_timeout(a[8]); });
        std::optional<bool> dsrdtr = false;
        if (given(9)) dsrdtr = py::noted("dsrdtr", [&] { return optional_truth(a[9]); });
        std::optional<Seconds> inter_byte_timeout;
        if (given(10)) inter_byte_timeout = py::noted("inter_byte_timeout", [&] { return to_timeout(a[10]); });
        std::optional<bool> exclusive;
        if (given(11)) exclusive = py::noted("exclusive", [&] { return optional_truth(a[11]); });

        Settings s;
        s.parity = check_parity(parity);
        s.stopbits = check_stopbits(stopbits);
        s.timeout = check_timeout(timeout);
        s.write_timeout = check_timeout(write_timeout);
        s.inter_byte_timeout = check_timeout(inter_byte_timeout);
        s.dsrdtr = dsrdtr.value_or(rtscts);
        s.baudrate = baudrate;
        s.bytesize = bytesize;
        s.xonxoff = xonxoff;
        s.rtscts = rtscts;
        s.exclusive = exclusive;

        on_core(self, [&](PortCore& c) -> Status {
            if (auto r = c.set_settings(s); !r) return r;
            return c.set_port(port);
        });
        if (!port) return 0;
        auto& c = core(self);
        if (py::detached([&] { return c->is_open(); })) return 0;
        Ref r = Ref::steal(PyObject_CallMethod(self, "open", nullptr));
        return 0;
    });
}

void enter(PyObject* self) {
    auto& c = core(self);
    if (!c->port()) return;
    if (c->is_open()) return;
    Ref r = Ref::steal(PyObject_CallMethod(self, "open", nullptr));
}

py::Ref for_url(PyObject* cls, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) < 1) {
        // Let the keyword form through: url= given by name.
        if (!kwargs || !PyDict_GetItemString(kwargs, "url")) {
            PyErr_SetString(PyExc_TypeError, "serial_for_url() missing 1 required positional argument: 'url'");
            throw py::ErrorAlreadySet{};
        }
    }
    Ref rest_kwargs = kwargs ? Ref::steal(PyDict_Copy(kwargs)) : Ref::steal(PyDict_New());
    Ref url;
    Py_ssize_t first_extra = 1;
    if (PyTuple_GET_SIZE(args) >= 1) {
        url = Ref::borrow(PyTuple_GET_ITEM(args, 0));
        if (PyDict_GetItemString(rest_kwargs.get(), "url")) {
            PyErr_SetString(PyExc_TypeError, "serial_for_url() got multiple values for argument 'url'");
            throw py::ErrorAlreadySet{};
        }
    } else {
        url = Ref::borrow(PyDict_GetItemString(rest_kwargs.get(), "url"));
        py::check(PyDict_DelItemString(rest_kwargs.get(), "url"));
        first_extra = 0;
    }
    bool do_not_open = false;
    if (PyObject* flag = PyDict_GetItemString(rest_kwargs.get(), "do_not_open")) {
        Ref keep = Ref::borrow(flag);
        py::check(PyDict_DelItemString(rest_kwargs.get(), "do_not_open"));
        do_not_open = py::noted("do_not_open", [&] { return truth(keep.get()); });
    }

    if (PyUnicode_Check(url.get())) {
        Ref lower = Ref::steal(PyObject_CallMethod(url.get(), "lower", nullptr));
        std::string text = to_str(lower.get());
        if (auto at = text.find("://"); at != std::string::npos) {
            std::string scheme = text.substr(0, at);
            if (scheme != "loop") {
                Ref s = Ref::steal(PyUnicode_DecodeUTF8(scheme.data(), static_cast<Py_ssize_t>(scheme.size()), "strict"));
                Ref r = Ref::steal(PyObject_Repr(s.get()));
                PyErr_Format(PyExc_ValueError, "invalid URL, protocol %U not known", r.get());
                throw py::ErrorAlreadySet{};
            }
        }
    }

    Py_ssize_t extra = PyTuple_GET_SIZE(args) - first_extra;
    Ref call_args = Ref::steal(PyTuple_New(extra + 1));
    PyTuple_SET_ITEM(call_args.get(), 0, Py_NewRef(Py_None));
    for (Py_ssize_t i = 0; i < extra; ++i)
        PyTuple_SET_ITEM(call_args.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, first_extra + i)));
    Ref obj = Ref::steal(
        PyObject_Call(cls, call_args.get(), PyDict_GET_SIZE(rest_kwargs.get()) ? rest_kwargs.get() : nullptr));
    py::check(PyObject_SetAttrString(obj.get(), "port", url.get()));
    if (!do_not_open) Ref r = Ref::steal(PyObject_CallMethod(obj.get(), "open", nullptr));
    return obj;
}

namespace {
PyObject* serial_for_url(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&] { return for_url(serial_type(), args, kwargs).release(); });
}
}  // namespace

PyMethodDef serial_for_url_def = {
    "serial_for_url", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(serial_for_url)),
    METH_VARARGS | METH_KEYWORDS,
    "serial_for_url(url, *args, do_not_open=False, **kwargs)\n--\n\n"
    "Returns a `Serial` for `url`, which is a device name or `loop://`."};

}  // namespace korvane::serial
