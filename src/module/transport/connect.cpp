// The connection functions of korvane.aio and Deferred, the one-step
// coroutine they return: the work runs when the object is first stepped.
#include <Python.h>

#include <algorithm>
#include <optional>

#include "module/future.hpp"
#include "module/capi/call.hpp"
#include "module/capi/entry.hpp"
#include "module/capi/module.hpp"
#include "module/capi/once.hpp"
#include "module/transport/transport.hpp"

namespace korvane::transport {

namespace {

using py::Ref;

// The captured values are plain references, so the collector can see them.
struct Work {
    enum class Kind { ForSerial, Create, Open } kind;
    // ForSerial: loop, protocol_factory, serial_instance.
    // Create: url, extra args, loop, protocol_factory, extra kwargs (or null).
    // Open: loop (or null), limit (or null), extra kwargs (or null).
    Ref values[5];
};

Ref serial_for_url(PyObject* args, PyObject* kwargs) {
    Ref fn = py::import_attr("korvane", "serial_for_url");
    return Ref::steal(PyObject_Call(fn.get(), args, kwargs));
}

Ref open_streams(PyObject* loop_arg, PyObject* limit_arg, PyObject* kwargs) {
    Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
    Ref loop = loop_arg ? Ref::borrow(loop_arg)
                        : Ref::steal(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr));
    Ref limit;
    if (limit_arg) {
        limit = Ref::borrow(limit_arg);
    } else {
        Ref streams = Ref::steal(PyObject_GetAttrString(asyncio.get(), "streams"));
        limit = Ref::steal(PyObject_GetAttrString(streams.get(), "_DEFAULT_LIMIT"));
    }
    Ref reader_type = Ref::steal(PyObject_GetAttrString(asyncio.get(), "StreamReader"));
    Ref kw = Ref::steal(Py_BuildValue("{sOsO}", "limit", limit.get(), "loop", loop.get()));
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref reader = Ref::steal(PyObject_Call(reader_type.get(), no_args.get(), kw.get()));
    Ref protocol_type = Ref::steal(PyObject_GetAttrString(asyncio.get(), "StreamReaderProtocol"));
    Ref pkw = Ref::steal(Py_BuildValue("{sO}", "loop", loop.get()));
    Ref pargs = Ref::steal(PyTuple_Pack(1, reader.get()));
    Ref protocol = Ref::steal(PyObject_Call(protocol_type.get(), pargs.get(), pkw.get()));
    Ref serial = serial_for_url(no_args.get(), kwargs);
    Ref transport = create(loop.get(), protocol.get(), serial.get());
    Ref writer_type = Ref::steal(PyObject_GetAttrString(asyncio.get(), "StreamWriter"));
    Ref writer = Ref::steal(
        PyObject_CallFunctionObjArgs(writer_type.get(), transport.get(), protocol.get(), reader.get(), loop.get(), nullptr));
    return Ref::steal(PyTuple_Pack(2, reader.get(), writer.get()));
}

Ref run(const Work& w) {
    auto get = [&](int i) { return w.values[i].get(); };
    switch (w.kind) {
        case Work::Kind::ForSerial:
            return connect(get(0), get(1), get(2));
        case Work::Kind::Create: {
            Ref head = Ref::steal(PyTuple_Pack(1, get(0)));
            Ref args = Ref::steal(PySequence_Concat(head.get(), get(1)));
            Ref serial = serial_for_url(args.get(), get(4));
            return connect(get(2), get(3), serial.get());
        }
        case Work::Kind::Open:
            return open_streams(get(0), get(1), get(2));
    }
    return Ref();
}

struct DeferredObject {
    PyObject_HEAD
    PyMutex mutex;
    std::optional<Work> work;
};

DeferredObject* as_deferred(PyObject* o) { return reinterpret_cast<DeferredObject*>(o); }

// Takes the work out; whoever gets it is the only one to run or drop it.
std::optional<Work> take(PyObject* self) {
    DeferredObject* d = as_deferred(self);
    std::optional<Work> w;
    PyMutex_Lock(&d->mutex);
    w.swap(d->work);
    PyMutex_Unlock(&d->mutex);
    return w;
}

PyObject* step(PyObject* self) {
    return py::entry([&]() -> PyObject* {
        std::optional<Work> w = take(self);
        if (!w) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            throw py::ErrorAlreadySet{};
        }
        Ref result = run(*w);
        // Made by calling the type, so a tuple result is not taken apart as args.
        Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, result.get()));
        PyErr_SetRaisedException(stop.release());
        return nullptr;
    });
}

PyObject* d_send(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"_value", nullptr};
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:send", const_cast<char**>(names), &value)) return nullptr;
    return step(self);
}

PyObject* d_throw(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* exc = aio::throw_argument(args, kwargs);
    if (!exc) return nullptr;
    {
        std::optional<Work> dropped = take(self);
    }
    return aio::raise_thrown(exc);
}

PyObject* d_close(PyObject* self, PyObject*) {
    {
        std::optional<Work> dropped = take(self);
    }
    Py_RETURN_NONE;
}

int d_traverse(PyObject* self, visitproc visit, void* arg) {
    DeferredObject* d = as_deferred(self);
    Py_VISIT(Py_TYPE(self));
    PyMutex_Lock(&d->mutex);
    int rc = 0;
    if (d->work)
        for (auto& v : d->work->values)
            if (v && (rc = visit(v.get(), arg)) != 0) break;
    PyMutex_Unlock(&d->mutex);
    return rc;
}

int d_clear(PyObject* self) {
    std::optional<Work> dropped = take(self);
    return 0;
}

void d_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    d_clear(self);
    as_deferred(self)->work.~optional();
    type->tp_free(self);
    Py_DECREF(type);
}

#define KORVANE_FN(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef d_methods[] = {
    {"send", KORVANE_FN(d_send), METH_VARARGS | METH_KEYWORDS, "send($self, _value)\n--\n\n"},
    {"throw", KORVANE_FN(d_throw), METH_VARARGS | METH_KEYWORDS,
     "throw($self, exception, _value=None, _traceback=None)\n--\n\n"},
    {"close", d_close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot d_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A coroutine that does its work on the first step and finishes with the result, so it can\n"
                    "be awaited or given to `asyncio.create_task` like the result of an `async def` call.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(d_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(d_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(d_clear)},
    {Py_tp_methods, d_methods},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(step)},
    {Py_am_await, reinterpret_cast<void*>(PyObject_SelfIter)},
    {0, nullptr},
};

PyType_Spec d_spec = {
    "korvane.aio.Deferred",
    sizeof(DeferredObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    d_slots,
};

py::OnceCell d_cell;

Ref deferred(Work w) {
    auto* type = reinterpret_cast<PyTypeObject*>(d_cell.get([] { return Ref::steal(PyType_FromSpec(&d_spec)); }));
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) throw py::ErrorAlreadySet{};
    // Nothing between the allocation and here can run the collector.
    DeferredObject* d = as_deferred(obj);
    d->mutex = PyMutex{};
    new (&d->work) std::optional<Work>(std::move(w));
    return Ref::steal(obj);
}

PyObject* connection_for_serial(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        static const char* names[] = {"loop", "protocol_factory", "serial_instance", nullptr};
        PyObject *loop, *factory, *serial;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:connection_for_serial", const_cast<char**>(names), &loop,
                                         &factory, &serial))
            throw py::ErrorAlreadySet{};
        return deferred(Work{Work::Kind::ForSerial, {Ref::borrow(loop), Ref::borrow(factory), Ref::borrow(serial)}})
            .release();
    });
}

// The extra keyword arguments: null when there are none.
Ref extra_kwargs(PyObject* kwargs) {
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return Ref();
    return Ref::steal(PyDict_Copy(kwargs));
}

// Pops `name` from kwargs (which may be null); null when absent.
Ref pop(const Ref& kwargs, const char* name) {
    if (!kwargs) return Ref();
    PyObject* v = nullptr;
    py::check(PyDict_PopString(kwargs.get(), name, &v));
    return Ref::steal_or_null(v);
}

Ref none_if_empty(Ref kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs.get()) == 0) return Ref();
    return kwargs;
}

PyObject* create_serial_connection(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        static const char* names[] = {"loop", "protocol_factory", "url"};
        Ref kw = extra_kwargs(kwargs);
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        Ref head[3];
        for (Py_ssize_t i = 0; i < 3; ++i) {
            Ref named = pop(kw, names[i]);
            if (i < nargs) {
                if (named) {
                    PyErr_Format(PyExc_TypeError, "create_serial_connection() got multiple values for argument '%s'",
                                 names[i]);
                    throw py::ErrorAlreadySet{};
                }
                head[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
            } else if (named) {
                head[i] = std::move(named);
            } else {
                PyErr_Format(PyExc_TypeError, "create_serial_connection() missing required argument '%s'", names[i]);
                throw py::ErrorAlreadySet{};
            }
        }
        Ref extra = Ref::steal(PyTuple_GetSlice(args, std::min<Py_ssize_t>(nargs, 3), PY_SSIZE_T_MAX));
        return deferred(Work{Work::Kind::Create,
                             {head[2], std::move(extra), head[0], head[1], none_if_empty(std::move(kw))}})
            .release();
    });
}

PyObject* open_serial_connection(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        if (PyTuple_GET_SIZE(args) != 0) {
            PyErr_Format(PyExc_TypeError, "open_serial_connection() takes 0 positional arguments but %zd were given",
                         PyTuple_GET_SIZE(args));
            throw py::ErrorAlreadySet{};
        }
        Ref kw = extra_kwargs(kwargs);
        Ref loop = pop(kw, "loop");
        Ref limit = pop(kw, "limit");
        if (loop.get() == Py_None) loop = Ref();
        if (limit.get() == Py_None) limit = Ref();
        return deferred(Work{Work::Kind::Open, {std::move(loop), std::move(limit), none_if_empty(std::move(kw))}})
            .release();
    });
}

PyMethodDef create_serial_connection_def = {
    "create_serial_connection", KORVANE_FN(create_serial_connection), METH_VARARGS | METH_KEYWORDS,
    "create_serial_connection(loop, protocol_factory, url, *args, **kwargs)\n--\n\n"
    "Opens `url` like `korvane.serial_for_url` and connects it to a new protocol."};
PyMethodDef connection_for_serial_def = {
    "connection_for_serial", KORVANE_FN(connection_for_serial), METH_VARARGS | METH_KEYWORDS,
    "connection_for_serial(loop, protocol_factory, serial_instance)\n--\n\n"
    "Connects an open port to a new protocol."};
PyMethodDef open_serial_connection_def = {
    "open_serial_connection", KORVANE_FN(open_serial_connection), METH_VARARGS | METH_KEYWORDS,
    "open_serial_connection(*, loop=None, limit=None, **kwargs)\n--\n\n"
    "Opens a port and returns an asyncio `StreamReader` and `StreamWriter` for it."};

}  // namespace

void add_to_aio(PyObject* aio) {
    py::add_function(aio, &getattr_def);
    Ref all = Ref::steal(PyObject_GetAttrString(aio, "__all__"));
    if (!PyList_Check(all.get())) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyList'", Py_TYPE(all.get())->tp_name);
        throw py::ErrorAlreadySet{};
    }
    Ref removed = Ref::steal(PyObject_CallMethod(all.get(), "remove", "s", "__getattr__"));
    Ref name = Ref::steal(PyUnicode_FromString("SerialTransport"));
    py::check(PyList_Append(all.get(), name.get()));
    for (PyMethodDef* def : {&create_serial_connection_def, &connection_for_serial_def, &open_serial_connection_def})
        py::add_function(aio, def);
}

}  // namespace korvane::transport
