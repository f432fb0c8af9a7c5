// Backend: what the engine does to an open port, one call or poll at a time,
// always under the port's back-end lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/async/waker.hpp"
#include "engine/errors.hpp"
#include "engine/settings.hpp"

namespace korvane {

// An owned descriptor on which a flush waits for the output to drain; absent
// when there is nothing to wait for.
class Drain {
public:
    Drain() noexcept = default;
    explicit Drain(int fd) noexcept : fd_(fd) {}
    Drain(Drain&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Drain& operator=(Drain&& other) noexcept;
    ~Drain();

    std::optional<int> fd() const noexcept { return fd_ >= 0 ? std::optional<int>(fd_) : std::nullopt; }
    // Hands the descriptor over; the caller closes it.
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;
// An owned byte string: what reads return and writes carry.
using ByteVec = std::vector<std::uint8_t>;

class Backend {
public:
    virtual ~Backend() = default;

    // The stream. Reads place bytes at the start of `buffer` and give the count:
    // zero only when the buffer has no room. Pending registers the waker.
    virtual Poll<Result<std::size_t>> poll_read(Context& cx, MutableBytes buffer) = 0;
    // The count of leading bytes taken; zero only when nothing more can be taken.
    virtual Poll<Result<std::size_t>> poll_write(Context& cx, Bytes data) = 0;
    // One attempt that never waits and registers no waker: nothing when it
    // would have to wait. A back-end without them always sends callers to the polls.
    virtual std::optional<Result<std::size_t>> try_read(MutableBytes) { return std::nullopt; }
    virtual std::optional<Result<std::size_t>> try_write(Bytes) { return std::nullopt; }
    // The next read is expected to wait: the wait may start at once instead
    // of trying the device first.
    virtual void expect_read_wait() {}
    virtual Poll<Status> poll_flush(Context& cx) = 0;
    virtual Poll<Status> poll_shutdown(Context& cx) = 0;
    virtual Poll<Result<std::size_t>> poll_write_vectored(Context& cx, std::span<const Bytes> slices);
    virtual bool is_write_vectored() const { return false; }

    // The control calls.
    virtual Status configure(const Settings& settings, bool rts, bool dtr) = 0;
    virtual Status set_rts(bool level) = 0;
    virtual Status set_dtr(bool level) = 0;
    virtual Result<bool> cts() = 0;
    virtual Result<bool> dsr() = 0;
    virtual Result<bool> ri() = 0;
    virtual Result<bool> cd() = 0;
    virtual Result<std::uint32_t> in_waiting() = 0;
    virtual Result<std::uint32_t> out_waiting() = 0;
    virtual Status clear_buffers(bool input, bool output) = 0;
    virtual Status set_break_state(bool on) = 0;
    // The caller must not close it.
    virtual std::optional<std::int32_t> fileno() const = 0;
    virtual Result<Drain> drain_handle() = 0;

    // Write hooks for a back-end that queues bytes of its own: drop them when
    // a write ends; report those taken but not yet counted.
    virtual Result<std::size_t> cancel_write() { return std::size_t{0}; }
    virtual std::size_t detach_write() { return 0; }
};

namespace backend {

// Whether the name opens the loopback: "loop://" in any letter case, then anything.
bool is_loopback(std::string_view name) noexcept;

// May block while a device opens and is configured.
Result<std::unique_ptr<Backend>> open(std::string_view name, const Settings& settings, bool rts, bool dtr);

}  // namespace backend
}  // namespace korvane
