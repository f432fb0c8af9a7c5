#include "module/loop_park.hpp"

#include <sys/select.h>

#include <array>

#include "module/capi/call.hpp"
#include "module/capi/entry.hpp"
#include "module/capi/once.hpp"
#include "module/capi/ref.hpp"
#include "module/capi/thread.hpp"
#include "engine/runtime.hpp"

namespace korvane::loop_park {

namespace {

using py::Ref;

// The callable a loop runs when its watch is readable: self is a capsule
// holding the watch. The loop's reader registration is the watch's only
// owner, so the capsule's end is the loop letting go (remove_reader, or the
// selector closed with the loop).
constexpr const char* capsule_name = "korvane.loop_watch";

std::shared_ptr<LoopWatch>* watch_in(PyObject* capsule) noexcept {
    return static_cast<std::shared_ptr<LoopWatch>*>(PyCapsule_GetPointer(capsule, capsule_name));
}

void capsule_free(PyObject* capsule) {
    auto* w = watch_in(capsule);
    if (!w) return PyErr_Clear();
    (*w)->release();
    delete w;
}

PyObject* on_ready(PyObject* capsule, PyObject*) {
    return py::entry([&]() -> PyObject* {
        if (auto* w = watch_in(capsule); w && !runtime::forked()) {
            std::shared_ptr<LoopWatch> watch = *w;
            py::Detached detached;
            watch->ready();
        }
        Py_RETURN_NONE;
    });
}
PyMethodDef on_ready_def = {"_korvane_loop_watch", on_ready, METH_NOARGS, nullptr};

// This thread's loops and their watches, by identity. A watch alive and not
// released is still registered with its loop, so the loop is alive too and
// its address cannot have been reused.
struct Known {
    const void* loop = nullptr;
    std::weak_ptr<LoopWatch> watch;
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

// select() cannot watch a descriptor at or above FD_SETSIZE: a loop on a
// SelectSelector given one fails in its next select().
bool selects(PyObject* loop) {
    Ref selector = Ref::steal(PyObject_GetAttrString(loop, "_selector"));
    if (!selector) {
        PyErr_Clear();
        return false;
    }
    Ref type = py::import_attr("selectors", "SelectSelector");
    int is = PyObject_IsInstance(selector.get(), type.get());
    if (is < 0) PyErr_Clear();
    return is != 0;
}

// Null when no watch can be made now, with `refused` set when the loop could
// not watch it; throws when the loop refuses it.
std::shared_ptr<LoopWatch> make(PyObject* loop, bool& refused) {
    auto watch = LoopWatch::create();
    if (!watch) return nullptr;
    if (watch->fd() >= FD_SETSIZE && selects(loop)) {
        refused = true;
        return nullptr;
    }
    auto holder = std::make_unique<std::shared_ptr<LoopWatch>>(watch);
    Ref capsule = Ref::steal(PyCapsule_New(holder.get(), capsule_name, capsule_free));
    holder.release();
    Ref callback = Ref::steal(PyCFunction_New(&on_ready_def, capsule.get()));
    Ref fd = Ref::steal(PyLong_FromLong(watch->fd()));
    Ref r = py::call_method<"add_reader">(loop, fd.get(), callback.get());
    return watch;
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
    bool refused = false;
    try {
        w = make(loop, refused);
    } catch (...) {
        // The loop cannot watch a descriptor: asked once only.
        py::raise_current();
        PyErr_Clear();
        refused = true;
    }
    if (refused) {
        free_slot->loop = loop;
        free_slot->refused = true;
        free_slot->weakly = remember_refusal(loop);
        return nullptr;
    }
    if (w) {
        free_slot->loop = loop;
        free_slot->watch = w;
    }
    return w;
}

}  // namespace korvane::loop_park
