// LoopbackPort: bytes written come back as bytes read, through one bounded queue.
#pragma once

#include <mutex>
#include <vector>

#include "engine/backend/backend.hpp"

namespace korvane {

class LoopbackPort final : public Backend {
public:
    static constexpr std::size_t capacity = 4096;

    LoopbackPort(bool rts, bool dtr) noexcept : rts_(rts), dtr_(dtr) {}

    Poll<Result<std::size_t>> poll_read(Context& cx, MutableBytes buffer) override {
        return read_some(buffer, &cx.waker());
    }
    Poll<Result<std::size_t>> poll_write(Context& cx, Bytes data) override { return write_some(data, &cx.waker()); }
    std::optional<Result<std::size_t>> try_read(MutableBytes buffer) override { return read_some(buffer, nullptr); }
    std::optional<Result<std::size_t>> try_write(Bytes data) override { return write_some(data, nullptr); }
    Poll<Status> poll_flush(Context&) override { return Status{}; }
    Poll<Status> poll_shutdown(Context&) override { return Status{}; }

    Status configure(const Settings& settings, bool rts, bool dtr) override;
    Status set_rts(bool level) override;
    Status set_dtr(bool level) override;
    Result<bool> cts() override;
    Result<bool> dsr() override;
    Result<bool> ri() override { return false; }
    Result<bool> cd() override { return true; }
    Result<std::uint32_t> in_waiting() override;
    Result<std::uint32_t> out_waiting() override { return in_waiting(); }
    Status clear_buffers(bool input, bool output) override;
    Status set_break_state(bool) override { return {}; }
    std::optional<std::int32_t> fileno() const override { return std::nullopt; }
    Result<Drain> drain_handle() override { return Drain{}; }

private:
    // Nothing when it would wait; `park` is then the waker to keep, if any.
    std::optional<Result<std::size_t>> read_some(MutableBytes buffer, const Waker* park);
    std::optional<Result<std::size_t>> write_some(Bytes data, const Waker* park);

    std::mutex mutex_;
    // A ring over `ring_`, allocated at the first write.
    std::vector<std::uint8_t> ring_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    Waker reader_;
    Waker writer_;
    bool rts_;
    bool dtr_;
};

}  // namespace korvane
