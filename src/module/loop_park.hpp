// Where the operations an event loop starts wait: the loop's own watch.
#pragma once

#include <Python.h>

#include <memory>

#include "engine/async/loop_watch.hpp"
#include "module/future.hpp"

namespace korvane::loop_park {

// The watch of `loop`, which must be the running loop of this thread,
// registered with it on first use. Null when operations cannot park there: a
// loop without add_reader, one on a select() selector that cannot watch the
// watch's descriptor, one of too many loops on this thread, a forked child.
// Needs the interpreter; never raises.
std::shared_ptr<LoopWatch> watch_of(PyObject* loop) noexcept;

// An operation just started on `loop`, whose watch_of gave a watch: what it
// will deliver through the loop is the loop's for the collector until it
// completes, wherever it then waits. Never raises.
void track(PyObject* loop, const std::shared_ptr<Shared>& shared) noexcept;

}  // namespace korvane::loop_park
