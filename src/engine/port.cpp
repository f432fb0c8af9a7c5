#include "engine/port.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <thread>

#include <termios.h>

#include "engine/async/blocking.hpp"

namespace korvane {

bool is_device_loss(const SerialError& error) noexcept {
    if (error.kind() != SerialError::Kind::Io) return false;
    if (auto n = error.os_errno()) return *n == EIO || *n == ENXIO || *n == ENODEV;
    return error.message() == port::no_data_message;
}

std::shared_ptr<PortCore> PortCore::create() { return std::make_shared<PortCore>(Private{}); }

Status PortCore::open() {
    std::lock_guard b(backend_mutex_);
    std::string name;
    Settings settings;
    bool rts, dtr;
    {
        std::lock_guard s(state_mutex_);
        if (!state_.port) return fail(SerialError::not_configured());
        name = *state_.port;
        settings = state_.settings;
        rts = state_.rts;
        dtr = state_.dtr;
    }
    if (backend_) return fail(SerialError::already_open());
    auto opened = backend::open(name, settings, rts, dtr);
    if (!opened) return fail(std::move(opened.error()));
    return install(std::move(*opened));
}

Status PortCore::open_backend(std::unique_ptr<Backend> backend) {
    std::lock_guard b(backend_mutex_);
    if (backend_) return fail(SerialError::already_open());
    return install(std::move(backend));
}

Status PortCore::install(std::unique_ptr<Backend> backend) {
    // Whatever arrived before the open is not the caller's.
    if (auto cleared = backend->clear_buffers(true, false); !cleared) return cleared;
    in_memory_.store(!backend->fileno().has_value(), std::memory_order_relaxed);
    backend_ = std::move(backend);
    open_generation_.store(++generation_, std::memory_order_release);
    return {};
}

void PortCore::close() noexcept {
    std::unique_ptr<Backend> old;
    {
        std::lock_guard b(backend_mutex_);
        old = std::move(backend_);
        open_generation_.store(0, std::memory_order_release);
    }
    // Signalled after the slot is empty, so a woken operation never finds it filled;
    // the device is closed last.
    closed.notify_waiters();
    old.reset();
}

void PortCore::close_if(std::uint64_t generation) noexcept {
    std::unique_ptr<Backend> old;
    {
        std::lock_guard b(backend_mutex_);
        if (!backend_of(generation)) return;
        old = std::move(backend_);
        open_generation_.store(0, std::memory_order_release);
    }
    closed.notify_waiters();
    old.reset();
}

std::optional<std::uint64_t> PortCore::open_generation() const {
    std::lock_guard b(backend_mutex_);
    if (!backend_) return std::nullopt;
    return generation_;
}

Status PortCore::set_port(std::optional<std::string> name) {
    bool was_open = is_open();
    close();
    {
        std::lock_guard s(state_mutex_);
        state_.port = std::move(name);
    }
    if (was_open) return open();
    return {};
}

std::optional<std::string> PortCore::port() const {
    std::lock_guard s(state_mutex_);
    return state_.port;
}

bool PortCore::is_open() const {
    std::lock_guard b(backend_mutex_);
    return static_cast<bool>(backend_);
}

port::State PortCore::state() const {
    std::lock_guard s(state_mutex_);
    return state_;
}

Result<std::optional<std::int32_t>> PortCore::fileno() {
    return with_backend([](Backend& b) -> Result<std::optional<std::int32_t>> { return b.fileno(); });
}
Result<std::uint32_t> PortCore::in_waiting() {
    return with_backend([](Backend& b) { return b.in_waiting(); });
}
Result<std::uint32_t> PortCore::out_waiting() {
    return with_backend([](Backend& b) { return b.out_waiting(); });
}
Status PortCore::reset_input_buffer() {
    return with_backend([](Backend& b) { return b.clear_buffers(true, false); });
}
Status PortCore::reset_output_buffer() {
    return with_backend([](Backend& b) { return b.clear_buffers(false, true); });
}
Result<bool> PortCore::cd() {
    return with_backend([](Backend& b) { return b.cd(); });
}
Result<bool> PortCore::ri() {
    return with_backend([](Backend& b) { return b.ri(); });
}
Result<bool> PortCore::cts() {
    return with_backend([](Backend& b) { return b.cts(); });
}
Result<bool> PortCore::dsr() {
    return with_backend([](Backend& b) { return b.dsr(); });
}

Status PortCore::set_dtr(bool level) {
    std::lock_guard b(backend_mutex_);
    {
        std::lock_guard s(state_mutex_);
        state_.dtr = level;
    }
    if (backend_) return backend_->set_dtr(level);
    return {};
}

Status PortCore::set_rts(bool level) {
    std::lock_guard b(backend_mutex_);
    bool rtscts;
    {
        std::lock_guard s(state_mutex_);
        state_.rts = level;
        rtscts = state_.settings.rtscts;
    }
    // With hardware flow control the line drives RTS itself.
    if (backend_ && !rtscts) return backend_->set_rts(level);
    return {};
}

// Stored and applied under one back-end lock hold, as set_dtr does, so two
// racing calls cannot leave the line in break while the flag reads off.
Status PortCore::set_break_condition(bool on) {
    std::lock_guard b(backend_mutex_);
    {
        std::lock_guard s(state_mutex_);
        state_.break_condition = on;
    }
    if (backend_) return backend_->set_break_state(on);
    return {};
}

// A break's own calls. Its end always stores the flag off (no open applies a
// stored break, so a later open's line is not in break either).
Status PortCore::set_break_condition_of(std::uint64_t generation, bool on) {
    std::lock_guard b(backend_mutex_);
    auto* held = backend_of(generation);
    if (held || !on) {
        std::lock_guard s(state_mutex_);
        state_.break_condition = on;
    }
    if (!held) return fail(SerialError::not_open());
    return held->set_break_state(on);
}

namespace {

bool line_differs(const Settings& a, const Settings& b) {
    return a.baudrate != b.baudrate || a.bytesize != b.bytesize || a.parity != b.parity ||
           a.stopbits != b.stopbits || a.xonxoff != b.xonxoff || a.rtscts != b.rtscts || a.dsrdtr != b.dsrdtr;
}

}  // namespace

template <class Write>
Status PortCore::reconfigure(Write&& write) {
    std::lock_guard b(backend_mutex_);
    Settings snapshot, record;
    bool rts, dtr;
    {
        std::lock_guard s(state_mutex_);
        snapshot = state_.settings;
        write(state_.settings);
        record = state_.settings;
        rts = state_.rts;
        dtr = state_.dtr;
    }
    if (!backend_ || !line_differs(snapshot, record)) return {};
    auto configured = backend_->configure(record, rts, dtr);
    if (configured) return configured;
    {
        std::lock_guard s(state_mutex_);
        state_.settings = snapshot;
    }
    // The device may have taken part of the new record before it refused;
    // put the old one back so the stored record is what the line has.
    (void)backend_->configure(snapshot, rts, dtr);
    return configured;
}

Status PortCore::set_settings(const Settings& record) {
    return reconfigure([&](Settings& s) { s = record; });
}

Status PortCore::update_settings(const SettingsUpdate& change) {
    return reconfigure([&](Settings& s) { change.apply_to(s); });
}

Poll<Result<std::size_t>> PortCore::poll_read_some(Context& cx, MutableBytes buffer,
                                                   std::optional<std::uint64_t> generation) {
    std::lock_guard b(backend_mutex_);
    auto* held = generation ? backend_of(*generation) : backend_.get();
    if (!held) return Result<std::size_t>(std::unexpect, SerialError::not_open());
    return held->poll_read(cx, buffer);
}

Poll<Result<std::size_t>> PortCore::poll_write_some(Context& cx, Bytes data, std::optional<std::uint64_t> generation) {
    std::lock_guard b(backend_mutex_);
    auto* held = generation ? backend_of(*generation) : backend_.get();
    if (!held) return Result<std::size_t>(std::unexpect, SerialError::not_open());
    return held->poll_write(cx, data);
}

namespace {

constexpr std::size_t read_step_max = 4096;
constexpr std::uint8_t newline = 0x0A;

SerialError no_data() { return SerialError::io(std::string(port::no_data_message)); }

std::optional<Instant> deadline_from(std::optional<Seconds> value) {
    return settings::duration(value).and_then(deadline_in);
}

// The step deadline once a byte has come: the earlier of the overall one and
// the inter-byte one, the overall one when the inter-byte sum overflows.
std::optional<Instant> step_deadline(std::optional<Instant> overall, std::optional<Duration> inter, bool got_any) {
    if (!got_any || !inter) return overall;
    auto next = deadline_in(*inter);
    return next ? earlier(overall, next) : overall;
}

bool ends_with(const ByteVec& data, const ByteVec& tail) {
    return !tail.empty() && data.size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), data.rbegin());
}

// Both the lock and the guarded body are named locals so that, whether the
// operation ends or is dropped, the body goes first and the lock last.
// `make(generation)` makes the body for the open the guard found.
template <class Make>
std::invoke_result_t<Make&, std::uint64_t> locked(std::shared_ptr<PortCore> self, Lock PortCore::*lock, Make make) {
    auto held = co_await ((*self).*lock).lock();
    auto guarded = self->until_closed_with(std::move(make));
    co_return co_await Lock::holding(held, guarded);
}

// The same for a body begun on the fast path, the lock already held.
template <class T>
Op<Result<T>> locked_from(std::shared_ptr<PortCore> self, Lock::Guard lock, std::uint64_t generation,
                          Op<Result<T>> body) {
    auto held = std::move(lock);
    auto guarded = self->until_closed_from(generation, std::move(body));
    co_return co_await Lock::holding(held, guarded);
}

// Acts once the write's body has run, however it ends; only on its own open.
struct CancelWrite {
    PortCore* port;
    std::uint64_t generation;
    ~CancelWrite() {
        (void)port->with_backend_of(generation, [](Backend& b) { return b.cancel_write(); });
    }
};

bool is_exactly_zero(const std::optional<Seconds>& s) {
    return s && (s->is_int() ? s->i == 0 : s->f == 0.0);
}

// With `begun`, the write goes on from the fast path with its snapshot and deadline.
// Every step is on the back-end of `generation`.
Op<Result<std::size_t>> write_body(PortCore* self, std::uint64_t generation, ByteVec data, bool background,
                                   std::optional<port::Begun> begun, std::size_t written) {
    // First, so that it acts after the waits are dropped.
    CancelWrite cancel_hook{self, generation};
    std::optional<Seconds> write_timeout;
    if (begun)
        write_timeout = begun->settings.write_timeout;
    else if (!background)
        write_timeout = self->with_state([](const port::State& st) { return st.settings.write_timeout; });
    const bool zero = is_exactly_zero(write_timeout);
    const auto deadline = begun ? begun->deadline : deadline_from(write_timeout);
    auto cancel = self->cancel_write.notified();
    while (written < data.size()) {
        auto rest = Bytes(data).subspan(written);
        auto step = [self, rest, generation](Context& cx) { return self->poll_write_some(cx, rest, generation); };
        Result<std::size_t> r;
        if (zero) {
            auto once = co_await poll_once(poll_fn(step));
            if (!once) {
                auto detached = self->with_backend_of(
                    generation, [](Backend& b) -> Result<std::size_t> { return b.detach_write(); });
                if (!detached) co_return fail(std::move(detached.error()));
                co_return written + *detached;
            }
            r = std::move(*once);
        } else if (deadline) {
            auto won = co_await select(timeout_at(deadline, poll_fn(step)), cancel);
            if (won.index() == 1) co_return written;
            auto& bounded = std::get<0>(won);
            if (!bounded) co_return fail(SerialError::timeout("Write timeout"));
            r = std::move(*bounded);
        } else {
            auto race = select(poll_fn(step), cancel);
            if (background) race.disable_second();
            auto won = co_await race;
            if (won.index() == 1) co_return written;
            r = std::move(std::get<0>(won));
        }
        if (!r) co_return fail(std::move(r.error()));
        if (*r == 0) co_return written;
        written += *r;
    }
    co_return written;
}

Op<Result<std::size_t>> write_op(std::shared_ptr<PortCore> self, ByteVec data, bool background) {
    auto* port = self.get();
    return locked(std::move(self), &PortCore::write_lock,
                  [port, data = std::move(data), background](std::uint64_t generation) mutable {
                      return write_body(port, generation, std::move(data), background, std::nullopt, 0);
                  });
}

Op<Result<std::size_t>> write_op_from(std::shared_ptr<PortCore> self, port::Begun begun, ByteVec data,
                                      std::size_t written) {
    auto lock = std::move(begun.held);
    const auto generation = begun.generation;
    auto body = write_body(self.get(), generation, std::move(data), false, std::move(begun), written);
    return locked_from(std::move(self), std::move(lock), generation, std::move(body));
}

Status drain_now(Drain drain) {
    int fd = *drain.fd();
    int r;
    do r = ::tcdrain(fd);
    while (r == -1 && errno == EINTR);
    // Taken before the close, which may set errno again.
    Status out = r == -1 ? Status(std::unexpect, SerialError::last_os()) : Status{};
    drain = Drain{};
    return out;
}

Op<Status> flush_body(PortCore* self, std::uint64_t generation) {
    auto drain = self->with_backend_of(generation, [](Backend& b) { return b.drain_handle(); });
    if (!drain) co_return fail(std::move(drain.error()));
    if (!drain->fd()) co_return Status{};
    // The job owns the descriptor, so it is closed once, also if the job never runs.
    auto job = spawn_blocking([d = std::move(*drain)]() mutable { return drain_now(std::move(d)); });
    auto done = co_await job;
    if (!done) co_return fail(SerialError::io("flush failed: " + done.error()));
    co_return std::move(*done);
}

// Turns the break off when the break ends early.
class BreakGuard {
public:
    BreakGuard(PortCore* port, std::uint64_t generation) noexcept : port_(port), generation_(generation) {}
    BreakGuard(const BreakGuard&) = delete;
    BreakGuard& operator=(const BreakGuard&) = delete;
    ~BreakGuard() {
        if (port_) (void)port_->set_break_condition_of(generation_, false);
    }
    void disarm() noexcept { port_ = nullptr; }

private:
    PortCore* port_;
    std::uint64_t generation_;
};

Duration saturating_sub(Duration a, Duration b) {
    if (a <= b) return {};
    if (a.nanos >= b.nanos) return Duration{a.secs - b.secs, a.nanos - b.nanos};
    return Duration{a.secs - b.secs - 1, a.nanos + 1000000000u - b.nanos};
}

// The last few milliseconds of a break are slept on a thread, measured from
// the actual start, so a late timer shortens the sleep instead of the break.
constexpr Duration break_split = Duration::from_millis(5);

Op<Status> break_body(PortCore* self, std::uint64_t generation, Duration duration) {
    if (auto on = self->set_break_condition_of(generation, true); !on) co_return on;
    BreakGuard guard(self, generation);
    const auto start = Clock::now();
    if (auto first = saturating_sub(duration, break_split); !first.is_zero()) {
        if (auto until = deadline_after(start, first)) {
            co_await Sleep(*until);
        } else {
            // Past the clock's range: only a close or a drop ends it.
            co_await poll_fn([](Context&) -> Poll<Unit> { return std::nullopt; });
        }
    }
    const auto rest = std::max(to_clock(duration) - (Clock::now() - start), Clock::duration::zero());
    auto job = spawn_blocking([rest] {
        std::this_thread::sleep_for(rest);
        return Unit{};
    });
    auto done = co_await job;
    if (!done) co_return fail(SerialError::io(std::move(done.error())));
    guard.disarm();
    co_return self->set_break_condition_of(generation, false);
}

}  // namespace

Op<Result<std::optional<std::size_t>>> PortCore::read_chunk(PortCore* self, std::uint64_t generation,
                                                            MutableBytes buffer, std::optional<Instant> deadline) {
    auto cancel = self->cancel_read.notified();
    auto step = [self, buffer, generation](Context& cx) { return self->poll_read_some(cx, buffer, generation); };
    std::optional<Result<std::size_t>> got;
    if (!deadline) {
        auto won = co_await select(poll_fn(step), cancel);
        if (won.index() == 0) got = std::move(std::get<0>(won));
    } else if (Clock::now() < *deadline) {
        auto won = co_await select(timeout_at(deadline, poll_fn(step)), cancel);
        if (won.index() == 0 && std::get<0>(won)) got = std::move(*std::get<0>(won));
    } else {
        // A single poll, so that a stored cancel stays stored.
        got = co_await poll_once(poll_fn(step));
    }
    if (!got) co_return std::optional<std::size_t>();
    if (!*got) co_return fail(std::move(got->error()));
    if (**got == 0) co_return fail(no_data());
    co_return std::optional<std::size_t>(**got);
}

Op<Result<ByteVec>> PortCore::read_locked(PortCore* self, std::uint64_t generation, std::uint64_t size,
                                         std::optional<port::Begun> begun, ByteVec out) {
    const auto s = begun ? begun->settings : self->with_state([](const port::State& st) { return st.settings; });
    const auto overall = begun ? begun->deadline : deadline_from(s.timeout);
    const auto inter = settings::duration(s.inter_byte_timeout);
    const auto room = static_cast<std::size_t>(std::min<std::uint64_t>(size, read_step_max));
    out.reserve(std::max(room, out.size()));
    ByteVec buffer(std::max<std::size_t>(room, 1));
    while (out.size() < size) {
        auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - out.size()));
        auto got = co_await read_chunk(self, generation, MutableBytes(buffer).first(want),
                                       step_deadline(overall, inter, !out.empty()));
        if (!got) co_return fail(std::move(got.error()));
        if (!*got) break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(**got));
    }
    co_return std::move(out);
}

Op<Result<ByteVec>> PortCore::read_until_locked(PortCore* self, std::uint64_t generation, ByteVec expected,
                                                std::optional<std::uint64_t> size, bool restart,
                                                std::optional<port::Begun> begun, ByteVec out) {
    const auto s = begun ? begun->settings : self->with_state([](const port::State& st) { return st.settings; });
    const auto timeout = settings::duration(s.timeout);
    const auto overall = begun ? begun->deadline : timeout.and_then(deadline_in);
    const auto inter = settings::duration(s.inter_byte_timeout);
    std::array<std::uint8_t, 1> byte{};
    for (;;) {
        if (size && out.size() >= *size) break;
        auto deadline = restart ? timeout.and_then(deadline_in) : step_deadline(overall, inter, !out.empty());
        auto got = co_await read_chunk(self, generation, byte, deadline);
        if (!got) co_return fail(std::move(got.error()));
        if (!*got) break;
        out.push_back(byte[0]);
        if (ends_with(out, expected)) break;
    }
    co_return std::move(out);
}

Op<Result<std::vector<ByteVec>>> PortCore::readlines_locked(PortCore* self, std::uint64_t generation,
                                                            std::optional<std::uint64_t> hint) {
    std::vector<ByteVec> lines;
    std::uint64_t total = 0;
    for (;;) {
        auto got =
            co_await read_until_locked(self, generation, ByteVec{newline}, std::nullopt, true, std::nullopt, ByteVec{});
        if (!got) co_return fail(std::move(got.error()));
        if (got->empty()) break;
        total += got->size();
        lines.push_back(std::move(*got));
        if (hint && total >= *hint) break;
    }
    co_return std::move(lines);
}

Op<Result<ByteVec>> PortCore::read_available_locked(PortCore* self, std::uint64_t generation, std::uint64_t max) {
    ByteVec buffer(static_cast<std::size_t>(std::max<std::uint64_t>(max, 1)));
    auto got = co_await read_chunk(self, generation, buffer, std::nullopt);
    if (!got) co_return fail(std::move(got.error()));
    buffer.resize(got->value_or(0));
    co_return std::move(buffer);
}

Op<Result<ByteVec>> PortCore::read(std::uint64_t size) {
    auto self = shared_from_this();
    return locked(self, &PortCore::read_lock, [port = self.get(), size](std::uint64_t generation) {
        return read_locked(port, generation, size, std::nullopt, ByteVec{});
    });
}

Op<Result<ByteVec>> PortCore::read_until(ByteVec expected, std::optional<std::uint64_t> size) {
    auto self = shared_from_this();
    return locked(self, &PortCore::read_lock,
                  [port = self.get(), expected = std::move(expected), size](std::uint64_t generation) mutable {
                      return read_until_locked(port, generation, std::move(expected), size, false, std::nullopt,
                                               ByteVec{});
                  });
}

Op<Result<ByteVec>> PortCore::readline(std::optional<std::uint64_t> size) {
    auto self = shared_from_this();
    return locked(self, &PortCore::read_lock, [port = self.get(), size](std::uint64_t generation) {
        return read_until_locked(port, generation, ByteVec{newline}, size, true, std::nullopt, ByteVec{});
    });
}

Op<Result<std::vector<ByteVec>>> PortCore::readlines(std::optional<std::uint64_t> hint) {
    auto self = shared_from_this();
    return locked(self, &PortCore::read_lock, [port = self.get(), hint](std::uint64_t generation) {
        return readlines_locked(port, generation, hint);
    });
}

Op<Result<ByteVec>> PortCore::read_available(std::uint64_t max) {
    auto self = shared_from_this();
    return locked(self, &PortCore::read_lock, [port = self.get(), max](std::uint64_t generation) {
        return read_available_locked(port, generation, max);
    });
}

Op<Result<std::size_t>> PortCore::write_with(ByteVec data, bool background) {
    return write_op(shared_from_this(), std::move(data), background);
}

Op<Status> PortCore::flush() {
    auto self = shared_from_this();
    return locked(self, &PortCore::write_lock,
                  [port = self.get()](std::uint64_t generation) { return flush_body(port, generation); });
}

Op<Status> PortCore::send_break(Duration duration) {
    auto self = shared_from_this();
    return locked(self, &PortCore::write_lock, [port = self.get(), duration](std::uint64_t generation) {
        return break_body(port, generation, duration);
    });
}

Op<Result<ByteVec>> PortCore::read_from(port::Begun begun, std::uint64_t size, ByteVec got) {
    auto self = shared_from_this();
    auto lock = std::move(begun.held);
    const auto generation = begun.generation;
    auto body = read_locked(self.get(), generation, size, std::move(begun), std::move(got));
    return locked_from(std::move(self), std::move(lock), generation, std::move(body));
}

Op<Result<ByteVec>> PortCore::read_until_from(port::Begun begun, ByteVec expected, std::optional<std::uint64_t> size,
                                              bool restart, ByteVec got) {
    auto self = shared_from_this();
    auto lock = std::move(begun.held);
    const auto generation = begun.generation;
    auto body = read_until_locked(self.get(), generation, std::move(expected), size, restart, std::move(begun),
                                  std::move(got));
    return locked_from(std::move(self), std::move(lock), generation, std::move(body));
}

Op<Result<std::size_t>> PortCore::write_from(port::Begun begun, ByteVec data, std::size_t written) {
    return write_op_from(shared_from_this(), std::move(begun), std::move(data), written);
}

// ---- the fast path ----

std::unique_lock<std::mutex> PortCore::lock_backend(port::LockWait wait) {
    if (!wait) return std::unique_lock(backend_mutex_);
    std::unique_lock l(backend_mutex_, std::try_to_lock);
    if (!l) wait(l);
    return l;
}

std::optional<Result<port::Begun>> PortCore::begin(Lock& lock, Notify& cancel) {
    // Asked before the lock is taken: giving a taken lock back could hand it
    // to a caller that came later, ahead of this one.
    if (cancel.has_permit()) return std::nullopt;
    auto held = lock.try_lock();
    if (!held) return std::nullopt;
    // Every step checks the generation again under the back-end lock.
    const auto generation = open_generation_.load(std::memory_order_acquire);
    if (generation == 0) return Result<port::Begun>(std::unexpect, SerialError::not_open());
    port::Begun begun{std::move(*held), generation,
                      with_state([](const port::State& st) { return st.settings; }), std::nullopt};
    return Result<port::Begun>(std::move(begun));
}

std::optional<Result<port::Begun>> PortCore::begin_read(port::LockWait) {
    auto r = begin(read_lock, cancel_read);
    if (r && *r) (*r)->deadline = deadline_from((*r)->settings.timeout);
    return r;
}

std::optional<Result<port::Begun>> PortCore::begin_write(port::LockWait) {
    auto r = begin(write_lock, cancel_write);
    if (r && *r) (*r)->deadline = deadline_from((*r)->settings.write_timeout);
    return r;
}

std::optional<Result<std::size_t>> PortCore::try_read_some(std::uint64_t generation, MutableBytes buffer,
                                                           port::LockWait wait) {
    std::optional<Result<std::size_t>> got;
    {
        auto b = lock_backend(wait);
        // A close, or a close and a new open, ends the read as it ends the operation.
        auto* held = backend_of(generation);
        if (!held) return Result<std::size_t>(std::unexpect, SerialError::not_open());
        got = held->try_read(buffer);
    }
    if (got && *got && **got == 0) *got = fail(no_data());
    if (got && !*got && is_device_loss(got->error())) close_if(generation);
    return got;
}

namespace {

// After a first try that found nothing, this many reads wait first; the next
// try tells again whether data is usually waiting.
constexpr unsigned char waits_first_after_miss = 8;

// A step that would wait ends the read when its deadline has passed (the
// operation would make its single poll there); otherwise the operation takes over.
port::Fast nothing_ready(std::optional<Instant> step) {
    return step && *step <= Clock::now() ? port::Fast::Done : port::Fast::Wait;
}

}  // namespace

bool PortCore::read_waits_first(const port::Begun& begun, port::LockWait wait) {
    const auto left = read_waits_first_.load(std::memory_order_relaxed);
    if (left == 0) return false;
    if (begun.deadline && *begun.deadline <= Clock::now()) return false;
    read_waits_first_.store(left - 1, std::memory_order_relaxed);
    auto b = lock_backend(wait);
    // A closed port is left to the operation to report.
    auto* held = backend_of(begun.generation);
    if (!held) return false;
    held->expect_read_wait();
    return true;
}

Result<port::Fast> PortCore::fast_read(port::Begun& begun, std::uint64_t size, ByteVec& out, port::LockWait wait) {
    const auto inter = settings::duration(begun.settings.inter_byte_timeout);
    const bool first_try = out.empty() && !in_memory();
    while (out.size() < size) {
        // A cancel that came since: the operation's race decides.
        if (!out.empty() && cancel_read.has_permit()) return port::Fast::Wait;
        auto want = static_cast<std::size_t>(std::min<std::uint64_t>(read_step_max, size - out.size()));
        const auto at = out.size();
        out.resize(at + want);
        auto got = try_read_some(begun.generation, MutableBytes(out).subspan(at), wait);
        if (first_try && at == 0) read_waits_first_.store(got ? 0 : waits_first_after_miss, std::memory_order_relaxed);
        out.resize(at + (got && *got ? **got : 0));
        if (!got) return nothing_ready(step_deadline(begun.deadline, inter, at > 0));
        if (!*got) return fail(std::move(got->error()));
    }
    return port::Fast::Done;
}

Result<port::Fast> PortCore::fast_read_until(port::Begun& begun, Bytes expected, std::optional<std::uint64_t> size,
                                             bool restart, ByteVec& out, port::LockWait wait) {
    const auto timeout = settings::duration(begun.settings.timeout);
    const auto inter = settings::duration(begun.settings.inter_byte_timeout);
    for (;;) {
        if (size && out.size() >= *size) return port::Fast::Done;
        if (!out.empty() && cancel_read.has_permit()) return port::Fast::Wait;
        std::uint8_t byte = 0;
        auto got = try_read_some(begun.generation, MutableBytes(&byte, 1), wait);
        if (!got)
            return nothing_ready(restart ? timeout.and_then(deadline_in)
                                         : step_deadline(begun.deadline, inter, !out.empty()));
        if (!*got) return fail(std::move(got->error()));
        out.push_back(byte);
        if (!expected.empty() && out.size() >= expected.size() &&
            std::equal(expected.begin(), expected.end(), out.end() - static_cast<std::ptrdiff_t>(expected.size())))
            return port::Fast::Done;
    }
}

Result<port::Fast> PortCore::fast_write(port::Begun& begun, Bytes data, std::size_t& written, port::LockWait wait) {
    const bool zero = is_exactly_zero(begun.settings.write_timeout);
    // The end of the write: the hook runs under the back-end lock hold of the
    // last step, so a small write takes that lock once.
    auto end = [](Backend* backend, Result<port::Fast> r) {
        if (backend) (void)backend->cancel_write();
        return r;
    };
    for (;;) {
        if (written > 0 && written < data.size() && cancel_write.has_permit()) return port::Fast::Wait;
        auto b = lock_backend(wait);
        auto* held = backend_of(begun.generation);
        if (!held) return fail(SerialError::not_open());
        if (written >= data.size()) return end(held, port::Fast::Done);
        auto r = held->try_write(data.subspan(written));
        if (!r) {
            if (!zero) return port::Fast::Wait;
            // The zero timeout's single poll found no room.
            written += held->detach_write();
            return end(held, port::Fast::Done);
        }
        if (!*r) {
            if (!is_device_loss(r->error())) return end(held, fail(std::move(r->error())));
            b.unlock();
            close_if(begun.generation);
            return fail(std::move(r->error()));
        }
        written += **r;
        // Done under this hold: a close after the last byte went out is not this write's.
        if (**r == 0 || written >= data.size()) return end(held, port::Fast::Done);
    }
}

}  // namespace korvane
