#include "module/serial_fast.hpp"

#include "module/conversions.hpp"
#include "module/capi/entry.hpp"
#include "module/capi/thread.hpp"
#include "engine/runtime.hpp"

namespace korvane::serial::fast {

BytesArg::BytesArg(PyObject* value) {
    if (PyBytes_Check(value)) {
        view_ = Bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value)),
                      static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    } else if (PyUnicode_Check(value)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(value, &n);
        if (!s) throw py::ErrorAlreadySet{};
        view_ = Bytes(reinterpret_cast<const std::uint8_t*>(s), static_cast<std::size_t>(n));
    } else {
        // Another thread may change a mutable buffer while the write runs.
        owned_ = to_bytes(value);
        view_ = owned_;
    }
}

ByteVec& scratch() {
    thread_local ByteVec buffer;
    buffer.clear();
    return buffer;
}

namespace {

// Waits detached until the lock is free, then takes it attached: a thread
// that held it while waiting to attach would deadlock with one that holds the
// interpreter and wants the lock (a fork's prepare handler, for one).
void wait_detached(std::unique_lock<std::mutex>& l) {
    while (!l.try_lock()) {
        py::Detached d;
        std::lock_guard until_free(*l.mutex());
    }
}

// The loopback's calls never block, so it keeps the interpreter (and waits
// for a busy back-end lock released); a descriptor is driven detached.
// `carry_on` makes the operation that takes over, from what was begun (null
// when nothing was); `count` is what a finished call gives.
template <class Steps, class CarryOn>
Attempted attempt(PortCore& core, bool reading, Steps&& steps, CarryOn&& carry_on, const std::size_t& count,
                  Runner* runner) {
    auto run = [&](port::LockWait wait) -> Attempted {
        auto begun = reading ? core.begin_read(wait) : core.begin_write(wait);
        if (!begun) return {std::nullopt, carry_on(nullptr)};
        if (!*begun) return {fail(std::move(begun->error())), {}};
        auto end = steps(**begun, wait);
        if (!end) return {fail(std::move(end.error())), {}};
        if (*end == port::Fast::Done) return {Result<std::size_t>(count), {}};
        return {std::nullopt, carry_on(&**begun)};
    };
    if (core.in_memory()) return run(&wait_detached);
    py::Detached detached;
    Attempted a = run(nullptr);
    if (runner && a.op) runner->first(std::move(a.op));
    return a;
}

void need_runtime() { py::value_or_throw(runtime::runtime()); }

}  // namespace

Attempted read(const std::shared_ptr<PortCore>& core, std::uint64_t size, ByteVec& out, Runner* runner) {
    need_runtime();
    return attempt(
        *core, true,
        [&](port::Begun& b, port::LockWait w) -> Result<port::Fast> {
            // Only a blocking call: its wait starts on this thread at once.
            if (runner && size > 0 && core->read_waits_first(b, w)) return port::Fast::Wait;
            return core->fast_read(b, size, out, w);
        },
        [&](port::Begun* b) {
            if (!b) return ops::read(core, size);
            return ops::read_from(core, std::move(*b), size, std::move(out));
        },
        0, runner);
}

Attempted read_until(const std::shared_ptr<PortCore>& core, Bytes expected, std::optional<std::uint64_t> size,
                     bool restart, ByteVec& out, Runner* runner) {
    need_runtime();
    return attempt(
        *core, true,
        [&](port::Begun& b, port::LockWait w) { return core->fast_read_until(b, expected, size, restart, out, w); },
        [&](port::Begun* b) {
            ByteVec terminator(expected.begin(), expected.end());
            if (b) return ops::read_until_from(core, std::move(*b), std::move(terminator), size, restart, std::move(out));
            if (restart) return ops::readline(core, size ? static_cast<std::int64_t>(*size) : -1);
            return ops::read_until(core, std::move(terminator), size);
        },
        0, runner);
}

Attempted write(const std::shared_ptr<PortCore>& core, Bytes data, Runner* runner) {
    need_runtime();
    std::size_t written = 0;
    return attempt(
        *core, false, [&](port::Begun& b, port::LockWait w) { return core->fast_write(b, data, written, w); },
        [&](port::Begun* b) {
            ByteVec copy(data.begin(), data.end());
            if (!b) return ops::write(core, std::move(copy));
            return ops::write_from(core, std::move(*b), std::move(copy), written);
        },
        written, runner);
}

}  // namespace korvane::serial::fast
