// The I/O methods' fast path: the common call done on the calling thread
// without an operation, handing over to the full operation when it must wait.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "engine/port.hpp"
#include "module/serial_ops.hpp"

namespace korvane::serial::fast {

// A bytes argument: bytes and str seen in place, other buffers copied (as
// `to_bytes` does, with its errors). Throws.
class BytesArg {
public:
    explicit BytesArg(PyObject* value);
    BytesArg(const BytesArg&) = delete;
    BytesArg& operator=(const BytesArg&) = delete;
    Bytes view() const noexcept { return view_; }

private:
    ByteVec owned_;
    Bytes view_;
};

// What a call's attempt leaves: finished (the count of a write; a read's bytes
// are in its `out`), failed, or the operation that runs it from there. Given
// a runner, a descriptor's operation has already had its first phase there,
// without retaking the interpreter in between, and `op` is empty.
struct Attempted {
    std::optional<Result<std::size_t>> done;
    ops::Operation op;
};

// Each first obtains the runtime and throws its error, touching nothing.
Attempted read(const std::shared_ptr<PortCore>& core, std::uint64_t size, ByteVec& out, Runner* runner);
// restart: readline's timeout started again before every byte.
Attempted read_until(const std::shared_ptr<PortCore>& core, Bytes expected, std::optional<std::uint64_t> size,
                     bool restart, ByteVec& out, Runner* runner);
Attempted write(const std::shared_ptr<PortCore>& core, Bytes data, Runner* runner);

// A per-thread buffer for a blocking read's bytes, emptied; read only until
// the next call on this thread.
ByteVec& scratch();

}  // namespace korvane::serial::fast
