#include "module/list_ports.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "module/capi/args.hpp"
#include "module/capi/entry.hpp"
#include "module/capi/once.hpp"
#include "module/capi/thread.hpp"

namespace korvane::list_ports {
namespace {

using py::ErrorAlreadySet;
using py::Ref;

struct Record {
    std::string device;
    std::string name;
    std::string description = "n/a";
    std::string hwid = "n/a";
    std::optional<std::uint16_t> vid;
    std::optional<std::uint16_t> pid;
    std::optional<std::string> serial_number;
    std::optional<std::string> location;
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;
    std::optional<std::string> interface;
};

// The final component of a path; nullopt for "", "/", ".." and the like.
std::optional<std::string_view> file_name(std::string_view path) {
    std::optional<std::string_view> last;
    while (!path.empty()) {
        auto slash = path.find('/');
        auto piece = path.substr(0, slash);
        if (!piece.empty() && piece != ".") last = piece;
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    if (last == "..") return std::nullopt;
    return last;
}

Record new_record(std::string device) {
    Record r;
    auto name = file_name(device);
    r.name = name ? std::string(*name) : device;
    r.device = std::move(device);
    return r;
}

std::string usb_description(const Record& r) {
    if (r.interface) return (r.product ? *r.product : std::string("None")) + " - " + *r.interface;
    return r.product ? *r.product : r.name;
}

std::string usb_info(const Record& r) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB VID:PID=%04X:%04X", unsigned{r.vid.value_or(0)}, unsigned{r.pid.value_or(0)});
    std::string out = ids;
    if (r.serial_number) out += " SER=" + *r.serial_number;
    if (r.location) out += " LOCATION=" + *r.location;
    return out;
}

void apply_usb_info(Record& r) {
    r.description = usb_description(r);
    r.hwid = usb_info(r);
}

// SipHash-1-3 with an all-zero key, so a record hashes alike in every process.
std::uint64_t siphash13(std::string_view data) {
    std::uint64_t v0 = 0x736f6d6570736575, v1 = 0x646f72616e646f6d, v2 = 0x6c7967656e657261,
                  v3 = 0x7465646279746573;
    auto rotl = [](std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    auto round = [&] {
        v0 += v1, v1 = rotl(v1, 13), v1 ^= v0, v0 = rotl(v0, 32);
        v2 += v3, v3 = rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = rotl(v1, 17), v1 ^= v2, v2 = rotl(v2, 32);
    };
    auto word = [&](std::size_t at, std::size_t n) {
        std::uint64_t m = 0;
        for (std::size_t k = 0; k < n; ++k) m |= std::uint64_t{static_cast<unsigned char>(data[at + k])} << (8 * k);
        return m;
    };
    std::size_t full = data.size() / 8 * 8;
    for (std::size_t at = 0; at < full; at += 8) {
        std::uint64_t m = word(at, 8);
        v3 ^= m, round(), v0 ^= m;
    }
    std::uint64_t last = word(full, data.size() - full) | (std::uint64_t{data.size()} << 56);
    v3 ^= last, round(), v0 ^= last;
    v2 ^= 0xff;
    round(), round(), round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// ---- The Python object ----------------------------------------------------

struct InfoObject {
    PyObject_HEAD
    Record record;
};

Record& record_of(PyObject* self) { return reinterpret_cast<InfoObject*>(self)->record; }

// The object's own lock in the free-threaded build (a no-op with the GIL), so
// a write is never seen half done. Only C++ runs inside.
class Locked {
public:
#ifdef Py_GIL_DISABLED
    explicit Locked(PyObject* object) noexcept { PyCriticalSection_Begin(&cs_, object); }
    ~Locked() { PyCriticalSection_End(&cs_); }
#else
    explicit Locked(PyObject*) noexcept {}
#endif
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

#ifdef Py_GIL_DISABLED
private:
    PyCriticalSection cs_;
#endif
};

template <class F>
auto read_record(PyObject* self, F&& f) {
    Locked lock(self);
    return f(std::as_const(record_of(self)));
}

template <class F>
void write_record(PyObject* self, F&& f) {
    Locked lock(self);
    f(record_of(self));
}

py::OnceCell info_type_cell;

bool is_info(PyObject* o) {
    PyObject* type = info_type_cell.peek();
    return type && PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(type));
}

[[noreturn]] void wrong_type(PyObject* value, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to '%s'", Py_TYPE(value)->tp_name, target);
    throw ErrorAlreadySet{};
}

std::string read_str(PyObject* value) {
    if (!PyUnicode_Check(value)) wrong_type(value, "PyString");
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(value, &n);
    if (!s) throw ErrorAlreadySet{};
    return std::string(s, static_cast<std::size_t>(n));
}

std::optional<std::string> read_optional_str(PyObject* value) {
    if (value == Py_None) return std::nullopt;
    return read_str(value);
}

bool read_bool(PyObject* value) {
    if (!PyBool_Check(value)) wrong_type(value, "PyBool");
    return value == Py_True;
}

std::optional<std::uint16_t> read_optional_u16(PyObject* value) {
    if (value == Py_None) return std::nullopt;
    long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (v < 0 || v > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw ErrorAlreadySet{};
    }
    return static_cast<std::uint16_t>(v);
}

PyObject* new_str(const std::string& s) {
    return py::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyObject* to_python(const std::string& s) { return new_str(s); }
PyObject* to_python(const std::optional<std::string>& s) { return s ? new_str(*s) : Py_NewRef(Py_None); }
PyObject* to_python(const std::optional<std::uint16_t>& v) {
    return v ? py::check(PyLong_FromLong(*v)) : Py_NewRef(Py_None);
}

std::string read_value(PyObject* v, std::string*) { return read_str(v); }
std::optional<std::string> read_value(PyObject* v, std::optional<std::string>*) { return read_optional_str(v); }
std::optional<std::uint16_t> read_value(PyObject* v, std::optional<std::uint16_t>*) { return read_optional_u16(v); }

template <auto Field>
PyObject* get_field(PyObject* self, void*) {
    return py::entry([&] {
        auto value = read_record(self, [](const Record& r) { return r.*Field; });
        return to_python(value);
    });
}

template <auto Field>
int set_field(PyObject* self, PyObject* value, void* closure) {
    return py::entry([&] {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "property has no deleter");
            throw ErrorAlreadySet{};
        }
        // Converted before the lock: __index__ may run Python code.
        using T = std::remove_cvref_t<decltype(std::declval<Record&>().*Field)>;
        auto converted = py::noted(static_cast<const char*>(closure),
                                   [&] { return read_value(value, static_cast<T*>(nullptr)); });
        write_record(self, [&](Record& r) { r.*Field = std::move(converted); });
        return 0;
    });
}

#define KORVANE_FIELD(field)                                                                              \
    {#field, get_field<&Record::field>, set_field<&Record::field>, nullptr, const_cast<char*>(#field)}

PyGetSetDef info_getset[] = {
    KORVANE_FIELD(device),        KORVANE_FIELD(name),     KORVANE_FIELD(description),
    KORVANE_FIELD(hwid),          KORVANE_FIELD(vid),      KORVANE_FIELD(pid),
    KORVANE_FIELD(serial_number), KORVANE_FIELD(location), KORVANE_FIELD(manufacturer),
    KORVANE_FIELD(product),       KORVANE_FIELD(interface),
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef KORVANE_FIELD

PyObject* make_info(PyTypeObject* type, Record record) {
    PyObject* self = py::check(type->tp_alloc(type, 0));
    new (&record_of(self)) Record(std::move(record));
    return self;
}

PyObject* info_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
        static const char* keywords[] = {"device", "skip_link_detection", nullptr};
        PyObject* device = nullptr;
        PyObject* skip = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:ListPortInfo", keywords, &device,
                                         &skip))
            throw ErrorAlreadySet{};
        std::string path = py::noted("device", [&] { return read_str(device); });
        // Accepted for compatibility; links are never resolved.
        if (skip) py::noted("skip_link_detection", [&] { return read_bool(skip); });
        return make_info(type, new_record(std::move(path)));
    });
}

void info_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearManagedDict(self);
    record_of(self).~Record();
    type->tp_free(self);
    Py_DECREF(type);
}

int info_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return PyObject_VisitManagedDict(self, visit, arg);
}

int info_clear(PyObject* self) {
    PyObject_ClearManagedDict(self);
    return 0;
}

PyObject* info_str(PyObject* self) {
    return py::entry([&] {
        auto text = read_record(self, [](const Record& r) { return r.device + " - " + r.description; });
        return new_str(text);
    });
}

// device, description, hwid: what unpacking and indexing see.
std::array<std::string, 3> triple(PyObject* self) {
    return read_record(self, [](const Record& r) { return std::array{r.device, r.description, r.hwid}; });
}

PyObject* info_iter(PyObject* self) {
    return py::entry([&] {
        auto items = triple(self);
        Ref list = Ref::steal(PyList_New(3));
        for (Py_ssize_t i = 0; i < 3; ++i) PyList_SET_ITEM(list.get(), i, new_str(items[static_cast<std::size_t>(i)]));
        return py::check(PyObject_GetIter(list.get()));
    });
}

PyObject* info_getitem(PyObject* self, PyObject* key) {
    return py::entry([&] {
        long index = py::noted("index", [&] {
            long v = PyLong_AsLong(key);
            if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
            return v;
        });
        if (index < 0 || index > 2) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            throw ErrorAlreadySet{};
        }
        return new_str(triple(self)[static_cast<std::size_t>(index)]);
    });
}

Py_hash_t info_hash(PyObject* self) {
    return py::entry([&]() -> Py_hash_t {
        auto data = read_record(self, [](const Record& r) { return r.device + '\xFF'; });
        auto h = static_cast<std::int64_t>(siphash13(data));
        return h == -1 ? -2 : static_cast<Py_hash_t>(h);
    });
}

std::string device_of(PyObject* o) {
    return read_record(o, [](const Record& r) { return r.device; });
}

[[noreturn]] void unorderable(PyObject* other) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(other)), "__name__"));
    std::string text = "unorderable types: ListPortInfo() and " + read_str(name.get()) + "()";
    PyErr_SetString(PyExc_TypeError, text.c_str());
    throw ErrorAlreadySet{};
}

PyObject* info_richcompare(PyObject* self, PyObject* other, int op) {
    return py::entry([&]() -> PyObject* {
        switch (op) {
        case Py_LT:
            if (!is_info(other)) unorderable(other);
            return PyBool_FromLong(natural_key(device_of(self)) < natural_key(device_of(other)));
        case Py_EQ: return PyBool_FromLong(is_info(other) && device_of(self) == device_of(other));
        case Py_NE: {
            Ref eq = Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
            return PyBool_FromLong(!py::check(PyObject_IsTrue(eq.get())));
        }
        default: Py_RETURN_NOTIMPLEMENTED;
        }
    });
}

PyObject* info_usb_description(PyObject* self, PyObject*) {
    return py::entry([&] { return new_str(read_record(self, [](const Record& r) { return usb_description(r); })); });
}

PyObject* info_usb_info(PyObject* self, PyObject*) {
    return py::entry([&] { return new_str(read_record(self, [](const Record& r) { return usb_info(r); })); });
}

PyObject* info_apply_usb_info(PyObject* self, PyObject*) {
    return py::entry([&] {
        write_record(self, [](Record& r) { apply_usb_info(r); });
        Py_RETURN_NONE;
    });
}

PyMethodDef info_methods[] = {
    {"usb_description", info_usb_description, METH_NOARGS, "usb_description($self)\n--\n\n"},
    {"usb_info", info_usb_info, METH_NOARGS, "usb_info($self)\n--\n\n"},
    {"apply_usb_info", info_apply_usb_info, METH_NOARGS, "apply_usb_info($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot info_slots[] = {
    {Py_tp_doc, const_cast<char*>("ListPortInfo(device, skip_link_detection=False)\n--\n\n"
                                  "Describes one serial port: its device path, short name, description and "
                                  "hardware id and, for a USB device, its vendor and product ids, serial number, "
                                  "location, manufacturer, product and interface.")},
    {Py_tp_new, reinterpret_cast<void*>(info_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(info_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(info_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(info_clear)},
    {Py_tp_getset, info_getset},
    {Py_tp_methods, info_methods},
    {Py_tp_str, reinterpret_cast<void*>(info_str)},
    {Py_tp_iter, reinterpret_cast<void*>(info_iter)},
    {Py_mp_subscript, reinterpret_cast<void*>(info_getitem)},
    {Py_tp_hash, reinterpret_cast<void*>(info_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(info_richcompare)},
    {0, nullptr},
};

PyType_Spec info_spec = {
    "korvane.tools.list_ports.ListPortInfo",
    static_cast<int>(sizeof(InfoObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT,
    info_slots,
};

PyObject* comports(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
        static const char* keywords[] = {"include_links", nullptr};
        PyObject* include_links = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:comports", keywords, &include_links))
            throw ErrorAlreadySet{};
        // Accepted for compatibility; links are never listed.
        if (include_links) py::noted("include_links", [&] { return read_bool(include_links); });
        return comports_at(default_sys_root).release();
    });
}

}  // namespace

PyMethodDef comports_def = {"comports", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(comports)),
                            METH_VARARGS | METH_KEYWORDS, "comports(include_links=False)\n--\n\n"};

PyObject* list_port_info_type() {
    return info_type_cell.get([] { return Ref::steal(PyType_FromSpec(&info_spec)); });
}

std::string bus_part(std::string_view bus) {
    constexpr std::string_view marker = "USBROOT(";
    auto at = bus.rfind(marker);
    if (at == std::string_view::npos) return std::string(bus);
    auto rest = bus.substr(at + marker.size());
    auto digits = rest.substr(0, std::min(rest.size(), rest.find_first_not_of("0123456789")));
    std::uint32_t n = 0;
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (digits.empty() || ec != std::errc{} || p != digits.data() + digits.size()) return std::string(bus);
    return std::to_string(n == UINT32_MAX ? n : n + 1);
}

NaturalKey natural_key(std::string_view text) {
    auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    NaturalKey key;
    while (!text.empty()) {
        bool digits = is_digit(text[0]);
        auto end = std::ranges::find_if(text, [&](char c) { return is_digit(c) != digits; }) - text.begin();
        auto run = text.substr(0, static_cast<std::size_t>(end));
        text.remove_prefix(run.size());
        if (digits) {
            unsigned __int128 value = 0;
            constexpr auto max = ~static_cast<unsigned __int128>(0);
            bool fits = true;
            for (char c : run) {
                unsigned d = static_cast<unsigned>(c - '0');
                if (value > (max - d) / 10) {
                    fits = false;
                    break;
                }
                value = value * 10 + d;
            }
            if (fits) {
                key.push_back({value});
                continue;
            }
        }
        NaturalComponent bytes;
        for (char c : run) bytes.push_back(static_cast<unsigned char>(c));
        key.push_back(std::move(bytes));
    }
    return key;
}

py::Ref from_info(const PortInfo& port) {
    Record r = new_record(port.port_name);
    if (port.usb) {
        const UsbPort& usb = *port.usb;
        r.vid = usb.vid;
        r.pid = usb.pid;
        r.serial_number = usb.serial_number;
        r.manufacturer = usb.manufacturer;
        r.product = usb.product;
        if (usb.location) {
            std::string text = bus_part(usb.location->bus) + "-";
            for (std::size_t i = 0; i < usb.location->ports.size(); ++i) {
                if (i) text += '.';
                text += std::to_string(usb.location->ports[i]);
            }
            r.location = std::move(text);
        }
        apply_usb_info(r);
    }
    auto* type = reinterpret_cast<PyTypeObject*>(list_port_info_type());
    return Ref::steal(make_info(type, std::move(r)));
}

py::Ref comports_at(const std::filesystem::path& sys_root) {
    auto ports = py::detached([&] {
        // The type reads are file reads too: done here, off the interpreter.
        auto found = available_ports(sys_root);
        if (found) std::erase_if(*found, [&](const PortInfo& p) { return !keep_port(p, sys_root); });
        return found;
    });
    if (!ports) throw std::move(ports.error());
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ports->size())));
    for (std::size_t i = 0; i < ports->size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), from_info((*ports)[i]).release());
    return list;
}

}  // namespace korvane::list_ports
