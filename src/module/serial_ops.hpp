// The port operations as operation futures, how they start for asyncio, and
// the blocking runner.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "engine/async/op.hpp"
#include "module/future.hpp"
#include "engine/port.hpp"
#include "engine/runtime.hpp"

namespace korvane::serial {

namespace ops {

// Each owns a handle on the port and its arguments, holds no Python object,
// and releases both before it finishes.
using Operation = Op<OpResult>;

Operation read(std::shared_ptr<PortCore> core, std::uint64_t size);
Operation read_until(std::shared_ptr<PortCore> core, ByteVec expected, std::optional<std::uint64_t> size);
// A negative size reads without a limit.
Operation readline(std::shared_ptr<PortCore> core, std::int64_t size);
// A hint of 0 or less is no hint.
Operation readlines(std::shared_ptr<PortCore> core, std::int64_t hint);
Operation write(std::shared_ptr<PortCore> core, ByteVec data);
Operation flush(std::shared_ptr<PortCore> core);
// The same operations carrying on from the fast path with what it took.
Operation read_from(std::shared_ptr<PortCore> core, port::Begun begun, std::uint64_t size, ByteVec got);
Operation read_until_from(std::shared_ptr<PortCore> core, port::Begun begun, ByteVec expected,
                          std::optional<std::uint64_t> size, bool restart, ByteVec got);
Operation write_from(std::shared_ptr<PortCore> core, port::Begun begun, ByteVec data, std::size_t written);
Operation send_break(std::shared_ptr<PortCore> core, double duration);

// The break duration: NaN or negative is refused; 2^64 s and above saturate.
std::optional<Duration> break_duration(double seconds) noexcept;

// Carries an unfinished operation on as a runtime task, whose first poll runs
// on the calling thread, detached from the interpreter.
Result<OpFuture> spawn(Operation op);
// Polls once on this thread (detached); finished gives a born-done future,
// pending a spawned one. The error is only the runtime's.
Result<OpFuture> start(Operation op);

}  // namespace ops

// The blocking runner in two halves, so a caller that is already detached
// when it makes its operation runs the first phase without attaching between:
// `first` (detached) polls the operation on this thread for up to 50 ms;
// `finish` (attached) gives its result, or carries it on as a runtime task
// waited for in signal-aware slices. Throws.
class Runner {
public:
    Runner() = default;
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    void first(ops::Operation op);
    py::Ref finish();

private:
    // One stand-in for both phases, when called on a worker.
    std::optional<runtime::BlockInPlace> stand_in_;
    ops::Operation op_;
    std::optional<OpResult> done_;
};

// Runs an operation to its end for a blocking method: both halves. Throws.
py::Ref run(ops::Operation op);

}  // namespace korvane::serial
