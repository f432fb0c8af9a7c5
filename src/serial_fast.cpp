#include "serial_fast.hpp"

#include "conversions.hpp"
#include "py/entry.hpp"
#include "py/thread.hpp"
#include "runtime.hpp"

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

// Waits detached, but takes the lock only once attached again: a thread that
// re-attached while holding it would wait for the interpreter with the lock
// held, against a thread that holds the interpreter and waits for the lock
// (fork's prepare step takes every port's locks).
void wait_detached(std::unique_lock<std::mutex>& l) {
    do {
        py::Detached d;
        l.lock();
        l.unlock();
    } while (!l.try_lock());
}

struct Attempt {
    // Nothing: the fast path did not start and the full operation runs.
    std::optional<Result<port::Begun>> begun;
    Result<port::Fast> end = port::Fast::Wait;
};

// The loopback's calls never block, so it keeps the interpreter (and waits
// for a busy back-end lock released); a descriptor is driven detached.
template <class Steps>
Attempt attempt(PortCore& core, bool reading, Steps&& steps) {
    auto run = [&](port::LockWait wait) {
        Attempt a;
        a.begun = reading ? core.begin_read(wait) : core.begin_write(wait);
        if (a.begun && *a.begun) a.end = steps(**a.begun, wait);
        return a;
    };
    if (core.in_memory()) return run(&wait_detached);
    py::Detached detached;
    return run(nullptr);
}

// Finished or failed; nothing while it waits.
std::optional<Result<std::size_t>> outcome(Attempt& a, std::size_t count) {
    if (!*a.begun) return fail(std::move(a.begun->error()));
    if (!a.end) return fail(std::move(a.end.error()));
    if (*a.end == port::Fast::Done) return count;
    return std::nullopt;
}

void need_runtime() { py::value_or_throw(runtime::runtime()); }

}  // namespace

Attempted read(const std::shared_ptr<PortCore>& core, std::uint64_t size, ByteVec& out) {
    need_runtime();
    Attempt a = attempt(*core, true, [&](port::Begun& b, port::LockWait w) { return core->fast_read(b, size, out, w); });
    if (!a.begun) return {std::nullopt, ops::read(core, size)};
    if (auto done = outcome(a, 0)) return {std::move(done), {}};
    return {std::nullopt, ops::read_from(core, std::move(**a.begun), size, std::move(out))};
}

Attempted read_until(const std::shared_ptr<PortCore>& core, Bytes expected, std::optional<std::uint64_t> size,
                     bool restart, ByteVec& out) {
    need_runtime();
    Attempt a = attempt(*core, true, [&](port::Begun& b, port::LockWait w) {
        return core->fast_read_until(b, expected, size, restart, out, w);
    });
    auto terminator = [&] { return ByteVec(expected.begin(), expected.end()); };
    if (!a.begun) {
        if (restart) return {std::nullopt, ops::readline(core, size ? static_cast<std::int64_t>(*size) : -1)};
        return {std::nullopt, ops::read_until(core, terminator(), size)};
    }
    if (auto done = outcome(a, 0)) return {std::move(done), {}};
    return {std::nullopt, ops::read_until_from(core, std::move(**a.begun), terminator(), size, restart, std::move(out))};
}

Attempted write(const std::shared_ptr<PortCore>& core, Bytes data) {
    need_runtime();
    std::size_t written = 0;
    Attempt a =
        attempt(*core, false, [&](port::Begun& b, port::LockWait w) { return core->fast_write(b, data, written, w); });
    if (!a.begun) return {std::nullopt, ops::write(core, ByteVec(data.begin(), data.end()))};
    if (auto done = outcome(a, written)) return {std::move(done), {}};
    return {std::nullopt, ops::write_from(core, std::move(**a.begun), ByteVec(data.begin(), data.end()), written)};
}

}  // namespace korvane::serial::fast
