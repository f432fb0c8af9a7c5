// A loopback whose calls can be scripted to fail and which logs what was done
// to it, for the engine's operation tests.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "engine/backend/loopback.hpp"
#include "engine/port.hpp"

namespace korvane::test {

struct Script {
    std::mutex mutex;
    // Each configure call's record; a configure fails when `refuse` says so.
    std::vector<Settings> configured;
    std::function<std::optional<SerialError>(const Settings&, std::size_t call)> refuse;
    // (on, when) for each break call.
    std::vector<std::pair<bool, std::chrono::steady_clock::time_point>> breaks;
    std::optional<SerialError> break_error;
    std::optional<SerialError> dtr_error;
    std::optional<SerialError> clear_error;
    std::optional<SerialError> read_error;
    std::optional<SerialError> write_error;
    // A read that reports readiness and delivers nothing.
    bool read_nothing = false;
    // A write that reports that the device takes nothing more.
    bool write_nothing = false;
    std::function<Result<Drain>()> drain;
    std::optional<std::int32_t> fd;
    std::atomic<int> cancel_writes{0}, detach_writes{0}, drain_calls{0}, drops{0}, rts_calls{0};
    std::size_t detach_count = 0;

    std::vector<Settings> configure_log() {
        std::lock_guard g(mutex);
        return configured;
    }
    std::vector<std::pair<bool, std::chrono::steady_clock::time_point>> break_log() {
        std::lock_guard g(mutex);
        return breaks;
    }
};

class ScriptedBackend final : public Backend {
public:
    explicit ScriptedBackend(std::shared_ptr<Script> script) : s_(std::move(script)) {}
    ~ScriptedBackend() override { ++s_->drops; }

    Poll<Result<std::size_t>> poll_read(Context& cx, MutableBytes b) override {
        {
            std::lock_guard g(s_->mutex);
            if (s_->read_error) return Result<std::size_t>(std::unexpect, *s_->read_error);
            if (s_->read_nothing) return std::size_t{0};
        }
        return inner_.poll_read(cx, b);
    }
    Poll<Result<std::size_t>> poll_write(Context& cx, Bytes d) override {
        {
            std::lock_guard g(s_->mutex);
            if (s_->write_error) return Result<std::size_t>(std::unexpect, *s_->write_error);
            if (s_->write_nothing) return std::size_t{0};
        }
        return inner_.poll_write(cx, d);
    }
    Poll<Status> poll_flush(Context& cx) override { return inner_.poll_flush(cx); }
    Poll<Status> poll_shutdown(Context& cx) override { return inner_.poll_shutdown(cx); }
    Status configure(const Settings& settings, bool rts, bool dtr) override {
        {
            std::lock_guard g(s_->mutex);
            s_->configured.push_back(settings);
            if (s_->refuse)
                if (auto e = s_->refuse(settings, s_->configured.size())) return fail(*e);
        }
        return inner_.configure(settings, rts, dtr);
    }
    Status set_rts(bool level) override {
        ++s_->rts_calls;
        return inner_.set_rts(level);
    }
    Status set_dtr(bool level) override {
        if (auto e = error(s_->dtr_error)) return fail(*e);
        return inner_.set_dtr(level);
    }
    Result<bool> cts() override { return inner_.cts(); }
    Result<bool> dsr() override { return inner_.dsr(); }
    Result<bool> ri() override { return inner_.ri(); }
    Result<bool> cd() override { return inner_.cd(); }
    Result<std::uint32_t> in_waiting() override { return inner_.in_waiting(); }
    Result<std::uint32_t> out_waiting() override { return inner_.out_waiting(); }
    Status clear_buffers(bool i, bool o) override {
        if (auto e = error(s_->clear_error)) return fail(*e);
        return inner_.clear_buffers(i, o);
    }
    Status set_break_state(bool on) override {
        std::lock_guard g(s_->mutex);
        s_->breaks.emplace_back(on, std::chrono::steady_clock::now());
        if (s_->break_error) return fail(*s_->break_error);
        return {};
    }
    std::optional<std::int32_t> fileno() const override { return s_->fd; }
    Result<Drain> drain_handle() override {
        ++s_->drain_calls;
        if (s_->drain) return s_->drain();
        return Drain{};
    }
    Result<std::size_t> cancel_write() override {
        ++s_->cancel_writes;
        return std::size_t{0};
    }
    std::size_t detach_write() override {
        ++s_->detach_writes;
        return s_->detach_count;
    }

private:
    std::optional<SerialError> error(const std::optional<SerialError>& slot) {
        std::lock_guard g(s_->mutex);
        return slot;
    }

    std::shared_ptr<Script> s_;
    LoopbackPort inner_{true, true};
};

// An open port over a scripted back-end.
inline std::shared_ptr<PortCore> scripted_port(std::shared_ptr<Script> script) {
    auto p = PortCore::create();
    EXPECT_TRUE(p->set_port("loop://"));  // so a reopen finds a name
    EXPECT_TRUE(p->open_backend(std::make_unique<ScriptedBackend>(std::move(script))));
    return p;
}

}  // namespace korvane::test
