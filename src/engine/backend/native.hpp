// The native back-end: a terminal device driven through the TTY layer, its
// readiness reported by the runtime's reactor.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <sys/types.h>

#include "engine/async/readiness.hpp"
#include "engine/backend/backend.hpp"
#include "engine/backend/tty.hpp"
#include "engine/errors.hpp"
#include "engine/settings.hpp"

namespace korvane {

class NativePort final : public Backend {
public:
    // Takes the device over; `readiness` watches its descriptor.
    NativePort(tty::Device device, Readiness readiness) noexcept;
    ~NativePort() override;
    NativePort(const NativePort&) = delete;
    NativePort& operator=(const NativePort&) = delete;

    Poll<Result<std::size_t>> poll_read(Context& cx, MutableBytes buffer) override;
    Poll<Result<std::size_t>> poll_write(Context& cx, Bytes data) override;
    std::optional<Result<std::size_t>> try_read(MutableBytes buffer) override;
    void expect_read_wait() override;
    std::optional<Result<std::size_t>> try_write(Bytes data) override;
    Poll<Status> poll_flush(Context&) override { return Status{}; }
    Poll<Status> poll_shutdown(Context&) override { return Status{}; }

    Status configure(const Settings& settings, bool rts, bool dtr) override;
    Status set_rts(bool level) override;
    Status set_dtr(bool level) override;
    Result<bool> cts() override;
    Result<bool> dsr() override;
    Result<bool> ri() override;
    Result<bool> cd() override;
    Result<std::uint32_t> in_waiting() override;
    Result<std::uint32_t> out_waiting() override;
    Status clear_buffers(bool input, bool output) override;
    Status set_break_state(bool on) override;
    std::optional<std::int32_t> fileno() const override { return device_.fd; }
    Result<Drain> drain_handle() override;

private:
    tty::Device device_;
    std::optional<Readiness> readiness_;
    // The process that opened the device; a forked child only lets go of it.
    pid_t opener_;
};

namespace native {

// Opens and configures the device `name`. Blocks while it does.
Result<std::unique_ptr<Backend>> open(std::string_view name, const Settings& settings, bool rts, bool dtr);

// Applies a whole settings record and the two line levels to an open device.
// The steps run in a fixed order; the first failure ends it and the steps
// before it stay applied.
Status configure(int fd, const Settings& settings, bool rts, bool dtr);

namespace platform {
// What the TTY layer's own setters leave out: input parity checking and bit
// stripping off, software flow control, mark and space parity.
Status apply(int fd, const Settings& settings);
// Drives the lines that are present; a device without modem lines (ENOTTY,
// EINVAL) counts as success.
Status set_lines(int fd, std::optional<bool> rts, std::optional<bool> dtr);
}  // namespace platform

}  // namespace native
}  // namespace korvane
