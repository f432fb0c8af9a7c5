#include "module/loop_park.hpp"

#include <array>
#include <mutex>
#include <sys/select.h>
#include <tuple>
#include <utility>
#include <vector>

#include "module/capi/call.hpp"
#include "module/capi/entry.hpp"
#include "module/capi/once.hpp"
#include "module/capi/ref.hpp"
#include "module/capi/thread.hpp"
#include "engine/runtime.hpp"
#include "module/future.hpp"

namespace korvane::loop_park {

namespace {

using py::Ref;

// The callable a loop runs when its watch is readable: self is the watch's
// registration, which the loop's selector holds. The registration is the
// watch's only owner, so its end is the loop letting go (remove_reader, or
// the selector closed with the loop).
//
// It also stands, for the collector, for what the operations started on the
// loop will deliver through it: a loop that can still run keeps them alive
// (a running loop is reachable from its thread, a stopped one from its user),
// and a loop nobody can reach is collected with them, so the ports they hold
// close.
struct Registration {
    PyObject_HEAD
    std::shared_ptr<LoopWatch> watch;
    const void* loop;  // by identity
    PyObject* loop_ref;  // a weak reference, or null when the loop takes none
    std::mutex mutex;  // a leaf, over ops and parting
    std::vector<std::weak_ptr<Shared>> ops;
    // States whose last owner a traversal became: freed later, outside it.
    std::vector<std::shared_ptr<Shared>> parting;
};

Registration* as_reg(PyObject* o) { return reinterpret_cast<Registration*>(o); }

// Forgets the operations that ended. What it frees goes after the unlock:
// freeing a state may run Python, and so the collector.
void prune(Registration* r) noexcept {
    std::vector<std::shared_ptr<Shared>> freed;
    std::lock_guard g(r->mutex);
    freed.swap(r->parting);
    try {
        std::erase_if(r->ops, [&](const std::weak_ptr<Shared>& w) {
            auto s = w.lock();
            if (s && !s->stored()) return false;
            if (s) freed.push_back(std::move(s));
            return true;
        });
    } catch (...) {
    }
}

// The loop is gone for good: nothing it would have run can run.
void drop_deliveries(Registration* r) {
    std::vector<std::shared_ptr<Shared>> live;
    {
        std::lock_guard g(r->mutex);
        for (auto& w : r->ops)
            if (auto s = w.lock()) live.push_back(std::move(s));
        r->ops.clear();
    }
    for (auto& s : live) future::drop_through(*s, r->loop);
}

int reg_traverse(PyObject* self, visitproc visit, void* arg) {
    Registration* r = as_reg(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->loop_ref);
    if (runtime::forked()) return 0;
    std::lock_guard g(r->mutex);
    for (auto& w : r->ops) {
        auto s = w.lock();
        if (!s) continue;
        int err = future::visit_through(*s, r->loop, visit, arg);
        if (s.use_count() == 1) {
            try {
                r->parting.push_back(std::move(s));
            } catch (...) {
                new std::shared_ptr<Shared>(std::move(s));  // leaked rather than freed mid-traversal
            }
        }
        if (err) return err;
    }
    return 0;
}

int reg_clear(PyObject* self) {
    if (!runtime::forked()) drop_deliveries(as_reg(self));
    return 0;
}

void reg_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Registration* r = as_reg(self);
    if (!runtime::forked()) {
        r->watch->release();
        // Let go by a loop being collected: its weak references are cleared
        // before its finalizer closes the selector.
        PyObject* loop = nullptr;
        if (r->loop_ref && PyWeakref_GetRef(r->loop_ref, &loop) == 0) drop_deliveries(r);
        Py_XDECREF(loop);
        PyErr_Clear();
    }
    Py_CLEAR(r->loop_ref);
    std::destroy_at(&r->parting);
    std::destroy_at(&r->ops);
    std::destroy_at(&r->mutex);
    std::destroy_at(&r->watch);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* on_ready(PyObject* self, PyObject*) {
    return py::entry([&]() -> PyObject* {
        Registration* r = as_reg(self);
        if (!runtime::forked()) {
            std::shared_ptr<LoopWatch> watch = r->watch;
            {
                py::Detached detached;
                watch->ready();
            }
            prune(r);
        }
        Py_RETURN_NONE;
    });
}
PyMethodDef on_ready_def = {"_korvane_loop_watch", on_ready, METH_NOARGS, nullptr};

PyType_Slot reg_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reg_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reg_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reg_clear)},
    {0, nullptr},
};

PyType_Spec reg_spec = {
    "korvane._LoopWatch",
    sizeof(Registration),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    reg_slots,
};

py::OnceCell reg_cell;
PyObject* reg_type() {
    return reg_cell.get([] { return Ref::steal(PyType_FromSpec(&reg_spec)); });
}

// A registration owning `watch`, for `loop`. Throws.
Ref new_registration(PyObject* loop, std::shared_ptr<LoopWatch> watch) {
    Ref loop_ref = Ref::steal_or_null(PyWeakref_NewRef(loop, nullptr));
    if (!loop_ref) PyErr_Clear();
    auto* type = reinterpret_cast<PyTypeObject*>(reg_type());
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) throw py::ErrorAlreadySet{};
    Registration* r = as_reg(obj);
    new (&r->watch) std::shared_ptr<LoopWatch>(std::move(watch));
    r->loop = loop;
    r->loop_ref = loop_ref.release();
    new (&r->mutex) std::mutex();
    new (&r->ops) std::vector<std::weak_ptr<Shared>>();
    new (&r->parting) std::vector<std::shared_ptr<Shared>>();
    return Ref::steal(obj);
}

// This thread's loops and their watches, by identity. A watch alive and not
// released is still registered with its loop, so the loop is alive too and
// its address cannot have been reused.
struct Known {
    const void* loop = nullptr;
    std::weak_ptr<LoopWatch> watch;
    // Borrowed: alive while `watch` is alive and not released.
    Registration* registration = nullptr;
    bool refused = false;
    // The refusing loop is in refused_loops(), which tells it from a new loop
    // made at its address.
    bool weakly = false;
};
constexpr std::size_t known_max = 4;
thread_local std::array<Known, known_max> t_known;

py::OnceCell refused_cell;
PyObject* refused_loops() {
    return refused_cell.get([] {
        Ref type = py::import_attr("weakref", "WeakSet");
        return Ref::steal(PyObject_CallNoArgs(type.get()));
    });
}

bool still_refused(const Known& k, PyObject* loop) noexcept {
    if (!k.weakly) return true;
    try {
        int in = PySequence_Contains(refused_loops(), loop);
        if (in < 0) PyErr_Clear();
        return in != 0;
    } catch (...) {
        py::raise_current();
        PyErr_Clear();
        return true;
    }
}

// Remembers a refusing loop weakly where it can.
bool remember_refusal(PyObject* loop) noexcept {
    try {
        Ref r = py::call_method<"add">(refused_loops(), loop);
        return true;
    } catch (...) {
        py::raise_current();
        PyErr_Clear();
        return false;
    }
}

// A select()-based selector watches no descriptor from FD_SETSIZE on: it
// would raise in the loop's next select().
bool beyond_selector(PyObject* loop, int fd) {
    if (fd < FD_SETSIZE) return false;
    Ref selector;
    {
        PyObject* got = nullptr;
        py::check(PyObject_GetOptionalAttr(loop, py::name<"_selector">(), &got));
        selector = Ref::steal_or_null(got);
    }
    if (!selector) return false;
    Ref select_type = py::import_attr("selectors", "SelectSelector");
    return py::check(PyObject_IsInstance(selector.get(), select_type.get())) != 0;
}

struct Refused {};

// Null when no watch can be made now; throws Refused, or the loop's error,
// when the loop cannot watch it.
std::pair<std::shared_ptr<LoopWatch>, Registration*> make(PyObject* loop) {
    auto watch = LoopWatch::create();
    if (!watch) return {};
    if (beyond_selector(loop, watch->fd())) throw Refused{};
    Ref fd = Ref::steal(PyLong_FromLong(watch->fd()));
    Ref registration = new_registration(loop, watch);
    Ref callback = Ref::steal(PyCFunction_New(&on_ready_def, registration.get()));
    Ref r = py::call_method<"add_reader">(loop, fd.get(), callback.get());
    return {std::move(watch), as_reg(registration.get())};
}

}  // namespace

std::shared_ptr<LoopWatch> watch_of(PyObject* loop) noexcept {
    if (runtime::forked()) return nullptr;
    Known* free_slot = nullptr;
    for (auto& k : t_known) {
        if (k.loop == loop) {
            if (k.refused && still_refused(k, loop)) return nullptr;
            if (auto w = k.watch.lock(); w && !w->released()) return w;
            k = Known{};
        }
        if (!k.refused && k.watch.expired()) k = Known{};
        if (!k.loop && !free_slot) free_slot = &k;
    }
    // A loop that refused a watch may be gone; a live one may not.
    for (auto& k : t_known)
        if (!free_slot && k.refused) free_slot = &k;
    // Every slot holds a live loop: this one's operations use the runtime.
    if (!free_slot) return nullptr;
    *free_slot = Known{};
    std::shared_ptr<LoopWatch> w;
    Registration* registration = nullptr;
    try {
        std::tie(w, registration) = make(loop);
    } catch (...) {
        // The loop cannot watch a descriptor: asked once only.
        try {
            throw;
        } catch (const Refused&) {
        } catch (...) {
            py::raise_current();
        }
        PyErr_Clear();
        free_slot->loop = loop;
        free_slot->refused = true;
        free_slot->weakly = remember_refusal(loop);
        return nullptr;
    }
    if (w) {
        free_slot->loop = loop;
        free_slot->watch = w;
        free_slot->registration = registration;
    }
    return w;
}

void track(PyObject* loop, const std::shared_ptr<Shared>& shared) noexcept {
    if (runtime::forked()) return;
    for (auto& k : t_known) {
        if (k.loop != loop || k.refused) continue;
        auto w = k.watch.lock();
        if (!w || w->released()) return;
        Registration* r = k.registration;
        prune(r);
        try {
            std::lock_guard g(r->mutex);
            r->ops.push_back(shared);
        } catch (...) {
            // Untracked, it stays a root, as on a loop without a watch.
        }
        return;
    }
}

}  // namespace korvane::loop_park
