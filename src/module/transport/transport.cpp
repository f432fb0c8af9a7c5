// _TransportCore: the state machine behind one asyncio transport over one
// port. A port operation completes on the loop's own thread when it waited
// parked on the loop's watch, else on a runtime worker; either way its
// completion comes back through the loop's queue, so every handler runs on
// the loop thread.
// The state lock is a leaf: Python is called, and operations are started or
// cancelled, only after it is released.
#include "module/transport/transport.hpp"

#include <cstdint>
#include <iterator>
#include <utility>

#include "engine/async/select.hpp"
#include "module/conversions.hpp"
#include "module/future.hpp"
#include "module/capi/args.hpp"
#include "module/capi/call.hpp"
#include "module/capi/entry.hpp"
#include "module/capi/once.hpp"
#include "module/serial.hpp"
#include "module/serial_ops.hpp"

namespace korvane::transport {

using py::Ref;

namespace {

struct State {
    ByteVec held;
    ByteVec write_buffer;
    Ref protocol;  // null once connection_lost took it
    Ref read_op;
    std::size_t in_flight = 0;
    Ref write_op;
    std::int64_t high_water = 65536;
    std::int64_t low_water = 16384;
    Ref exception;
    Ref close_op;
    bool closing = false;
    bool reading_paused = false;
    bool writing_paused = false;
    bool finished = false;
    // A write being started: the slot is taken before the operation exists,
    // so two threads cannot start two.
    bool write_starting = false;
    // The read slot taken without a read_op: a read being started, a
    // completion being handled, or held bytes on their way to the loop. No
    // read starts meanwhile, so none can overtake those bytes.
    bool read_busy = false;
    bool aborted = false;
    // Flow-control changes made and told to the protocol. Changes alternate,
    // pause first, so change k (from 0) is a pause when k is even. They are
    // told on the loop thread only, in order, by one teller at a time.
    std::uint64_t flow_changes = 0;
    std::uint64_t flow_told = 0;
    bool telling = false;
    bool tell_scheduled = false;
};

struct CoreObject {
    PyObject_HEAD
    // Set at creation and kept until deallocation, so "forward" reads them
    // from any thread without the lock.
    PyObject* loop;
    PyObject* serial;
    std::shared_ptr<PortCore> port;
    PyMutex mutex;
    State state;
    PyObject* transport;  // weak reference, set once right after creation
    // The "forward" callables of on_read, on_write and connection_lost (in
    // the order of forwarded_handlers), under the mutex; null once dropped.
    PyObject* forwards[3];
};

CoreObject* as_core(PyObject* o) { return reinterpret_cast<CoreObject*>(o); }

class Locked {
public:
    explicit Locked(CoreObject* c) : m_(&c->mutex) { PyMutex_Lock(m_); }
    ~Locked() { PyMutex_Unlock(m_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    PyMutex* m_;
};

template <class F>
decltype(auto) with_state(CoreObject* c, F&& f) {
    Locked lock(c);
    return f(c->state);
}

std::size_t buffer_size(const State& s) { return s.in_flight + s.write_buffer.size(); }

// The exception being raised now, taken out of the indicator.
Ref take_raised() {
    py::raise_current();
    return Ref::steal_or_null(PyErr_GetRaisedException());
}

[[noreturn]] void reraise(Ref exc) {
    PyErr_SetRaisedException(exc.release());
    throw py::ErrorAlreadySet{};
}

// obj.name(*args): a new reference, or null with the error set.
template <class... A>
PyObject* call_raw(PyObject* obj, const char* name, A... args) {
    Ref n = Ref::steal(PyUnicode_InternFromString(name));
    return PyObject_CallMethodObjArgs(obj, n.get(), args..., static_cast<PyObject*>(nullptr));
}
template <class... A>
Ref call(PyObject* obj, const char* name, A... args) {
    return Ref::steal(call_raw(obj, name, args...));
}

Ref bytes_of(const ByteVec& b) {
    return Ref::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size())));
}

// loop.call_soon(fn, args...) on the loop's own thread, call_soon_threadsafe
// elsewhere: asyncio's debug mode refuses call_soon from another thread, and
// only the threadsafe variant wakes a loop that waits. A new reference, or
// null with the error set.
template <class... A>
PyObject* schedule_raw(CoreObject* c, PyObject* fn, A... args) {
    PyObject* argv[] = {c->loop, fn, args...};
    return PyObject_VectorcallMethod(future::scheduler_for(c->loop), argv, 2 + sizeof...(A), nullptr);
}

template <class... A>
void schedule(CoreObject* c, PyObject* fn, A... args) {
    Ref handle = Ref::steal(schedule_raw(c, fn, args...));
}

// ---- the port operations ----

serial::ops::Operation read_operation(std::shared_ptr<PortCore> port) {
    auto r = co_await timeout(Duration{1, 0}, port->read_available(65536));
    port.reset();
    if (!r) co_return Outcome::bytes({});
    if (!*r) co_return std::unexpected(std::move(r->error()));
    co_return Outcome::bytes(std::move(**r));
}

serial::ops::Operation write_operation(std::shared_ptr<PortCore> port, ByteVec data) {
    auto r = co_await port->write_with(std::move(data), true);
    port.reset();
    if (!r) co_return std::unexpected(std::move(r.error()));
    co_return Outcome::count(*r);
}

// A started operation as a Future object. Throws; an operation whose Future
// cannot be made is cancelled.
Ref start(serial::ops::Operation op) {
    OpFuture f = py::value_or_throw(serial::ops::start(std::move(op)));
    auto shared = f.shared();
    try {
        return aio::wrap_future(std::move(f));
    } catch (...) {
        future::cancel_shared(shared);
        throw;
    }
}

void cancel(const Ref& future) {
    if (!future) return;
    if (const OpFuture* op = aio::op_future_of(future.get())) future::cancel_shared(op->shared());
}

// ---- loop callbacks ----

using Handler = void (*)(CoreObject*, PyObject*);

void on_start(CoreObject*, PyObject*);
void on_read(CoreObject*, PyObject*);
void on_write(CoreObject*, PyObject*);
void connection_lost(CoreObject*, PyObject*);
void tell(CoreObject*, PyObject*);
void deliver_held(CoreObject*, PyObject*);

template <Handler H>
PyObject* loop_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return py::entry([&]() -> PyObject* {
        H(as_core(self), nargs > 0 ? args[0] : Py_None);
        Py_RETURN_NONE;
    });
}

#define KORVANE_FN(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef on_start_def = {"on_start", KORVANE_FN(loop_callback<on_start>), METH_FASTCALL, nullptr};
PyMethodDef on_read_def = {"on_read", KORVANE_FN(loop_callback<on_read>), METH_FASTCALL, nullptr};
PyMethodDef on_write_def = {"on_write", KORVANE_FN(loop_callback<on_write>), METH_FASTCALL, nullptr};
PyMethodDef tell_def = {"tell", KORVANE_FN(loop_callback<tell>), METH_FASTCALL, nullptr};
PyMethodDef deliver_def = {"deliver", KORVANE_FN(loop_callback<deliver_held>), METH_FASTCALL, nullptr};
PyMethodDef connection_lost_def = {"connection_lost", KORVANE_FN(loop_callback<connection_lost>), METH_FASTCALL,
                                   nullptr};

Ref callback(CoreObject* c, PyMethodDef* def) {
    return Ref::steal(PyCFunction_New(def, reinterpret_cast<PyObject*>(c)));
}

// Runs on the completing thread; self is the loop callback, whose self is the
// core. On the loop's own thread call_soon queues it without waking the loop.
PyObject* forward(PyObject* self, PyObject* future) {
    return py::entry([&]() -> PyObject* {
        CoreObject* c = as_core(PyCFunction_GET_SELF(self));
        Ref r = Ref::steal_or_null(schedule_raw(c, self, future));
        if (!r) {
            // The loop is gone: nobody will handle the completion, so the port
            // must not stay open.
            PyErr_Clear();
            Ref closed = call(c->serial, "close");
        }
        Py_RETURN_NONE;
    });
}
PyMethodDef forward_def = {"forward", forward, METH_O, nullptr};

Ref make_forward(CoreObject* c, PyMethodDef* def) {
    Ref cb = callback(c, def);
    return Ref::steal(PyCFunction_New(&forward_def, cb.get()));
}

PyMethodDef* const forwarded_handlers[] = {&on_read_def, &on_write_def, &connection_lost_def};

PyObject** forward_slot(CoreObject* c, PyMethodDef* def) {
    for (std::size_t i = 0; i < std::size(forwarded_handlers); ++i)
        if (forwarded_handlers[i] == def) return &c->forwards[i];
    return nullptr;
}

// The core's own "forward" callable for a handler, made at creation, so an
// operation's completion needs no new callable. Once the transport has ended
// (or is being collected) they are gone and one is made per call.
Ref forward_of(CoreObject* c, PyMethodDef* def) {
    PyObject** slot = forward_slot(c, def);
    if (slot) {
        Locked lock(c);
        if (*slot) return Ref::borrow(*slot);
    }
    return make_forward(c, def);
}

// Drops the core's forward callables: each holds the core, so they would
// keep an ended transport alive until the collector runs.
void drop_forwarders(CoreObject* c) {
    PyObject* dropped[std::size(forwarded_handlers)];
    {
        Locked lock(c);
        for (std::size_t i = 0; i < std::size(dropped); ++i) dropped[i] = std::exchange(c->forwards[i], nullptr);
    }
    for (PyObject* f : dropped) Py_XDECREF(f);
}

void when_done(CoreObject* c, const Ref& future, PyMethodDef* def) {
    Ref fwd = forward_of(c, def);
    const OpFuture* op = aio::op_future_of(future.get());
    op->on_done_here(future.get(), fwd.get(), c->loop);
}

void schedule_connection_lost(CoreObject* c) {
    Ref cb = callback(c, &connection_lost_def);
    Ref r = Ref::steal_or_null(schedule_raw(c, cb.get(), Py_None));
    if (r) return;
    // connection_lost will never run: at least the port must not stay open.
    Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
    Ref closed = call(c->serial, "close");
    reraise(std::move(exc));
}

// ---- closing ----

void finish(CoreObject* c, bool flush);

void close_with(CoreObject* c, Ref exception) {
    Ref read_op;
    bool now = false;
    {
        Locked lock(c);
        State& s = c->state;
        if (s.closing) return;  // the argument is dropped after the unlock
        s.closing = true;
        s.exception = std::move(exception);
        read_op = std::exchange(s.read_op, Ref());
        now = s.write_buffer.empty() && !s.write_op && !s.write_starting;
    }
    cancel(read_op);
    if (now) finish(c, true);
}

void abort_with(CoreObject* c, Ref exception) {
    Ref ops[3];
    Ref dropped;
    {
        Locked lock(c);
        State& s = c->state;
        s.closing = true;
        s.aborted = true;
        if (!s.exception)
            s.exception = std::move(exception);
        else
            dropped = std::move(exception);
        s.write_buffer.clear();
        s.held.clear();
        ops[0] = std::exchange(s.read_op, Ref());
        ops[1] = std::exchange(s.write_op, Ref());
        ops[2] = std::exchange(s.close_op, Ref());
        s.in_flight = 0;
    }
    for (auto& op : ops) cancel(op);
    finish(c, false);
}

void finish(CoreObject* c, bool flush) {
    if (with_state(c, [](State& s) { return std::exchange(s.finished, true); })) return;
    if (!flush) {
        schedule_connection_lost(c);
        return;
    }
    Ref fut;
    try {
        fut = start(serial::ops::flush(c->port));
    } catch (...) {
        // Without a flush the protocol must still hear connection_lost and
        // the port be closed.
        Ref exc = take_raised();
        schedule_connection_lost(c);
        reraise(std::move(exc));
    }
    bool stored = with_state(c, [&](State& s) {
        if (s.aborted) return false;
        s.close_op = fut;
        return true;
    });
    try {
        when_done(c, fut, &connection_lost_def);
    } catch (...) {
        Ref exc = take_raised();
        with_state(c, [&](State& s) {
            if (s.close_op.get() == fut.get()) s.close_op = Ref();
        });  // fut still holds it, so nothing is freed under the lock
        cancel(fut);
        schedule_connection_lost(c);
        reraise(std::move(exc));
    }
    // An abort that came while the flush started cancels it; its completion
    // still leads to connection_lost.
    if (!stored) cancel(fut);
}

void connection_lost(CoreObject* c, PyObject*) {
    Ref protocol, exception, close_op;
    with_state(c, [&](State& s) {
        protocol = std::exchange(s.protocol, Ref());
        exception = std::exchange(s.exception, Ref());
        close_op = std::exchange(s.close_op, Ref());
    });
    close_op = Ref();
    Ref failure;
    if (protocol) {
        Ref r = Ref::steal_or_null(
            call_raw(protocol.get(), "connection_lost", exception ? exception.get() : Py_None));
        if (!r) failure = Ref::steal_or_null(PyErr_GetRaisedException());
    }
    Ref closed = call(c->serial, "close");
    drop_forwarders(c);
    if (failure) reraise(std::move(failure));
}

void report(CoreObject* c, const char* message, PyObject* exception) {
    Ref dict = Ref::steal(PyDict_New());
    Ref text = Ref::steal(PyUnicode_FromString(message));
    py::check(PyDict_SetItemString(dict.get(), "message", text.get()));
    py::check(PyDict_SetItemString(dict.get(), "exception", exception));
    PyObject* t = nullptr;
    if (c->transport) py::check(PyWeakref_GetRef(c->transport, &t));
    Ref transport = Ref::steal_or_null(t);
    py::check(PyDict_SetItemString(dict.get(), "transport", transport ? transport.get() : Py_None));
    Ref protocol = with_state(c, [](State& s) { return s.protocol; });
    py::check(PyDict_SetItemString(dict.get(), "protocol", protocol ? protocol.get() : Py_None));
    Ref r = call(c->loop, "call_exception_handler", dict.get());
}

// A read or write that cannot start ends the transport (a read closes it, a
// write aborts it), then the starting error is raised.
[[noreturn]] void start_failed(CoreObject* c, bool write) {
    Ref exc = take_raised();
    try {
        if (write)
            abort_with(c, exc);
        else
            close_with(c, exc);
    } catch (...) {
        Ref ignored = take_raised();
    }
    reraise(std::move(exc));
}

// ---- reading ----

// The read and write slots, for launch.
struct ReadSlot {
    static constexpr bool write = false;
    static PyMethodDef* handler();
    // The transport still wants the operation (a close came meanwhile).
    static bool store(State& s, const Ref& fut) {
        s.read_busy = false;
        if (s.closing) return false;
        s.read_op = fut;
        return true;
    }
    // Frees the slot after a failure; fut is null when nothing started.
    static void undo(State& s, PyObject* fut) {
        s.read_busy = false;
        if (s.read_op.get() == fut) s.read_op = Ref();  // the caller still holds fut
    }
};

struct WriteSlot {
    static constexpr bool write = true;
    static PyMethodDef* handler();
    static bool store(State& s, const Ref& fut) {
        s.write_starting = false;
        if (s.aborted) return false;
        s.write_op = fut;
        return true;
    }
    static void undo(State& s, PyObject* fut) {
        s.write_starting = false;
        if (s.write_op.get() == fut) {
            s.write_op = Ref();
            s.in_flight = 0;  // a stale count would keep the protocol paused
        }
    }
};

// Starts an operation whose slot the caller reserved, stores it and wires its
// completion to the slot's handler. When it cannot start, the transport ends
// (start_failed) and the error is raised.
template <class Slot>
void launch(CoreObject* c, serial::ops::Operation op) {
    Ref fut;
    try {
        fut = start(std::move(op));
    } catch (...) {
        with_state(c, [](State& s) { Slot::undo(s, nullptr); });
        start_failed(c, Slot::write);
    }
    if (!with_state(c, [&](State& s) { return Slot::store(s, fut); })) {
        cancel(fut);  // the transport ended meanwhile
        return;
    }
    try {
        when_done(c, fut, Slot::handler());
    } catch (...) {
        with_state(c, [&](State& s) { Slot::undo(s, fut.get()); });
        cancel(fut);
        start_failed(c, Slot::write);
    }
}

PyMethodDef* ReadSlot::handler() { return &on_read_def; }
PyMethodDef* WriteSlot::handler() { return &on_write_def; }

// Takes the read slot when a read may start now.
bool claim_read(State& s) {
    if (s.closing || s.reading_paused || s.read_op || s.read_busy) return false;
    s.read_busy = true;
    return true;
}

void launch_read(CoreObject* c) { launch<ReadSlot>(c, read_operation(c->port)); }

void start_reading(CoreObject* c) {
    if (with_state(c, claim_read)) launch_read(c);
}

void free_read_slot(CoreObject* c) {
    with_state(c, [](State& s) { s.read_busy = false; });
}

// Gives back the read slot, starting the next read when one may run.
void restart_reading(CoreObject* c) {
    bool go = with_state(c, [](State& s) {
        s.read_busy = false;
        return claim_read(s);
    });
    if (go) launch_read(c);
}

void on_start(CoreObject* c, PyObject*) { start_reading(c); }

[[noreturn]] void not_an_instance(PyObject* value, const char* type_name) {
    Ref qual = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qual.get(), type_name);
    throw py::ErrorAlreadySet{};
}

void on_read(CoreObject* c, PyObject* future) {
    // The slot stays taken until the data is held or delivered: a read that a
    // resume started meanwhile could complete first and overtake it.
    Ref mine = with_state(c, [&](State& s) {
        if (!s.read_op || s.read_op.get() != future) return Ref();
        s.read_busy = true;
        return std::exchange(s.read_op, Ref());
    });
    if (!mine) return;
    Ref data;
    try {
        data = aio::op_future_of(future)->result();
    } catch (...) {
        Ref exc = take_raised();
        free_read_slot(c);
        close_with(c, std::move(exc));
        return;
    }
    if (!PyBytes_Check(data.get())) {
        free_read_slot(c);
        not_an_instance(data.get(), "bytes");
    }
    Ref protocol;
    bool next = false;
    bool deliver = with_state(c, [&](State& s) {
        s.read_busy = false;
        if (s.closing) return false;
        if (s.reading_paused) {
            auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.get()));
            s.held.insert(s.held.end(), p, p + PyBytes_GET_SIZE(data.get()));
            return false;
        }
        protocol = s.protocol;
        next = claim_read(s);
        return true;
    });
    if (!deliver) return;
    if (next) launch_read(c);
    if (protocol && PyBytes_GET_SIZE(data.get()) > 0) {
        Ref r = py::call_method<"data_received">(protocol.get(), data.get());
    }
}

// ---- writing ----

void notify(CoreObject* c, const Ref& protocol, const char* name) {
    if (!protocol) return;
    Ref r = Ref::steal_or_null(call_raw(protocol.get(), name));
    if (r) return;
    Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
    std::string message = std::string("protocol.") + name + "() failed";
    report(c, message.c_str(), exc.get());
}

// Tells the protocol every flow-control change not yet told, in order. Runs
// on the loop thread only, so the protocol is never called from two threads,
// never hears a resume before the pause it ends, and is left paused only
// while the state is. A call made from inside a notice leaves the rest to
// the outer one. The first report that fails is raised after the others.
void tell(CoreObject* c, PyObject*) {
    if (with_state(c, [](State& s) { return std::exchange(s.telling, true); })) return;
    Ref failure;
    for (;;) {
        Ref protocol;
        bool pause = false;
        bool more = with_state(c, [&](State& s) {
            if (s.flow_told == s.flow_changes) {
                s.telling = false;
                s.tell_scheduled = false;
                return false;
            }
            pause = s.flow_told++ % 2 == 0;
            protocol = s.protocol;
            return true;
        });
        if (!more) break;
        try {
            notify(c, protocol, pause ? "pause_writing" : "resume_writing");
        } catch (...) {
            Ref exc = take_raised();
            if (!failure) failure = std::move(exc);
        }
    }
    if (failure) reraise(std::move(failure));
}

// Pauses (or resumes) when the write-buffer size calls for it, then tells
// the protocol: at once on the loop thread, through the loop from any other.
// The decision and the change are one step, so a completion in between
// cannot leave the state paused over an empty buffer.
void update_flow(CoreObject* c, bool pause) {
    bool changed = with_state(c, [&](State& s) {
        auto size = static_cast<std::int64_t>(buffer_size(s));
        bool due = pause ? !s.writing_paused && size > s.high_water : s.writing_paused && size <= s.low_water;
        if (!due) return false;
        s.writing_paused = pause;
        ++s.flow_changes;
        return true;
    });
    if (!changed) return;
    if (future::runs_here(c->loop)) {
        tell(c, nullptr);
        return;
    }
    if (!with_state(c, [](State& s) { return !std::exchange(s.tell_scheduled, true); })) return;
    try {
        Ref cb = callback(c, &tell_def);
        schedule(c, cb.get());
    } catch (...) {
        with_state(c, [](State& s) { s.tell_scheduled = false; });
        throw;
    }
}

void maybe_pause(CoreObject* c) { update_flow(c, true); }
void maybe_resume(CoreObject* c) { update_flow(c, false); }

void start_writing(CoreObject* c) {
    ByteVec taken;
    bool go = with_state(c, [&](State& s) {
        if (s.write_op || s.write_starting || s.write_buffer.empty()) return false;
        taken = std::exchange(s.write_buffer, ByteVec());
        s.in_flight = taken.size();
        s.write_starting = true;
        return true;
    });
    if (go) launch<WriteSlot>(c, write_operation(c->port, std::move(taken)));
}

void on_write(CoreObject* c, PyObject* future) {
    Ref mine = with_state(c, [&](State& s) {
        if (!s.write_op || s.write_op.get() != future) return Ref();
        s.in_flight = 0;
        return std::exchange(s.write_op, Ref());
    });
    if (!mine) return;
    try {
        Ref count = aio::op_future_of(future)->result();
    } catch (...) {
        Ref exc = take_raised();
        bool quiet = with_state(c, [](State& s) { return s.closing && s.exception; });
        if (!quiet) report(c, "Fatal write error on serial transport", exc.get());
        abort_with(c, std::move(exc));
        return;
    }
    maybe_resume(c);
    std::size_t pending = 0;
    bool finish_now = with_state(c, [&](State& s) {
        pending = s.write_buffer.size();
        return s.closing && !s.write_op && !s.write_starting && !s.finished && pending == 0;
    });
    if (pending)
        start_writing(c);
    else if (finish_now)
        finish(c, true);
}

void write(CoreObject* c, PyObject* data) {
    ByteVec bytes = serial::to_bytes(data);
    bool running = false;
    bool accepted = with_state(c, [&](State& s) {
        if (s.closing || bytes.empty()) return false;
        if (s.write_buffer.empty())
            s.write_buffer = std::move(bytes);
        else
            s.write_buffer.insert(s.write_buffer.end(), bytes.begin(), bytes.end());
        running = s.write_op || s.write_starting;
        return true;
    });
    if (!accepted) return;
    if (!running) start_writing(c);
    maybe_pause(c);
}

std::int64_t to_i64(PyObject* value) {
    Ref index = Ref::steal(PyNumber_Index(value));
    long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    return v;
}

// ---- the Python methods ----

// The one argument of a method or function, given by position or by keyword.
PyObject* one_arg(PyObject* args, PyObject* kwargs, const char* format, const char* name) {
    const char* names[] = {name, nullptr};
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &value))
        throw py::ErrorAlreadySet{};
    return value;
}

// An attribute name argument, which must be a str.
void require_name(PyObject* name) {
    py::noted("name", [&] {
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyString'", Py_TYPE(name)->tp_name);
            throw py::ErrorAlreadySet{};
        }
    });
}

PyObject* m_get_extra_info(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        static const char* names[] = {"name", "default", nullptr};
        PyObject *name = nullptr, *dflt = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:get_extra_info", const_cast<char**>(names), &name, &dflt))
            throw py::ErrorAlreadySet{};
        require_name(name);
        bool is_serial = PyUnicode_CompareWithASCIIString(name, "serial") == 0;
        return Py_NewRef(is_serial ? as_core(self)->serial : dflt);
    });
}

PyObject* m_is_closing(PyObject* self, PyObject*) {
    return PyBool_FromLong(with_state(as_core(self), [](State& s) { return s.closing; }));
}

PyObject* m_is_reading(PyObject* self, PyObject*) {
    return PyBool_FromLong(with_state(as_core(self), [](State& s) { return !s.closing && !s.reading_paused; }));
}

PyObject* m_close(PyObject* self, PyObject*) {
    return py::entry([&]() -> PyObject* {
        close_with(as_core(self), Ref());
        Py_RETURN_NONE;
    });
}

PyObject* m_abort(PyObject* self, PyObject*) {
    return py::entry([&]() -> PyObject* {
        abort_with(as_core(self), Ref());
        Py_RETURN_NONE;
    });
}

PyObject* m_write(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        write(as_core(self), one_arg(args, kwargs, "O:write", "data"));
        Py_RETURN_NONE;
    });
}

PyObject* m_writelines(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        Ref it = Ref::steal(PyObject_GetIter(one_arg(args, kwargs, "O:writelines", "list_of_data")));
        while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) write(as_core(self), item.get());
        if (PyErr_Occurred()) throw py::ErrorAlreadySet{};
        Py_RETURN_NONE;
    });
}

PyObject* m_can_write_eof(PyObject*, PyObject*) { Py_RETURN_FALSE; }

PyObject* m_write_eof(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "Serial connections do not support end-of-file");
    return nullptr;
}

PyObject* m_pause_reading(PyObject* self, PyObject*) {
    with_state(as_core(self), [](State& s) { s.reading_paused = true; });
    Py_RETURN_NONE;
}

// (data_received, bytes) queued by resume_reading. The transport may have
// ended while they were being queued, and connection_lost queued before them:
// then nothing may reach the protocol.
void deliver_held(CoreObject* c, PyObject* queued) {
    if (!with_state(c, [](State& s) { return static_cast<bool>(s.protocol); })) return;
    Ref r = Ref::steal(PyObject_CallOneArg(PyTuple_GET_ITEM(queued, 0), PyTuple_GET_ITEM(queued, 1)));
}

PyObject* m_resume_reading(PyObject* self, PyObject*) {
    return py::entry([&]() -> PyObject* {
        CoreObject* c = as_core(self);
        ByteVec held;
        Ref protocol;
        bool resumed = with_state(c, [&](State& s) {
            if (!s.reading_paused) return false;
            s.reading_paused = false;
            // Also while closing: until connection_lost has run (deliver_held
            // looks), the protocol still takes data.
            held = std::exchange(s.held, ByteVec());
            protocol = s.protocol;
            if (!protocol) held.clear();
            // Held bytes come from the last read, so the slot is free; kept
            // taken until they are queued, no later read can come first.
            if (!held.empty()) s.read_busy = true;
            return true;
        });
        if (!resumed) Py_RETURN_NONE;
        if (held.empty()) {
            start_reading(c);
            Py_RETURN_NONE;
        }
        try {
            Ref received = Ref::steal(PyObject_GetAttrString(protocol.get(), "data_received"));
            Ref data = bytes_of(held);
            Ref queued = Ref::steal(PyTuple_Pack(2, received.get(), data.get()));
            Ref deliver = callback(c, &deliver_def);
            schedule(c, deliver.get(), queued.get());
        } catch (...) {
            free_read_slot(c);
            throw;
        }
        restart_reading(c);
        Py_RETURN_NONE;
    });
}

PyObject* m_set_write_buffer_limits(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        static const char* names[] = {"high", "low", nullptr};
        PyObject *high_arg = Py_None, *low_arg = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:set_write_buffer_limits", const_cast<char**>(names),
                                         &high_arg, &low_arg))
            throw py::ErrorAlreadySet{};
        std::optional<std::int64_t> high, low;
        if (high_arg != Py_None) high = py::noted("high", [&] { return to_i64(high_arg); });
        if (low_arg != Py_None) low = py::noted("low", [&] { return to_i64(low_arg); });
        std::int64_t h, l;
        if (low) {
            l = *low;
            h = high ? *high : static_cast<std::int64_t>(static_cast<std::uint64_t>(l) * 4u);
        } else {
            h = high ? *high : 65536;
            l = h / 4;
        }
        if (!(h >= l && l >= 0)) {
            PyErr_Format(PyExc_ValueError, "high (%lld) must be >= low (%lld) must be >= 0", static_cast<long long>(h),
                         static_cast<long long>(l));
            throw py::ErrorAlreadySet{};
        }
        CoreObject* c = as_core(self);
        with_state(c, [&](State& s) {
            s.high_water = h;
            s.low_water = l;
        });
        maybe_pause(c);
        Py_RETURN_NONE;
    });
}

PyObject* m_get_write_buffer_limits(PyObject* self, PyObject*) {
    auto [low, high] =
        with_state(as_core(self), [](State& s) { return std::pair{s.low_water, s.high_water}; });
    return Py_BuildValue("(LL)", static_cast<long long>(low), static_cast<long long>(high));
}

PyObject* m_get_write_buffer_size(PyObject* self, PyObject*) {
    return PyLong_FromSize_t(with_state(as_core(self), [](State& s) { return buffer_size(s); }));
}

PyObject* m_flush(PyObject* self, PyObject*) {
    return py::entry([&]() -> PyObject* {
        CoreObject* c = as_core(self);
        ByteVec dropped;
        with_state(c, [&](State& s) { dropped = std::exchange(s.write_buffer, ByteVec()); });
        maybe_resume(c);
        Py_RETURN_NONE;
    });
}

PyObject* m_get_protocol(PyObject* self, PyObject*) {
    Ref p = with_state(as_core(self), [](State& s) { return s.protocol; });
    return Py_NewRef(p ? p.get() : Py_None);
}

PyObject* m_set_protocol(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        PyObject* protocol = one_arg(args, kwargs, "O:set_protocol", "protocol");
        Ref old =
            with_state(as_core(self), [&](State& s) { return std::exchange(s.protocol, Ref::borrow(protocol)); });
        Py_RETURN_NONE;
    });
}

PyObject* core_repr(PyObject* self) {
    CoreObject* c = as_core(self);
    Ref p = with_state(c, [](State& s) { return s.protocol; });
    return PyUnicode_FromFormat("SerialTransport(%R, %R, %R)", c->loop, p ? p.get() : Py_None, c->serial);
}

PyObject* get_loop(PyObject* self, void*) { return Py_NewRef(as_core(self)->loop); }
PyObject* get_serial(PyObject* self, void*) { return Py_NewRef(as_core(self)->serial); }

#define KORVANE_DOC(sig) sig "\n--\n\n"

PyMethodDef core_methods[] = {
    {"get_extra_info", KORVANE_FN(m_get_extra_info), METH_VARARGS | METH_KEYWORDS,
     KORVANE_DOC("get_extra_info($self, name, default=None)")},
    {"is_closing", m_is_closing, METH_NOARGS, KORVANE_DOC("is_closing($self)")},
    {"is_reading", m_is_reading, METH_NOARGS, KORVANE_DOC("is_reading($self)")},
    {"close", m_close, METH_NOARGS, KORVANE_DOC("close($self)")},
    {"abort", m_abort, METH_NOARGS, KORVANE_DOC("abort($self)")},
    {"write", KORVANE_FN(m_write), METH_VARARGS | METH_KEYWORDS, KORVANE_DOC("write($self, data)")},
    {"writelines", KORVANE_FN(m_writelines), METH_VARARGS | METH_KEYWORDS,
     KORVANE_DOC("writelines($self, list_of_data)")},
    {"can_write_eof", m_can_write_eof, METH_NOARGS, KORVANE_DOC("can_write_eof($self)")},
    {"write_eof", m_write_eof, METH_NOARGS, KORVANE_DOC("write_eof($self)")},
    {"pause_reading", m_pause_reading, METH_NOARGS,
     KORVANE_DOC("pause_reading($self)") "Stops `data_received` calls until `resume_reading`.\n\n"
                                         "A read already under way is not cancelled, since it may have taken bytes "
                                         "from the\nport; what it returns is held and delivered on resume."},
    {"resume_reading", m_resume_reading, METH_NOARGS, KORVANE_DOC("resume_reading($self)")},
    {"set_write_buffer_limits", KORVANE_FN(m_set_write_buffer_limits), METH_VARARGS | METH_KEYWORDS,
     KORVANE_DOC("set_write_buffer_limits($self, high=None, low=None)")},
    {"get_write_buffer_limits", m_get_write_buffer_limits, METH_NOARGS,
     KORVANE_DOC("get_write_buffer_limits($self)")},
    {"get_write_buffer_size", m_get_write_buffer_size, METH_NOARGS, KORVANE_DOC("get_write_buffer_size($self)")},
    {"flush", m_flush, METH_NOARGS, KORVANE_DOC("flush($self)")},
    {"get_protocol", m_get_protocol, METH_NOARGS, KORVANE_DOC("get_protocol($self)")},
    {"set_protocol", KORVANE_FN(m_set_protocol), METH_VARARGS | METH_KEYWORDS,
     KORVANE_DOC("set_protocol($self, protocol)")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef core_getset[] = {
    {"loop", get_loop, nullptr, nullptr, nullptr},
    {"serial", get_serial, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int core_traverse(PyObject* self, visitproc visit, void* arg) {
    CoreObject* c = as_core(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->loop);
    Py_VISIT(c->serial);
    Py_VISIT(c->transport);
    Locked lock(c);
    for (PyObject* f : c->forwards) Py_VISIT(f);
    const State& s = c->state;
    Py_VISIT(s.protocol.get());
    Py_VISIT(s.read_op.get());
    Py_VISIT(s.write_op.get());
    Py_VISIT(s.close_op.get());
    Py_VISIT(s.exception.get());
    return 0;
}

// Drops what the state owns; loop and serial stay until deallocation, since
// "forward" may read them from a worker without the lock.
int core_clear(PyObject* self) {
    CoreObject* c = as_core(self);
    Ref owned[5];
    with_state(c, [&](State& s) {
        owned[0] = std::exchange(s.protocol, Ref());
        owned[1] = std::exchange(s.read_op, Ref());
        owned[2] = std::exchange(s.write_op, Ref());
        owned[3] = std::exchange(s.close_op, Ref());
        owned[4] = std::exchange(s.exception, Ref());
    });
    drop_forwarders(c);
    return 0;
}

void core_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    CoreObject* c = as_core(self);
    core_clear(self);
    Py_CLEAR(c->loop);
    Py_CLEAR(c->serial);
    Py_CLEAR(c->transport);
    c->state.~State();
    c->port.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot core_slots[] = {
    {Py_tp_doc, const_cast<char*>("Holds the state and behaviour behind `SerialTransport`, which forwards to it.\n\n"
                                  "The public class is a Python subclass of `asyncio.Transport` built at run time.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(core_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(core_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(core_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(core_repr)},
    {Py_tp_methods, core_methods},
    {Py_tp_getset, core_getset},
    {0, nullptr},
};

PyType_Spec core_spec = {
    "korvane.aio._TransportCore",
    sizeof(CoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    core_slots,
};

py::OnceCell core_cell;

PyObject* core_type() {
    return core_cell.get([] { return Ref::steal(PyType_FromSpec(&core_spec)); });
}

Ref new_core(PyObject* loop, PyObject* protocol, PyObject* serial, std::shared_ptr<PortCore> port) {
    auto* type = reinterpret_cast<PyTypeObject*>(core_type());
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) throw py::ErrorAlreadySet{};
    // Nothing between the allocation and here can run the collector.
    CoreObject* c = as_core(obj);
    c->loop = Py_NewRef(loop);
    c->serial = Py_NewRef(serial);
    new (&c->port) std::shared_ptr<PortCore>(std::move(port));
    c->mutex = PyMutex{};
    new (&c->state) State();
    c->state.protocol = Ref::borrow(protocol);
    c->transport = nullptr;
    for (PyObject*& f : c->forwards) f = nullptr;
    Ref made = Ref::steal(obj);
    for (std::size_t i = 0; i < std::size(forwarded_handlers); ++i)
        c->forwards[i] = make_forward(c, forwarded_handlers[i]).release();
    return made;
}

// ---- the SerialTransport class ----

// self is the name; called as forwarder(transport, *args, **kwargs).
PyObject* forwarder(PyObject* name, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "a transport is required");
        return nullptr;
    }
    Ref core = Ref::steal_or_null(PyObject_GetAttrString(args[0], "_core"));
    if (!core) return nullptr;
    Ref method = Ref::steal_or_null(PyObject_GetAttr(core.get(), name));
    if (!method) return nullptr;
    return PyObject_Vectorcall(method.get(), args + 1, static_cast<size_t>(nargs - 1), kwnames);
}
PyMethodDef forwarder_def = {"forwarder", KORVANE_FN(forwarder), METH_FASTCALL | METH_KEYWORDS, nullptr};

PyObject* getter(PyObject* name, PyObject* self) {
    Ref core = Ref::steal_or_null(PyObject_GetAttrString(self, "_core"));
    if (!core) return nullptr;
    return PyObject_GetAttr(core.get(), name);
}
PyMethodDef getter_def = {"getter", getter, METH_O, nullptr};

constexpr const char* forwarded[] = {
    "get_extra_info", "is_closing",    "is_reading",     "close",          "abort",
    "write",          "writelines",    "can_write_eof",  "write_eof",      "pause_reading",
    "resume_reading", "set_write_buffer_limits",         "get_write_buffer_limits",
    "get_write_buffer_size",           "flush",          "get_protocol",   "set_protocol",
    "__repr__",
};

void set_item(PyObject* dict, const char* key, PyObject* value) {
    py::check(PyDict_SetItemString(dict, key, value));
}

// Wraps f(name-bound callable) with maker, stored under name.
void add_wrapped(PyObject* ns, const char* name, PyMethodDef* def, PyObject* maker) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    Ref fn = Ref::steal(PyCFunction_New(def, key.get()));
    Ref wrapped = Ref::steal(PyObject_CallOneArg(maker, fn.get()));
    py::check(PyDict_SetItem(ns, key.get(), wrapped.get()));
}

Ref build_class() {
    Ref partialmethod = py::import_attr("functools", "partialmethod");
    Ref property = py::import_attr("builtins", "property");
    Ref ns = Ref::steal(PyDict_New());
    Ref module = Ref::steal(PyUnicode_FromString("korvane.aio"));
    set_item(ns.get(), "__module__", module.get());
    Ref qualname = Ref::steal(PyUnicode_FromString("SerialTransport"));
    set_item(ns.get(), "__qualname__", qualname.get());
    Ref doc = Ref::steal(PyUnicode_FromString("An asyncio transport over a serial port."));
    set_item(ns.get(), "__doc__", doc.get());
    Ref slots = Ref::steal(Py_BuildValue("(ss)", "_core", "__weakref__"));
    set_item(ns.get(), "__slots__", slots.get());
    for (const char* name : forwarded) add_wrapped(ns.get(), name, &forwarder_def, partialmethod.get());
    for (const char* name : {"loop", "serial"}) add_wrapped(ns.get(), name, &getter_def, property.get());
    Ref base = py::import_attr("asyncio", "Transport");
    Ref type = py::import_attr("builtins", "type");
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    Ref cls = Ref::steal(PyObject_CallFunction(type.get(), "sOO", "SerialTransport", bases.get(), ns.get()));
    if (!PyType_Check(cls.get())) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyType'", Py_TYPE(cls.get())->tp_name);
        throw py::ErrorAlreadySet{};
    }
    return cls;
}

py::OnceCell class_cell;

PyObject* module_getattr(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        PyObject* name = one_arg(args, kwargs, "O:__getattr__", "name");
        require_name(name);
        if (PyUnicode_CompareWithASCIIString(name, "SerialTransport") == 0)
            return Py_NewRef(serial_transport_class());
        PyErr_Format(PyExc_AttributeError, "module 'korvane.aio' has no attribute '%U'", name);
        throw py::ErrorAlreadySet{};
    });
}

}  // namespace

PyMethodDef getattr_def = {"__getattr__", KORVANE_FN(module_getattr), METH_VARARGS | METH_KEYWORDS,
                           "__getattr__(name)\n--\n\nGives `korvane.aio.SerialTransport` on first access."};

PyObject* serial_transport_class() {
    return class_cell.get([] { return build_class(); });
}

Ref create(PyObject* loop, PyObject* protocol, PyObject* serial) {
    if (!PyObject_TypeCheck(serial, reinterpret_cast<PyTypeObject*>(serial::serial_base_type()))) {
        if (serial == Py_None) {
            PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'SerialBase'");
            throw py::ErrorAlreadySet{};
        }
        not_an_instance(serial, "SerialBase");
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    py::check(PyObject_SetAttrString(serial, "timeout", zero.get()));
    py::check(PyObject_SetAttrString(serial, "write_timeout", zero.get()));
    Ref core = new_core(loop, protocol, serial, serial::core_of(serial));
    PyObject* cls = serial_transport_class();
    Ref transport = call(cls, "__new__", cls);
    py::check(PyObject_SetAttrString(transport.get(), "_core", core.get()));
    CoreObject* c = as_core(core.get());
    c->transport = py::check(PyWeakref_NewRef(transport.get(), nullptr));
    Ref made = Ref::steal(PyObject_GetAttrString(protocol, "connection_made"));
    schedule(c, made.get(), transport.get());
    Ref on_start = callback(c, &on_start_def);
    schedule(c, on_start.get());
    return transport;
}

Ref connect(PyObject* loop, PyObject* protocol_factory, PyObject* serial) {
    Ref protocol = Ref::steal(PyObject_CallNoArgs(protocol_factory));
    Ref transport = create(loop, protocol.get(), serial);
    return Ref::steal(PyTuple_Pack(2, transport.get(), protocol.get()));
}

}  // namespace korvane::transport
