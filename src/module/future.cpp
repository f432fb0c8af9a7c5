#include "module/future.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <iterator>
#include <memory>
#include <thread>

#include "engine/async/task.hpp"
#include "module/capi/args.hpp"
#include "module/capi/call.hpp"
#include "module/capi/entry.hpp"
#include "module/capi/once.hpp"
#include "module/capi/thread.hpp"
#include "engine/runtime.hpp"
#include "engine/settings.hpp"

namespace korvane {

using py::Ref;

namespace {

// asyncio's functions and classes looked up once per process (borrowed).
py::OnceCell get_running_loop_cell, running_loop_cell, cancelled_error_cell, copy_context_cell, context_kwnames_cell;
PyObject* get_running_loop() {
    return get_running_loop_cell.get([] { return py::import_attr("asyncio", "get_running_loop"); });
}
// The running loop or None, without raising.
PyObject* running_loop() {
    return running_loop_cell.get([] { return py::import_attr("asyncio", "_get_running_loop"); });
}
PyObject* copy_context() {
    return copy_context_cell.get([] { return py::import_attr("contextvars", "copy_context"); });
}
// The keyword names of a call that passes context= alone.
PyObject* context_kwnames() {
    return context_kwnames_cell.get([] { return Ref::steal(PyTuple_Pack(1, py::name<"context">())); });
}
PyObject* cancelled_error() {
    return cancelled_error_cell.get([] { return py::import_attr("asyncio", "CancelledError"); });
}

// The exception now set, taken out of the indicator.
Ref take_raised() noexcept {
    PyObject* e = PyErr_GetRaisedException();
    if (!e) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        e = PyErr_GetRaisedException();
    }
    return Ref::steal_or_null(e);
}

}  // namespace

Ref Outcome::to_py() const {
    struct Visitor {
        Ref operator()(None) const { return Ref::borrow(Py_None); }
        Ref operator()(Count n) const { return Ref::steal(PyLong_FromSize_t(n)); }
        Ref operator()(const ByteVec& b) const {
            return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                                        static_cast<Py_ssize_t>(b.size())));
        }
        Ref operator()(const Lines& lines) const {
            Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(lines.size())));
            for (std::size_t i = 0; i < lines.size(); ++i) {
                Ref b = (*this)(lines[i]);
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), b.release());
            }
            return list;
        }
        Ref operator()(const Object& o) const { return Ref::borrow(o && o->get() ? o->get() : Py_None); }
    };
    return std::visit(Visitor{}, value);
}

Ref Conversion::into_value() && {
    if (is_exception) {
        PyErr_SetRaisedException(object.release());
        throw py::ErrorAlreadySet{};
    }
    return std::move(object);
}

namespace future {

Ref current_loop() noexcept {
    PyObject* running = nullptr;
    try {
        running = PyObject_CallNoArgs(running_loop());
    } catch (...) {
        py::raise_current();
    }
    if (!running) PyErr_Clear();
    if (running == Py_None) Py_CLEAR(running);
    return Ref::steal_or_null(running);
}

bool runs_here(PyObject* loop) noexcept {
    Ref running = current_loop();
    return running && running.get() == loop;
}

void hand_over(const std::shared_ptr<Shared>& shared, const void* loop_here) noexcept {
    std::shared_ptr<AbortHandle> handle;
    {
        std::lock_guard lock(shared->mutex);
        handle = shared->state.abort;
    }
    if (handle) handle->hand_over(loop_here);
}

PyObject* scheduler_for(PyObject* loop) {
    return runs_here(loop) ? py::name<"call_soon">() : py::name<"call_soon_threadsafe">();
}

namespace {

// Runs or schedules one callback; every failure goes to the unraisable hook.
// Method is the name of the loop's method that schedules it; null picks it
// by the thread.
void run_or_report(const Callback& cb, PyObject* method) noexcept {
    try {
        if (cb.loop) {
            if (!method) method = scheduler_for(cb.loop.get());
            PyObject* argv[] = {cb.loop.get(), cb.fn.get(), cb.future.get(), cb.context.get()};
            Ref handle = Ref::steal(PyObject_VectorcallMethod(method, argv, 3, context_kwnames()));
        } else {
            Ref r = py::call_method<"run">(cb.context.get(), cb.fn.get(), cb.future.get());
        }
    } catch (...) {
        py::raise_current();
        PyErr_WriteUnraisable(cb.fn.get());
    }
}

// The callable a loop runs to settle one awaiter: self is (future, object, is_exception).
PyObject* schedule_call(PyObject* self, PyObject*) {
    return py::entry([&]() -> PyObject* {
        Conversion c{Ref::borrow(PyTuple_GET_ITEM(self, 1)), PyTuple_GET_ITEM(self, 2) == Py_True};
        settle(PyTuple_GET_ITEM(self, 0), c);
        Py_RETURN_NONE;
    });
}
PyMethodDef schedule_def = {"schedule", schedule_call, METH_NOARGS, nullptr};

Ref make_schedule(PyObject* asyncio_future, const Conversion& c) {
    Ref self = Ref::steal(PyTuple_Pack(3, asyncio_future, c.object.get(), c.is_exception ? Py_True : Py_False));
    return Ref::steal(PyCFunction_New(&schedule_def, self.get()));
}

}  // namespace

void StateLock::adopt_slow(unsigned now) noexcept {
    for (;;) {
        unsigned seen = generation_.load(std::memory_order_acquire);
        if (seen == now) return;
        if (seen == (now | remaking)) {
            std::this_thread::yield();  // another thread here is making them
            continue;
        }
        if (!generation_.compare_exchange_weak(seen, now | remaking, std::memory_order_acquire)) continue;
        std::construct_at(&mutex_);
        std::construct_at(&condition_);
        generation_.store(now, std::memory_order_release);
        return;
    }
}

bool complete(const std::shared_ptr<Shared>& shared, OpResult result) noexcept {
    std::shared_ptr<AbortHandle> abort;
    bool deliver;
    {
        std::lock_guard lock(shared->mutex);
        if (shared->state.outcome) return false;
        abort = std::move(shared->state.abort);
        // Stored once and never replaced, so it can be read after the unlock.
        shared->state.outcome.emplace(std::move(result));
        deliver = !shared->state.waiters.empty() || !shared->state.callbacks.empty();
    }
    abort.reset();
    shared->mutex.notify_all();
    if (!deliver) return true;

    py::Attached attached;
    if (!attached.ok()) return true;  // the references go with the state, without the interpreter
    // Taken out only once attached: the collector sees these references
    // through the Future object, and must not see them vanish mid-collection.
    std::vector<Waiter> waiters;
    std::vector<std::shared_ptr<Callback>> callbacks;
    {
        std::lock_guard lock(shared->mutex);
        waiters.swap(shared->state.waiters);
        callbacks.swap(shared->state.callbacks);
    }
    const OpResult& stored = *shared->state.outcome;
    for (auto& w : waiters) {
        try {
            Ref closed = py::call_method<"is_closed">(w.loop.get());
            if (py::check(PyObject_IsTrue(closed.get()))) continue;
        } catch (...) {
            py::raise_current();
            PyErr_WriteUnraisable(nullptr);
            continue;
        }
        Conversion c = to_python(shared, stored);
        try {
            Ref schedule = make_schedule(w.future.get(), c);
            PyObject* argv[] = {w.loop.get(), schedule.get()};
            Ref r = Ref::steal(PyObject_VectorcallMethod(scheduler_for(w.loop.get()), argv, 2, nullptr));
        } catch (...) {
            py::raise_current();
            PyErr_WriteUnraisable(nullptr);
        }
        w.loop.reset();
        w.future.reset();
    }
    for (auto& cb : callbacks) run_or_report(*cb, nullptr);
    waiters.clear();
    callbacks.clear();
    return true;
}

int visit_through(Shared& shared, const void* loop, visitproc visit, void* arg) {
    if (runtime::forked()) return 0;
    std::lock_guard lock(shared.mutex);
    auto& st = shared.state;
    // Once done, the completing thread owns what is still listed.
    if (st.outcome) return 0;
    for (auto& w : st.waiters) {
        if (w.loop.get() != loop) continue;
        Py_VISIT(w.loop.get());
        Py_VISIT(w.future.get());
    }
    for (auto& cb : st.callbacks) {
        if (!cb->held || cb->via != loop) continue;
        Py_VISIT(cb->fn.get());
        Py_VISIT(cb->future.get());
        Py_VISIT(cb->context.get());
        Py_VISIT(cb->loop.get());
    }
    return 0;
}

void drop_through(Shared& shared, const void* loop) noexcept {
    if (runtime::forked()) return;
    std::vector<Waiter> waiters;
    std::vector<std::shared_ptr<Callback>> callbacks;
    try {
        std::lock_guard lock(shared.mutex);
        auto& st = shared.state;
        if (st.outcome) return;
        auto other_w = std::stable_partition(st.waiters.begin(), st.waiters.end(),
                                             [&](const Waiter& w) { return w.loop.get() != loop; });
        std::move(other_w, st.waiters.end(), std::back_inserter(waiters));
        st.waiters.erase(other_w, st.waiters.end());
        auto other_cb = std::stable_partition(st.callbacks.begin(), st.callbacks.end(),
                                              [&](const auto& cb) { return !cb->held || cb->via != loop; });
        std::move(other_cb, st.callbacks.end(), std::back_inserter(callbacks));
        st.callbacks.erase(other_cb, st.callbacks.end());
    } catch (...) {
        // Out of memory moving them out: they stay, as roots.
    }
    // Released here, outside the lock.
}

bool cancel_shared(const std::shared_ptr<Shared>& shared) noexcept {
    std::shared_ptr<AbortHandle> handle;
    {
        std::lock_guard lock(shared->mutex);
        handle = shared->state.abort;
    }
    bool done = complete(shared, std::unexpected(SerialError::cancelled()));
    if (done && handle) handle->abort();
    return done;
}

Ref exception_object(const std::shared_ptr<Shared>& shared, const SerialError& error) {
    {
        std::lock_guard lock(shared->mutex);
        if (shared->state.cached_exception) return Ref::borrow(shared->state.cached_exception.get());
    }
    py::raise(error);
    Ref made = take_raised();
    Ref stored;
    {
        std::lock_guard lock(shared->mutex);
        if (!shared->state.cached_exception) shared->state.cached_exception = py::SendRef(Ref(made));
        stored = Ref::borrow(shared->state.cached_exception.get());
    }
    return stored;  // `made` is released here if another thread stored first
}

Conversion to_python(const std::shared_ptr<Shared>& shared, const OpResult& result) noexcept {
    try {
        if (result) return Conversion{result->to_py(), false};
        if (result.error().kind() == SerialError::Kind::Cancelled) {
            py::raise(result.error());
            return Conversion{take_raised(), true};
        }
        Ref instance = exception_object(shared, result.error());
        Ref cleared = py::call_method<"with_traceback">(instance.get(), Py_None);
        return Conversion{std::move(cleared), true};
    } catch (...) {
        py::raise_current();
        return Conversion{take_raised(), true};
    }
}

void settle(PyObject* asyncio_future, const Conversion& c) {
    Ref done = py::call_method<"done">(asyncio_future);
    if (py::check(PyObject_IsTrue(done.get()))) return;
    Ref r;
    if (c.is_exception) {
        if (PyErr_GivenExceptionMatches(c.object.get(), cancelled_error()))
            r = py::call_method<"cancel">(asyncio_future);
        else
            r = py::call_method<"set_exception">(asyncio_future, c.object.get());
    } else {
        r = py::call_method<"set_result">(asyncio_future, c.object.get());
    }
}

bool wait_slice(const std::shared_ptr<Shared>& shared,
                const std::optional<std::chrono::steady_clock::time_point>& deadline) {
    using namespace std::chrono;
    py::Detached detached;
    // An operation whose task could not be scheduled ends here, with no lock held.
    end_orphaned_tasks();
    auto now = steady_clock::now();
    nanoseconds slice = milliseconds(50);
    if (deadline) slice = std::clamp<nanoseconds>(*deadline - now, nanoseconds(0), slice);
    std::unique_lock lock(shared->mutex);
    shared->mutex.wait_until(lock, now + slice, [&] { return shared->state.outcome.has_value(); });
    return shared->state.outcome.has_value();
}

}  // namespace future

OpFuture OpFuture::resolved(OpResult result) {
    auto shared = std::make_shared<Shared>();
    shared->state.outcome.emplace(std::move(result));
    return OpFuture(std::move(shared));
}

OpFuture OpFuture::pending() { return OpFuture(std::make_shared<Shared>()); }

void OpFuture::set_abort(std::shared_ptr<AbortHandle> abort) const {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->state.outcome) shared_->state.abort = std::move(abort);
}

Ref OpFuture::result() const {
    const OpResult* done = shared_->stored();
    if (!done) {
        Ref type = py::import_attr("asyncio", "InvalidStateError");
        PyErr_SetString(type.get(), "Result is not ready.");
        throw py::ErrorAlreadySet{};
    }
    return future::to_python(shared_, *done).into_value();
}

Ref OpFuture::block() const {
    // On a runtime worker (a done-callback that waits), another thread drives
    // the reactor meanwhile, or the operation waited for could never finish.
    runtime::BlockInPlace stand_in;
    future::hand_over(shared_, nullptr);
    while (!future::wait_slice(shared_, std::nullopt)) {
        if (PyErr_CheckSignals() < 0) {
            Ref exc = take_raised();
            future::cancel_shared(shared_);
            PyErr_SetRaisedException(exc.release());
            throw py::ErrorAlreadySet{};
        }
    }
    return result();
}

void OpFuture::register_callback(PyObject* future_object, PyObject* fn, PyObject* context, PyObject* loop,
                                 bool held, const void* via) const {
    auto cb = std::make_shared<future::Callback>();
    cb->fn = py::SendRef(Ref::borrow(fn));
    cb->future = py::SendRef(Ref::borrow(future_object));
    cb->context = py::SendRef(Ref::borrow(context));
    if (loop) cb->loop = py::SendRef(Ref::borrow(loop));
    cb->held = held || loop;
    cb->via = loop ? loop : via;
    {
        std::lock_guard lock(shared_->mutex);
        if (!shared_->state.outcome) {
            shared_->state.callbacks.push_back(std::move(cb));
            return;
        }
    }
    future::run_or_report(*cb, py::name<"call_soon">());
}

void OpFuture::on_done_here(PyObject* future_object, PyObject* fn, const void* via) const {
    Ref context = Ref::steal(PyObject_CallNoArgs(copy_context()));
    register_callback(future_object, fn, context.get(), nullptr, true, via);
}

CompleteOnDrop::~CompleteOnDrop() {
    if (shared_) future::complete(shared_, std::unexpected(panic_error()));
}

// ---------------------------------------------------------------------------
// korvane.aio.Future and Ready

namespace aio {
namespace {

struct FutureObject {
    PyObject_HEAD
    OpFuture op;
};

struct ReadyObject {
    PyObject_HEAD
    PyObject* value;
    std::atomic<bool> yielded;
};

py::OnceCell future_cell, ready_cell;

FutureObject* as_future(PyObject* self) { return reinterpret_cast<FutureObject*>(self); }
const OpFuture& op_of(PyObject* self) { return as_future(self)->op; }

void future_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_future(self)->op.~OpFuture();
    type->tp_free(self);
    Py_DECREF(type);
}

// The state is locked while visiting: a worker may be completing it. In a
// forked child a parent's worker may have held that lock for good, so the
// child visits (and clears) nothing: its futures are only ever leaked.
// Awaiters and held callbacks are the operation's until it completes (its
// task holds the state), so they are roots: a task awaiting the operation, or
// a transport reading through it, lives on with nothing else referencing it.
// Once complete they are gone from the state.
int future_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto& shared = op_of(self).shared();
    if (!shared || runtime::forked()) return 0;
    std::lock_guard lock(shared->mutex);
    auto& st = shared->state;
    Py_VISIT(st.cached_exception.get());
    for (auto& cb : st.callbacks) {
        if (cb->held) continue;
        Py_VISIT(cb->fn.get());
        Py_VISIT(cb->future.get());
        Py_VISIT(cb->context.get());
        Py_VISIT(cb->loop.get());
    }
    if (st.outcome && *st.outcome)
        if (auto* o = std::get_if<Outcome::Object>(&(*st.outcome)->value); o && *o) Py_VISIT((*o)->get());
    return 0;
}

// The callbacks an unreachable future would still run: taken out before
// anything is cleared, so a completion cannot run a callback the collector
// is tearing down. Awaiters and held callbacks stay: they were never visited.
std::vector<std::shared_ptr<future::Callback>> take_deliveries(Shared& shared) {
    std::vector<std::shared_ptr<future::Callback>> taken;
    std::lock_guard lock(shared.mutex);
    auto& list = shared.state.callbacks;
    auto held = std::stable_partition(list.begin(), list.end(), [](const auto& cb) { return cb->held; });
    std::move(held, list.end(), std::back_inserter(taken));
    list.erase(held, list.end());
    return taken;
}

void future_finalize(PyObject* self) {
    auto& shared = op_of(self).shared();
    if (!shared || runtime::forked()) return;
    PyObject* exc = PyErr_GetRaisedException();
    take_deliveries(*shared);  // dropped here, outside the lock
    PyErr_SetRaisedException(exc);
}

int future_clear(PyObject* self) {
    auto& shared = op_of(self).shared();
    if (!shared || runtime::forked()) return 0;
    auto taken = take_deliveries(*shared);
    py::SendRef exception;
    Outcome::Object object;
    {
        std::lock_guard lock(shared->mutex);
        exception = std::move(shared->state.cached_exception);  // made again if ever needed
        if (auto& o = shared->state.outcome; o && *o)
            if (auto* p = std::get_if<Outcome::Object>(&(*o)->value)) object = *p;
    }
    if (object) object->reset();
    return 0;
}

PyObject* future_done(PyObject* self, PyObject*) {
    return py::entry([&] {
        auto& shared = op_of(self).shared();
        if (shared->stored()) Py_RETURN_TRUE;
        // Asked from outside the loop it may wait on, it must end without that loop.
        Ref here = future::current_loop();
        future::hand_over(shared, here.get());
        Py_RETURN_FALSE;
    });
}

PyObject* future_cancelled(PyObject* self, PyObject*) {
    return py::entry([&] {
        auto& shared = op_of(self).shared();
        std::lock_guard lock(shared->mutex);
        const auto& o = shared->state.outcome;
        return PyBool_FromLong(o && !*o && o->error().kind() == SerialError::Kind::Cancelled);
    });
}

PyObject* future_cancel(PyObject* self, PyObject*) {
    return py::entry([&] { return PyBool_FromLong(future::cancel_shared(op_of(self).shared())); });
}

PyObject* future_result(PyObject* self, PyObject*) {
    return py::entry([&] { return op_of(self).result().release(); });
}

PyObject* future_exception(PyObject* self, PyObject*) {
    return py::entry([&]() -> PyObject* {
        auto& shared = op_of(self).shared();
        const OpResult* done = shared->stored();
        if (!done) {
            Ref type = py::import_attr("asyncio", "InvalidStateError");
            PyErr_SetString(type.get(), "Exception is not set.");
            throw py::ErrorAlreadySet{};
        }
        if (*done) Py_RETURN_NONE;
        if (done->error().kind() == SerialError::Kind::Cancelled) throw done->error();
        return future::exception_object(shared, done->error()).release();
    });
}

std::optional<std::chrono::steady_clock::time_point> wait_deadline(PyObject* timeout) {
    using namespace std::chrono;
    if (!timeout || timeout == Py_None) return std::nullopt;
    double x = py::noted("timeout", [&] {
        double v = PyFloat_AsDouble(timeout);
        if (v == -1.0 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
        return v;
    });
    if (!(x > 0.0)) x = 0.0;
    auto d = settings::duration(Seconds::from_float(x));
    if (!d) return std::nullopt;
    auto now = steady_clock::now();
    auto room = steady_clock::time_point::max() - now;
    auto room_secs = duration_cast<seconds>(room).count();
    if (d->secs >= static_cast<std::uint64_t>(room_secs)) return std::nullopt;
    return now + seconds(d->secs) + nanoseconds(d->nanos);
}

PyObject* future_wait(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        static const char* names[] = {"timeout", nullptr};
        PyObject* timeout = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:wait", const_cast<char**>(names), &timeout))
            throw py::ErrorAlreadySet{};
        auto deadline = wait_deadline(timeout);
        const OpFuture& op = op_of(self);
        runtime::BlockInPlace stand_in;
        future::hand_over(op.shared(), nullptr);
        for (;;) {
            if (future::wait_slice(op.shared(), deadline)) return op.result().release();
            py::check(PyErr_CheckSignals());
            if (deadline && std::chrono::steady_clock::now() >= *deadline) {
                PyErr_SetString(PyExc_TimeoutError, "the operation did not finish within the timeout");
                throw py::ErrorAlreadySet{};
            }
        }
    });
}

PyObject* future_add_done_callback(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&]() -> PyObject* {
        static const char* names[] = {"", "context", nullptr};
        PyObject* fn = nullptr;
        PyObject* context = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:add_done_callback", const_cast<char**>(names), &fn,
                                         &context))
            throw py::ErrorAlreadySet{};
        Ref ctx;
        if (!context || context == Py_None) {
            Ref copy_context = py::import_attr("contextvars", "copy_context");
            ctx = Ref::steal(PyObject_CallNoArgs(copy_context.get()));
        } else {
            ctx = Ref::borrow(context);
        }
        Ref loop = future::current_loop();
        op_of(self).register_callback(self, fn, ctx.get(), loop.get());
        future::hand_over(op_of(self).shared(), loop.get());
        Py_RETURN_NONE;
    });
}

PyObject* future_remove_done_callback(PyObject* self, PyObject* fn) {
    return py::entry([&]() -> PyObject* {
        auto& shared = op_of(self).shared();
        std::vector<std::shared_ptr<future::Callback>> snapshot;
        {
            std::lock_guard lock(shared->mutex);
            snapshot = shared->state.callbacks;
        }
        std::vector<const future::Callback*> matched;
        for (auto& cb : snapshot) {
            Ref eq = Ref::steal(PyObject_RichCompare(cb->fn.get(), fn, Py_EQ));
            if (py::check(PyObject_IsTrue(eq.get()))) matched.push_back(cb.get());
        }
        std::vector<std::shared_ptr<future::Callback>> removed;
        {
            std::lock_guard lock(shared->mutex);
            auto& list = shared->state.callbacks;
            std::vector<std::shared_ptr<future::Callback>> kept;
            // Once done, the completing thread is delivering what is still listed.
            if (shared->state.outcome) matched.clear();
            for (auto& cb : list) {
                if (std::find(matched.begin(), matched.end(), cb.get()) != matched.end())
                    removed.push_back(std::move(cb));
                else
                    kept.push_back(std::move(cb));
            }
            list.swap(kept);
        }
        return PyLong_FromSize_t(removed.size());
    });
}

PyObject* future_class_getitem(PyObject* cls, PyObject* item) { return Py_GenericAlias(cls, item); }

// The await's done-callback: self is a capsule holding the completion state.
void shared_capsule_free(PyObject* capsule) {
    delete static_cast<std::shared_ptr<Shared>*>(PyCapsule_GetPointer(capsule, "korvane.shared"));
}
PyObject* await_done(PyObject* self, PyObject* f) {
    return py::entry([&]() -> PyObject* {
        Ref cancelled = py::call_method<"cancelled">(f);
        if (py::check(PyObject_IsTrue(cancelled.get()))) {
            auto* shared = static_cast<std::shared_ptr<Shared>*>(PyCapsule_GetPointer(self, "korvane.shared"));
            if (shared) future::cancel_shared(*shared);
        }
        Py_RETURN_NONE;
    });
}
PyMethodDef await_done_def = {"_on_awaiter_done", await_done, METH_O, nullptr};

Ref new_ready(Ref value) {
    auto* type = reinterpret_cast<PyTypeObject*>(ready_type());
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) throw py::ErrorAlreadySet{};
    auto* r = reinterpret_cast<ReadyObject*>(obj);
    r->value = value.release();
    new (&r->yielded) std::atomic<bool>(false);
    return Ref::steal(obj);
}

PyObject* future_await(PyObject* self) {
    return py::entry([&]() -> PyObject* {
        Ref loop = Ref::steal(PyObject_CallNoArgs(get_running_loop()));
        auto& shared = op_of(self).shared();
        if (const OpResult* done = shared->stored()) {
            Ref value = future::to_python(shared, *done).into_value();
            return new_ready(std::move(value)).release();
        }
        future::hand_over(shared, loop.get());
        Ref fut = py::call_method<"create_future">(loop.get());
        auto handle = std::make_unique<std::shared_ptr<Shared>>(shared);
        const OpResult* late = nullptr;
        {
            std::lock_guard lock(shared->mutex);
            if (!shared->state.outcome)
                shared->state.waiters.push_back(future::Waiter{py::SendRef(Ref(loop)), py::SendRef(Ref(fut))});
            else
                late = &*shared->state.outcome;
        }
        if (late) future::settle(fut.get(), future::to_python(shared, *late));
        Ref capsule = Ref::steal(PyCapsule_New(handle.get(), "korvane.shared", shared_capsule_free));
        handle.release();
        Ref callback = Ref::steal(PyCFunction_New(&await_done_def, capsule.get()));
        Ref r = py::call_method<"add_done_callback">(fut.get(), callback.get());
        return py::call_method_raw<"__await__">(fut.get());
    });
}

PyMethodDef future_methods[] = {
    {"wait", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(future_wait)), METH_VARARGS | METH_KEYWORDS,
     "wait($self, timeout=None)\n--\n\n"},
    {"__class_getitem__", future_class_getitem, METH_O | METH_CLASS, "__class_getitem__($cls, item, /)\n--\n\n"},
    {"add_done_callback", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(future_add_done_callback)),
     METH_VARARGS | METH_KEYWORDS, "add_done_callback($self, fn, /, *, context=None)\n--\n\n"},
    {"remove_done_callback", future_remove_done_callback, METH_O, "remove_done_callback($self, fn, /)\n--\n\n"},
    {"cancelled", future_cancelled, METH_NOARGS, "cancelled($self)\n--\n\n"},
    {"exception", future_exception, METH_NOARGS, "exception($self)\n--\n\n"},
    {"done", future_done, METH_NOARGS, "done($self)\n--\n\n"},
    {"cancel", future_cancel, METH_NOARGS, "cancel($self)\n--\n\n"},
    {"result", future_result, METH_NOARGS, "result($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot future_slots[] = {
    {Py_tp_doc, const_cast<char*>("A port operation running on the runtime.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(future_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(future_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(future_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(future_finalize)},
    {Py_tp_methods, future_methods},
    {Py_am_await, reinterpret_cast<void*>(future_await)},
    {0, nullptr},
};

PyType_Spec future_spec = {
    "korvane.aio.Future",
    sizeof(FutureObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    future_slots,
};

// Ready

ReadyObject* as_ready(PyObject* self) { return reinterpret_cast<ReadyObject*>(self); }

void ready_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_XDECREF(as_ready(self)->value);
    type->tp_free(self);
    Py_DECREF(type);
}

int ready_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_ready(self)->value);
    return 0;
}

int ready_clear(PyObject* self) {
    Py_CLEAR(as_ready(self)->value);
    return 0;
}

PyObject* ready_step(PyObject* self) {
    auto* r = as_ready(self);
    if (!r->yielded.exchange(true)) Py_RETURN_NONE;
    // Made by calling the type, so a tuple value is not taken apart as args.
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, r->value ? r->value : Py_None);
    if (stop) PyErr_SetRaisedException(stop);
    return nullptr;
}

PyObject* ready_send(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"_value", nullptr};
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:send", const_cast<char**>(names), &value)) return nullptr;
    return ready_step(self);
}

PyObject* ready_throw(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* exc = throw_argument(args, kwargs);
    return exc ? raise_thrown(exc) : nullptr;
}

PyObject* ready_close(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyMethodDef ready_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ready_send)), METH_VARARGS | METH_KEYWORDS,
     "send($self, _value)\n--\n\n"},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ready_throw)), METH_VARARGS | METH_KEYWORDS,
     "throw($self, exception, _value=None, _traceback=None)\n--\n\n"},
    {"close", ready_close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ready_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "What awaiting a finished future iterates: it yields once, so the event loop can run\n"
                    "other tasks and deliver a cancellation as it does for `asyncio.sleep(0)`, then stops\n"
                    "with the result, without creating an asyncio future or waking the loop from a worker.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(ready_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ready_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ready_clear)},
    {Py_tp_methods, ready_methods},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(ready_step)},
    {0, nullptr},
};

PyType_Spec ready_spec = {
    "korvane.aio.Ready",
    sizeof(ReadyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    ready_slots,
};

}  // namespace

PyObject* throw_argument(PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"exception", "_value", "_traceback", nullptr};
    PyObject *exc = nullptr, *value = nullptr, *tb = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:throw", const_cast<char**>(names), &exc, &value, &tb))
        return nullptr;
    return exc;
}

PyObject* raise_thrown(PyObject* exc) {
    Ref raised = PyType_Check(exc) ? Ref::steal_or_null(PyObject_CallNoArgs(exc)) : Ref::borrow(exc);
    if (!raised) return nullptr;
    if (!PyExceptionInstance_Check(raised.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return nullptr;
    }
    PyErr_SetRaisedException(raised.release());
    return nullptr;
}

PyObject* future_type() {
    return future_cell.get([] { return Ref::steal(PyType_FromSpec(&future_spec)); });
}

PyObject* ready_type() {
    return ready_cell.get([] { return Ref::steal(PyType_FromSpec(&ready_spec)); });
}

Ref wrap_future(OpFuture op) {
    auto* type = reinterpret_cast<PyTypeObject*>(future_type());
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) throw py::ErrorAlreadySet{};
    new (&as_future(obj)->op) OpFuture(std::move(op));
    return Ref::steal(obj);
}

const OpFuture* op_future_of(PyObject* obj) noexcept {
    PyObject* type = future_cell.peek();
    if (!type || Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(type)) return nullptr;
    return &as_future(obj)->op;
}

}  // namespace aio
}  // namespace korvane
