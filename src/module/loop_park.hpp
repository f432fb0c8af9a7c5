// Where the operations an event loop starts wait: the loop's own watch.
#pragma once

#include <Python.h>

#include <memory>

#include "engine/async/loop_watch.hpp"

namespace korvane::loop_park {

// The watch of `loop`, which must be the running loop of this thread,
// registered with it on first use. Null when operations cannot park there: a
// loop without add_reader, one of too many loops on this thread, a forked
// child. Needs the interpreter; never raises.
std::shared_ptr<LoopWatch> watch_of(PyObject* loop) noexcept;

}  // namespace korvane::loop_park
