// PortCore: one serial port as the engine sees it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/async/lock.hpp"
#include "engine/async/notify.hpp"
#include "engine/async/op.hpp"
#include "engine/async/select.hpp"
#include "engine/backend/backend.hpp"
#include "engine/duration.hpp"
#include "engine/errors.hpp"
#include "engine/settings.hpp"

namespace korvane {

namespace port {

// What was asked for; kept whether or not the port is open.
struct State {
    Settings settings;
    std::optional<std::string> port;
    bool rts = true;
    bool dtr = true;
    bool break_condition = false;
};

// A read or write begun on the calling thread without an operation: the
// port's lock, taken only because nobody held or awaited it, the generation
// of the back-end found open, and the snapshot and deadline its body takes at
// its start. The full operation carries on with it when a step must wait.
struct Begun {
    Lock::Guard held;
    std::uint64_t generation = 0;
    Settings settings;
    // `timeout` for reads, `write_timeout` for writes.
    std::optional<Instant> deadline;
};

// How a step of the fast path ended: finished, or it would have to wait.
enum class Fast : unsigned char { Done, Wait };

// Waits for the back-end lock held by another thread; null locks plainly.
// The binding releases the interpreter around the wait.
using LockWait = void (*)(std::unique_lock<std::mutex>&);

// A read poll that reported data and delivered none.
inline constexpr std::string_view no_data_message =
    "device reports readiness to read but returned no data (device disconnected or multiple access on port?)";

}  // namespace port

// Whether an operation's error shows that the device has gone away.
bool is_device_loss(const SerialError& error) noexcept;

class PortCore;

namespace port {
// Links a live port into the list that the fork() handlers walk.
class ForkEntry {
public:
    explicit ForkEntry(PortCore& port) noexcept;
    ~ForkEntry();
    ForkEntry(const ForkEntry&) = delete;
    ForkEntry& operator=(const ForkEntry&) = delete;

private:
    friend struct ForkRegistry;
    PortCore* port_;
    ForkEntry* prev_ = nullptr;
    ForkEntry* next_ = nullptr;
};
}  // namespace port

// Lock order: the back-end lock before the settings lock; the settings lock is
// a leaf, never held across a back-end call or a wait. The back-end lock is
// held across each back-end call and each single poll, never across a wait.
class PortCore : public std::enable_shared_from_this<PortCore> {
    struct Private {};

public:
    // An unopened port with the default settings.
    static std::shared_ptr<PortCore> create();
    explicit PortCore(Private) {}
    PortCore(const PortCore&) = delete;
    PortCore& operator=(const PortCore&) = delete;

    // Signalled with notify_waiters by every close.
    Notify closed;
    // Signalled with notify_one by cancel_read / cancel_write.
    Notify cancel_read;
    Notify cancel_write;

private:
    mutable std::mutex state_mutex_;
    port::State state_;
    mutable std::mutex backend_mutex_;
    std::unique_ptr<Backend> backend_;
    // Counts opens, so a device-loss close can tell its back-end from a newer one.
    std::uint64_t generation_ = 0;
    // generation_ while a back-end is held, else 0; written under
    // backend_mutex_, read without it where a glance is enough.
    std::atomic<std::uint64_t> open_generation_{0};
    // Whether the last back-end opened had no descriptor; a hint read unlocked.
    std::atomic<bool> in_memory_{false};
    // Reads left that wait first (see read_waits_first); a hint, read unlocked.
    std::atomic<unsigned char> read_waits_first_{0};

public:
    // Held for the whole of each read; of each write, flush and break.
    Lock read_lock;
    Lock write_lock;

    // Every lock that a control call or a close takes, held by the forking
    // thread across fork(), so a child never finds one held by a thread it
    // does not have.
    void lock_for_fork() noexcept;
    void unlock_after_fork() noexcept;

    Status open();
    // The open's last steps for a back-end opened elsewhere (a fake in tests):
    // AlreadyOpen when open, else clear its input and put it in the slot.
    Status open_backend(std::unique_ptr<Backend> backend);
    void close() noexcept;
    Status set_port(std::optional<std::string> name);
    std::optional<std::string> port() const;
    bool is_open() const;

    Result<std::optional<std::int32_t>> fileno();
    Result<std::uint32_t> in_waiting();
    Result<std::uint32_t> out_waiting();
    Status reset_input_buffer();
    Status reset_output_buffer();
    Result<bool> cd();
    Result<bool> ri();
    Result<bool> cts();
    Result<bool> dsr();
    Status set_dtr(bool level);
    Status set_rts(bool level);
    Status set_break_condition(bool on);

    // Replace the whole record, or change part of it; an open port is
    // reconfigured when a line parameter changed. A refused reconfigure puts
    // the old record back, on the device too, and returns the first error.
    Status set_settings(const Settings& record);
    Status update_settings(const SettingsUpdate& change);

    // `f(Backend&)` under the back-end lock; NotOpen when closed.
    template <class F>
    auto with_backend(F&& f) -> std::invoke_result_t<F&, Backend&> {
        using R = std::invoke_result_t<F&, Backend&>;
        std::lock_guard g(backend_mutex_);
        if (!backend_) return R(std::unexpect, SerialError::not_open());
        return f(*backend_);
    }
    // The same, on the back-end of one open only: NotOpen once that one is
    // closed, also when another has been opened since.
    template <class F>
    auto with_backend_of(std::uint64_t generation, F&& f) -> std::invoke_result_t<F&, Backend&> {
        using R = std::invoke_result_t<F&, Backend&>;
        std::lock_guard g(backend_mutex_);
        auto* held = backend_of(generation);
        if (!held) return R(std::unexpect, SerialError::not_open());
        return f(*held);
    }
    // `f(Backend*)` under the back-end lock, the pointer null when closed; for
    // steps that also take the settings lock inside (the back-end lock first).
    template <class F>
    auto with_backend_slot(F&& f) -> std::invoke_result_t<F&, Backend*> {
        std::lock_guard g(backend_mutex_);
        return f(backend_.get());
    }
    // `f(port::State&)` under the settings lock. Nothing may block or wait in f.
    template <class F>
    auto with_state(F&& f) const -> std::invoke_result_t<F&, const port::State&> {
        std::lock_guard g(state_mutex_);
        return f(std::as_const(state_));
    }
    template <class F>
    auto update_state(F&& f) -> std::invoke_result_t<F&, port::State&> {
        std::lock_guard g(state_mutex_);
        return f(state_);
    }
    port::State state() const;

    // One back-end poll under the back-end lock. With a generation, only on
    // the back-end of that open (NotOpen otherwise), as every step of an
    // operation is.
    Poll<Result<std::size_t>> poll_read_some(Context& cx, MutableBytes buffer,
                                             std::optional<std::uint64_t> generation = std::nullopt);
    Poll<Result<std::size_t>> poll_write_some(Context& cx, Bytes data,
                                              std::optional<std::uint64_t> generation = std::nullopt);
    // The break flag stored, and applied to the back-end of `generation`;
    // NotOpen, and nothing stored when turning on, once that one is gone.
    Status set_break_condition_of(std::uint64_t generation, bool on);
    // The generation of the held back-end; nothing when closed.
    std::optional<std::uint64_t> open_generation() const;

    // The I/O operations. Each owns a handle on the port, takes the read lock
    // (reads) or the write lock (writes, flush, break) at its first poll, and
    // runs under until_closed. A read whose deadline passes returns what came.
    Op<Result<ByteVec>> read(std::uint64_t size);
    Op<Result<ByteVec>> read_until(ByteVec expected, std::optional<std::uint64_t> size);
    Op<Result<ByteVec>> readline(std::optional<std::uint64_t> size);
    Op<Result<std::vector<ByteVec>>> readlines(std::optional<std::uint64_t> hint);
    // Whatever one back-end read delivers, at most max(max, 1) bytes, with no
    // deadline; empty bytes on a cancel.
    Op<Result<ByteVec>> read_available(std::uint64_t max);
    // Background: no write timeout, no cancel; it ends when done, on an error
    // or on a close.
    Op<Result<std::size_t>> write_with(ByteVec data, bool background);
    Op<Status> flush();
    Op<Status> send_break(Duration duration);

    // The fast path: the common call (data or room already there, lock free,
    // no cancel stored) done without an operation. A begin gives nothing when
    // the lock is held or awaited or a cancel is stored (the full operation
    // must run), NotOpen on a closed port. The steps end Done, Wait (hand
    // `begun` and what was gathered to the matching `*_from` operation) or
    // with an error, the port closed already on device loss.
    std::optional<Result<port::Begun>> begin_read(port::LockWait wait);
    std::optional<Result<port::Begun>> begin_write(port::LockWait wait);
    // Appends to `out` as `read` does, in steps of at most 4096 bytes.
    Result<port::Fast> fast_read(port::Begun& begun, std::uint64_t size, ByteVec& out, port::LockWait wait);
    // One byte per step, as `read_until` (restart false) and `readline` (true).
    Result<port::Fast> fast_read_until(port::Begun& begun, Bytes expected, std::optional<std::uint64_t> size,
                                       bool restart, ByteVec& out, port::LockWait wait);
    // Whether a blocking read just begun should wait at once, without trying
    // the device: true for a few reads after one whose first try found
    // nothing (a port driven request and reply), the readiness hint dropped.
    // Never when the deadline is due, whose single try must see the device.
    bool read_waits_first(const port::Begun& begun, port::LockWait wait);
    // Unless it ends Wait, the back-end's cancel_write hook has run.
    Result<port::Fast> fast_write(port::Begun& begun, Bytes data, std::size_t& written, port::LockWait wait);
    Op<Result<ByteVec>> read_from(port::Begun begun, std::uint64_t size, ByteVec got);
    Op<Result<ByteVec>> read_until_from(port::Begun begun, ByteVec expected, std::optional<std::uint64_t> size,
                                        bool restart, ByteVec got);
    Op<Result<std::size_t>> write_from(port::Begun begun, ByteVec data, std::size_t written);
    // No descriptor behind the port: its calls never block.
    bool in_memory() const noexcept { return in_memory_.load(std::memory_order_relaxed); }

    // Runs `op` unless the port is closed, ends it with NotOpen when the port
    // closes meanwhile, and closes the port when its error shows device loss.
    template <class T>
    Op<Result<T>> until_closed(Op<Result<T>> op) {
        return guard(shared_from_this(), [op = std::move(op)](std::uint64_t) mutable { return std::move(op); },
                     std::nullopt);
    }
    // The same for a body begun on the fast path: NotOpen unless the back-end
    // of `generation` is still the one held.
    template <class T>
    Op<Result<T>> until_closed_from(std::uint64_t generation, Op<Result<T>> op) {
        return guard(shared_from_this(), [op = std::move(op)](std::uint64_t) mutable { return std::move(op); },
                     generation);
    }
    // The same for the body `make(generation)` makes for the open found, so
    // that its steps can keep to that open's back-end.
    template <class Make>
    auto until_closed_with(Make make) {
        return guard(shared_from_this(), std::move(make), std::nullopt);
    }

private:
    template <class Write>
    Status reconfigure(Write&& write);

    // The read step: a count of 1 or more, nothing (deadline, cancel, or a
    // single poll that found no data), or an error. The caller holds the port.
    // The bodies' steps are on the back-end of `generation` only.
    static Op<Result<std::optional<std::size_t>>> read_chunk(PortCore* self, std::uint64_t generation,
                                                             MutableBytes buffer, std::optional<Instant> deadline);
    // With `begun`, the body goes on from the fast path: its snapshot and
    // deadline, and the bytes in `out`.
    static Op<Result<ByteVec>> read_locked(PortCore* self, std::uint64_t generation, std::uint64_t size,
                                           std::optional<port::Begun> begun, ByteVec out);
    static Op<Result<ByteVec>> read_until_locked(PortCore* self, std::uint64_t generation, ByteVec expected,
                                                 std::optional<std::uint64_t> size, bool restart,
                                                 std::optional<port::Begun> begun, ByteVec out);
    static Op<Result<std::vector<ByteVec>>> readlines_locked(PortCore* self, std::uint64_t generation,
                                                             std::optional<std::uint64_t> hint);
    static Op<Result<ByteVec>> read_available_locked(PortCore* self, std::uint64_t generation, std::uint64_t max);

    template <class Make>
    static std::invoke_result_t<Make&, std::uint64_t> guard(std::shared_ptr<PortCore> self, Make make,
                                                             std::optional<std::uint64_t> known);

    // The lock taken, the port open with the same back-end, the state read.
    std::optional<Result<port::Begun>> begin(Lock& lock, Notify& cancel);
    std::unique_lock<std::mutex> lock_backend(port::LockWait wait);
    // One attempt that never waits, on the back-end of `generation`.
    std::optional<Result<std::size_t>> try_read_some(std::uint64_t generation, MutableBytes buffer,
                                                     port::LockWait wait);

    // With the back-end lock held.
    Status install(std::unique_ptr<Backend> backend);
    // The held back-end if it is the one of `generation`, else null.
    Backend* backend_of(std::uint64_t generation) const noexcept {
        return backend_ && generation_ == generation ? backend_.get() : nullptr;
    }
    // Closes only if the held back-end is still the one of `generation`.
    void close_if(std::uint64_t generation) noexcept;

    // Last, so it is linked once everything else is built and unlinked first.
    port::ForkEntry fork_entry_{*this};
};

template <class Make>
std::invoke_result_t<Make&, std::uint64_t> PortCore::guard(std::shared_ptr<PortCore> self, Make make,
                                                            std::optional<std::uint64_t> known) {
    // Made before the presence check: a close before it empties the slot, a
    // close after it bumps the epoch this wait was made with.
    auto closed = self->closed.notified();
    auto generation = self->open_generation();
    if (!generation || (known && *generation != *known)) co_return fail(SerialError::not_open());
    std::optional<PollOutput<std::invoke_result_t<Make&, std::uint64_t>>> result;
    {
        // The close first: a body ready at the same poll would give bytes
        // gathered before it, or a count from a later open.
        auto race = select_biased(closed, make(*generation));
        auto won = co_await race;
        // Leaving the block drops the operation with everything it holds.
        if (won.index() == 0) co_return fail(SerialError::not_open());
        result.emplace(std::move(std::get<1>(won)));
    }
    if (!*result && is_device_loss(result->error())) self->close_if(*generation);
    co_return std::move(*result);
}

}  // namespace korvane
